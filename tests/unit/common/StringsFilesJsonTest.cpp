#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common.h"
#include "foundation/TestUtil.h"
#include "platform/Version.h"

using testutil::LogCapture;
using testutil::readFile;
using testutil::writeFile;
using Strings = std::vector<std::string>;

namespace {

TEST(Strings, SplitKeepsInnerEmptyTokensButNoTrailingOne) {
    EXPECT_EQ((Strings{"a", "", "b"}), split("a,,b,", ','));
    EXPECT_TRUE(split("", ',').empty());
    EXPECT_EQ((Strings{"", "x"}), split(",x", ','));
    Strings out{"kept"};
    split("p;q", ';', out);
    EXPECT_EQ((Strings{"kept", "p", "q"}), out);
}

TEST(Strings, SplitWithQuotes) {
    EXPECT_EQ((Strings{"a", "b,c", "d"}), splitWithQuotes("a,\"b,c\",'d'", ','));
    EXPECT_EQ((Strings{"a", "b", ""}), splitWithQuotes("a,b,", ','));
    EXPECT_EQ((Strings{""}), splitWithQuotes("", ','));
    // Both quote characters toggle the same flag; short or unmatched quotes stay.
    EXPECT_EQ((Strings{"\"x'", "y"}), splitWithQuotes("\"x',y", ','));
    EXPECT_EQ((Strings{"\"\"", "z"}), splitWithQuotes("\"\",z", ','));
}

TEST(Strings, ReplaceAllDoesNotRescanInsertedText) {
    std::string s = "aaaa";
    replaceAll(s, "aa", "a");
    EXPECT_EQ("aa", s);
    s = "aa";
    replaceAll(s, "a", "aa");  // would never end if it rescanned
    EXPECT_EQ("aaaa", s);
    s = "abc";
    replaceAll(s, "", "x");
    EXPECT_EQ("abc", s);
    s = "1-2-3";
    ReplaceString(s, "-", "");
    EXPECT_EQ("123", s);
}

TEST(Strings, PrefixesSuffixesAndTail) {
    EXPECT_TRUE(startsWith("abc", ""));
    EXPECT_FALSE(startsWith("ab", "abc"));
    EXPECT_FALSE(endsWith("bc", "abc"));
    EXPECT_TRUE(endsWith("abc", "bc"));
    std::string s = "show.lseq";
    EXPECT_TRUE(replaceEnd(s, ".lseq", ".mp3"));
    EXPECT_EQ("show.mp3", s);
    EXPECT_FALSE(replaceStart(s, "x", "y"));
    EXPECT_TRUE(replaceStart(s, "show", "night"));
    EXPECT_EQ("night.mp3", s);
    EXPECT_EQ("lo", tail("hello", 2));
    EXPECT_EQ("hello", tail("hello", 5));
    EXPECT_EQ("hello", tail("hello", 99));
    std::string t = "  \t x y \n";
    TrimWhiteSpace(t);
    EXPECT_EQ("x y", t);
    t = " \n ";
    TrimWhiteSpace(t);
    EXPECT_EQ("", t);
    EXPECT_EQ("ABC1", toUpperCopy("aBc1"));
}

TEST(Strings, SimpleTags) {
    EXPECT_EQ("v", getSimpleXMLTag("<a><b> v </b></a>", "b"));
    EXPECT_EQ("", getSimpleXMLTag("<b>open", "b"));
    EXPECT_EQ("", getSimpleXMLTag("no tags", "b"));
    std::string html = "<td>First</td><h1>skip</h1><td>Second  value  here</td>";
    EXPECT_EQ("First", getSimpleHTMLTTag(html, "", "<td>", "</td>"));
    EXPECT_EQ("Second value here", getSimpleHTMLTTag(html, "</h1>", "<td>", "</td>"));
    EXPECT_EQ("", getSimpleHTMLTTag(html, "<missing>", "<td>", "</td>"));
    EXPECT_EQ("", getSimpleHTMLTTag(html, "", "<td>", "</nope>"));
}

TEST(Strings, ReplaceKeywords) {
    std::map<std::string, std::string> kw{{"NAME", "Show"}, {"N", "3"}};
    EXPECT_EQ("Show 3 %OTHER% % 100%", ReplaceKeywords("%NAME% %N% %OTHER% % 100%", kw));
    std::string v = ReplaceKeywords("%LYR_VERSION%|%LYR_SOURCE_VERSION%|%LYR_BRANCH%", kw);
    EXPECT_EQ(getLyrVersionTriplet() + "|" + getLyrVersion() + "|" + getLyrBranch(), v);
    std::string t = ReplaceKeywords("%DATE% %TIME%", kw);
    ASSERT_EQ(19u, t.size()) << t;
    EXPECT_EQ('-', t[4]);
    EXPECT_EQ(':', t[13]);
}

TEST(Strings, BitsAndBase64) {
    EXPECT_EQ(0x80, ReverseBitsInByte(0x01));
    EXPECT_EQ(0x48, ReverseBitsInByte(0x12));
    EXPECT_EQ(0x0F, ReverseBitsInByte(0xF0));
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ("YWJj", base64Encode(abc, 3));
    EXPECT_EQ("YWI=", base64Encode(abc, 2));
    EXPECT_EQ("YQ==", base64Encode(abc, 1));
    EXPECT_EQ("", base64Encode(abc, 0));

    std::vector<unsigned char> all;
    for (int i = 0; i < 256; i++) all.push_back(static_cast<unsigned char>(i));
    EXPECT_EQ(all, base64Decode(base64Encode(all.data(), static_cast<unsigned>(all.size()))));
    EXPECT_EQ((std::vector<unsigned char>{'a', 'b'}), base64Decode("YWI="));
    EXPECT_EQ((std::vector<unsigned char>{'a', 'b'}), base64Decode("YWI"));  // partial group
    EXPECT_EQ((std::vector<unsigned char>{'a', 'b', 'c'}), base64Decode("YWJj!YWJj"));
    EXPECT_TRUE(base64Decode("").empty());
}

class Files : public ::testing::Test {
protected:
    testutil::TempDir dir;
};

TEST_F(Files, ExistenceTouchAndContents) {
    std::string f = dir.sub("f.bin");
    EXPECT_FALSE(FileExists(f));
    EXPECT_TRUE(FileExists(dir.path()));
    EXPECT_TRUE(DirectoryExists(dir.path()));
    EXPECT_TRUE(Touch(f));
    EXPECT_TRUE(FileExists(f));
    EXPECT_FALSE(DirectoryExists(f));
    std::string binary("a\0b\xff", 4);
    writeFile(f, binary);
    EXPECT_TRUE(Touch(f));
    EXPECT_EQ(binary, GetFileContents(f));  // Touch keeps the content
    EXPECT_EQ("", GetFileContents(dir.sub("missing")));
    EXPECT_FALSE(Touch(dir.sub("no/such/dir")));
}

TEST_F(Files, PutFileContentsReplacesWholeAndLeavesNothingBehind) {
    std::string f = dir.sub("out.txt");
    ASSERT_TRUE(PutFileContents(f, "first version, longer"));
    ASSERT_TRUE(PutFileContents(f, "second"));
    EXPECT_EQ("second", readFile(f));
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    EXPECT_EQ(0664u, st.st_mode & 0777);
    EXPECT_EQ(Strings{"out.txt"}, testutil::listDir(dir.path()));

    LogCapture log;
    std::string bad = dir.sub("missing/out.txt");
    EXPECT_FALSE(PutFileContents(bad, "x"));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "ERROR: Unable to open " + bad + " for writing.\n"));
}

// Several threads saving the same file (a playlist saved from two HTTP
// requests at once) must still leave one complete version.
TEST_F(Files, ConcurrentWritersNeverLeaveAMixedFile) {
    std::string f = dir.sub("shared.json");
    std::vector<std::string> versions;
    for (int t = 0; t < 4; t++) versions.push_back(std::string(200000, static_cast<char>('a' + t)));
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; i++) {
                if (!PutFileContents(f, versions[t])) failed = true;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(failed.load());
    std::string final = readFile(f);
    bool whole = false;
    for (const auto& v : versions) whole = whole || final == v;
    EXPECT_TRUE(whole) << "file of " << final.size() << " bytes is not one complete version";
    EXPECT_EQ(Strings{"shared.json"}, testutil::listDir(dir.path()));
}

TEST_F(Files, HostSpecificFilesPreferDashThenUnderscore) {
    std::string base = dir.sub("show.dat");
    std::string name = base;
    EXPECT_FALSE(CheckForHostSpecificFile("pi1", name));
    EXPECT_EQ(base, name);
    writeFile(dir.sub("show_pi1.dat"), "u");
    EXPECT_TRUE(CheckForHostSpecificFile("pi1", name));
    EXPECT_EQ(dir.sub("show_pi1.dat"), name);
    writeFile(dir.sub("show-pi1.dat"), "d");
    name = base;
    EXPECT_TRUE(CheckForHostSpecificFile(std::string("pi1"), name));
    EXPECT_EQ(dir.sub("show-pi1.dat"), name);

    writeFile(dir.sub("map-pi1.json"), "j");  // five-character extension
    name = dir.sub("map.json");
    EXPECT_TRUE(CheckForHostSpecificFile("pi1", name));
    EXPECT_EQ(dir.sub("map-pi1.json"), name);
    name = dir.sub("noext");
    EXPECT_FALSE(CheckForHostSpecificFile("pi1", name));
}

TEST(HexDump, LayoutOfTitleAndShortLastLine) {
    testutil::LogLevels restore;
    VB_GENERAL.level = LOG_INFO;
    LogCapture log;
    std::string data = "0123456789ABCDEFA%\n";
    HexDump("pkt", data.data(), static_cast<int>(data.size()), VB_GENERAL);
    auto lines = log.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("pkt: (19 bytes)\n", lines[0].message);
    EXPECT_EQ("000000: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46    0123456789ABCDEF\n",
              lines[1].message);
    EXPECT_EQ("000010: 41 25 0a " + std::string(13 * 3, ' ') + "   A..\n", lines[2].message);
    HexDump("", data.data(), 0, VB_GENERAL);  // nothing at all
    EXPECT_EQ(3u, log.lines().size());
}

TEST(Json, LoadAndSave) {
    LogCapture log;
    Json::Value v;
    ASSERT_TRUE(LoadJsonFromString("{\"a\": [1, 2], // note\n \"b\": \"x\"}", v));
    EXPECT_EQ(2, v["a"][1].asInt());
    EXPECT_FALSE(LoadJsonFromString("{\"a\":", v));
    EXPECT_TRUE(v.isNull());
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Error parsing JSON string in LoadJsonFromString(): '{\"a\":'"));
    EXPECT_TRUE(LoadJsonFromString("not json").isNull());

    EXPECT_FALSE(LoadJsonFromFile("/nonexistent/x.json", v));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "JSON File /nonexistent/x.json does not exist\n"));

    Json::Value doc;
    doc["b"] = 1;
    doc["a"] = "t";
    EXPECT_EQ("{\"a\":\"t\",\"b\":1}", SaveJsonToString(doc));
    EXPECT_EQ("{\n\t\"a\" : \"t\",\n\t\"b\" : 1\n}", SaveJsonToString(doc, "\t"));

    testutil::TempDir dir;
    std::string f = dir.sub("doc.json");
    ASSERT_TRUE(SaveJsonToFile(doc, f));
    EXPECT_EQ(doc, LoadJsonFromFile(f));
    ASSERT_TRUE(SaveJsonToFile(doc, f.c_str(), ""));
    EXPECT_EQ("{\"a\":\"t\",\"b\":1}", readFile(f));
}

TEST(Json, MergeRecursesIntoObjectsOnly) {
    Json::Value into = LoadJsonFromString("{\"a\":{\"x\":1},\"c\":[1],\"d\":{\"k\":1}}");
    Json::Value from = LoadJsonFromString("{\"a\":{\"y\":2},\"b\":3,\"c\":[2,3],\"d\":5}");
    MergeJsonValues(into, from);
    EXPECT_EQ(LoadJsonFromString("{\"a\":{\"x\":1,\"y\":2},\"b\":3,\"c\":[2,3],\"d\":5}"), into);
}

}  // namespace
