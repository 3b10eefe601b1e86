// Stand-in text command socket: replaced by the command socket.
#pragma once

int Command_Initialize();
void CommandProc();
void CloseCommand();
