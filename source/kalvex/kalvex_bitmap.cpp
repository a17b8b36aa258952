// KxBitmap: image files in system memory. DDS is read here; everything else
// goes through stb_image.
#include "kalvex_internal.h"

#include <stb_image.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

namespace
{
const size_t MAX_PATH_LENGTH = 255;
// Larger than any texture a GL 4.5 driver accepts; rejecting above it keeps
// every size computation far away from overflow.
const uint32_t MAX_DDS_SIZE = 16384;

// Image files are read whole; stb_image counts their bytes in an int.
const uint64_t MAX_IMAGE_FILE_SIZE = 0x7fffffff;
// No compressed format expands its data by more than about a thousand times
// (deflate's limit is 1032); a small image may claim anything up to the floor.
const uint64_t MAX_EXPANSION = 1100;
const uint64_t MAX_DECODED_FLOOR = 1u << 22;

const size_t DDS_HEADER_SIZE = 128;
const size_t DDS_DX10_HEADER_SIZE = 148;

const uint32_t DDS_CAPS2_CUBEMAP = 0x200;
const uint32_t DDS_CAPS2_ALL_FACES = 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000 | 0x8000;

const uint32_t DXGI_FORMAT_BC1_UNORM = 71;
const uint32_t DXGI_FORMAT_BC3_UNORM = 77;

uint32_t fourCC(const char* text)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

// Callers check the offset against the buffer size first.
uint32_t readU32(const std::vector<unsigned char>& bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

bool isCompressedFormat(int type)
{
    return type == GL_COMPRESSED_RGB_S3TC_DXT1_EXT || type == GL_COMPRESSED_RGBA_S3TC_DXT5_EXT ||
           type == GL_COMPRESSED_RED_RGTC1 || type == GL_COMPRESSED_RG_RGTC2;
}

// Bytes of one level: whole 4 x 4 blocks, also for sizes that are not a
// multiple of four (a 6 x 6 level is 2 x 2 blocks).
uint64_t blockBytes(uint32_t width, uint32_t height, uint32_t bytesPerBlock)
{
    return static_cast<uint64_t>((width + 3) / 4) * ((height + 3) / 4) * bytesPerBlock;
}

// Number of levels from width x height down to 1 x 1.
uint32_t fullChainLength(uint32_t width, uint32_t height)
{
    uint32_t size = width > height ? width : height;
    uint32_t levels = 1;
    while (size > 1)
    {
        size >>= 1;
        ++levels;
    }
    return levels;
}

}

// Decoded blocks, shared by the bitmaps of textures that load one image.
struct PixelBlocks
{
    std::vector<unsigned char*> list; // side-major: level l of side s at l + s * levels
    bool fromDecoder = false;         // blocks belong to stb_image's allocator

    ~PixelBlocks()
    {
        for (unsigned char* block : list)
        {
            if (fromDecoder)
                stbi_image_free(block);
            else
                delete[] block;
        }
    }
};

struct KxBitmap::Private
{
    std::string filename;
    std::shared_ptr<PixelBlocks> blocks = std::make_shared<PixelBlocks>();
    std::vector<int> sizeX;
    std::vector<int> sizeY;
    std::vector<int> nrOfBytes;
    int depth = 0;
    int levels = 0;
    int sides = 0;
    int type = 0;

    void release()
    {
        blocks = std::make_shared<PixelBlocks>();
        sizeX.clear();
        sizeY.clear();
        nrOfBytes.clear();
        filename.clear();
        depth = levels = sides = type = 0;
    }

    bool decodeDds(const std::string& path);
    bool decodeOther(const std::string& path);
    // Takes over an image stb_image decoded (null: its failure is logged).
    bool adoptDecoded(unsigned char* pixels, int width, int height, int components, const std::string& path);
    bool decodeMemory(const unsigned char* bytes, size_t size, const std::string& path);
};

KxBitmap::KxBitmap() : reserved(new Private)
{
    KX_LOG(LEVEL_DEBUG, "[+] bitmap");
}

KxBitmap::~KxBitmap()
{
    reserved->release();
    delete reserved;
    KX_LOG(LEVEL_DEBUG, "[-] bitmap");
}

void KxBitmap::share(const KxBitmap& other)
{
    if (&other != this)
        *reserved = *other.reserved;
}

bool KxBitmap::load(const std::string& path)
{
    reserved->release();
    if (path.empty() || path.size() > MAX_PATH_LENGTH)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return KX_LOG(LEVEL_ERROR, "Unable to define extension for file '%s'", path.c_str());
    std::string extension = path.substr(dot);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (extension == ".dds")
    {
        if (!reserved->decodeDds(path))
        {
            reserved->release();
            return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s'", path.c_str());
        }
    }
    else if (!reserved->decodeOther(path))
    {
        reserved->release();
        return false;
    }
    reserved->filename = path;
    return true;
}

bool KxBitmap::loadFromMemory(const unsigned char* bytes, size_t size, const std::string& name)
{
    reserved->release();
    if (!bytes || size == 0 || size > static_cast<size_t>(INT32_MAX) || name.size() > MAX_PATH_LENGTH)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!reserved->decodeMemory(bytes, size, name))
    {
        reserved->release();
        return false;
    }
    reserved->filename = name;
    return true;
}

bool KxBitmap::Private::decodeOther(const std::string& path)
{
    const char* why = nullptr;
    std::vector<unsigned char> bytes;
    if (!kx::InputFile::read(path.c_str(), bytes, MAX_IMAGE_FILE_SIZE, why))
        return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s' (can't fopen: %s)", path.c_str(), why);
    return decodeMemory(bytes.data(), bytes.size(), path);
}

bool KxBitmap::Private::decodeMemory(const unsigned char* bytes, size_t size, const std::string& path)
{
    int length = static_cast<int>(size);
    int width = 0, height = 0, components = 0;
    if (!stbi_info_from_memory(bytes, length, &width, &height, &components))
    {
        const char* reason = stbi_failure_reason();
        return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s' (%s)", path.c_str(), reason ? reason : "unknown");
    }
    // The decoder allocates what the header promises before it reads the
    // data: a header of a few bytes must not cost gigabytes.
    uint64_t promised = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * static_cast<uint64_t>(components);
    if (promised > MAX_DECODED_FLOOR && promised / MAX_EXPANSION > size)
        return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s' (header promises %dx%d pixels, the file holds %d bytes)",
                      path.c_str(), width, height, length);
    unsigned char* pixels = stbi_load_from_memory(bytes, length, &width, &height, &components, 0);
    return adoptDecoded(pixels, width, height, components, path);
}

bool KxBitmap::Private::adoptDecoded(unsigned char* pixels, int width, int height, int components,
                                     const std::string& path)
{
    if (!pixels)
    {
        const char* reason = stbi_failure_reason();
        return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s' (%s)", path.c_str(), reason ? reason : "unknown");
    }
    blocks->fromDecoder = true;
    try
    {
        blocks->list.push_back(pixels);
    }
    catch (const std::exception&)
    {
        stbi_image_free(pixels);
        return KX_LOG(LEVEL_ERROR, "Unable to decode file '%s' (%s)", path.c_str(), "out of memory");
    }
    // stb_image refuses images whose byte count does not fit an int.
    size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(components);
    sizeX.assign(1, width);
    sizeY.assign(1, height);
    nrOfBytes.assign(1, static_cast<int>(rowBytes * static_cast<size_t>(height)));
    depth = components;
    type = components;
    levels = 1;
    sides = 1;

    // OpenGL wants the bottom row first.
    std::vector<unsigned char> swap(rowBytes);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
    {
        unsigned char* a = pixels + static_cast<size_t>(top) * rowBytes;
        unsigned char* b = pixels + static_cast<size_t>(bottom) * rowBytes;
        std::memcpy(swap.data(), a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, swap.data(), rowBytes);
    }
    return true;
}

bool KxBitmap::Private::decodeDds(const std::string& path)
{
    const char* name = path.c_str();
    const char* why = nullptr;
    std::vector<unsigned char> bytes;
    if (!kx::InputFile::read(name, bytes, MAX_IMAGE_FILE_SIZE, why))
    {
        if (std::strcmp(why, "no such file") == 0)
            return KX_LOG(LEVEL_ERROR, "File '%s' not found", name);
        return KX_LOG(LEVEL_ERROR, "File '%s' cannot be read (%s)", name, why);
    }
    if (bytes.size() < DDS_HEADER_SIZE)
        return KX_LOG(LEVEL_ERROR, "File '%s' damaged", name);
    if (std::memcmp(bytes.data(), "DDS ", 4) != 0)
        return KX_LOG(LEVEL_ERROR, "File '%s' is not a valid DDS", name);

    uint32_t height = readU32(bytes, 12);
    uint32_t width = readU32(bytes, 16);
    uint32_t mipCount = readU32(bytes, 28);
    uint32_t format = readU32(bytes, 84);
    uint32_t caps2 = readU32(bytes, 112);

    if (width == 0 || height == 0 || width > MAX_DDS_SIZE || height > MAX_DDS_SIZE)
        return KX_LOG(LEVEL_ERROR, "File '%s' has unsupported dimensions %ux%u", name, width, height);

    sides = 1;
    if (caps2 & DDS_CAPS2_CUBEMAP)
    {
        KX_LOG(LEVEL_DEBUG, "Image is a cubemap");
        if ((caps2 & DDS_CAPS2_ALL_FACES) != DDS_CAPS2_ALL_FACES)
            return KX_LOG(LEVEL_ERROR, "File '%s' is an incomplete cubemap", name);
        sides = 6;
    }

    char printable[5];
    for (int i = 0; i < 4; ++i)
    {
        unsigned char c = bytes[84 + i];
        printable[i] = std::isprint(c) ? static_cast<char>(c) : '?';
    }
    printable[4] = '\0';
    KX_LOG(LEVEL_DEBUG, "File fourCC: '%s'", printable);

    size_t offset = DDS_HEADER_SIZE;
    uint32_t bytesPerBlock = 0;
    if (format == fourCC("DXT1"))
    {
        type = GL_COMPRESSED_RGB_S3TC_DXT1_EXT;
        depth = 3;
    }
    else if (format == fourCC("DXT5"))
    {
        type = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT;
        depth = 4;
    }
    else if (format == fourCC("ATI1"))
    {
        type = GL_COMPRESSED_RED_RGTC1;
        depth = 1;
    }
    else if (format == fourCC("ATI2"))
    {
        type = GL_COMPRESSED_RG_RGTC2;
        depth = 2;
    }
    else if (format == fourCC("DX10"))
    {
        if (bytes.size() < DDS_DX10_HEADER_SIZE)
            return KX_LOG(LEVEL_ERROR, "File '%s' damaged", name);
        uint32_t dxgiFormat = readU32(bytes, 128);
        uint32_t arraySize = readU32(bytes, 140);
        KX_LOG(LEVEL_DEBUG, "Array: %u", arraySize);
        if (arraySize == 6)
        {
            KX_LOG(LEVEL_DEBUG, "Image is a cubemap");
            sides = 6;
        }
        if (dxgiFormat == DXGI_FORMAT_BC1_UNORM)
        {
            type = GL_COMPRESSED_RGB_S3TC_DXT1_EXT;
            depth = 3;
        }
        else if (dxgiFormat == DXGI_FORMAT_BC3_UNORM)
        {
            type = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT;
            depth = 4;
        }
        else
            return KX_LOG(LEVEL_ERROR, "File '%s' uses an unsupported compression format", name);
        offset = DDS_DX10_HEADER_SIZE;
    }
    else
        return KX_LOG(LEVEL_ERROR, "File '%s' uses an unsupported compression format", name);
    bytesPerBlock = (type == GL_COMPRESSED_RGB_S3TC_DXT1_EXT || type == GL_COMPRESSED_RED_RGTC1) ? 8 : 16;

    // A count of 0 means the file holds just the base level; a count beyond
    // 1 x 1 would only repeat 1 x 1 levels, so the chain ends there.
    uint32_t chain = fullChainLength(width, height);
    levels = static_cast<int>(mipCount == 0 ? 1 : (mipCount < chain ? mipCount : chain));

    // Every block must lie inside the file before anything is copied.
    uint64_t perSide = 0;
    for (uint32_t level = 0, w = width, h = height; level < static_cast<uint32_t>(levels); ++level)
    {
        perSide += blockBytes(w, h, bytesPerBlock);
        w = w > 1 ? w / 2 : 1;
        h = h > 1 ? h / 2 : 1;
    }
    if (perSide * static_cast<uint64_t>(sides) > bytes.size() - offset)
        return KX_LOG(LEVEL_ERROR, "File '%s' damaged", name);

    try
    {
        blocks->list.assign(static_cast<size_t>(sides) * static_cast<size_t>(levels), nullptr);
        sizeX.assign(static_cast<size_t>(levels), 0);
        sizeY.assign(static_cast<size_t>(levels), 0);
        nrOfBytes.assign(static_cast<size_t>(levels), 0);
        for (int side = 0; side < sides; ++side)
        {
            uint32_t w = width, h = height;
            for (int level = 0; level < levels; ++level)
            {
                size_t size = static_cast<size_t>(blockBytes(w, h, bytesPerBlock));
                sizeX[level] = static_cast<int>(w);
                sizeY[level] = static_cast<int>(h);
                nrOfBytes[level] = static_cast<int>(size);
                unsigned char* block = new unsigned char[size];
                blocks->list[static_cast<size_t>(level) + static_cast<size_t>(side) * levels] = block;
                std::memcpy(block, bytes.data() + offset, size);
                offset += size;
                KX_LOG(LEVEL_DEBUG, "Mipmap: %d, %dx%d, %d bytes", level, static_cast<int>(w), static_cast<int>(h),
                       static_cast<int>(size));
                w = w > 1 ? w / 2 : 1;
                h = h > 1 ? h / 2 : 1;
            }
        }
    }
    catch (const std::exception&)
    {
        return KX_LOG(LEVEL_ERROR, "File '%s' is too large", name);
    }
    return true;
}

int KxBitmap::getNrOfLevels() const
{
    return reserved->levels;
}

int KxBitmap::getNrOfSides() const
{
    return reserved->sides;
}

int KxBitmap::getDepth() const
{
    return reserved->depth;
}

int KxBitmap::getType() const
{
    return reserved->type;
}

int KxBitmap::getNrOfBytes(int level) const
{
    if (level < 0 || level >= reserved->levels)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return 0;
    }
    return reserved->nrOfBytes[level];
}

int KxBitmap::getSizeX(int level) const
{
    if (level < 0 || level >= reserved->levels)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return 0;
    }
    return reserved->sizeX[level];
}

int KxBitmap::getSizeY(int level) const
{
    if (level < 0 || level >= reserved->levels)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return 0;
    }
    return reserved->sizeY[level];
}

bool KxBitmap::isLoaded() const
{
    return !reserved->blocks->list.empty();
}

bool KxBitmap::isCubemap() const
{
    return reserved->sides == 6;
}

bool KxBitmap::isCompressed() const
{
    return isCompressedFormat(reserved->type);
}

std::string KxBitmap::getFilename() const
{
    return reserved->filename;
}

unsigned char* KxBitmap::getData(int level, int side) const
{
    if (side < 0 || side >= reserved->sides || level < 0 || level >= reserved->levels)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    return reserved->blocks->list[static_cast<size_t>(level) + static_cast<size_t>(side) * reserved->levels];
}
