// The playing and remote members of the status document, from the
// documents the player and the outputs report.
#include <gtest/gtest.h>
#include <json/json.h>

#include "Portal.h"
#include "common.h"

namespace {

Json::Value info(const std::string& entryJson,
                 const std::string& name = "/media/playlists/Evening Show.json") {
    Json::Value i;
    i["name"] = name;
    i["desc"] = "Front yard";
    i["repeat"] = 1;
    i["size"] = 7;
    i["currentEntry"] = LoadJsonFromString(entryJson);
    return i;
}

Json::Value playing(const Json::Value& inf, uint64_t seqElapsedMS = 0, uint64_t seqRemainingMS = 0) {
    Json::Value r;
    FillPlayingStatus(r, inf, 3, seqElapsedMS, seqRemainingMS);
    return r;
}

}  // namespace

TEST(PlayingStatus, PairedEntryTakesNamesFromBothHalvesAndTimesFromMedia) {
    Json::Value r = playing(info(R"({"type":"both","sequence":{"sequenceName":"song.lseq"},
        "media":{"mediaFilename":"song.mp3","secondsElapsed":65,"secondsRemaining":3700}})"));
    EXPECT_EQ(r["current_playlist"]["playlist"].asString(), "Evening Show");
    EXPECT_EQ(r["current_playlist"]["description"].asString(), "Front yard");
    EXPECT_EQ(r["current_playlist"]["index"].asString(), "3");
    EXPECT_EQ(r["current_playlist"]["count"].asString(), "7");
    EXPECT_EQ(r["current_playlist"]["type"].asString(), "both");
    EXPECT_EQ(r["repeat_mode"].asInt(), 1);
    EXPECT_EQ(r["current_sequence"].asString(), "song.lseq");
    EXPECT_EQ(r["current_song"].asString(), "song.mp3");
    EXPECT_EQ(r["seconds_played"].asString(), "65");
    EXPECT_EQ(r["seconds_elapsed"].asString(), "65");
    EXPECT_EQ(r["seconds_remaining"].asString(), "3700");
    EXPECT_EQ(r["time_elapsed"].asString(), "01:05");
    EXPECT_EQ(r["time_remaining"].asString(), "01:01:40");
    EXPECT_TRUE(r.isMember("next_playlist"));
}

TEST(PlayingStatus, EachEntryTypeReportsItsOwnFields) {
    Json::Value r = playing(info(R"({"type":"media","mediaFilename":"a.ogg","secondsElapsed":"12",
        "secondsRemaining":30})"));
    EXPECT_EQ(r["current_song"].asString(), "a.ogg");
    EXPECT_EQ(r["seconds_played"].asString(), "12");
    EXPECT_EQ(r["seconds_remaining"].asString(), "30");

    r = playing(info(R"({"type":"sequence","sequenceName":"x.lseq","secondsElapsed":999})"), 61500, 4200);
    EXPECT_EQ(r["current_sequence"].asString(), "x.lseq");
    EXPECT_EQ(r["seconds_played"].asString(), "61");  // from the sequence player, not the entry
    EXPECT_EQ(r["seconds_remaining"].asString(), "4");

    r = playing(info(R"({"type":"script","scriptFilename":"lights.sh","secondsElapsed":8})"));
    EXPECT_EQ(r["current_sequence"].asString(), "lights.sh");
    EXPECT_EQ(r["seconds_played"].asString(), "8");
    EXPECT_EQ(r["seconds_remaining"].asString(), "0");

    r = playing(info(R"({"type":"pause","duration":30,"remaining":12.7})"));
    EXPECT_EQ(r["seconds_played"].asString(), "18");
    EXPECT_EQ(r["seconds_remaining"].asString(), "12");

    r = playing(info(R"({"type":"command","secondsElapsed":5})"));
    EXPECT_EQ(r["seconds_played"].asString(), "0");
    EXPECT_EQ(r["current_sequence"].asString(), "");
    EXPECT_EQ(r["current_playlist"]["type"].asString(), "command");
}

TEST(PlayingStatus, DynamicEntryReportsTheGeneratedEntry) {
    Json::Value r = playing(info(R"({"type":"dynamic","subType":"url",
        "dynamic":{"type":"media","mediaFilename":"gen.mp3","secondsElapsed":3,"secondsRemaining":4}})"));
    EXPECT_EQ(r["current_playlist"]["type"].asString(), "media");
    EXPECT_EQ(r["current_song"].asString(), "gen.mp3");
    EXPECT_EQ(r["seconds_remaining"].asString(), "4");
}

TEST(PlayingStatus, PlaylistNameLosesDirectoryAndExtensionButNotLseq) {
    EXPECT_EQ(playing(info("{}", "C:\\shows\\xmas.v2.json"))["current_playlist"]["playlist"].asString(),
              "xmas.v2");
    EXPECT_EQ(playing(info("{}", "/seq/tree.lseq"))["current_playlist"]["playlist"].asString(), "tree.lseq");
    EXPECT_EQ(playing(info("{}", "plain"))["current_playlist"]["playlist"].asString(), "plain");
}

TEST(PlayingStatus, MalformedDocumentsReadAsEmptyInsteadOfThrowing) {
    Json::Value bad;
    bad["name"] = 5;
    bad["size"] = "many";
    bad["repeat"] = Json::Value(Json::arrayValue);
    bad["currentEntry"] = "not an object";
    Json::Value r = playing(bad);
    EXPECT_EQ(r["current_playlist"]["count"].asString(), "0");
    EXPECT_EQ(r["repeat_mode"].asInt(), 0);
    r = playing(info(R"({"type":"both","sequence":"oops","media":[1,2]})"));
    EXPECT_EQ(r["current_sequence"].asString(), "");
    EXPECT_EQ(r["seconds_played"].asString(), "0");
    r = playing(info(R"({"type":"media","secondsElapsed":1e300,"secondsRemaining":18446744073709551615})"));
    EXPECT_EQ(r["seconds_played"].asString(), "2147483647");
    r = playing(Json::Value("a string, not an info document"));
    EXPECT_EQ(r["current_playlist"]["type"].asString(), "");
}

TEST(RemoteStatus, KeepsDefaultsWhenNothingPlays) {
    Json::Value r;
    r["status"] = 0;
    r["status_name"] = "idle";
    FillRemoteStatus(r, "", 0, 0, false, "", 0, 0);
    EXPECT_EQ(r["status"].asInt(), 0);
    EXPECT_EQ(r["status_name"].asString(), "idle");
    EXPECT_EQ(r["current_sequence"].asString(), "");
    EXPECT_EQ(r["seconds_played"].asString(), "0");
    EXPECT_EQ(r["time_remaining"].asString(), "00:00");
}

TEST(RemoteStatus, SequenceOrMediaMakesItPlaying) {
    Json::Value r;
    FillRemoteStatus(r, "show.lseq", 10, 20, false, "", 0, 0);
    EXPECT_EQ(r["status"].asInt(), 1);
    EXPECT_EQ(r["status_name"].asString(), "playing");
    EXPECT_EQ(r["playlist"].asString(), "show.lseq");
    EXPECT_EQ(r["sequence_filename"].asString(), "show.lseq");
    EXPECT_EQ(r["seconds_elapsed"].asString(), "10");

    Json::Value m;
    FillRemoteStatus(m, "show.lseq", 10, 20, true, "show.mp3", 11, 19);
    EXPECT_EQ(m["media_filename"].asString(), "show.mp3");
    EXPECT_EQ(m["current_song"].asString(), "show.mp3");
    EXPECT_EQ(m["seconds_played"].asString(), "11");
    EXPECT_EQ(m["time_remaining"].asString(), "00:19");
}
