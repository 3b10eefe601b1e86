// The local text command socket: a Unix datagram socket at "/run/lyrd/LYRD"
// (linked from "/tmp/LYRD") that answers short comma-separated commands from
// scripts and the web front end, one reply datagram per request.
//
// Threading: Command_Initialize, CommandProc and ProcessCommand run on the
// main thread.  The SIGINT/SIGTERM handler installed here only requests an
// orderly stop.
#pragma once

#include <string>

// Size of a request buffer (a request holds at most COMMAND_BUFFER_SIZE - 1 bytes)
// and of the reply buffer ProcessCommand writes into.
const int COMMAND_BUFFER_SIZE = 4096;

int Command_Initialize();
void CommandProc();
void CloseCommand();

// Runs one command.  Writes the reply into `reply` (COMMAND_BUFFER_SIZE bytes)
// or, for replies of unbounded size, returns a malloc'ed string the caller
// frees (then `reply` is unused).
char* ProcessCommand(char* command, char* reply);

// Socket paths; tests point them elsewhere before Command_Initialize.
void SetCommandSocketPaths(const std::string& socketPath, const std::string& linkPath);
