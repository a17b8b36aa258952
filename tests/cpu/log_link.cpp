// A kalvex.log that is a symbolic link (perhaps to somebody else's file) is
// not followed: the log goes to standard output only. Its own program, so
// that the log opens here for the first time.
#include "kxtest.h"

#include <cstdio>
#include <unistd.h>

TEST(LogLink, NeverWritesThroughALink)
{
    std::remove("kalvex.log");
    ASSERT_TRUE(kxtest::writeFile("victim.txt", "precious"));
    ASSERT_EQ(symlink("victim.txt", "kalvex.log"), 0);
    testing::internal::CaptureStdout();
    KxLog::log(KxLog::LEVEL_WARNING, "f", "f", 1, "through the link?");
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("through the link?"), std::string::npos);
    EXPECT_EQ(kxtest::readFile("victim.txt"), "precious");
    std::remove("kalvex.log");
}
