// Stand-in text command socket: replaced by the command socket.
#pragma once

int Command_Initialize();
void CommandProc();
void CloseCommand();

// Runs one text command line, writing the reply into `response` (1500
// bytes); returns a malloc'd reply instead when it is longer (the caller
// frees it), else null.
char* ProcessCommand(char* command, char* response);
