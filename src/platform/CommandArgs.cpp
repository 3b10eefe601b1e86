#include "platform/CommandArgs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common.h"

namespace CommandArgs {

bool ParseFlag(const std::string& text, bool& out) {
    std::string t = toLowerCopy(text);
    TrimWhiteSpace(t);
    if (t == "true" || t == "1" || t == "yes" || t == "on") {
        out = true;
        return true;
    }
    if (t == "false" || t == "0" || t == "no" || t == "off" || t.empty()) {
        out = false;
        return true;
    }
    return false;
}

bool ParseInt(const std::string& text, int& out) {
    std::string t = text;
    TrimWhiteSpace(t);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = int(v);
    return true;
}

std::unique_ptr<Command::Result> Ok(const std::string& text) {
    return std::make_unique<Command::Result>(text);
}

std::unique_ptr<Command::Result> Error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

FunctionCommand& FunctionCommand::arg(const std::string& name, const std::string& type,
                                      const std::string& description, bool optional,
                                      const std::string& defaultValue) {
    Command::CommandArg a(name, type, description, optional);
    a.defaultValue = defaultValue;
    args.push_back(a);
    return *this;
}

}  // namespace CommandArgs
