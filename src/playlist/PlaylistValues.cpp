#include "playlist/PlaylistValues.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "common.h"
#include "platform/Logging.h"

const Json::Value* PlaylistValues::Lookup(const Json::Value& obj, const char* key) {
    if (!obj.isObject() || !obj.isMember(key)) return nullptr;
    const Json::Value& v = obj[key];
    return v.isNull() ? nullptr : &v;
}

void PlaylistValues::Complain(const std::string& where, const char* key, const char* wanted,
                              const Json::Value& v) {
    std::string shown = v.isObject() ? "an object" : v.isArray() ? "a list" : "'" + v.asString() + "'";
    LogErr(VB_PLAYLIST, "%s: \"%s\" should be %s, not %s; using the default\n", where.c_str(), key, wanted,
           shown.c_str());
}

bool PlaylistValues::ParseDouble(const std::string& text, double& out) {
    std::string t = text;
    TrimWhiteSpace(t);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double d = strtod(t.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(d)) return false;
    out = d;
    return true;
}

double PlaylistValues::Double(const Json::Value& obj, const char* key, double def, const std::string& where) {
    const Json::Value* v = Lookup(obj, key);
    if (!v) return def;
    if (v->isBool()) return v->asBool() ? 1 : 0;
    if (v->isNumeric()) return v->asDouble();
    double d;
    if (v->isString()) {
        std::string s = toLowerCopy(v->asString());
        if (s == "true") return 1;
        if (s == "false") return 0;
        if (ParseDouble(s, d)) return d;
    }
    Complain(where, key, "a number", *v);
    return def;
}

int PlaylistValues::Int(const Json::Value& obj, const char* key, int def, const std::string& where) {
    const Json::Value* v = Lookup(obj, key);
    if (!v) return def;
    if (v->isInt()) return v->asInt();
    double d = Double(obj, key, NAN, where);
    if (std::isnan(d)) return def;
    if (d >= (double)INT_MAX) return INT_MAX;
    if (d <= (double)INT_MIN) return INT_MIN;
    return (int)d;
}

bool PlaylistValues::Bool(const Json::Value& obj, const char* key, bool def, const std::string& where) {
    const Json::Value* v = Lookup(obj, key);
    if (!v) return def;
    if (v->isBool()) return v->asBool();
    if (v->isNumeric()) return v->asDouble() != 0;
    if (v->isString()) {
        std::string s = toLowerCopy(v->asString());
        TrimWhiteSpace(s);
        if (s == "true" || s == "yes" || s == "1" || s == "on") return true;
        if (s == "false" || s == "no" || s == "0" || s == "off" || s.empty()) return false;
    }
    Complain(where, key, "true or false", *v);
    return def;
}

std::string PlaylistValues::Text(const Json::Value& obj, const char* key, const std::string& def,
                                 const std::string& where) {
    const Json::Value* v = Lookup(obj, key);
    if (!v) return def;
    std::string out;
    if (ArgText(*v, out)) return out;
    Complain(where, key, "text", *v);
    return def;
}

bool PlaylistValues::ArgText(const Json::Value& v, std::string& out) {
    return JsonArgText(v, out);
}
