// Plug-ins: none are loaded by this build.  The hooks the daemon calls exist
// and do nothing, so callers need no special cases.
//
// Threading: every hook may be called from any thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "platform/Callbacks.h"

class MediaDetails;

class PluginManager {
public:
    static PluginManager INSTANCE;
    void init() {}
    void loadUserPlugins() {}
    void Cleanup() {}
    void addControlCallbacks(CallbackMap& callbacks) {}

    // Sync payload another system sent to the plug-in `name`.
    void lockstepData(const std::string& name, const uint8_t* data, int len) {}
    // A playlist started ("start"), moved on ("playing") or stopped ("stop").
    void playlistCallback(const Json::Value& playlistInfo, const std::string& action,
                          const std::string& section, int position) {}
    // Media of a playlist entry is about to play.
    void mediaCallback(const Json::Value& playlistInfo, const std::string& mediaName) {}
    // A media file is about to play: the owning playlist's info and its details.
    void mediaCallback(const Json::Value& playlistInfo, const MediaDetails& details) {}
};
