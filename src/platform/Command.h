// A named command with typed arguments, run with string arguments.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

class Command {
public:
    class CommandArg {
    public:
        CommandArg(const std::string& n, const std::string& t, const std::string& d, bool opt = false)
            : name(n), type(t), description(d), optional(opt) {}
        std::string name;
        std::string type;
        std::string description;
        bool optional;
        std::string defaultValue;
        std::vector<std::string> allowableValues;
        int min = -1;
        int max = -1;
        std::string contentListUrl;
        std::string adminRequired;
    };

    class Result {
    public:
        explicit Result(const std::string& text = "", const std::string& type = "text/plain")
            : text(text), type(type) {}
        virtual ~Result() {}
        virtual bool isDone() { return true; }
        virtual bool isError() { return false; }
        virtual const std::string& get() { return text; }
        virtual const std::string& contentType() { return type; }

    protected:
        std::string text;
        std::string type;
    };

    class ErrorResult : public Result {
    public:
        explicit ErrorResult(const std::string& text) : Result(text) {}
        bool isError() override { return true; }
    };

    explicit Command(const std::string& name) : name(name) {}
    Command(const std::string& name, const std::string& description) : name(name), description(description) {}
    virtual ~Command() {}

    virtual const std::string& getDescription() { return description; }
    virtual bool hidden() const { return false; }
    virtual std::unique_ptr<Result> run(const std::vector<std::string>& args) = 0;

    virtual Json::Value getDescriptionJSON();

    const std::string name;
    std::string description;
    std::vector<CommandArg> args;
};
