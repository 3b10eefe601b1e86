// The settings store: one flat set of string-valued keys, filled at start-up
// from the media directory's "settings" file over the defaults described in
// the install directory's "www/settings.json".  Also owns the operating mode
// and the two base directories.
//
// Threading: writes happen on the main thread; getters may be called from
// any thread (they and SetSetting share a small lock around `values`).  The
// public fields are for start-up code and tests.
#pragma once

#include <json/json.h>

#include <map>
#include <string>

enum lyrMode { BRIDGE_MODE = 1, PLAYER_MODE = 2, MASTER_MODE = 6, REMOTE_MODE = 8 };

class SettingsConfig {
public:
    SettingsConfig();
    void Init();
    void LoadSettingsInfo();

    enum lyrMode lyrMode;
    Json::Value settingsInfo;
    Json::Value values;
};

extern SettingsConfig settings;

int LoadSettings(const char* unused);
std::string getSetting(const char* name, const char* def = "");
int getSettingInt(const char* name, int def = 0);
int SetSetting(std::string name, std::string value);
int SetSetting(std::string name, int value);
int SaveSettings();
// Stores values in the media directory's settings file: each becomes a
// `name = "value"` line in place of the line of that name, or is appended.
// The file is replaced in one rename; false (and the file unchanged) on
// error.  The values in memory are not touched.
bool WriteSettingsFile(const std::map<std::string, std::string>& values);
void UpgradeSettings();

::lyrMode getLyrmode();
char* modeToString(int mode);
std::string getLyrmodeStr(::lyrMode mode = static_cast<::lyrMode>(0));
// True for a mode text SetSetting accepts ("player", "remote", "bridge", "master").
bool IsKnownModeString(const std::string& text);

std::string getLyrDDir(const std::string& suffix = "");
std::string getLyrMediaDir(const std::string& suffix = "");
char* trimwhitespace(const char* s, int quotesToo);

// Test seam: forget the cached install and media directories.
void ResetLyrDirsForTesting(const std::string& binDir, const std::string& mediaDir);
