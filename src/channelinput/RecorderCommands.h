// The recorder of the running daemon and its registry commands:
//   "Start Recording" name [interval ms, default 25] [media file]
//   "Stop Recording"
// Bad arguments give an error result saying what is wrong; nothing starts.
//
// Threading: InitRecorder, ShutdownRecorder and CloseRecorder on the main
// thread at start-up and shut-down; the commands and GetRecorder() from any
// thread in between (the Recorder locks).
#pragma once

#include <string>
#include <vector>

class CommandManager;
class Recorder;

// Makes the daemon's recorder (bridge input, monotonic clock, the media
// directory's "sequences" folder) and registers its commands.
void InitRecorder();
// Ends a running recording and keeps it; later starts are refused.  Called
// before the channel inputs shut down, as they are what is recorded.
void ShutdownRecorder();
// Releases the recorder, after the registry has dropped its commands.
void CloseRecorder();
// The daemon's recorder; nullptr outside InitRecorder..CloseRecorder.
Recorder* GetRecorder();

// Adds the two commands, working on `recorder`, to `cm`.
void RegisterRecorderCommands(CommandManager& cm, Recorder& recorder);
// "Start Recording" arguments to start() values; "" or the error text.
std::string ParseStartRecordingArgs(const std::vector<std::string>& args, std::string& name, int& intervalMS,
                                    std::string& mediaFile);
