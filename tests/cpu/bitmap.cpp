// KxBitmap: the DDS reader (formats, mip chains, cube maps, damaged files)
// and the stb_image path (formats, row order, extensions).
#include "kxtest.h"

#include <stb_image_write.h>

#include <cstring>
#include <random>

namespace
{
// Compressed formats as the bitmap reports them.
const int DXT1 = 0x83F0;
const int DXT5 = 0x83F3;
const int RGTC1 = 0x8DBB;
const int RGTC2 = 0x8DBD;

void put32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

struct DdsDesc
{
    uint32_t width = 8;
    uint32_t height = 8;
    uint32_t mipCount = 1;
    std::string fourCC = "DXT1";
    uint32_t caps2 = 0;
    uint32_t dxgiFormat = 71; // with fourCC "DX10"
    uint32_t arraySize = 1;   // with fourCC "DX10"
};

const uint32_t CUBE_ALL = 0x200 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000 | 0x8000;

// The 128-byte header (148 with the DX10 extension) as DirectX writers lay it out.
std::string ddsHeader(const DdsDesc& desc)
{
    bool dx10 = desc.fourCC == "DX10";
    std::string bytes(dx10 ? 148 : 128, '\0');
    std::memcpy(&bytes[0], "DDS ", 4);
    put32(bytes, 4, 124);
    put32(bytes, 8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000 | (desc.mipCount > 1 ? 0x20000 : 0));
    put32(bytes, 12, desc.height);
    put32(bytes, 16, desc.width);
    put32(bytes, 28, desc.mipCount);
    put32(bytes, 76, 32);
    put32(bytes, 80, 0x4);
    std::memcpy(&bytes[84], desc.fourCC.data(), desc.fourCC.size() < 4 ? desc.fourCC.size() : 4);
    put32(bytes, 108, 0x1000 | (desc.mipCount > 1 ? 0x400008 : 0) | (desc.caps2 ? 0x8 : 0));
    put32(bytes, 112, desc.caps2);
    if (dx10)
    {
        put32(bytes, 128, desc.dxgiFormat);
        put32(bytes, 132, 3);
        put32(bytes, 140, desc.arraySize);
    }
    return bytes;
}

// Bytes of a level counted in whole 4 x 4 blocks.
size_t levelBytes(uint32_t width, uint32_t height, size_t blockSize)
{
    return ((width + 3) / 4) * ((height + 3) / 4) * blockSize;
}

// Level data filled with a byte that tells side and level apart.
uint8_t marker(int side, int level)
{
    return static_cast<uint8_t>(0x10 * (side + 1) + level);
}

std::string ddsFile(const DdsDesc& desc, size_t blockSize, int sides, int levels)
{
    std::string bytes = ddsHeader(desc);
    for (int side = 0; side < sides; ++side)
    {
        uint32_t w = desc.width, h = desc.height;
        for (int level = 0; level < levels; ++level)
        {
            bytes.append(levelBytes(w, h, blockSize), static_cast<char>(marker(side, level)));
            w = w > 1 ? w / 2 : 1;
            h = h > 1 ? h / 2 : 1;
        }
    }
    return bytes;
}

bool allBytesAre(const unsigned char* data, int count, uint8_t value)
{
    if (!data)
        return false;
    for (int i = 0; i < count; ++i)
        if (data[i] != value)
            return false;
    return true;
}

size_t logMark()
{
    return kxtest::readLog().size();
}

int logCount(const std::string& text, size_t mark)
{
    return kxtest::countLogLines(text, mark);
}
}

// --- DDS formats ------------------------------------------------------------

struct FormatCase
{
    const char* fourCC;
    uint32_t dxgi;
    int type;
    int depth;
    size_t blockSize;
};

class DdsFormat : public ::testing::TestWithParam<FormatCase>
{
};

TEST_P(DdsFormat, DecodesHeaderAndData)
{
    const FormatCase& c = GetParam();
    DdsDesc desc;
    desc.width = 16;
    desc.height = 8;
    desc.fourCC = c.fourCC;
    desc.dxgiFormat = c.dxgi;
    std::string path = std::string("format_") + c.fourCC + "_" + std::to_string(c.dxgi) + ".dds";
    ASSERT_TRUE(kxtest::writeFile(path, ddsFile(desc, c.blockSize, 1, 1)));

    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load(path));
    EXPECT_TRUE(bitmap.isLoaded());
    EXPECT_TRUE(bitmap.isCompressed());
    EXPECT_FALSE(bitmap.isCubemap());
    EXPECT_EQ(bitmap.getType(), c.type);
    EXPECT_EQ(bitmap.getDepth(), c.depth);
    EXPECT_EQ(bitmap.getNrOfLevels(), 1);
    EXPECT_EQ(bitmap.getNrOfSides(), 1);
    EXPECT_EQ(bitmap.getSizeX(0), 16);
    EXPECT_EQ(bitmap.getSizeY(0), 8);
    EXPECT_EQ(bitmap.getNrOfBytes(0), static_cast<int>(4 * 2 * c.blockSize));
    EXPECT_TRUE(allBytesAre(bitmap.getData(0), bitmap.getNrOfBytes(0), marker(0, 0)));
    EXPECT_EQ(bitmap.getFilename(), path);
}

INSTANTIATE_TEST_SUITE_P(Bitmap, DdsFormat,
                         ::testing::Values(FormatCase{"DXT1", 0, DXT1, 3, 8}, FormatCase{"DXT5", 0, DXT5, 4, 16},
                                           FormatCase{"ATI1", 0, RGTC1, 1, 8}, FormatCase{"ATI2", 0, RGTC2, 2, 16},
                                           FormatCase{"DX10", 71, DXT1, 3, 8}, FormatCase{"DX10", 77, DXT5, 4, 16}));

TEST(Bitmap, Dx10DataStartsAfterTheExtensionHeader)
{
    DdsDesc desc;
    desc.width = 4;
    desc.height = 4;
    desc.fourCC = "DX10";
    desc.dxgiFormat = 71;
    std::string bytes = ddsHeader(desc);
    const char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bytes.append(block, 8);
    ASSERT_TRUE(kxtest::writeFile("dx10_offset.dds", bytes));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("dx10_offset.dds"));
    ASSERT_EQ(bitmap.getNrOfBytes(0), 8);
    EXPECT_EQ(std::memcmp(bitmap.getData(0), block, 8), 0);
}

TEST(Bitmap, UnsupportedFormatsAreRefused)
{
    struct Case
    {
        const char* fourCC;
        uint32_t dxgi;
    };
    const Case cases[] = {{"DXT3", 0}, {"BC7 ", 0}, {"", 0}, {"DX10", 98}, {"DX10", 72}, {"DX10", 0}};
    int index = 0;
    for (const Case& c : cases)
    {
        DdsDesc desc;
        desc.fourCC = c.fourCC;
        desc.dxgiFormat = c.dxgi;
        std::string path = "unsupported" + std::to_string(index++) + ".dds";
        ASSERT_TRUE(kxtest::writeFile(path, ddsFile(desc, 16, 1, 1)));
        size_t mark = logMark();
        KxBitmap bitmap;
        EXPECT_FALSE(bitmap.load(path)) << c.fourCC << " " << c.dxgi;
        EXPECT_FALSE(bitmap.isLoaded());
        EXPECT_EQ(logCount("File '" + path + "' uses an unsupported compression format", mark), 1) << path;
        EXPECT_EQ(logCount("Unable to decode file '" + path + "'", mark), 1) << path;
    }
}

TEST(Bitmap, WrongMagicIsRefused)
{
    std::string bytes = ddsFile(DdsDesc(), 8, 1, 1);
    bytes[3] = 'X';
    ASSERT_TRUE(kxtest::writeFile("magic.dds", bytes));
    size_t mark = logMark();
    KxBitmap bitmap;
    EXPECT_FALSE(bitmap.load("magic.dds"));
    EXPECT_EQ(logCount("File 'magic.dds' is not a valid DDS", mark), 1);
    EXPECT_EQ(logCount("Unable to decode file 'magic.dds'", mark), 1);
}

TEST(Bitmap, MissingDdsFile)
{
    size_t mark = logMark();
    KxBitmap bitmap;
    EXPECT_FALSE(bitmap.load("no_such_file.dds"));
    EXPECT_EQ(logCount("File 'no_such_file.dds' not found", mark), 1);
}

// --- Level sizes and mip chains ---------------------------------------------

TEST(Bitmap, LevelByteCounts)
{
    struct Case
    {
        const char* fourCC;
        uint32_t size;
        int bytes;
    };
    // 4 x 4 blocks of 8 (DXT1) or 16 (DXT5) bytes; a level never has less than one block.
    const Case cases[] = {{"DXT1", 256, 32768}, {"DXT1", 2, 8}, {"DXT1", 1, 8},
                          {"DXT5", 1, 16},      {"DXT5", 4, 16}, {"DXT5", 64, 4096}};
    for (const Case& c : cases)
    {
        DdsDesc desc;
        desc.fourCC = c.fourCC;
        desc.width = desc.height = c.size;
        std::string path = std::string("size_") + c.fourCC + std::to_string(c.size) + ".dds";
        ASSERT_TRUE(kxtest::writeFile(path, ddsFile(desc, desc.fourCC == "DXT1" ? 8 : 16, 1, 1)));
        KxBitmap bitmap;
        ASSERT_TRUE(bitmap.load(path)) << path;
        EXPECT_EQ(bitmap.getNrOfBytes(0), c.bytes) << path;
    }
}

TEST(Bitmap, FullMipChainKeepsEveryLevel)
{
    DdsDesc desc;
    desc.width = desc.height = 256;
    desc.mipCount = 9;
    ASSERT_TRUE(kxtest::writeFile("chain.dds", ddsFile(desc, 8, 1, 9)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("chain.dds"));
    ASSERT_EQ(bitmap.getNrOfLevels(), 9);
    const int expectedBytes[9] = {32768, 8192, 2048, 512, 128, 32, 8, 8, 8};
    for (int level = 0; level < 9; ++level)
    {
        EXPECT_EQ(bitmap.getSizeX(level), 256 >> level);
        EXPECT_EQ(bitmap.getSizeY(level), 256 >> level);
        EXPECT_EQ(bitmap.getNrOfBytes(level), expectedBytes[level]);
        EXPECT_TRUE(allBytesAre(bitmap.getData(level), expectedBytes[level], marker(0, level))) << level;
    }
}

TEST(Bitmap, NonSquareAndOddSizesCountWholeBlocks)
{
    // 8 x 2: two blocks side by side, then 4 x 1, 2 x 1, 1 x 1 with one block each.
    DdsDesc desc;
    desc.width = 8;
    desc.height = 2;
    desc.mipCount = 4;
    ASSERT_TRUE(kxtest::writeFile("wide.dds", ddsFile(desc, 8, 1, 4)));
    KxBitmap wide;
    ASSERT_TRUE(wide.load("wide.dds"));
    ASSERT_EQ(wide.getNrOfLevels(), 4);
    const int wideBytes[4] = {16, 8, 8, 8};
    const int wideX[4] = {8, 4, 2, 1};
    const int wideY[4] = {2, 1, 1, 1};
    for (int level = 0; level < 4; ++level)
    {
        EXPECT_EQ(wide.getNrOfBytes(level), wideBytes[level]) << level;
        EXPECT_EQ(wide.getSizeX(level), wideX[level]);
        EXPECT_EQ(wide.getSizeY(level), wideY[level]);
        EXPECT_TRUE(allBytesAre(wide.getData(level), wideBytes[level], marker(0, level))) << level;
    }

    // 6 x 6 DXT5: 2 x 2 blocks, then 3 x 3 in one block.
    desc = DdsDesc();
    desc.fourCC = "DXT5";
    desc.width = desc.height = 6;
    desc.mipCount = 2;
    ASSERT_TRUE(kxtest::writeFile("odd.dds", ddsFile(desc, 16, 1, 2)));
    KxBitmap odd;
    ASSERT_TRUE(odd.load("odd.dds"));
    EXPECT_EQ(odd.getNrOfBytes(0), 64);
    EXPECT_EQ(odd.getNrOfBytes(1), 16);
    EXPECT_TRUE(allBytesAre(odd.getData(1), 16, marker(0, 1)));
}

TEST(Bitmap, MipCountZeroMeansOneLevel)
{
    DdsDesc desc;
    desc.mipCount = 0;
    ASSERT_TRUE(kxtest::writeFile("mip0.dds", ddsFile(desc, 8, 1, 1)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("mip0.dds"));
    EXPECT_EQ(bitmap.getNrOfLevels(), 1);
    EXPECT_EQ(bitmap.getNrOfBytes(0), 32);
}

TEST(Bitmap, MipCountBeyondTheChainStopsAtOneByOne)
{
    // 8 x 8 has four levels down to 1 x 1; the file declares more.
    for (uint32_t declared : {5u, 100u, 0xFFFFFFFFu})
    {
        DdsDesc desc;
        desc.mipCount = declared;
        ASSERT_TRUE(kxtest::writeFile("mipmany.dds", ddsFile(desc, 8, 1, 4)));
        KxBitmap bitmap;
        ASSERT_TRUE(bitmap.load("mipmany.dds")) << declared;
        EXPECT_EQ(bitmap.getNrOfLevels(), 4) << declared;
        EXPECT_EQ(bitmap.getSizeX(3), 1);
        EXPECT_EQ(bitmap.getNrOfBytes(3), 8);
    }
}

TEST(Bitmap, PartialMipChain)
{
    DdsDesc desc;
    desc.width = desc.height = 64;
    desc.mipCount = 3;
    ASSERT_TRUE(kxtest::writeFile("partial.dds", ddsFile(desc, 8, 1, 3)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("partial.dds"));
    EXPECT_EQ(bitmap.getNrOfLevels(), 3);
    EXPECT_EQ(bitmap.getSizeX(2), 16);
    EXPECT_EQ(bitmap.getNrOfBytes(2), 128);
}

TEST(Bitmap, InvalidDimensionsAreRefused)
{
    const uint32_t sizes[][2] = {{0, 8}, {8, 0}, {16385, 4}, {4, 16385}, {0xFFFFFFFF, 0xFFFFFFFF}, {0x80000000, 1}};
    for (const auto& size : sizes)
    {
        DdsDesc desc;
        desc.width = size[0];
        desc.height = size[1];
        std::string bytes = ddsHeader(desc);
        bytes.append(4096, '\0');
        ASSERT_TRUE(kxtest::writeFile("dims.dds", bytes));
        size_t mark = logMark();
        KxBitmap bitmap;
        EXPECT_FALSE(bitmap.load("dims.dds")) << size[0] << "x" << size[1];
        EXPECT_EQ(logCount("File 'dims.dds' has unsupported dimensions", mark), 1);
    }
    // The largest accepted size still reads, as long as the data is there.
    DdsDesc desc;
    desc.width = 16384;
    desc.height = 4;
    ASSERT_TRUE(kxtest::writeFile("wide16k.dds", ddsFile(desc, 8, 1, 1)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("wide16k.dds"));
    EXPECT_EQ(bitmap.getNrOfBytes(0), 4096 * 8);
}

// --- Cube maps --------------------------------------------------------------

TEST(Bitmap, CubeMapWithMips)
{
    DdsDesc desc;
    desc.width = desc.height = 8;
    desc.mipCount = 2;
    desc.caps2 = CUBE_ALL;
    ASSERT_TRUE(kxtest::writeFile("cube.DDS", ddsFile(desc, 8, 6, 2)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("cube.DDS"));
    EXPECT_TRUE(bitmap.isCubemap());
    EXPECT_EQ(bitmap.getNrOfSides(), 6);
    ASSERT_EQ(bitmap.getNrOfLevels(), 2);
    for (int side = 0; side < 6; ++side)
    {
        EXPECT_TRUE(allBytesAre(bitmap.getData(0, side), 32, marker(side, 0))) << side;
        EXPECT_TRUE(allBytesAre(bitmap.getData(1, side), 8, marker(side, 1))) << side;
    }

    size_t mark = logMark();
    EXPECT_EQ(bitmap.getData(0, 6), nullptr);
    EXPECT_EQ(bitmap.getData(0, -1), nullptr);
    EXPECT_EQ(bitmap.getData(2, 0), nullptr);
    EXPECT_EQ(logCount("Invalid params", mark), 3);
}

TEST(Bitmap, Dx10ArrayOfSixIsACubeMap)
{
    DdsDesc desc;
    desc.width = desc.height = 4;
    desc.fourCC = "DX10";
    desc.dxgiFormat = 77;
    desc.arraySize = 6;
    ASSERT_TRUE(kxtest::writeFile("cube10.dds", ddsFile(desc, 16, 6, 1)));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("cube10.dds"));
    EXPECT_TRUE(bitmap.isCubemap());
    EXPECT_EQ(bitmap.getType(), DXT5);
    for (int side = 0; side < 6; ++side)
        EXPECT_TRUE(allBytesAre(bitmap.getData(0, side), 16, marker(side, 0))) << side;
}

TEST(Bitmap, CubeMapMissingAFaceIsRefused)
{
    for (uint32_t face = 0x400; face <= 0x8000; face <<= 1)
    {
        DdsDesc desc;
        desc.caps2 = CUBE_ALL & ~face;
        ASSERT_TRUE(kxtest::writeFile("incomplete.dds", ddsFile(desc, 8, 6, 1)));
        size_t mark = logMark();
        KxBitmap bitmap;
        EXPECT_FALSE(bitmap.load("incomplete.dds")) << std::hex << face;
        EXPECT_FALSE(bitmap.isLoaded());
        EXPECT_EQ(logCount("File 'incomplete.dds' is an incomplete cubemap", mark), 1);
    }
}

// --- Damaged files ----------------------------------------------------------

TEST(Bitmap, EveryTruncationIsRefused)
{
    struct Source
    {
        DdsDesc desc;
        size_t blockSize;
        int sides;
        int levels;
    };
    Source plain{DdsDesc(), 8, 6, 4};
    plain.desc.mipCount = 4;
    plain.desc.caps2 = CUBE_ALL;
    Source dx10{DdsDesc(), 16, 1, 2};
    dx10.desc.fourCC = "DX10";
    dx10.desc.dxgiFormat = 77;
    dx10.desc.mipCount = 2;

    for (const Source& source : {plain, dx10})
    {
        std::string whole = ddsFile(source.desc, source.blockSize, source.sides, source.levels);
        {
            ASSERT_TRUE(kxtest::writeFile("whole.dds", whole));
            KxBitmap bitmap;
            ASSERT_TRUE(bitmap.load("whole.dds"));
        }
        size_t mark = logMark();
        for (size_t length = 0; length < whole.size(); ++length)
        {
            ASSERT_TRUE(kxtest::writeFile("cut.dds", whole.substr(0, length)));
            KxBitmap bitmap;
            EXPECT_FALSE(bitmap.load("cut.dds")) << length;
            EXPECT_FALSE(bitmap.isLoaded()) << length;
            EXPECT_EQ(bitmap.getNrOfLevels(), 0);
        }
        EXPECT_EQ(logCount("File 'cut.dds' damaged", mark), static_cast<int>(whole.size()));
        EXPECT_EQ(logCount("Unable to decode file 'cut.dds'", mark), static_cast<int>(whole.size()));
    }
}

TEST(Bitmap, TrailingBytesAreIgnored)
{
    std::string bytes = ddsFile(DdsDesc(), 8, 1, 1);
    bytes.append(100, '\x7F');
    ASSERT_TRUE(kxtest::writeFile("trailing.dds", bytes));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("trailing.dds"));
    EXPECT_TRUE(allBytesAre(bitmap.getData(0), 32, marker(0, 0)));
}

TEST(Bitmap, RandomlyDamagedHeadersNeverReadOutside)
{
    DdsDesc desc;
    desc.width = desc.height = 16;
    desc.mipCount = 5;
    desc.caps2 = CUBE_ALL;
    std::string whole = ddsFile(desc, 8, 6, 5);
    DdsDesc desc10 = desc;
    desc10.fourCC = "DX10";
    desc10.arraySize = 6;
    desc10.caps2 = 0;
    std::string whole10 = ddsFile(desc10, 8, 6, 5);
    const size_t fields[] = {12, 16, 28, 84, 112, 128, 140};

    std::mt19937 random(1234);
    int accepted = 0;
    for (int round = 0; round < 600; ++round)
    {
        std::string bytes = round % 2 ? whole10 : whole;
        // Damage header fields and, now and then, cut the file short.
        int changes = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < changes; ++i)
        {
            size_t offset = fields[random() % (sizeof(fields) / sizeof(fields[0]))];
            uint32_t value = random() % 4 == 0 ? static_cast<uint32_t>(random()) : static_cast<uint32_t>(random() % 64);
            put32(bytes, offset, value);
        }
        if (random() % 3 == 0)
            bytes.resize(random() % bytes.size());
        ASSERT_TRUE(kxtest::writeFile("fuzz.dds", bytes));
        KxBitmap bitmap;
        if (!bitmap.load("fuzz.dds"))
        {
            EXPECT_FALSE(bitmap.isLoaded());
            continue;
        }
        ++accepted;
        // Whatever was accepted lies inside the file.
        uint64_t total = 0;
        for (int side = 0; side < bitmap.getNrOfSides(); ++side)
            for (int level = 0; level < bitmap.getNrOfLevels(); ++level)
            {
                ASSERT_NE(bitmap.getData(level, side), nullptr);
                total += static_cast<uint64_t>(bitmap.getNrOfBytes(level));
            }
        EXPECT_LE(total + 128, bytes.size()) << round;
    }
    // Both outcomes were exercised.
    EXPECT_GT(accepted, 10);
    EXPECT_LT(accepted, 590);
}

// --- Images through stb_image -----------------------------------------------

namespace
{
// A picture whose pixel (x, y), y counted from the top, has a value no other
// pixel and channel has.
std::vector<unsigned char> picture(int width, int height, int channels)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                pixels[(static_cast<size_t>(y) * width + x) * channels + c] =
                    static_cast<unsigned char>(7 * (y * width + x) * channels + 3 * c + 11);
    return pixels;
}

// Row y of the bitmap is row height - 1 - y of the picture.
void expectFlipped(const KxBitmap& bitmap, const std::vector<unsigned char>& pixels, int width, int height,
                   int channels)
{
    const unsigned char* data = bitmap.getData(0);
    ASSERT_NE(data, nullptr);
    size_t row = static_cast<size_t>(width) * channels;
    for (int y = 0; y < height; ++y)
        EXPECT_EQ(std::memcmp(data + y * row, pixels.data() + (height - 1 - y) * row, row), 0) << "row " << y;
}
}

TEST(Bitmap, PngWithFourChannelsIsFlipped)
{
    const int width = 3, height = 5;
    std::vector<unsigned char> pixels = picture(width, height, 4);
    ASSERT_TRUE(stbi_write_png("rgba.png", width, height, 4, pixels.data(), width * 4));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("rgba.png"));
    EXPECT_EQ(bitmap.getDepth(), 4);
    EXPECT_EQ(bitmap.getType(), 4);
    EXPECT_FALSE(bitmap.isCompressed());
    EXPECT_FALSE(bitmap.isCubemap());
    EXPECT_EQ(bitmap.getNrOfLevels(), 1);
    EXPECT_EQ(bitmap.getNrOfSides(), 1);
    EXPECT_EQ(bitmap.getSizeX(0), width);
    EXPECT_EQ(bitmap.getSizeY(0), height);
    EXPECT_EQ(bitmap.getNrOfBytes(0), width * height * 4);
    EXPECT_EQ(bitmap.getFilename(), "rgba.png");
    expectFlipped(bitmap, pixels, width, height, 4);
}

TEST(Bitmap, PngWithThreeChannelsAndOddWidth)
{
    const int width = 5, height = 4;
    std::vector<unsigned char> pixels = picture(width, height, 3);
    ASSERT_TRUE(stbi_write_png("rgb.PNG", width, height, 3, pixels.data(), width * 3));
    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("rgb.PNG"));
    EXPECT_EQ(bitmap.getDepth(), 3);
    EXPECT_EQ(bitmap.getType(), 3);
    EXPECT_EQ(bitmap.getNrOfBytes(0), width * height * 3);
    expectFlipped(bitmap, pixels, width, height, 3);
}

TEST(Bitmap, PngWithOneOrTwoChannelsKeepsThem)
{
    for (int channels : {1, 2})
    {
        std::vector<unsigned char> pixels = picture(4, 3, channels);
        std::string path = "gray" + std::to_string(channels) + ".png";
        ASSERT_TRUE(stbi_write_png(path.c_str(), 4, 3, channels, pixels.data(), 4 * channels));
        KxBitmap bitmap;
        ASSERT_TRUE(bitmap.load(path));
        EXPECT_EQ(bitmap.getDepth(), channels);
        EXPECT_EQ(bitmap.getType(), channels);
        EXPECT_FALSE(bitmap.isCompressed());
        expectFlipped(bitmap, pixels, 4, 3, channels);
    }
}

TEST(Bitmap, TgaAndBmp)
{
    const int width = 3, height = 2;
    std::vector<unsigned char> pixels = picture(width, height, 3);
    ASSERT_TRUE(stbi_write_tga("image.tga", width, height, 3, pixels.data()));
    ASSERT_TRUE(stbi_write_bmp("image.Bmp", width, height, 3, pixels.data()));
    for (const char* path : {"image.tga", "image.Bmp"})
    {
        KxBitmap bitmap;
        ASSERT_TRUE(bitmap.load(path)) << path;
        EXPECT_EQ(bitmap.getDepth(), 3) << path;
        expectFlipped(bitmap, pixels, width, height, 3);
    }
}

TEST(Bitmap, JpgInEitherCase)
{
    // Top half red, bottom half blue; JPEG is lossy, so compare loosely.
    const int width = 16, height = 16;
    std::vector<unsigned char> pixels(width * height * 3, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[(y * width + x) * 3 + (y < height / 2 ? 0 : 2)] = 255;
    ASSERT_TRUE(stbi_write_jpg("photo.jpg", width, height, 3, pixels.data(), 100));
    ASSERT_TRUE(stbi_write_jpg("PHOTO.JPG", width, height, 3, pixels.data(), 100));
    for (const char* path : {"photo.jpg", "PHOTO.JPG"})
    {
        KxBitmap bitmap;
        ASSERT_TRUE(bitmap.load(path)) << path;
        EXPECT_EQ(bitmap.getDepth(), 3);
        const unsigned char* data = bitmap.getData(0);
        ASSERT_NE(data, nullptr);
        // First row in memory is the picture's bottom: blue.
        EXPECT_LT(data[0], 40);
        EXPECT_GT(data[2], 215);
        const unsigned char* last = data + (height - 1) * width * 3;
        EXPECT_GT(last[0], 215);
        EXPECT_LT(last[2], 40);
    }
}

TEST(Bitmap, NamesAndPathsThatAreRefused)
{
    size_t mark = logMark();
    KxBitmap bitmap;
    EXPECT_FALSE(bitmap.load("nodot"));
    EXPECT_EQ(logCount("Unable to define extension for file 'nodot'", mark), 1);

    mark = logMark();
    EXPECT_FALSE(bitmap.load(""));
    EXPECT_FALSE(bitmap.load(std::string(256, 'a') + ".png"));
    EXPECT_EQ(logCount("Invalid params", mark), 2);

    mark = logMark();
    EXPECT_FALSE(bitmap.load("missing.png"));
    EXPECT_EQ(logCount("Unable to decode file 'missing.png' (can't fopen: no such file)", mark), 1);

    ASSERT_TRUE(kxtest::writeFile("garbage.png", "this is not an image"));
    mark = logMark();
    EXPECT_FALSE(bitmap.load("garbage.png"));
    EXPECT_EQ(logCount("Unable to decode file 'garbage.png' (", mark), 1);
    EXPECT_FALSE(bitmap.isLoaded());
    EXPECT_EQ(bitmap.getFilename(), "");

    // A PNG cut before its closing 12-byte IEND chunk fails in the decoder.
    std::vector<unsigned char> pixels = picture(8, 8, 4);
    ASSERT_TRUE(stbi_write_png("whole.png", 8, 8, 4, pixels.data(), 32));
    std::string whole = kxtest::readFile("whole.png");
    ASSERT_GT(whole.size(), 12u);
    for (size_t length = 0; length < whole.size() - 12; ++length)
    {
        ASSERT_TRUE(kxtest::writeFile("cut.png", whole.substr(0, length)));
        EXPECT_FALSE(bitmap.load("cut.png")) << length;
    }
}

TEST(Bitmap, ReloadReplacesAndFailureEmpties)
{
    DdsDesc desc;
    desc.caps2 = CUBE_ALL;
    desc.mipCount = 2;
    ASSERT_TRUE(kxtest::writeFile("reload.dds", ddsFile(desc, 8, 6, 2)));
    std::vector<unsigned char> pixels = picture(2, 2, 4);
    ASSERT_TRUE(stbi_write_png("reload.png", 2, 2, 4, pixels.data(), 8));

    KxBitmap bitmap;
    ASSERT_TRUE(bitmap.load("reload.dds"));
    ASSERT_TRUE(bitmap.load("reload.png"));
    EXPECT_EQ(bitmap.getNrOfSides(), 1);
    EXPECT_EQ(bitmap.getNrOfLevels(), 1);
    EXPECT_FALSE(bitmap.isCompressed());
    EXPECT_EQ(bitmap.getFilename(), "reload.png");
    ASSERT_TRUE(bitmap.load("reload.dds"));
    EXPECT_TRUE(bitmap.isCubemap());

    EXPECT_FALSE(bitmap.load("missing.dds"));
    EXPECT_FALSE(bitmap.isLoaded());
    EXPECT_EQ(bitmap.getNrOfLevels(), 0);
    EXPECT_EQ(bitmap.getNrOfSides(), 0);
    EXPECT_EQ(bitmap.getType(), 0);
    EXPECT_EQ(bitmap.getFilename(), "");
    EXPECT_EQ(bitmap.getData(0), nullptr);
}

TEST(Bitmap, EmptyBitmap)
{
    KxBitmap bitmap;
    EXPECT_FALSE(bitmap.isLoaded());
    EXPECT_FALSE(bitmap.isCompressed());
    EXPECT_FALSE(bitmap.isCubemap());
    EXPECT_EQ(bitmap.getNrOfLevels(), 0);
    EXPECT_EQ(bitmap.getSizeX(0), 0);
    EXPECT_EQ(bitmap.getNrOfBytes(0), 0);
    EXPECT_EQ(bitmap.getData(0), nullptr);
}
