// Helpers shared by the engine's tests.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kalvex.h>

namespace kxtest
{
// Lines of the log file written so far by this process.
std::vector<std::string> readLog();
// Number of log lines that contain text; lines before mark are skipped.
int countLogLines(const std::string& text, size_t mark = 0);
// Writes tightly packed RGBA rows (top row first) as a PNG.
bool writePng(const std::string& path, int width, int height, const std::vector<unsigned char>& rgba);
// Writes a file, creating or truncating it.
bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// Starts the engine (reduced start, small window) for a whole test suite, and
// deletes after each test the objects that test created.
class EngineTest : public ::testing::Test
{
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;
    void TearDown() override;

private:
    KxObject* lastEngineObject = nullptr;
};

// The newest object in the registry.
KxObject* lastObject();
// Deletes every object newer than mark (all of them when mark is null),
// oldest first.
void deleteObjectsAfter(KxObject* mark);
}
