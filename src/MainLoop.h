// The daemon's event loop and the process-wide run flags.
//
// MainLoop() runs on the main thread: it waits on an epoll set (command
// socket, sync socket and descriptors other components contribute), then
// drives the player, the scheduler, channel-output start, sync pings, GPIO
// polling and the statistics countdown.  It returns once runMainLYRDLoop is 0.
#pragma once

// Non-zero while the loop runs; 0 requests the end; -1 after tear-down.
extern volatile int runMainLYRDLoop;
// Re-execute the daemon after tear-down.
extern volatile bool restartLYRD;

void ShutdownLYRDCallback(bool restart);
void MainLoop();
