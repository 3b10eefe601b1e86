#include "overlays/GlazeHttp.h"
#include "overlays/OverlayTestUtil.h"

using namespace overlaytest;
using httpserver::http_request;

namespace {

class GlazeHttpTest : public OverlayTest {
protected:
    struct Answer {
        int code;
        std::string type;
        std::string body;
        Json::Value json() const { return LoadJsonFromString(body); }
    };
    Answer call(const std::string& method, const std::string& path, const std::string& body = "",
                const std::map<std::string, std::string>& args = {}) {
        auto r = httpserver::dispatch(g, http_request(method, path, body, args));
        return {r->get_response_code(), r->get_content_type(), r->get_content()};
    }
    GlazeManager g;
};

const std::string OK = "{ \"Status\": \"OK\", \"Message\": \"\"}";

}  // namespace

TEST_F(GlazeHttpTest, ListsModelsAndAnswersMissingOnes) {
    auto empty = call("GET", "/models", "", {{"simple", "true"}});
    EXPECT_EQ(empty.body, "[]");
    EXPECT_EQ(empty.type, "application/json");
    g.addModel(matrix("m1", 1, 2, 2));
    g.addModel(matrix("m2", 13, 2, 2));
    EXPECT_EQ(call("GET", "/models", "", {{"simple", "true"}}).json(), LoadJsonFromString("[\"m1\",\"m2\"]"));
    EXPECT_EQ(call("GET", "/api/models").json()[1]["Name"].asString(), "m2");
    EXPECT_EQ(call("GET", "/models/m1").json()["Width"].asInt(), 2);
    auto missing = call("GET", "/models/zz");
    EXPECT_EQ(missing.code, 404);
    EXPECT_EQ(missing.body, "Model not found: zz");
    EXPECT_EQ(call("GET", "/nothing").body, "Not found: nothing");
}

TEST_F(GlazeHttpTest, OverlayModelJsonDataAndClear) {
    g.addModel(matrix("m", 1, 2, 1));
    GlazeModel* m = g.getModel("m");
    m->setState(GlazeState("Transparent"));
    m->fill(3, 3, 3);
    Json::Value list = call("GET", "/overlays/models").json();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["isActive"].asInt(), 2);
    EXPECT_FALSE(list[0]["effectRunning"].asBool());
    EXPECT_FALSE(list[0].isMember("effectName"));
    EXPECT_EQ(list[0]["width"].asInt(), 2);
    EXPECT_TRUE(call("GET", "/overlays/model/none").json().isNull());
    Json::Value data = call("GET", "/overlays/model/m/data/rle").json();
    EXPECT_TRUE(data["rle"].asBool());
    EXPECT_EQ(SaveJsonToString(data["data"]), "[[2,3,3,3]]");
    EXPECT_EQ(call("GET", "/overlays/model/m/data").json()["data"].size(), 6u);
    EXPECT_EQ(call("GET", "/overlays/model/m/clear").body, OK);
    EXPECT_EQ(call("GET", "/overlays/model/m/data").json()["data"][0].asInt(), 0);
    EXPECT_TRUE(call("GET", "/overlays/whatever").json().isNull());
}

TEST_F(GlazeHttpTest, FontsSettingsAndEffects) {
    g.fonts = {{"B", "/b.ttf"}, {"A", ""}};
    EXPECT_EQ(call("GET", "/overlays/fonts").json(), LoadJsonFromString("[\"A\",\"B\"]"));
    EXPECT_TRUE(call("GET", "/overlays/settings").json()["autoCreate"].asBool());
    Json::Value effects = call("GET", "/overlays/effects").json();
    ASSERT_GE(effects.size(), 2u);
    EXPECT_EQ(effects[0].asString(), "Text");
    Json::Value text = call("GET", "/overlays/effects/Text").json();
    EXPECT_EQ(text["name"].asString(), "Text");
    EXPECT_EQ(text["args"].size(), 8u);
    EXPECT_TRUE(call("GET", "/overlays/effects/Nope").json().isNull());
}

TEST_F(GlazeHttpTest, PostedModelMapIsCheckedBeforeItReplacesTheOldOne) {
    std::string good =
        SaveJsonToString(LoadJsonFromString("{\"models\": [{\"Name\": \"x\", \"ChannelCount\": 9}]}"));
    auto r = call("POST", "/models", good);
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, OK);
    ASSERT_NE(g.getModel("x"), nullptr);
    for (const char* bad : {"{\"models\": [", "[1,2]", "{\"models\": 5}", "{\"models\": [7]}", "",
                            "{\"autoCreate\": \"yes\"}"}) {
        auto b = call("POST", "/models", bad);
        EXPECT_EQ(b.code, 400) << bad;
        EXPECT_EQ(testutil::readFile(mapPath()), good) << bad;
        EXPECT_NE(g.getModel("x"), nullptr);
    }
    // What the file load takes, the upload takes: numbers convert.
    auto numeric = call("POST", "/models", "{\"autoCreate\": 0, \"models\": []}");
    EXPECT_EQ(numeric.code, 200);
    EXPECT_FALSE(g.getAutoCreate());
    EXPECT_EQ(call("POST", "/models/other").body, "POST Not found /models/other");
    EXPECT_EQ(testutil::listDir(media.sub("config")), std::vector<std::string>{"model-overlays.json"});
}

TEST_F(GlazeHttpTest, PostedRawMapIsImported) {
    EXPECT_EQ(call("POST", "/models/raw", "Tree,1,300,vertical,TL,1,1\n").body, OK);
    EXPECT_NE(g.getModel("Tree"), nullptr);
    EXPECT_FALSE(FileExists(media.sub("channelmemorymaps")));
}

TEST_F(GlazeHttpTest, PutModelCommands) {
    g.addModel(matrix("m", 1, 2, 1));
    GlazeModel* m = g.getModel("m");
    EXPECT_EQ(call("PUT", "/overlays/model/m/state", "{\"State\": 3}").body, OK);
    EXPECT_EQ(m->getState().getState(), 3);
    EXPECT_EQ(call("PUT", "/overlays/model/m/state", "{}").code, 500);
    EXPECT_EQ(call("PUT", "/overlays/model/m/state", "{\"State\": 9}").code, 400);
    EXPECT_EQ(call("PUT", "/overlays/model/m/state", "{\"State\": 4294967297}").code, 400);
    EXPECT_EQ(m->getState().getState(), 3);
    EXPECT_EQ(call("PUT", "/overlays/model/m/fill", "{\"Value\": 7}").body, OK);
    Json::Value d;
    m->getDataJson(d, false);
    EXPECT_EQ(SaveJsonToString(d), "[7,7,7,7,7,7]");
    EXPECT_EQ(call("PUT", "/overlays/model/m/fill", "{\"RGB\": [1, 2, 300]}").body, OK);
    EXPECT_EQ(call("PUT", "/overlays/model/m/fill", "{\"RGB\": [1]}").code, 400);
    EXPECT_EQ(call("PUT", "/overlays/model/m/pixel", "{\"X\": 1, \"Y\": 0, \"RGB\": [9, 8, 7]}").body, OK);
    m->getDataJson(d, false);
    EXPECT_EQ(SaveJsonToString(d), "[1,2,255,9,8,7]");
    EXPECT_EQ(call("PUT", "/overlays/model/m/pixel", "{\"X\": 2, \"Y\": 0, \"RGB\": [9, 8, 7]}").code, 400);
    EXPECT_EQ(call("PUT", "/overlays/model/m/pixel", "{\"X\": 1e30, \"Y\": 0, \"RGB\": [9, 8, 7]}").code,
              400);
    EXPECT_EQ(call("PUT", "/overlays/model/m/save", "{\"File\": \"snap.png\"}").body, OK);
    EXPECT_TRUE(FileExists(media.sub("images/snap.png")));
    EXPECT_EQ(call("PUT", "/overlays/model/m/save", "{\"File\": \"../../etc/x.png\"}").code, 400);
    EXPECT_EQ(call("PUT", "/overlays/model/m/mmap").body, OK);
    auto unknown = call("PUT", "/overlays/model/m/dance", "{}");
    EXPECT_EQ(unknown.code, 404);
    EXPECT_EQ(unknown.body, "Model Command Not found dance");
    auto parse = call("PUT", "/overlays/model/m/fill", "{oops");
    EXPECT_EQ(parse.code, 500);
    EXPECT_EQ(parse.body, "Could not parse request {oops");
    EXPECT_EQ(call("PUT", "/overlays/model/q/fill", "{}").body, "Model Not found q");
    EXPECT_EQ(call("PUT", "/overlays/nothing").body, "PUT Not found /overlays/nothing");
}

TEST_F(GlazeHttpTest, RangesSetUpdateAndDeleteWithABriefTail) {
    EXPECT_EQ(call("PUT", "/overlays/range/10-12/255").body, OK);
    auto ranges = g.getChannelRanges();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].start, 9);
    EXPECT_EQ(ranges[0].end, 11);
    EXPECT_TRUE(g.hasActiveOverlays());
    std::atomic<bool> done{false};
    std::thread del([&] {
        call("PUT", "/overlays/range/10-12/delete");
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return g.getChannelRanges().empty(); }));
    EXPECT_TRUE(g.hasActiveOverlays());  // still composing for 125 ms
    del.join();
    EXPECT_FALSE(g.hasActiveOverlays());

    EXPECT_EQ(call("PUT", "/overlays/range/5", "{\"Value\": 128}").body, OK);
    ranges = g.getChannelRanges();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].start, 4);
    EXPECT_EQ(ranges[0].end, 4);
    EXPECT_EQ(ranges[0].value, 128);
    call("PUT", "/overlays/range/5/64");
    EXPECT_EQ(g.getChannelRanges()[0].value, 64);
    EXPECT_EQ(g.numActive, 1);
    call("PUT", "/overlays/range/20-30", "{\"Value\": 1}");
    EXPECT_EQ(call("PUT", "/overlays/range/1", "{\"deleteAll\": true}").body, OK);
    EXPECT_TRUE(g.getChannelRanges().empty());
    EXPECT_EQ(g.numActive, 0);

    for (const char* bad :
         {"/overlays/range/0", "/overlays/range/abc", "/overlays/range/12-10/1", "/overlays/range/5-x/1",
          "/overlays/range/99999999999/1", "/overlays/range/5/lots"}) {
        EXPECT_EQ(call("PUT", bad).code, 400) << bad;
    }
    EXPECT_EQ(call("PUT", "/overlays/range/5", "{\"Nothing\": 1}").code, 400);
    EXPECT_TRUE(g.getChannelRanges().empty());
}
