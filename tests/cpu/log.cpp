// The log's line formats, levels and limits.
#include "kxtest.h"

#include <cstdio>
#include <string>

namespace
{
// Captures what the log writes to standard output during a call.
std::string captureStdout(const std::function<void()>& action)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
}

TEST(Log, FirstCallCreatesFileEvenWhenNothingIsWritten)
{
    std::remove("kalvex.log");
    EXPECT_TRUE(KxLog::log(KxLog::LEVEL_DEBUG, __FILE__, "Test::first", __LINE__, "hidden %d", 1));
    FILE* file = std::fopen("kalvex.log", "r");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(kxtest::readLog().empty());
}

TEST(Log, PrefixesByLevel)
{
    size_t mark = kxtest::readLog().size();
    std::string out = captureStdout([] {
        EXPECT_FALSE(KxLog::log(KxLog::LEVEL_ERROR, "src/file.cpp", "bool KxObject::setName(const string&)", 423,
                                "Invalid object name"));
        EXPECT_TRUE(KxLog::log(KxLog::LEVEL_WARNING, "src/file.cpp", "void KxTexture::load()", 7, "careful %s", "now"));
        EXPECT_TRUE(KxLog::log(KxLog::LEVEL_PLAIN, "src/file.cpp", "f", 1, "OpenGL properties:"));
        EXPECT_TRUE(KxLog::log(KxLog::LEVEL_DETAIL, "src/file.cpp", "f", 1, "detail"));
        EXPECT_TRUE(KxLog::log(KxLog::LEVEL_DEBUG, "src/file.cpp", "f", 1, "debug"));
        EXPECT_TRUE(KxLog::log(KxLog::LEVEL_DEBUG_FRAME, "src/file.cpp", "f", 1, "frame"));
    });
    const std::string expected = "[!] [src/file.cpp, KxObject::setName:423] Invalid object name\n"
                                 "[?] [KxTexture::load] careful now\n"
                                 "OpenGL properties:\n";
    EXPECT_EQ(out, expected);
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 3);
    EXPECT_EQ(lines[mark], "[!] [src/file.cpp, KxObject::setName:423] Invalid object name");
    EXPECT_EQ(lines[mark + 1], "[?] [KxTexture::load] careful now");
    EXPECT_EQ(lines[mark + 2], "OpenGL properties:");
}

TEST(Log, QualifiedNamesOfConstructorsAndTemplates)
{
    size_t mark = kxtest::readLog().size();
    captureStdout([] {
        KxLog::log(KxLog::LEVEL_WARNING, "f", "KxNode::KxNode()", 1, "a");
        KxLog::log(KxLog::LEVEL_WARNING, "f", "virtual KxNode::~KxNode()", 1, "b");
        KxLog::log(KxLog::LEVEL_WARNING, "f", "std::vector<int, std::allocator<int> > kx::make(int)", 1, "c");
        KxLog::log(KxLog::LEVEL_WARNING, "f", nullptr, 1, "d");
    });
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 4);
    EXPECT_EQ(lines[mark], "[?] [KxNode::KxNode] a");
    EXPECT_EQ(lines[mark + 1], "[?] [KxNode::~KxNode] b");
    EXPECT_EQ(lines[mark + 2], "[?] [kx::make] c");
    EXPECT_EQ(lines[mark + 3], "[?] [] d");
}

TEST(Log, LongMessagesAreCutAtTheBuffer)
{
    size_t mark = kxtest::readLog().size();
    std::string huge(20000, 'x');
    captureStdout([&] { KxLog::log(KxLog::LEVEL_PLAIN, "f", "g", 1, "%s", huge.c_str()); });
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 1);
    EXPECT_EQ(lines[mark], std::string(KxLog::MAX_LENGTH - 1, 'x'));
}

TEST(Log, MacroFillsInTheCaller)
{
    size_t mark = kxtest::readLog().size();
    captureStdout([] { EXPECT_FALSE(KX_LOG(LEVEL_ERROR, "boom %d", 5)); });
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 1);
    EXPECT_EQ(lines[mark].rfind("[!] [", 0), 0u);
    EXPECT_NE(lines[mark].find("log.cpp, Log_MacroFillsInTheCaller_Test::TestBody:"), std::string::npos) << lines[mark];
    EXPECT_NE(lines[mark].find("] boom 5"), std::string::npos);
}

// A client's sink takes the lines instead of the file and standard output, at
// the verbosity the client sets; without it the log file is written again.
TEST(Log, SinkAndVerbosity)
{
    struct Line
    {
        KxLog::Level level;
        std::string text;
    };
    std::vector<Line> received;
    size_t mark = kxtest::readLog().size();
    KxLog::setSink([](KxLog::Level level, const char* line, void* data) {
        static_cast<std::vector<Line>*>(data)->push_back({level, line});
    }, &received);
    KxLog::setVerbosity(KxLog::LEVEL_DETAIL);
    std::string out = captureStdout([] {
        KxLog::log(KxLog::LEVEL_WARNING, "f.cpp", "void KxTexture::load()", 7, "careful %s", "now");
        KxLog::log(KxLog::LEVEL_DETAIL, "f.cpp", "f", 1, "detail %d", 4);
        KxLog::log(KxLog::LEVEL_DEBUG, "f.cpp", "f", 1, "debug");
    });
    KxLog::setSink(nullptr);
    KxLog::setVerbosity(KxLog::LEVEL_PLAIN);
    EXPECT_EQ(KxLog::getVerbosity(), KxLog::LEVEL_PLAIN);
    EXPECT_EQ(out, "");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].level, KxLog::LEVEL_WARNING);
    EXPECT_EQ(received[0].text, "[?] [KxTexture::load] careful now");
    EXPECT_EQ(received[1].level, KxLog::LEVEL_DETAIL);
    EXPECT_EQ(received[1].text, "detail 4");
    EXPECT_EQ(kxtest::readLog().size(), mark);

    KxLog::log(KxLog::LEVEL_DETAIL, "f.cpp", "f", 1, "hidden again");
    KxLog::log(KxLog::LEVEL_PLAIN, "f.cpp", "f", 1, "back in the file");
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 1);
    EXPECT_EQ(lines[mark], "back in the file");
}
