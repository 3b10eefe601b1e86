// Reading the keys of "config/co-universes.json" the way every output kind
// does: numbers may be written as numbers, booleans or decimal strings (the
// file is edited by hand and by web pages); addresses as dotted quads or
// host names.
//
// Threading: stateless.
#pragma once

#include <json/json.h>
#include <netinet/in.h>

#include <string>

class OutputConfig {
public:
    // The member as an int; `def` when absent or not a number.
    static int Int(const Json::Value& obj, const char* key, int def);
    // The member as text; "" when absent or not a string.
    static std::string Text(const Json::Value& obj, const char* key);
    // IPv4 address of a dotted quad or a host name; false when it has none.
    static bool ResolveIPv4(const std::string& text, struct in_addr& out);
    // Directed broadcast address of `interface`, or of the first interface
    // that has one when `interface` is ""; false when there is none.
    static bool BroadcastAddress(const std::string& interface, struct in_addr& out);
};
