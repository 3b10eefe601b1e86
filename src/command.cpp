#include "command.h"

#include <signal.h>
#include <unistd.h>

#include "common.h"

// Stand-in until the text command socket lands: no socket yet, but SIGINT and
// SIGTERM already end the daemon in order.
static void exitHandler(int signum) { ShutdownLYRD(false); }

int Command_Initialize() {
    struct sigaction sa = {};
    sa.sa_handler = exitHandler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return -1;
}
void CommandProc() {}
void CloseCommand() {}

// Stand-in until the command socket lands: every command gets an empty reply.
char* ProcessCommand(char* command, char* response) {
    if (response) response[0] = '\0';
    return nullptr;
}
