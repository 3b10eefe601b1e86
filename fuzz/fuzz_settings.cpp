// The settings file ("<media>/settings", one name = "value" a line) through
// LoadSettings, including the upgrade that rewrites legacy mode values; with
// byte 0 odd, the settings description ("<install>/www/settings.json") that
// supplies the defaults instead.
//
// Neutralised: an unknown "lyrMode" in the file ends the process on purpose
// (the daemon must not start in a mode it does not know), so such inputs are
// passed over; every path lies in the sandbox.
#include <cstring>

#include "FuzzSupport.h"
#include "settings.h"

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n\v\f\"");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n\v\f\"");
    return s.substr(b, e - b + 1);
}

// Whether some line would set a mode the store refuses by exiting.
bool setsUnknownMode(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        // With its newline, as the store reads it: "lyrMode =" then sets "".
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
        start = end == std::string::npos ? text.size() : end + 1;
        line = std::string(line.c_str());  // a NUL ends the line's text
        size_t eq = line.find('=');
        if (eq == std::string::npos || trim(line.substr(0, eq)) != "lyrMode") continue;
        size_t v = line.find_first_not_of('=', eq);
        if (v == std::string::npos) continue;
        size_t ve = line.find('=', v);
        std::string value = trim(line.substr(v, ve == std::string::npos ? std::string::npos : ve - v));
        if (!IsKnownModeString(value)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    if (size < 1) return 0;
    std::string text = fuzz::Text(data + 1, size - 1);
    if (data[0] & 1) {
        fuzz::WriteFile(fuzz::MediaPath("/www/settings.json"), text);
        settings.LoadSettingsInfo();
        fuzz::RemoveFile(fuzz::MediaPath("/www/settings.json"));
    } else {
        if (setsUnknownMode(text)) return 0;
        fuzz::WriteFile(fuzz::MediaPath("/settings"), text);
        LoadSettings(nullptr);
        // What readers of the store then see.
        (void)getSetting("lyrMode");
        (void)getSettingInt("LockstepEnabled");
        (void)getLyrmodeStr();
        fuzz::RemoveFile(fuzz::MediaPath("/settings"));
    }
    settings.values = Json::Value(Json::objectValue);
    settings.lyrMode = PLAYER_MODE;
    fuzz::ResetLogLevels();
    return 0;
}
