#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <kalvex.h>
#include <stb_image_write.h>

namespace kxfuzz
{
const char* const ALBEDO_FILE = "fuzz_albedo.png";
const char* const NORMAL_FILE = "fuzz_normal.dds";

namespace
{
void dropLine(KxLog::Level, const char*, void*)
{
}

void printLine(KxLog::Level, const char* line, void*)
{
    std::fprintf(stderr, "%s\n", line);
}
}

void quietLog()
{
    const char* wanted = std::getenv("KX_FUZZ_LOG");
    const bool verbose = wanted && std::strcmp(wanted, "1") == 0;
    KxLog::setSink(verbose ? printLine : dropLine);
    KxLog::setVerbosity(verbose ? KxLog::LEVEL_PLAIN : KxLog::LEVEL_ERROR);
}

void startEngine()
{
    if (Kalvex::isInitialized())
        return;
    quietLog();
    KxConfig config;
    config.setWindowSizeX(32);
    config.setWindowSizeY(32);
    config.setShadowMapSize(64);
    if (!Kalvex::init(config, true))
    {
        std::fprintf(stderr, "fuzz target: the engine did not start (no display or no OpenGL 4.5)\n");
        std::abort();
    }
    writeFile(ALBEDO_FILE, makePng(4, 4));
    writeFile(NORMAL_FILE, makeDds("DXT1", 8, 8));
}

void writeFile(const std::string& name, const void* data, size_t size)
{
    std::ofstream file(name, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file)
    {
        std::fprintf(stderr, "fuzz target: cannot write '%s'\n", name.c_str());
        std::abort();
    }
}

void writeFile(const std::string& name, const std::string& bytes)
{
    writeFile(name, bytes.data(), bytes.size());
}

// What an upload of the level reads: whole blocks of 4 x 4 texels (8 bytes
// for DXT1 and ATI1, 16 for DXT5 and ATI2) or tightly packed rows.
static uint64_t uploadBytes(const KxBitmap& bitmap, int level)
{
    uint64_t width = static_cast<uint64_t>(bitmap.getSizeX(level));
    uint64_t height = static_cast<uint64_t>(bitmap.getSizeY(level));
    if (!bitmap.isCompressed())
        return width * height * static_cast<uint64_t>(bitmap.getDepth());
    uint64_t blockBytes = (bitmap.getDepth() == 1 || bitmap.getDepth() == 3) ? 8 : 16;
    return (width + 3) / 4 * ((height + 3) / 4) * blockBytes;
}

void readAll(const KxBitmap& bitmap)
{
    unsigned int sum = 0;
    for (int side = 0; side < bitmap.getNrOfSides(); ++side)
        for (int level = 0; level < bitmap.getNrOfLevels(); ++level)
        {
            if (static_cast<uint64_t>(bitmap.getNrOfBytes(level)) < uploadBytes(bitmap, level))
            {
                std::fprintf(stderr, "fuzz target: level %d holds fewer bytes than its size needs\n", level);
                std::abort();
            }
            const unsigned char* bytes = bitmap.getData(level, side);
            for (int i = 0; i < bitmap.getNrOfBytes(level); ++i)
                sum += bytes[i];
        }
    volatile unsigned int keep = sum;
    (void)keep;
}

namespace
{
void appendToString(void* context, void* data, int size)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

void putU32(std::string& bytes, size_t offset, uint32_t value)
{
    std::memcpy(&bytes[offset], &value, 4);
}
}

std::string makePng(int width, int height)
{
    std::vector<unsigned char> rgba(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = static_cast<unsigned char>(i * 37);
    std::string bytes;
    stbi_write_png_to_func(appendToString, &bytes, width, height, 4, rgba.data(), width * 4);
    return bytes;
}

std::string makeDds(const char* fourCC, uint32_t width, uint32_t height, bool cube)
{
    const bool dx10 = std::strcmp(fourCC, "DX10") == 0;
    const uint32_t headerSize = dx10 ? 148 : 128;
    std::string bytes(headerSize, '\0');
    std::memcpy(&bytes[0], "DDS ", 4);
    putU32(bytes, 4, 124);
    putU32(bytes, 8, 0x000A1007); // caps, height, width, pixel format, mip count, linear size
    putU32(bytes, 12, height);
    putU32(bytes, 16, width);
    uint32_t levels = 1;
    for (uint32_t size = width > height ? width : height; size > 1; size >>= 1)
        ++levels;
    putU32(bytes, 28, levels);
    putU32(bytes, 76, 32);
    putU32(bytes, 80, 0x4); // the pixel format is a fourCC
    std::memcpy(&bytes[84], fourCC, 4);
    putU32(bytes, 108, 0x401008); // texture, mip maps, complex
    if (cube)
        putU32(bytes, 112, 0xFE00); // cube map with all six faces
    if (dx10)
    {
        putU32(bytes, 128, 71); // BC1
        putU32(bytes, 132, 3);  // 2D
        putU32(bytes, 140, cube ? 6 : 1);
    }
    const bool small = std::strcmp(fourCC, "DXT1") == 0 || std::strcmp(fourCC, "ATI1") == 0 || dx10;
    const uint32_t blockBytes = small ? 8 : 16;
    for (int side = 0; side < (cube ? 6 : 1); ++side)
        for (uint32_t level = 0, w = width, h = height; level < levels; ++level)
        {
            size_t size = static_cast<size_t>((w + 3) / 4) * ((h + 3) / 4) * blockBytes;
            for (size_t i = 0; i < size; ++i)
                bytes.push_back(static_cast<char>((i * 29 + level * 7 + side) & 0xFF));
            w = w > 1 ? w / 2 : 1;
            h = h > 1 ? h / 2 : 1;
        }
    return bytes;
}
}
