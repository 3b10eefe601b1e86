// The command registry's HTTP resource, against the real registry.
#include <gtest/gtest.h>
#include <json/json.h>

#include <stdexcept>
#include <string>

#include "PortalCommands.h"
#include "common.h"
#include "platform/CommandManager.h"

using httpserver::http_request;
using httpserver::http_response;

namespace {

class JoinCommand : public Command {
public:
    JoinCommand() : Command("HTTP Test Join", "Joins its arguments") {
        args.emplace_back("first", "string", "First part");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string out;
        for (const auto& s : a) out += "[" + s + "]";
        return std::make_unique<Result>(out);
    }
};

class FailCommand : public Command {
public:
    FailCommand() : Command("HTTP Test Fail", "Always fails") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!a.empty()) (void)std::stoi(a[0]);
        return std::make_unique<ErrorResult>("it failed");
    }
};

class CommandResourceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CommandManager::INSTANCE.addCommand(new JoinCommand());
        CommandManager::INSTANCE.addCommand(new FailCommand());
    }
    static void TearDownTestSuite() {
        CommandManager::INSTANCE.removeCommand("HTTP Test Join");
        CommandManager::INSTANCE.removeCommand("HTTP Test Fail");
    }
    std::shared_ptr<http_response> get(const std::string& rawPath) {
        http_request req("GET", httpserver::url_decode(rawPath));
        req.raw_path = rawPath;
        return httpserver::dispatch(res, req);
    }
    std::shared_ptr<http_response> post(const std::string& rawPath, const std::string& body) {
        http_request req("POST", httpserver::url_decode(rawPath), body);
        req.raw_path = rawPath;
        return httpserver::dispatch(res, req);
    }
    CommandResource res;
};

}  // namespace

TEST_F(CommandResourceTest, ListsAndDescribesCommands) {
    auto r = get("/commands");
    ASSERT_EQ(r->get_response_code(), 200);
    EXPECT_EQ(r->get_content_type(), "application/json");
    EXPECT_NE(r->get_content().find("HTTP Test Join"), std::string::npos);
    EXPECT_NE(r->get_content().find("First part"), std::string::npos);
    r = get("/commands/HTTP%20Test%20Join");
    ASSERT_EQ(r->get_response_code(), 200);
    EXPECT_EQ(LoadJsonFromString(r->get_content())["name"].asString(), "HTTP Test Join");
    EXPECT_EQ(get("/commands/No%20Such")->get_response_code(), 404);
    EXPECT_EQ(get("/commandPresets")->get_response_code(), 200);
}

TEST_F(CommandResourceTest, RunsByPathWithPiecesDecodedOneByOne) {
    auto r = get("/command/HTTP%20Test%20Join/a%2Fb/c%20d/%zz");
    EXPECT_EQ(r->get_response_code(), 200);
    EXPECT_EQ(r->get_content_type(), "text/plain");
    EXPECT_EQ(r->get_content(), "[a/b][c d][%zz]");
    EXPECT_EQ(get("/command/HTTP%20Test%20Join")->get_content(), "");
    EXPECT_EQ(get("/command")->get_response_code(), 400);
}

TEST_F(CommandResourceTest, RunsFromJson) {
    auto r = post("/command", R"({"command":"HTTP Test Join","args":["x",5]})");
    EXPECT_EQ(r->get_response_code(), 200);
    EXPECT_EQ(r->get_content(), "[x][5]");
    r = post("/command/HTTP%20Test%20Join/p", R"(["q"])");
    EXPECT_EQ(r->get_content(), "[p][q]");
}

TEST_F(CommandResourceTest, ErrorsComeBackAs4xxWithTheRegistryText) {
    auto r = get("/command/No%20Such/1");
    EXPECT_EQ(r->get_response_code(), 404);
    EXPECT_EQ(r->get_content(), "Unknown command: 'No Such'");
    r = get("/command/HTTP%20Test%20Fail");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_EQ(r->get_content(), "it failed");
    // A command that throws on a bad number is a failed command, not a dead worker.
    EXPECT_EQ(get("/command/HTTP%20Test%20Fail/notanumber")->get_response_code(), 400);
    EXPECT_EQ(post("/command", "{")->get_content(), "Error parsing POST content");
    EXPECT_EQ(post("/command", "[1]")->get_response_code(), 400);
    EXPECT_EQ(post("/command", R"({"args":[]})")->get_response_code(), 400);
    EXPECT_EQ(post("/command", R"({"command":"HTTP Test Join","args":{"a":1}})")->get_response_code(), 400);
    EXPECT_EQ(post("/command", R"({"command":"HTTP Test Join","args":[{"a":1}]})")->get_response_code(), 400);
    EXPECT_EQ(post("/command/HTTP%20Test%20Join", R"({"a":1})")->get_response_code(), 400);
    EXPECT_EQ(post("/command", "")->get_response_code(), 400);
}
