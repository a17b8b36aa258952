// Start-up settings and the configuration file.
#include "kxtest.h"

namespace
{
const char* const FULL = "<?xml version=\"1.0\"?>\n"
                         "<kalvex>\n"
                         "  <windowtitle>My viewer</windowtitle>\n"
                         "  <windowsizex>1280</windowsizex>\n"
                         "  <windowsizey>720</windowsizey>\n"
                         "  <shadowmapsize>2048</shadowmapsize>\n"
                         "  <displayid>1</displayid>\n"
                         "  <fullscreenflag>2</fullscreenflag>\n"
                         "  <physworldscale>0.5</physworldscale>\n"
                         "  <nrofaasamples>8</nrofaasamples>\n"
                         "</kalvex>\n";

std::string config(const std::string& body)
{
    return "<kalvex>" + body + "</kalvex>";
}
}

TEST(Config, DefaultsAndSetterRules)
{
    KxConfig c;
    EXPECT_EQ(c.getWindowTitle(), "Kalvex 3D Graphics Engine v0.7r");
    EXPECT_EQ(c.getWindowSizeX(), 640);
    EXPECT_EQ(c.getWindowSizeY(), 480);
    EXPECT_EQ(c.getShadowMapSize(), 1024);
    EXPECT_EQ(c.getDisplay(), -1);
    EXPECT_EQ(c.getNrOfAASamples(), 4);
    EXPECT_FALSE(c.isFullscreen());
    EXPECT_FLOAT_EQ(c.getPhysWorldScale(), 1.0f);
    EXPECT_EQ(c.getColorDepth(), 32);
    EXPECT_EQ(c.getZetaDepth(), 24);
    EXPECT_EQ(c.getStencilDepth(), 0);

    c.setWindowSizeX(-5);
    EXPECT_EQ(c.getWindowSizeX(), 640);
    c.setWindowSizeY(-1);
    EXPECT_EQ(c.getWindowSizeY(), 480);
    c.setShadowMapSize(-2);
    EXPECT_EQ(c.getShadowMapSize(), 1024);
    c.setNrOfAASamples(-3);
    EXPECT_EQ(c.getNrOfAASamples(), 4);
    c.setWindowTitle("abc");
    c.setWindowTitle("");
    EXPECT_EQ(c.getWindowTitle(), "abc");
    c.setWindowTitle(std::string(256, 't'));
    EXPECT_EQ(c.getWindowTitle(), "abc");
    c.setWindowTitle(std::string(255, 't'));
    EXPECT_EQ(c.getWindowTitle().size(), 255u);
}

TEST(Config, LoadsEveryKeyAndLogsTheSummary)
{
    ASSERT_TRUE(kxtest::writeFile("full.xml", FULL));
    KxConfig c;
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(c.load("full.xml"));
    EXPECT_EQ(c.getWindowTitle(), "My viewer");
    EXPECT_EQ(c.getWindowSizeX(), 1280);
    EXPECT_EQ(c.getWindowSizeY(), 720);
    EXPECT_EQ(c.getShadowMapSize(), 2048);
    EXPECT_EQ(c.getDisplay(), 1);
    EXPECT_TRUE(c.isFullscreen());
    EXPECT_FLOAT_EQ(c.getPhysWorldScale(), 0.5f);
    EXPECT_EQ(c.getNrOfAASamples(), 8);

    std::vector<std::string> lines = kxtest::readLog();
    std::vector<std::string> expected = {
        "   Config loaded:",
        "      window title  . . :  My viewer",
        "      window size x . . :  1280",
        "      window size y . . :  720",
        "      shadowmap size  . :  2048",
        "      display ID  . . . :  1",
        "      fullscreen flag . :  1",
        "      phys. world scale :  0.50",
        "      MSAA samples  . . :  8",
    };
    ASSERT_EQ(lines.size(), mark + expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[mark + i], expected[i]);
}

TEST(Config, MissingOrEmptyElementsKeepValues)
{
    ASSERT_TRUE(kxtest::writeFile("partial.xml", config("<windowtitle/><windowsizey>600</windowsizey><fullscreenflag>0</fullscreenflag>")));
    KxConfig c;
    c.setWindowTitle("kept");
    c.setFullscreen(true);
    ASSERT_TRUE(c.load("partial.xml"));
    EXPECT_EQ(c.getWindowTitle(), "kept");
    EXPECT_EQ(c.getWindowSizeX(), 640);
    EXPECT_EQ(c.getWindowSizeY(), 600);
    EXPECT_FALSE(c.isFullscreen());
}

TEST(Config, FailuresLeaveSettingsIntact)
{
    KxConfig c;
    c.setWindowSizeX(800);
    struct Case
    {
        const char* name;
        const char* content; // null: no file
        const char* message;
    };
    const Case cases[] = {
        {"wrongroot.xml", "<config><windowsizex>1</windowsizex></config>", "Main 'kalvex' section not found"},
        {"broken.xml", "<kalvex><windowsizex>1</windowsizex>", "Error loading config file 'broken.xml'"},
        {"empty.xml", "", "Error loading config file 'empty.xml'"},
        {"garbage.xml", "\x01\x02\xff\xfe not xml at all <<<", "Error loading config file 'garbage.xml'"},
        {"missing.xml", nullptr, "Unable to open config file 'missing.xml'"},
    };
    for (const Case& test : cases)
    {
        std::remove(test.name);
        if (test.content)
        {
            ASSERT_TRUE(kxtest::writeFile(test.name, test.content));
        }
        size_t mark = kxtest::readLog().size();
        EXPECT_FALSE(c.load(test.name)) << test.name;
        EXPECT_EQ(kxtest::countLogLines(test.message, mark), 1) << test.name;
        EXPECT_EQ(kxtest::countLogLines("Config loaded", mark), 0) << test.name;
        EXPECT_EQ(c.getWindowSizeX(), 800) << test.name;
    }
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(c.load(""));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
}

TEST(Config, KalvexElementFoundAfterOtherTopLevelNodes)
{
    ASSERT_TRUE(kxtest::writeFile("second.xml", "<?xml version=\"1.0\"?><!-- settings --><other/><kalvex><windowsizex>1000</windowsizex></kalvex>"));
    KxConfig c;
    ASSERT_TRUE(c.load("second.xml"));
    EXPECT_EQ(c.getWindowSizeX(), 1000);
}

TEST(Config, NonsenseValuesFallBackWithWarnings)
{
    ASSERT_TRUE(kxtest::writeFile("nonsense.xml",
                                  config("<windowsizex>abc</windowsizex><windowsizey>-20</windowsizey>"
                                         "<shadowmapsize>-1</shadowmapsize><displayid>-7</displayid>"
                                         "<nrofaasamples>-4</nrofaasamples><physworldscale>nan</physworldscale>"
                                         "<fullscreenflag>yes</fullscreenflag>")));
    KxConfig c;
    c.setFullscreen(true);
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(c.load("nonsense.xml"));
    EXPECT_EQ(c.getWindowSizeX(), 640);
    EXPECT_EQ(c.getWindowSizeY(), 480);
    EXPECT_EQ(c.getShadowMapSize(), 1024);
    EXPECT_EQ(c.getDisplay(), -1);
    EXPECT_EQ(c.getNrOfAASamples(), 4);
    EXPECT_FLOAT_EQ(c.getPhysWorldScale(), 1.0f);
    EXPECT_FALSE(c.isFullscreen()); // "yes" has no leading digits: 0
    EXPECT_EQ(kxtest::countLogLines("[?] [KxConfig::load] Config value", mark), 6);
}

TEST(Config, HugeNumbersDoNotOverflow)
{
    ASSERT_TRUE(kxtest::writeFile("huge.xml", config("<windowsizex>99999999999999999999</windowsizex><nrofaasamples>99999999999</nrofaasamples>")));
    KxConfig c;
    ASSERT_TRUE(c.load("huge.xml"));
    EXPECT_EQ(c.getWindowSizeX(), 640);
    EXPECT_EQ(c.getNrOfAASamples(), 0x7fffffff); // capped by the hardware at start
}

// The software preset changes only what neither a setter nor the file chose.
TEST(Config, PresetLeavesExplicitSettingsAlone)
{
    KxConfig untouched;
    untouched.applySoftwarePreset();
    EXPECT_EQ(untouched.getShadowFilter(), 4);
    EXPECT_EQ(untouched.getAnisotropy(), 1);
    EXPECT_EQ(untouched.getShadowMapSize(), 512);

    ASSERT_TRUE(kxtest::writeFile("quality.xml", config("<anisotropy>8</anisotropy><shadowfilter>20</shadowfilter>"
                                                        "<preset>2</preset>")));
    KxConfig fromFile;
    EXPECT_EQ(fromFile.getAnisotropy(), 16);
    EXPECT_EQ(fromFile.getShadowFilter(), 20);
    EXPECT_EQ(fromFile.getPreset(), KxConfig::PRESET_AUTO);
    ASSERT_TRUE(fromFile.load("quality.xml"));
    fromFile.applySoftwarePreset();
    EXPECT_EQ(fromFile.getAnisotropy(), 8);
    EXPECT_EQ(fromFile.getShadowFilter(), 20);
    EXPECT_EQ(fromFile.getShadowMapSize(), 512);
    EXPECT_EQ(fromFile.getPreset(), KxConfig::PRESET_SOFTWARE);

    KxConfig bySetter;
    bySetter.setShadowMapSize(2048);
    bySetter.setShadowFilter(3); // not a filter: ignored, and not explicit
    bySetter.applySoftwarePreset();
    EXPECT_EQ(bySetter.getShadowMapSize(), 2048);
    EXPECT_EQ(bySetter.getShadowFilter(), 4);

    ASSERT_TRUE(kxtest::writeFile("badquality.xml", config("<anisotropy>0</anisotropy><shadowfilter>7</shadowfilter>"
                                                           "<preset>9</preset>")));
    KxConfig bad;
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(bad.load("badquality.xml"));
    EXPECT_EQ(bad.getAnisotropy(), 16);
    EXPECT_EQ(bad.getShadowFilter(), 20);
    EXPECT_EQ(bad.getPreset(), KxConfig::PRESET_AUTO);
    EXPECT_EQ(kxtest::countLogLines("[?] [KxConfig::load] Config value", mark), 3);
}
