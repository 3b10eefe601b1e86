// Registry commands that shows reach for from schedules, presets, MQTT and
// buttons (arguments in brackets are optional):
//   "Run Script"       script [arguments]: a script of the scripts folder,
//                      started without a shell as script entries are
//   "URL"              url [method GET|POST] [body] [timeout seconds 1-300]:
//                      sent on a worker thread; the answer or failure is logged
//   "MQTT Publish"     topic [payload] [retain]: through the configured broker,
//                      to the topic as given
//   "Volume Increase"  [step 1-100, default 5]
//   "Volume Decrease"  [step 1-100, default 5]
//   "Play Media"       file of the music or videos folder, played alone
//   "All Lights Off"   stops the effects, the overlays and the channel test
//                      and blacks out the outputs (a playing sequence goes on
//                      drawing its next frames)
// Bad arguments give an error result that says what is wrong.
//
// Threading: the commands run on the caller's thread; only "URL" and
// "Play Media" leave work behind, on threads of their own.
#pragma once

// Adds the commands to CommandManager::INSTANCE (replacing same-named ones).
void RegisterShowCommands();

// "URL" requests in flight at most; more are refused until one is done.
constexpr int MAX_URL_COMMANDS_IN_FLIGHT = 8;
