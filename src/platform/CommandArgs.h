// Small helpers for commands that take their arguments as strings: strict
// parsers (so a typo is an error result, not a silent 0) and a command whose
// body is a function.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Command.h"

namespace CommandArgs {

// "true"/"false", "1"/"0", "yes"/"no", "on"/"off" (any case), "" is false;
// false for anything else.
bool ParseFlag(const std::string& text, bool& out);
// A whole decimal int (blanks around it allowed); false otherwise.
bool ParseInt(const std::string& text, int& out);

std::unique_ptr<Command::Result> Ok(const std::string& text);
std::unique_ptr<Command::Result> Error(const std::string& text);

// Argument i, or "" when there are fewer.
inline std::string At(const std::vector<std::string>& args, size_t i) {
    return i < args.size() ? args[i] : "";
}

class FunctionCommand : public Command {
public:
    using Body = std::function<std::unique_ptr<Result>(const std::vector<std::string>&)>;
    FunctionCommand(const std::string& name, const std::string& description, Body body)
        : Command(name, description), body(std::move(body)) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override { return body(a); }

    // Appends an argument description; returns *this for chaining.
    FunctionCommand& arg(const std::string& name, const std::string& type, const std::string& description,
                         bool optional = false, const std::string& defaultValue = "");

private:
    Body body;
};

}  // namespace CommandArgs
