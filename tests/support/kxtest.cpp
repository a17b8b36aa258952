#include "kxtest.h"

#include <fstream>
#include <sstream>

#include <stb_image_write.h>

namespace kxtest
{
std::vector<std::string> readLog()
{
    // The log truncates its file on its first call: make sure that is behind us.
    KxLog::log(KxLog::LEVEL_DEBUG, __FILE__, "kxtest::readLog", __LINE__, "reading the log");
    std::ifstream file("kalvex.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

int countLogLines(const std::string& text, size_t mark)
{
    std::vector<std::string> lines = readLog();
    int count = 0;
    for (size_t i = mark; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            ++count;
    return count;
}

bool writePng(const std::string& path, int width, int height, const std::vector<unsigned char>& rgba)
{
    return stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4) != 0;
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void EngineTest::SetUpTestSuite()
{
    KxConfig config;
    config.setWindowSizeX(320);
    config.setWindowSizeY(240);
    // Tests judge the default quality, whatever the renderer.
    config.setPreset(KxConfig::PRESET_DEFAULT);
    ASSERT_TRUE(Kalvex::init(config, true));
}

void EngineTest::TearDownTestSuite()
{
    Kalvex::free();
}

void EngineTest::SetUp()
{
    lastEngineObject = lastObject();
}

void EngineTest::TearDown()
{
    deleteObjectsAfter(lastEngineObject);
}

KxObject* lastObject()
{
    KxObject* last = KxObject::getFirst();
    while (last && last->getNext())
        last = last->getNext();
    return last;
}

void deleteObjectsAfter(KxObject* mark)
{
    // Oldest first, as the engine's shutdown does: owners are older than what
    // they own and delete it themselves.
    for (KxObject* next = mark ? mark->getNext() : KxObject::getFirst(); next;
         next = mark ? mark->getNext() : KxObject::getFirst())
        delete next;
}
}
