// Typed reads of playlist JSON that never throw.  Playlist files are edited by
// hand and by other tools; a value of the wrong type ("repeat": "yes",
// "duration": {}) is logged with where it came from and the default is used,
// so one bad key never takes a playlist or an entry down.
//
// Absent and null keys give the default silently.  Numbers also accept
// booleans and decimal strings ("2", "1.5"); booleans accept numbers and
// "true"/"false"/"yes"/"no"/"1"/"0"; text accepts numbers and booleans.
//
// Threading: stateless.
#pragma once

#include <json/json.h>

#include <string>

class PlaylistValues {
public:
    static int Int(const Json::Value& obj, const char* key, int def, const std::string& where);
    static double Double(const Json::Value& obj, const char* key, double def, const std::string& where);
    static bool Bool(const Json::Value& obj, const char* key, bool def, const std::string& where);
    static std::string Text(const Json::Value& obj, const char* key, const std::string& def,
                            const std::string& where);

    // The value as a command argument (strings as they are, numbers and
    // booleans as text); false for objects, arrays and null.
    static bool ArgText(const Json::Value& v, std::string& out);

private:
    static bool ParseDouble(const std::string& text, double& out);
    static const Json::Value* Lookup(const Json::Value& obj, const char* key);
    static void Complain(const std::string& where, const char* key, const char* wanted, const Json::Value& v);
};
