// The page's files: types, compression, revalidation, redirects and no way
// out of the folder; and the checks of values saved from the page.
#include <gtest/gtest.h>
#include <json/json.h>

#include "../foundation/TestUtil.h"
#include "WebTestUtil.h"
#include "common.h"
#include "settings.h"
#include "webpage/SettingsApi.h"
#include "webpage/StaticFiles.h"

using namespace httpserver;
using namespace webtest;
using testutil::TempDir;

namespace {
std::string header(const std::string& response, const std::string& name) {
    size_t at = response.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return response.substr(at, response.find("\r\n", at) - at);
}
}  // namespace

TEST(StaticFilesServe, TypesCompressionAndRevalidation) {
    TempDir dir;
    testutil::makeDir(dir.sub("ui"));
    std::string html = "<!doctype html><title>x</title>" + std::string(4000, ' ') + "<p>end</p>";
    testutil::writeFile(dir.sub("ui/index.html"), html);
    testutil::writeFile(dir.sub("ui/app.js"), "export const a = 1;\n");
    testutil::writeFile(dir.sub("ui/.secret"), "no");
    testutil::writeFile(dir.sub("outside.txt"), "no");
    StaticFiles files(dir.sub("ui"));
    RootRedirect root;
    webserver ws(create_webserver(0).max_threads(1));
    ws.register_resource("/", &root, false);
    ws.register_resource("/ui", &files, true);
    ws.start();
    uint16_t port = ws.get_bound_port();

    std::string r = get(port, "/");
    EXPECT_EQ(statusOf(r), 302);
    EXPECT_EQ(header(r, "Location"), "/ui/");
    EXPECT_EQ(header(get(port, "/ui"), "Location"), "/ui/");
    EXPECT_EQ(statusOf(get(port, "/nothing")), 404);

    r = get(port, "/ui/");
    EXPECT_EQ(statusOf(r), 200);
    EXPECT_EQ(header(r, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header(r, "Content-Encoding"), "");
    EXPECT_EQ(bodyOf(r), html);
    std::string etag = header(r, "ETag");
    EXPECT_FALSE(etag.empty());
    EXPECT_EQ(header(r, "Cache-Control"), "no-cache");
    EXPECT_NE(header(r, "Last-Modified").find(" GMT"), std::string::npos);

    r = get(port, "/ui/index.html", "Accept-Encoding: gzip, deflate\r\n");
    EXPECT_EQ(header(r, "Content-Encoding"), "gzip");
    EXPECT_EQ(header(r, "Vary"), "Accept-Encoding");
    EXPECT_LT(bodyOf(r).size(), html.size() / 4);
    EXPECT_EQ(bodyOf(r).substr(0, 2), "\x1f\x8b");

    r = get(port, "/ui/index.html", "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(statusOf(r), 304);
    EXPECT_EQ(bodyOf(r), "");

    // A changed file gets a new tag.
    testutil::writeFile(dir.sub("ui/index.html"), html + "more");
    r = get(port, "/ui/index.html", "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(statusOf(r), 200);
    EXPECT_NE(header(r, "ETag"), etag);

    EXPECT_EQ(header(get(port, "/ui/app.js"), "Content-Type"), "text/javascript; charset=utf-8");
    for (const char* bad : {"/ui/.secret", "/ui/../outside.txt", "/ui/%2e%2e/outside.txt",
                            "/ui/..%2Foutside.txt", "/ui/missing.css"})
        EXPECT_EQ(statusOf(get(port, bad)), 404) << bad;
    ws.stop();
}

TEST(StaticFilesServe, GzipRoundTripsThroughZlib) {
    std::string text(10000, 'a');
    std::string gz = StaticFiles::gzip(text);
    ASSERT_FALSE(gz.empty());
    EXPECT_LT(gz.size(), 200u);
    EXPECT_TRUE(StaticFiles::isCompressible("text/css; charset=utf-8"));
    EXPECT_FALSE(StaticFiles::isCompressible("image/png"));
    EXPECT_EQ(StaticFiles::httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
}

TEST(SettingsCheck, ValuesAreCheckedAgainstTheirDescription) {
    Json::Value num = LoadJsonFromString(R"({"type":"number","min":"1","max":"100"})");
    Json::Value box = LoadJsonFromString(R"({"type":"checkbox"})");
    Json::Value sel = LoadJsonFromString(R"({"type":"select","options":["player","remote"]})");
    Json::Value text = LoadJsonFromString(R"({"type":"text"})");
    EXPECT_EQ(SettingsApi::check(num, "50"), "");
    EXPECT_EQ(SettingsApi::check(num, "0"), "must be at least 1");
    EXPECT_EQ(SettingsApi::check(num, "101"), "must be at most 100");
    EXPECT_EQ(SettingsApi::check(num, "12abc"), "must be a number");
    EXPECT_EQ(SettingsApi::check(num, "0x10"), "must be a number");
    EXPECT_EQ(SettingsApi::check(num, ""), "must be a number");
    EXPECT_EQ(SettingsApi::check(box, "1"), "");
    EXPECT_EQ(SettingsApi::check(box, "yes"), "must be 0 or 1");
    EXPECT_EQ(SettingsApi::check(sel, "remote"), "");
    EXPECT_EQ(SettingsApi::check(sel, "master"), "must be one of the listed choices");
    EXPECT_EQ(SettingsApi::check(text, "Front yard"), "");
    EXPECT_EQ(SettingsApi::check(text, "a=b"), "'=' cannot be stored in a setting");
    EXPECT_EQ(SettingsApi::check(text, "two\nlines"), "control characters are not allowed");
    EXPECT_EQ(SettingsApi::check(text, "\"quoted\""), "cannot start or end with a quote");
    EXPECT_EQ(SettingsApi::check(Json::Value(), "x"), "unknown setting");
}

TEST(SettingsSave, OneBadValueSavesNothingAndGoodOnesReachTheFile) {
    TempDir dir;
    ResetLyrDirsForTesting(dir.path(), dir.path());
    testutil::writeFile(dir.sub("settings"), "HostName = \"yard\"\nDateFormat = \"%Y\"\n");
    Json::Value saved = settings.settingsInfo;
    settings.settingsInfo = LoadJsonFromString(
        R"({"settings":{"HostName":{"type":"text"},"DateFormat":{"type":"text","live":true},
            "volume":{"type":"number","min":"0","max":"100"}}})");
    SettingsApi api;
    auto post = [&](const std::string& body) {
        return api.render_POST(http_request("POST", "/ui/api/settings", body));
    };

    auto r = post(R"({"values":{"HostName":"porch","volume":"300"}})");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_NE(r->get_content().find("\"volume\":\"must be at most 100\""), std::string::npos)
        << r->get_content();
    EXPECT_EQ(testutil::readFile(dir.sub("settings")), "HostName = \"yard\"\nDateFormat = \"%Y\"\n");

    r = post(R"({"values":{"HostName":"porch","DateFormat":"%d.%m.","volume":40}})");
    EXPECT_EQ(r->get_response_code(), 200) << r->get_content();
    EXPECT_NE(r->get_content().find("\"restart\":[\"HostName\",\"volume\"]"), std::string::npos)
        << r->get_content();
    EXPECT_EQ(testutil::readFile(dir.sub("settings")),
              "HostName = \"porch\"\nDateFormat = \"%d.%m.\"\nvolume = \"40\"\n");
    EXPECT_EQ(getSetting("DateFormat"), "%d.%m.");  // live at once

    EXPECT_EQ(post("{")->get_response_code(), 400);

    // Secrets never leave the board.
    SetSetting("MQTTPassword", "hunter2");
    settings.settingsInfo["settings"]["MQTTPassword"]["type"] = "text";
    std::string got = api.render_GET(http_request("GET", "/ui/api/settings"))->get_content();
    EXPECT_EQ(got.find("hunter2"), std::string::npos) << got;
    EXPECT_NE(got.find("\"MQTTPassword\":\"(set)\""), std::string::npos) << got;
    SetSetting("MQTTPassword", "");
    settings.settingsInfo = saved;
}
