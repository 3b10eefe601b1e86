// The registry commands for effect sequences (see platform/Effects.h):
//   "Effect Start"     effect [startChannel (0: the effect's own)] [loop] [background]
//   "Effect Stop"      effect name or id
//   "Effects Stop All"
//
// Threading: the commands run on the caller's thread.
#pragma once

// Adds the commands to CommandManager::INSTANCE (replacing same-named ones).
void RegisterEffectCommands();
