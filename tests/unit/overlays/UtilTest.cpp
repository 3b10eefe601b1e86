#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "overlays/GlazeUtil.h"
#include "overlays/OverlayTestUtil.h"

using namespace overlaytest;

TEST(MapColor, HexNamesAndNumbers) {
    EXPECT_EQ(mapColor("#00ff00"), 0x00FF00u);
    EXPECT_EQ(mapColor("grey"), 0x808080u);
    EXPECT_EQ(mapColor("gray"), 0x808080u);
    EXPECT_EQ(mapColor("16711680"), 0xFF0000u);
    EXPECT_EQ(mapColor("0xFF00FF"), 0xFF00FFu);
    EXPECT_EQ(mapColor("010"), 8u);
    EXPECT_EQ(mapColor("magenta"), 0xFF00FFu);
    EXPECT_THROW(mapColor("Red"), std::invalid_argument);  // names are case-sensitive
    EXPECT_THROW(mapColor("#zz"), std::invalid_argument);
    unsigned c = 1;
    EXPECT_FALSE(tryMapColor("#zz", c));
    EXPECT_FALSE(tryMapColor("#12zz", c));  // stoul would take "12"
    EXPECT_FALSE(tryMapColor("", c));
    EXPECT_TRUE(tryMapColor("#1FF0000", c));
    EXPECT_EQ(c, 0xFF0000u);  // low 24 bits
}

class FindFontsTest : public OverlayTest {};

TEST_F(FindFontsTest, RecursesSkipsDotsAndLinksAndMapsNames) {
    std::string root = media.sub("fonts/");
    testutil::makeDir(root);
    testutil::makeDir(root + "sub");
    testutil::makeDir(root + ".hidden");
    testutil::writeFile(root + "sub/Sans.ttf", "x");
    testutil::writeFile(root + ".hidden/Ghost.ttf", "x");
    testutil::writeFile(root + ".Dot.ttf", "x");
    testutil::writeFile(root + "Upper.TTF", "x");
    testutil::writeFile(root + "Mono.ttf", "x");
    ASSERT_EQ(symlink((root + "Mono.ttf").c_str(), (root + "Link.ttf").c_str()), 0);
    std::map<std::string, std::string> fonts{{"Mono", ""}};
    findFonts(root, fonts);
    findFonts(media.sub("missing/"), fonts);  // silently nothing
    EXPECT_EQ(fonts.size(), 2u);
    EXPECT_EQ(fonts["Sans"], root + "sub/Sans.ttf");
    EXPECT_EQ(fonts["Mono"], root + "Mono.ttf");

    GlazeManager g;
    g.setFontDirectories({root});
    g.loadFonts();
    EXPECT_EQ(g.mapFont("Sans"), root + "sub/Sans.ttf");
    EXPECT_EQ(g.mapFont("NoSuchFont"), "NoSuchFont");
    EXPECT_EQ(g.fonts.count("NoSuchFont"), 0u);  // a lookup adds nothing
}

TEST(ChannelMemoryMapLine, FieldsAndRejects) {
    Json::Value m;
    ASSERT_TRUE(parseCMMLine("Tree,1,300,vertical,TL,1,1\n", m));
    EXPECT_EQ(m["Name"].asString(), "Tree");
    EXPECT_EQ(m["StartChannel"].asInt(), 1);
    EXPECT_EQ(m["ChannelCount"].asInt(), 300);
    EXPECT_EQ(m["Orientation"].asString(), "vertical");
    ASSERT_TRUE(parseCMMLine("Roof,10,30,across,BL,2,1", m));
    EXPECT_EQ(m["Orientation"].asString(), "horizontal");
    for (const char* bad :
         {"# comment,1,3,vertical,TL,1,1", "", "Short,1,3,vertical,TL,1", "Zero,0,3,h,TL,1,1",
          "Neg,1,-3,h,TL,1,1", "Word,one,3,h,TL,1,1", "Empty,1,3,,TL,1,1"}) {
        EXPECT_FALSE(parseCMMLine(bad, m)) << bad;
    }
}

class ConvertCMMTest : public OverlayTest {};

TEST_F(ConvertCMMTest, OldFileBecomesTheModelMapAndIsRemoved) {
    std::string longName(100, 'L');
    testutil::writeFile(media.sub("channelmemorymaps"), "# name,start,count\nTree,1,300,vertical,TL,1,1\n" +
                                                            longName + ",301,30,h,TL,1,1\nbad,0,1\n");
    GlazeManager g;
    g.loadModelMap();
    EXPECT_FALSE(FileExists(media.sub("channelmemorymaps")));
    Json::Value root;
    ASSERT_TRUE(LoadJsonFromFile(mapPath(), root));
    ASSERT_EQ(root["models"].size(), 2u);
    EXPECT_EQ(root["models"][1]["Name"].asString(), longName);  // a long line stays one line
    GlazeModel* tree = g.getModel("Tree");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->getStartChannel(), 0);
    EXPECT_EQ(tree->getChannelCount(), 300);
    EXPECT_EQ(tree->getConfig()["Orientation"].asString(), "vertical");
}

TEST_F(ConvertCMMTest, OldFileIsKeptWhenTheMapCannotBeWritten) {
    testutil::writeFile(media.sub("channelmemorymaps"), "Tree,1,300,vertical,TL,1,1\n");
    // A plain file where the config folder belongs: nothing can be written.
    rmdir(media.sub("config").c_str());
    testutil::writeFile(media.sub("config"), "");
    GlazeManager g;
    g.loadModelMap();
    EXPECT_TRUE(FileExists(media.sub("channelmemorymaps")));
}
