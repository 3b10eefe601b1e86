// The registry commands that drive the player, so that the HTTP API,
// schedules, presets, MQTT and remotes can all start, stop and steer
// playlists the same way:
//   "Start Playlist" name [repeat "true"/"false"] [ifNotRunning "true"/"false"]
//   "Stop Now", "Stop Gracefully", "Stop Gracefully After Loop"
//   "Next Playlist Item", "Prev Playlist Item", "Restart Playlist Item"
//   "Pause Playlist", "Resume Playlist", "Toggle Playlist Pause"
//   "Insert Playlist After Current", "Insert Playlist Immediate"  name
//   "Volume Set" volume, "Volume Adjust" delta
// Stops asked for by a command count as forced stops (the scheduler then
// leaves that schedule entry alone).
//
// Threading: the commands run on the caller's thread and go through
// Player::INSTANCE.
#pragma once

// Adds the commands to CommandManager::INSTANCE (replacing same-named ones).
void RegisterPlaylistCommands();
