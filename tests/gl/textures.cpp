// KxTexture against the driver: what create, load and createFromHandle leave
// in GL, texels read back and compared with a decoder of our own, the default
// texture, render, and the texture unit pool.
#include "kxtest.h"

#include <kalvex_internal.h>

#include <GL/glew.h>
#include <stb_image_write.h>

#include <cstring>
#include <random>
#include <vector>

class Textures : public kxtest::EngineTest
{
};

namespace
{
// --- DDS files --------------------------------------------------------------

void put32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

const uint32_t CUBE_ALL = 0x200 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000 | 0x8000;

std::string ddsHeader(uint32_t width, uint32_t height, uint32_t mipCount, const char* fourCC, uint32_t caps2 = 0,
                      uint32_t dxgiFormat = 0, uint32_t arraySize = 1)
{
    bool dx10 = std::strcmp(fourCC, "DX10") == 0;
    std::string bytes(dx10 ? 148 : 128, '\0');
    std::memcpy(&bytes[0], "DDS ", 4);
    put32(bytes, 4, 124);
    put32(bytes, 8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000 | (mipCount > 1 ? 0x20000 : 0));
    put32(bytes, 12, height);
    put32(bytes, 16, width);
    put32(bytes, 28, mipCount);
    put32(bytes, 76, 32);
    put32(bytes, 80, 0x4);
    std::memcpy(&bytes[84], fourCC, 4);
    put32(bytes, 108, 0x1000 | (mipCount > 1 ? 0x400008 : 0) | (caps2 ? 0x8 : 0));
    put32(bytes, 112, caps2);
    if (dx10)
    {
        put32(bytes, 128, dxgiFormat);
        put32(bytes, 132, 3);
        put32(bytes, 140, arraySize);
    }
    return bytes;
}

enum class Codec
{
    BC1,
    BC3,
    BC4,
    BC5
};

// An image as GL hands it back for GL_RGBA / GL_UNSIGNED_BYTE, rows in memory order.
struct Rgba
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> texels;
};

void expand565(uint16_t color, unsigned char* rgb)
{
    unsigned r = (color >> 11) & 31, g = (color >> 5) & 63, b = color & 31;
    rgb[0] = static_cast<unsigned char>((r << 3) | (r >> 2));
    rgb[1] = static_cast<unsigned char>((g << 2) | (g >> 4));
    rgb[2] = static_cast<unsigned char>((b << 3) | (b >> 2));
}

// Blocks use only the two end points (indices 0 and 1), which every decoder
// reproduces exactly; the end points and the index pattern vary per block.
struct BlockWriter
{
    std::mt19937 random;
    explicit BlockWriter(unsigned seed) : random(seed) {}

    // A BC4 block; value[i] receives the decoded value of pixel i (row-major in the block).
    void bc4(std::string& out, unsigned char* value)
    {
        unsigned char e0 = static_cast<unsigned char>(random() % 256);
        unsigned char e1 = static_cast<unsigned char>(random() % 256);
        uint64_t indices = 0;
        for (int i = 0; i < 16; ++i)
        {
            uint64_t index = random() % 2;
            indices |= index << (3 * i);
            value[i] = index ? e1 : e0;
        }
        out += static_cast<char>(e0);
        out += static_cast<char>(e1);
        for (int i = 0; i < 6; ++i)
            out += static_cast<char>((indices >> (8 * i)) & 0xFF);
    }

    // A BC1 colour block in four-colour order (c0 > c1); rgb receives 16 x 3 bytes.
    void bc1(std::string& out, unsigned char* rgb)
    {
        uint16_t c0 = static_cast<uint16_t>(1 + random() % 0xFFFF);
        uint16_t c1 = static_cast<uint16_t>(random() % c0);
        unsigned char colors[2][3];
        expand565(c0, colors[0]);
        expand565(c1, colors[1]);
        uint32_t indices = 0;
        for (int i = 0; i < 16; ++i)
        {
            uint32_t index = random() % 2;
            indices |= index << (2 * i);
            std::memcpy(rgb + 3 * i, colors[index], 3);
        }
        out += static_cast<char>(c0 & 0xFF);
        out += static_cast<char>(c0 >> 8);
        out += static_cast<char>(c1 & 0xFF);
        out += static_cast<char>(c1 >> 8);
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>((indices >> (8 * i)) & 0xFF);
    }

    // One block of a codec, its decoded texels written into image at (bx, by).
    void block(Codec codec, std::string& out, Rgba& image, int bx, int by)
    {
        unsigned char rgb[48], alpha[16], red[16], green[16];
        switch (codec)
        {
        case Codec::BC1:
            bc1(out, rgb);
            break;
        case Codec::BC3:
            bc4(out, alpha);
            bc1(out, rgb);
            break;
        case Codec::BC4:
            bc4(out, red);
            break;
        case Codec::BC5:
            bc4(out, red);
            bc4(out, green);
            break;
        }
        for (int i = 0; i < 16; ++i)
        {
            int x = bx * 4 + i % 4, y = by * 4 + i / 4;
            if (x >= image.width || y >= image.height)
                continue;
            unsigned char* texel = &image.texels[(static_cast<size_t>(y) * image.width + x) * 4];
            switch (codec)
            {
            case Codec::BC1:
            case Codec::BC3:
                std::memcpy(texel, rgb + 3 * i, 3);
                texel[3] = codec == Codec::BC3 ? alpha[i] : 255;
                break;
            case Codec::BC4:
                texel[0] = red[i];
                texel[1] = texel[2] = 0;
                texel[3] = 255;
                break;
            case Codec::BC5:
                texel[0] = red[i];
                texel[1] = green[i];
                texel[2] = 0;
                texel[3] = 255;
                break;
            }
        }
    }

    // Blocks of a whole level, with the reference image of that level.
    std::string level(Codec codec, int width, int height, Rgba& image)
    {
        image.width = width;
        image.height = height;
        image.texels.assign(static_cast<size_t>(width) * height * 4, 0);
        std::string out;
        for (int by = 0; by < (height + 3) / 4; ++by)
            for (int bx = 0; bx < (width + 3) / 4; ++bx)
                block(codec, out, image, bx, by);
        return out;
    }
};

// A compressed DDS file; reference[side][level] receives the decoded levels.
std::string compressedFile(Codec codec, const char* fourCC, int width, int height, int levels, int sides,
                           std::vector<std::vector<Rgba>>& reference, uint32_t dxgiFormat = 0, unsigned seed = 1)
{
    uint32_t caps2 = sides == 6 && std::strcmp(fourCC, "DX10") != 0 ? CUBE_ALL : 0;
    std::string bytes = ddsHeader(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                  static_cast<uint32_t>(levels), fourCC, caps2, dxgiFormat, sides == 6 ? 6 : 1);
    BlockWriter writer(seed);
    reference.assign(static_cast<size_t>(sides), std::vector<Rgba>(static_cast<size_t>(levels)));
    for (int side = 0; side < sides; ++side)
    {
        int w = width, h = height;
        for (int level = 0; level < levels; ++level)
        {
            bytes += writer.level(codec, w, h, reference[side][level]);
            w = w > 1 ? w / 2 : 1;
            h = h > 1 ? h / 2 : 1;
        }
    }
    return bytes;
}

// --- GL queries -------------------------------------------------------------

GLint textureParameter(GLuint name, GLenum pname)
{
    GLint value = 0;
    glGetTextureParameteriv(name, pname, &value);
    return value;
}

GLfloat textureParameterF(GLuint name, GLenum pname)
{
    GLfloat value = 0;
    glGetTextureParameterfv(name, pname, &value);
    return value;
}

// Level parameters; cube maps are asked through their first face.
GLint levelParameter(const KxTexture* texture, int level, GLenum pname)
{
    GLint value = 0;
    GLuint name = texture->getHandle();
    if (textureParameter(name, GL_TEXTURE_TARGET) == GL_TEXTURE_CUBE_MAP)
    {
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_CUBE_MAP, name);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X, level, pname, &value);
    }
    else
        glGetTextureLevelParameteriv(name, level, pname, &value);
    return value;
}

// Texels of one level (one face of a cube map) as GL_RGBA / GL_UNSIGNED_BYTE.
std::vector<unsigned char> readRgba(GLuint name, int level, int width, int height, int face = -1)
{
    std::vector<unsigned char> texels(static_cast<size_t>(width) * height * 4, 0xCD);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    if (face >= 0)
        glGetTextureSubImage(name, level, 0, 0, face, width, height, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                             static_cast<GLsizei>(texels.size()), texels.data());
    else
        glGetTextureImage(name, level, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(texels.size()), texels.data());
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    return texels;
}

size_t mismatches(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
{
    if (a.size() != b.size())
        return a.size() > b.size() ? a.size() : b.size();
    size_t count = 0;
    for (size_t i = 0; i < a.size(); ++i)
        count += a[i] != b[i];
    return count;
}

void expectNoGlError(const char* where)
{
    GLenum error = glGetError();
    EXPECT_EQ(error, static_cast<GLenum>(GL_NO_ERROR)) << where;
    while (glGetError() != GL_NO_ERROR)
    {
    }
}

size_t logMark()
{
    return kxtest::readLog().size();
}

// A picture whose pixel values differ everywhere; rows top first.
std::vector<unsigned char> picture(int width, int height, int channels, int seed = 0)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * channels);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<unsigned char>(37 * i + 11 + seed);
    return pixels;
}

// The picture as GL stores it: bottom row first.
std::vector<unsigned char> flipped(const std::vector<unsigned char>& pixels, int width, int height, int channels)
{
    std::vector<unsigned char> out(pixels.size());
    size_t row = static_cast<size_t>(width) * channels;
    for (int y = 0; y < height; ++y)
        std::memcpy(&out[y * row], &pixels[(height - 1 - y) * row], row);
    return out;
}

std::vector<unsigned char> toRgba(const std::vector<unsigned char>& pixels, int channels)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i < pixels.size(); i += static_cast<size_t>(channels))
    {
        out.push_back(pixels[i]);
        out.push_back(channels > 1 ? pixels[i + 1] : 0);
        out.push_back(channels > 2 ? pixels[i + 2] : 0);
        out.push_back(channels > 3 ? pixels[i + 3] : 255);
    }
    return out;
}
}

// --- The default texture ----------------------------------------------------

TEST_F(Textures, DefaultTextureIsOneWhitePixel)
{
    KxTexture* texture = KxTexture::getDefault();
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->getName(), "[default_texture]");
    EXPECT_EQ(texture->getType(), KxObject::TYPE_TEXTURE);
    EXPECT_EQ(texture->getSubtype(), 3);
    EXPECT_EQ(texture->getSizeX(), 1u);
    EXPECT_EQ(texture->getSizeY(), 1u);
    EXPECT_EQ(texture->getNrOfComponents(), 3);
    GLuint name = texture->getHandle();
    ASSERT_NE(name, 0u);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_TARGET), GL_TEXTURE_2D);
    EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_INTERNAL_FORMAT), GL_RGB8);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_REPEAT);
    EXPECT_FLOAT_EQ(textureParameterF(name, GL_TEXTURE_MAX_ANISOTROPY), 1.0f);
    std::vector<unsigned char> texel = readRgba(name, 0, 1, 1);
    EXPECT_EQ(texel, (std::vector<unsigned char>{255, 255, 255, 255}));
    if (!Kalvex::usesBindlessTextures())
    {
        EXPECT_EQ(texture->getBindlessHandle(), 0u);
    }
    expectNoGlError("default texture");

    // A second init is refused and leaves the default texture alone.
    size_t mark = logMark();
    KxTexture::init();
    EXPECT_EQ(kxtest::countLogLines("Static class already initialized", mark), 1);
    EXPECT_EQ(KxTexture::getDefault(), texture);
}

// --- create -----------------------------------------------------------------

TEST_F(Textures, CreateGivesEachKindItsTargetAndFormat)
{
    struct Kind
    {
        int kind;
        GLenum internalFormat;
        GLenum target;
        int components;
        GLint defaultFilter;
    };
    const Kind kinds[] = {
        {1, GL_R8, GL_TEXTURE_2D, 1, GL_LINEAR},
        {2, GL_R16, GL_TEXTURE_2D, 1, GL_LINEAR},
        {3, GL_RGB8, GL_TEXTURE_2D, 3, GL_LINEAR},
        {4, GL_RGBA8, GL_TEXTURE_2D, 4, GL_LINEAR},
        {5, GL_RGBA16F, GL_TEXTURE_2D, 4, GL_LINEAR},
        {6, GL_RGB16F, GL_TEXTURE_2D, 3, GL_LINEAR},
        {7, GL_RGBA32F, GL_TEXTURE_2D, 4, GL_LINEAR},
        {8, GL_DEPTH_COMPONENT32, GL_TEXTURE_2D, 1, GL_LINEAR},
        {9, GL_RGBA8, GL_TEXTURE_3D, 4, GL_NEAREST},
        {10, GL_RGBA16F, GL_TEXTURE_3D, 4, GL_NEAREST},
        {11, GL_RGBA32F, GL_TEXTURE_3D, 4, GL_NEAREST},
        {12, GL_RGBA8, GL_TEXTURE_2D_ARRAY, 4, GL_NEAREST},
        {13, GL_RGBA16F, GL_TEXTURE_2D_ARRAY, 4, GL_NEAREST},
        {14, GL_RGBA32F, GL_TEXTURE_2D_ARRAY, 4, GL_NEAREST},
        {15, GL_DEPTH_COMPONENT32, GL_TEXTURE_2D_ARRAY, 1, GL_NEAREST},
        {16, GL_R32F, GL_TEXTURE_CUBE_MAP, 1, GL_LINEAR},
        {17, GL_RGB8, GL_TEXTURE_CUBE_MAP, 3, GL_LINEAR},
        {18, GL_RGBA8, GL_TEXTURE_CUBE_MAP, 4, GL_LINEAR},
        {19, GL_DEPTH_COMPONENT32, GL_TEXTURE_CUBE_MAP, 1, GL_LINEAR},
        {22, GL_RGBA16F, GL_TEXTURE_2D_MULTISAMPLE, 4, 0},
        {23, GL_DEPTH_COMPONENT32, GL_TEXTURE_2D_MULTISAMPLE, 1, 0},
    };
    expectNoGlError("before");
    for (const Kind& k : kinds)
    {
        SCOPED_TRACE("kind " + std::to_string(k.kind));
        bool layered = k.target == GL_TEXTURE_3D || k.target == GL_TEXTURE_2D_ARRAY;
        bool cube = k.target == GL_TEXTURE_CUBE_MAP;
        unsigned int sizeX = cube ? 16 : 32, sizeY = 16, sizeZ = layered ? 3 : 0;
        KxTexture* texture = new KxTexture;
        ASSERT_TRUE(texture->create(k.kind, sizeX, sizeY, sizeZ));
        expectNoGlError("create");
        GLuint name = texture->getHandle();
        ASSERT_NE(name, 0u);
        EXPECT_EQ(texture->getSubtype(), k.kind);
        EXPECT_EQ(texture->getNrOfComponents(), k.components);
        EXPECT_EQ(texture->getSizeX(), sizeX);
        EXPECT_EQ(texture->getSizeY(), sizeY);
        EXPECT_EQ(texture->getSizeZ(), sizeZ);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_TARGET), static_cast<GLint>(k.target));
        EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_INTERNAL_FORMAT), static_cast<GLint>(k.internalFormat));
        EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_WIDTH), static_cast<GLint>(sizeX));
        EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_HEIGHT), static_cast<GLint>(sizeY));
        if (layered)
        {
            EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_DEPTH), 3);
        }
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAX_LEVEL), 0);
        if (k.target == GL_TEXTURE_2D_MULTISAMPLE)
        {
            // This driver gives 4 samples for any request of 1 to 4.
            EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_SAMPLES), 4);
            EXPECT_EQ(levelParameter(texture, 0, GL_TEXTURE_FIXED_SAMPLE_LOCATIONS), GL_TRUE);
        }
        else
        {
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), k.defaultFilter);
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), k.defaultFilter);
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_R), GL_CLAMP_TO_EDGE);
        }
        if (k.kind == 19)
        {
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_COMPARE_MODE), GL_COMPARE_REF_TO_TEXTURE);
            EXPECT_EQ(textureParameter(name, GL_TEXTURE_COMPARE_FUNC), GL_LEQUAL);
        }
        EXPECT_EQ(texture->getBindlessHandle() != 0, Kalvex::usesBindlessTextures());
        delete texture;
        EXPECT_FALSE(glIsTexture(name));
        expectNoGlError("delete");
    }
}

TEST_F(Textures, CreateRgba512IsLinearClampedWithoutMips)
{
    KxTexture texture;
    ASSERT_TRUE(texture.create(4, 512, 512, 0, 0, 0));
    GLuint name = texture.getHandle();
    EXPECT_EQ(levelParameter(&texture, 0, GL_TEXTURE_INTERNAL_FORMAT), GL_RGBA8);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_LINEAR);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAX_LEVEL), 0);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_IMMUTABLE_LEVELS), 1);
    EXPECT_EQ(texture.getNrOfComponents(), 4);
}

TEST_F(Textures, CreateFilterAndWrapArguments)
{
    KxTexture texture;
    ASSERT_TRUE(texture.create(4, 8, 8, 0, 1, 1));
    GLuint name = texture.getHandle();
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_R), GL_REPEAT);
    EXPECT_FLOAT_EQ(textureParameterF(name, GL_TEXTURE_MAX_ANISOTROPY), 1.0f);

    // Re-creating deletes the old texture.
    ASSERT_TRUE(texture.create(9, 4, 4, 4, 2, 3));
    EXPECT_FALSE(glIsTexture(name));
    name = texture.getHandle();
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_LINEAR);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(texture.getSubtype(), 9);
}

TEST_F(Textures, CreateRefusals)
{
    KxTexture texture;
    size_t mark = logMark();
    for (int kind : {0, 20, 21, 24})
        EXPECT_FALSE(texture.create(kind, 8, 8, 0)) << kind;
    EXPECT_EQ(kxtest::countLogLines("Unexpected bitmap type", mark), 4);

    mark = logMark();
    EXPECT_FALSE(texture.create(25, 8, 8, 0));
    EXPECT_FALSE(texture.create(100, 8, 8, 0));
    EXPECT_FALSE(texture.create(-1, 8, 8, 0));
    // Sizes GL cannot make.
    EXPECT_FALSE(texture.create(4, 0, 8, 0));
    EXPECT_FALSE(texture.create(4, 8, 0, 0));
    EXPECT_FALSE(texture.create(4, 1u << 30, 8, 0));
    EXPECT_FALSE(texture.create(9, 8, 8, 0));
    EXPECT_FALSE(texture.create(12, 8, 8, 0));
    EXPECT_FALSE(texture.create(18, 8, 16, 0));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 9);
    EXPECT_EQ(texture.getHandle(), 0u);
    EXPECT_EQ(texture.getSubtype(), 0);
    expectNoGlError("refusals");
}

// --- write, writeRaw, getRawDataToSysMem, bindImage ---------------------------

TEST_F(Textures, WriteReplacesLevelZero)
{
    // Rows of 3 x 3 bytes are not multiples of four.
    KxTexture texture;
    ASSERT_TRUE(texture.create(3, 3, 2, 0));
    std::vector<unsigned char> pixels = picture(3, 2, 3);
    ASSERT_TRUE(texture.write(pixels.data()));
    EXPECT_EQ(mismatches(readRgba(texture.getHandle(), 0, 3, 2), toRgba(pixels, 3)), 0u);
    // write binds the texture to unit 0.
    glActiveTexture(GL_TEXTURE0);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), texture.getHandle());

    size_t mark = logMark();
    EXPECT_FALSE(texture.write(nullptr));
    KxTexture empty;
    EXPECT_FALSE(empty.write(pixels.data()));
    KxTexture volume;
    ASSERT_TRUE(volume.create(9, 2, 2, 2));
    EXPECT_FALSE(volume.write(pixels.data()));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 3);
    expectNoGlError("write");
}

TEST_F(Textures, FloatRoundTrip)
{
    KxTexture texture;
    ASSERT_TRUE(texture.create(7, 5, 3, 0));
    std::vector<float> values(5 * 3 * 4);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = 0.25f * static_cast<float>(i) - 3.5f;
    ASSERT_TRUE(texture.writeRaw(values.data()));
    void* data = nullptr;
    ASSERT_TRUE(texture.getRawDataToSysMem(&data));
    ASSERT_NE(data, nullptr);
    float* readBack = static_cast<float*>(data);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_FLOAT_EQ(readBack[i], values[i]) << i;
    delete[] readBack;

    // A float volume reads back every slice.
    KxTexture volume;
    ASSERT_TRUE(volume.create(11, 2, 2, 3));
    std::vector<float> slices(2 * 2 * 3 * 4);
    for (size_t i = 0; i < slices.size(); ++i)
        slices[i] = static_cast<float>(i) * 1.5f;
    glTextureSubImage3D(volume.getHandle(), 0, 0, 0, 0, 2, 2, 3, GL_RGBA, GL_FLOAT, slices.data());
    ASSERT_TRUE(volume.getRawDataToSysMem(&data));
    readBack = static_cast<float*>(data);
    for (size_t i = 0; i < slices.size(); ++i)
        EXPECT_FLOAT_EQ(readBack[i], slices[i]) << i;
    delete[] readBack;
    expectNoGlError("float round trip");
}

TEST_F(Textures, ReadBackRefusals)
{
    void* data = reinterpret_cast<void*>(1);
    KxTexture rgba8;
    ASSERT_TRUE(rgba8.create(4, 4, 4, 0));
    size_t mark = logMark();
    EXPECT_FALSE(rgba8.getRawDataToSysMem(&data));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unsupported texture format (only float)", mark), 1);

    KxTexture half;
    ASSERT_TRUE(half.create(5, 4, 4, 0));
    EXPECT_FALSE(half.getRawDataToSysMem(&data));
    EXPECT_EQ(kxtest::countLogLines("Unsupported texture format (only float)", mark), 2);

    KxTexture rgb;
    ASSERT_TRUE(rgb.create(3, 4, 4, 0));
    EXPECT_FALSE(rgb.getRawDataToSysMem(&data));
    KxTexture red;
    ASSERT_TRUE(red.create(1, 4, 4, 0));
    EXPECT_FALSE(red.getRawDataToSysMem(&data));
    EXPECT_EQ(kxtest::countLogLines("Unsupported texture format (only RGBA)", mark), 2);

    EXPECT_FALSE(rgba8.getRawDataToSysMem(nullptr));
    KxTexture empty;
    EXPECT_FALSE(empty.getRawDataToSysMem(&data));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
}

TEST_F(Textures, BindImage)
{
    KxTexture texture;
    ASSERT_TRUE(texture.create(14, 4, 4, 2));
    ASSERT_TRUE(texture.bindImage(1, true));
    GLint name = 0, layered = 0, access = 0, format = 0;
    glGetIntegeri_v(GL_IMAGE_BINDING_NAME, 1, &name);
    glGetIntegeri_v(GL_IMAGE_BINDING_LAYERED, 1, &layered);
    glGetIntegeri_v(GL_IMAGE_BINDING_ACCESS, 1, &access);
    glGetIntegeri_v(GL_IMAGE_BINDING_FORMAT, 1, &format);
    EXPECT_EQ(static_cast<GLuint>(name), texture.getHandle());
    EXPECT_EQ(layered, GL_TRUE);
    EXPECT_EQ(access, GL_WRITE_ONLY);
    EXPECT_EQ(format, GL_RGBA32F);
    size_t mark = logMark();
    EXPECT_FALSE(texture.bindImage(100000, false));
    KxTexture empty;
    EXPECT_FALSE(empty.bindImage(0, false));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    glBindImageTexture(1, 0, 0, GL_FALSE, 0, GL_READ_ONLY, GL_RGBA8);
    expectNoGlError("bind image");
}

// --- load: stb images ---------------------------------------------------------

TEST_F(Textures, LoadPngUploadsFlippedRowsAndGeneratesMips)
{
    const int width = 4, height = 4;
    std::vector<unsigned char> pixels = picture(width, height, 4);
    ASSERT_TRUE(stbi_write_png("load.png", width, height, 4, pixels.data(), width * 4));
    KxTexture texture;
    ASSERT_TRUE(texture.load("load.png"));
    GLuint name = texture.getHandle();
    ASSERT_NE(name, 0u);
    EXPECT_EQ(texture.getName(), "load.png");
    EXPECT_EQ(texture.getSubtype(), 4);
    EXPECT_EQ(texture.getNrOfComponents(), 4);
    EXPECT_EQ(texture.getSizeX(), 4u);
    EXPECT_EQ(texture.getSizeY(), 4u);
    EXPECT_EQ(texture.getSizeZ(), 1u);
    EXPECT_TRUE(texture.getBitmap()->isLoaded());
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_TARGET), GL_TEXTURE_2D);
    EXPECT_EQ(mismatches(readRgba(name, 0, width, height), flipped(pixels, width, height, 4)), 0u);

    // Trilinear, anisotropic, repeating; levels down to 1 x 1 generated.
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_REPEAT);
    GLfloat maxAnisotropy = 0;
    glGetFloatv(GL_MAX_TEXTURE_MAX_ANISOTROPY, &maxAnisotropy);
    EXPECT_FLOAT_EQ(textureParameterF(name, GL_TEXTURE_MAX_ANISOTROPY), maxAnisotropy < 16 ? maxAnisotropy : 16.0f);
    EXPECT_EQ(levelParameter(&texture, 1, GL_TEXTURE_WIDTH), 2);
    EXPECT_EQ(levelParameter(&texture, 2, GL_TEXTURE_WIDTH), 1);
    EXPECT_EQ(levelParameter(&texture, 2, GL_TEXTURE_HEIGHT), 1);
    expectNoGlError("load png");
}

TEST_F(Textures, GeneratedMipsAverageTheImage)
{
    // One colour everywhere: every generated level has that colour.
    std::vector<unsigned char> pixels;
    for (int i = 0; i < 8 * 8; ++i)
        pixels.insert(pixels.end(), {200, 100, 50});
    ASSERT_TRUE(stbi_write_png("solid.png", 8, 8, 3, pixels.data(), 8 * 3));
    KxTexture texture;
    ASSERT_TRUE(texture.load("solid.png"));
    EXPECT_EQ(texture.getSubtype(), 3);
    EXPECT_EQ(levelParameter(&texture, 3, GL_TEXTURE_WIDTH), 1);
    std::vector<unsigned char> texel = readRgba(texture.getHandle(), 3, 1, 1);
    EXPECT_EQ(texel, (std::vector<unsigned char>{200, 100, 50, 255}));
}

TEST_F(Textures, LoadRgbWithOddWidthNearestClamped)
{
    const int width = 5, height = 3;
    std::vector<unsigned char> pixels = picture(width, height, 3, 5);
    ASSERT_TRUE(stbi_write_png("odd.PNG", width, height, 3, pixels.data(), width * 3));
    KxTexture texture;
    ASSERT_TRUE(texture.load("odd.PNG", 1, 2));
    GLuint name = texture.getHandle();
    EXPECT_EQ(texture.getSubtype(), 3);
    EXPECT_EQ(texture.getNrOfComponents(), 3);
    EXPECT_EQ(mismatches(readRgba(name, 0, width, height), toRgba(flipped(pixels, width, height, 3), 3)), 0u);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), GL_NEAREST);
    EXPECT_FLOAT_EQ(textureParameterF(name, GL_TEXTURE_MAX_ANISOTROPY), 1.0f);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
    expectNoGlError("odd width");
}

TEST_F(Textures, LoadRefusesOneAndTwoChannelImages)
{
    for (int channels : {1, 2})
    {
        std::vector<unsigned char> pixels = picture(4, 4, channels);
        std::string path = "channels" + std::to_string(channels) + ".png";
        ASSERT_TRUE(stbi_write_png(path.c_str(), 4, 4, channels, pixels.data(), 4 * channels));
        KxTexture texture;
        size_t mark = logMark();
        EXPECT_FALSE(texture.load(path));
        EXPECT_EQ(kxtest::countLogLines("Unexpected bitmap type for '" + path + "'", mark), 1);
        EXPECT_EQ(texture.getHandle(), 0u);
        EXPECT_EQ(texture.getSubtype(), 0);
    }
}

TEST_F(Textures, FailedLoadLeavesNoTexture)
{
    std::vector<unsigned char> pixels = picture(2, 2, 4);
    ASSERT_TRUE(stbi_write_png("good.png", 2, 2, 4, pixels.data(), 8));
    std::vector<std::vector<Rgba>> reference;
    std::string dds = compressedFile(Codec::BC1, "DXT1", 8, 8, 2, 1, reference);
    const std::string broken[] = {"missing.png", "missing.dds", "cut_header.dds", "cut_data.dds", "nodot"};
    ASSERT_TRUE(kxtest::writeFile("cut_header.dds", dds.substr(0, 100)));
    ASSERT_TRUE(kxtest::writeFile("cut_data.dds", dds.substr(0, dds.size() - 1)));

    for (const std::string& path : broken)
    {
        KxTexture texture;
        ASSERT_TRUE(texture.load("good.png"));
        GLuint old = texture.getHandle();
        size_t mark = logMark();
        EXPECT_FALSE(texture.load(path)) << path;
        EXPECT_EQ(kxtest::countLogLines("Texture loading error", mark), 1) << path;
        EXPECT_EQ(texture.getHandle(), 0u) << path;
        EXPECT_EQ(texture.getSubtype(), 0) << path;
        EXPECT_EQ(texture.getSizeX(), 0u) << path;
        EXPECT_FALSE(glIsTexture(old)) << path;
    }
    size_t mark = logMark();
    KxTexture texture;
    EXPECT_FALSE(texture.load(""));
    EXPECT_FALSE(texture.load(std::string(300, 'x') + ".png"));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    expectNoGlError("failed loads");
}

// --- load: DDS ----------------------------------------------------------------

struct DdsCase
{
    Codec codec;
    const char* fourCC;
    uint32_t dxgi;
    int kind;
    int components;
    GLenum internalFormat;
};

class TexturesDds : public Textures, public ::testing::WithParamInterface<DdsCase>
{
};

TEST_P(TexturesDds, DecodedTexelsMatchOurDecoder)
{
    const DdsCase& c = GetParam();
    // 12 x 8 has whole blocks; a full chain runs 12x8, 6x4, 3x2, 1x1.
    std::vector<std::vector<Rgba>> reference;
    std::string bytes = compressedFile(c.codec, c.fourCC, 12, 8, 4, 1, reference, c.dxgi, 7);
    std::string path = std::string("decode_") + c.fourCC + std::to_string(c.dxgi) + ".dds";
    ASSERT_TRUE(kxtest::writeFile(path, bytes));

    KxTexture texture;
    ASSERT_TRUE(texture.load(path));
    GLuint name = texture.getHandle();
    EXPECT_EQ(texture.getSubtype(), c.kind);
    EXPECT_EQ(texture.getNrOfComponents(), c.components);
    EXPECT_EQ(texture.getSizeX(), 12u);
    EXPECT_EQ(texture.getSizeY(), 8u);
    EXPECT_EQ(levelParameter(&texture, 0, GL_TEXTURE_INTERNAL_FORMAT), static_cast<GLint>(c.internalFormat));
    EXPECT_EQ(levelParameter(&texture, 0, GL_TEXTURE_COMPRESSED), GL_TRUE);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAX_LEVEL), 3);

    size_t offset = c.fourCC == std::string("DX10") ? 148 : 128;
    for (int level = 0; level < 4; ++level)
    {
        SCOPED_TRACE("level " + std::to_string(level));
        const Rgba& expected = reference[0][level];
        EXPECT_EQ(levelParameter(&texture, level, GL_TEXTURE_WIDTH), expected.width);
        EXPECT_EQ(levelParameter(&texture, level, GL_TEXTURE_HEIGHT), expected.height);
        EXPECT_EQ(mismatches(readRgba(name, level, expected.width, expected.height), expected.texels), 0u);

        // The blocks themselves arrive unchanged.
        GLint size = levelParameter(&texture, level, GL_TEXTURE_COMPRESSED_IMAGE_SIZE);
        ASSERT_EQ(size, texture.getBitmap()->getNrOfBytes(level));
        std::string blocks(static_cast<size_t>(size), '\0');
        glGetCompressedTextureImage(name, level, size, &blocks[0]);
        EXPECT_EQ(blocks, bytes.substr(offset, static_cast<size_t>(size)));
        offset += static_cast<size_t>(size);
    }
    expectNoGlError("dds");
}

INSTANTIATE_TEST_SUITE_P(
    Textures, TexturesDds,
    ::testing::Values(DdsCase{Codec::BC1, "DXT1", 0, 3, 3, GL_COMPRESSED_RGB_S3TC_DXT1_EXT},
                      DdsCase{Codec::BC3, "DXT5", 0, 4, 4, GL_COMPRESSED_RGBA_S3TC_DXT5_EXT},
                      DdsCase{Codec::BC4, "ATI1", 0, 21, 1, GL_COMPRESSED_RED_RGTC1},
                      DdsCase{Codec::BC5, "ATI2", 0, 20, 2, GL_COMPRESSED_RG_RGTC2},
                      DdsCase{Codec::BC1, "DX10", 71, 3, 3, GL_COMPRESSED_RGB_S3TC_DXT1_EXT},
                      DdsCase{Codec::BC3, "DX10", 77, 4, 4, GL_COMPRESSED_RGBA_S3TC_DXT5_EXT}));

TEST_F(Textures, PartialMipChainIsComplete)
{
    // Three of the five levels of 16 x 16: the maximum level is the last one present.
    std::vector<std::vector<Rgba>> reference;
    ASSERT_TRUE(kxtest::writeFile("partial.dds", compressedFile(Codec::BC1, "DXT1", 16, 16, 3, 1, reference)));
    KxTexture texture;
    ASSERT_TRUE(texture.load("partial.dds"));
    GLuint name = texture.getHandle();
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAX_LEVEL), 2);
    EXPECT_EQ(levelParameter(&texture, 2, GL_TEXTURE_WIDTH), 4);
    EXPECT_EQ(mismatches(readRgba(name, 2, 4, 4), reference[0][2].texels), 0u);
    // Nothing generated past what the file has.
    EXPECT_EQ(levelParameter(&texture, 3, GL_TEXTURE_WIDTH), 0);
}

TEST_F(Textures, NonSquareChainDownToOneTexel)
{
    // 8 x 2: the spans below four texels still take whole blocks.
    std::vector<std::vector<Rgba>> reference;
    ASSERT_TRUE(kxtest::writeFile("wide.dds", compressedFile(Codec::BC3, "DXT5", 8, 2, 4, 1, reference)));
    KxTexture texture;
    ASSERT_TRUE(texture.load("wide.dds"));
    for (int level = 0; level < 4; ++level)
    {
        const Rgba& expected = reference[0][level];
        EXPECT_EQ(mismatches(readRgba(texture.getHandle(), level, expected.width, expected.height), expected.texels),
                  0u)
            << level;
    }
    expectNoGlError("wide");
}

TEST_F(Textures, SingleLevelDdsGetsGeneratedMips)
{
    std::vector<std::vector<Rgba>> reference;
    ASSERT_TRUE(kxtest::writeFile("single.dds", compressedFile(Codec::BC1, "DXT1", 8, 8, 1, 1, reference)));
    KxTexture texture;
    ASSERT_TRUE(texture.load("single.dds"));
    EXPECT_EQ(levelParameter(&texture, 3, GL_TEXTURE_WIDTH), 1);
    EXPECT_EQ(mismatches(readRgba(texture.getHandle(), 0, 8, 8), reference[0][0].texels), 0u);
    expectNoGlError("single level");
}

TEST_F(Textures, CubeMapFromDds)
{
    struct Case
    {
        const char* fourCC;
        Codec codec;
        uint32_t dxgi;
        int kind;
    };
    for (const Case& c : {Case{"DXT1", Codec::BC1, 0, 17}, Case{"DX10", Codec::BC3, 77, 18}})
    {
        SCOPED_TRACE(c.fourCC);
        std::vector<std::vector<Rgba>> reference;
        ASSERT_TRUE(kxtest::writeFile("cube.dds", compressedFile(c.codec, c.fourCC, 8, 8, 2, 6, reference, c.dxgi, 3)));
        KxTexture texture;
        // Cube maps clamp whatever wrap is asked for.
        ASSERT_TRUE(texture.load("cube.dds", 0, 1));
        GLuint name = texture.getHandle();
        EXPECT_EQ(texture.getSubtype(), c.kind);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_TARGET), GL_TEXTURE_CUBE_MAP);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_WRAP_R), GL_CLAMP_TO_EDGE);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAX_LEVEL), 1);
        for (int face = 0; face < 6; ++face)
            for (int level = 0; level < 2; ++level)
            {
                const Rgba& expected = reference[face][level];
                EXPECT_EQ(mismatches(readRgba(name, level, expected.width, expected.height, face), expected.texels),
                          0u)
                    << "face " << face << " level " << level;
            }
        expectNoGlError("cube");
    }
}

// --- createFromHandle ---------------------------------------------------------

TEST_F(Textures, CreateFromHandleAdoptsWithoutOwning)
{
    GLuint name = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &name);
    glTextureStorage2D(name, 1, GL_RGBA32F, 16, 8);
    std::vector<float> values(16 * 8 * 4);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(i);
    glTextureSubImage2D(name, 0, 0, 0, 16, 8, GL_RGBA, GL_FLOAT, values.data());

    KxTexture* texture = new KxTexture;
    ASSERT_TRUE(texture->createFromHandle(name));
    EXPECT_EQ(texture->getSubtype(), 24);
    EXPECT_EQ(texture->getHandle(), name);
    EXPECT_EQ(texture->getSizeX(), 16u);
    EXPECT_EQ(texture->getSizeY(), 8u);
    EXPECT_EQ(texture->getSizeZ(), 1u);
    EXPECT_EQ(texture->getNrOfComponents(), 4);
    EXPECT_EQ(texture->getBindlessHandle(), 0u);
    void* data = nullptr;
    ASSERT_TRUE(texture->getRawDataToSysMem(&data));
    EXPECT_FLOAT_EQ(static_cast<float*>(data)[77], 77.0f);
    delete[] static_cast<float*>(data);
    // Re-creating an adopted texture lets go of it without deleting it.
    ASSERT_TRUE(texture->create(3, 2, 2, 0));
    EXPECT_TRUE(glIsTexture(name));
    ASSERT_TRUE(texture->createFromHandle(name));
    delete texture;
    EXPECT_TRUE(glIsTexture(name));

    // Components from sized and unsized formats; cube maps through a face.
    struct Format
    {
        GLenum target;
        GLenum internalFormat;
        int components;
    };
    const Format formats[] = {{GL_TEXTURE_2D, GL_R8, 1},
                              {GL_TEXTURE_2D, GL_DEPTH_COMPONENT32, 1},
                              {GL_TEXTURE_2D, GL_RGB8, 3},
                              {GL_TEXTURE_2D, GL_RGBA16F, 4},
                              {GL_TEXTURE_CUBE_MAP, GL_RGBA8, 4},
                              {GL_TEXTURE_2D, GL_RGBA16UI, 0}};
    for (const Format& format : formats)
    {
        GLuint other = 0;
        glCreateTextures(format.target, 1, &other);
        glTextureStorage2D(other, 1, format.internalFormat, 4, 4);
        KxTexture* adopted = new KxTexture;
        size_t mark = logMark();
        EXPECT_TRUE(adopted->createFromHandle(other));
        EXPECT_EQ(adopted->getNrOfComponents(), format.components) << std::hex << format.internalFormat;
        EXPECT_EQ(adopted->getSizeX(), 4u);
        EXPECT_EQ(kxtest::countLogLines("Unsupported internal format", mark), format.components == 0 ? 1 : 0);
        delete adopted; // the adopted name survives the texture object
        EXPECT_TRUE(glIsTexture(other));
        glDeleteTextures(1, &other);
    }
    glDeleteTextures(1, &name);

    size_t mark = logMark();
    KxTexture texture2;
    EXPECT_FALSE(texture2.createFromHandle(0));
    EXPECT_FALSE(texture2.createFromHandle(987654));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    expectNoGlError("adopt");
}

// --- render -------------------------------------------------------------------

namespace
{
const char* const FULLSCREEN_VS = "void main()\n"
                                  "{\n"
                                  "    vec2 corner = vec2((gl_VertexID & 1) * 4 - 1, (gl_VertexID & 2) * 2 - 1);\n"
                                  "    gl_Position = vec4(corner, 0.0, 1.0);\n"
                                  "}\n";

KxShader* program(const char* vertex, const char* fragment)
{
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    EXPECT_TRUE(vs->loadFromMemory(KxShader::KIND_VERTEX, vertex));
    EXPECT_TRUE(fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment));
    KxShader* built = new KxShader;
    EXPECT_TRUE(built->build(vs, nullptr, fs));
    return built;
}

KxTexture* solid(unsigned char r, unsigned char g, unsigned char b)
{
    KxTexture* texture = new KxTexture;
    EXPECT_TRUE(texture->create(4, 2, 2, 0, 1, 0));
    std::vector<unsigned char> pixels;
    for (int i = 0; i < 4; ++i)
        pixels.insert(pixels.end(), {r, g, b, 255});
    EXPECT_TRUE(texture->write(pixels.data()));
    return texture;
}

// Draws one full-window triangle and returns the window's centre pixel.
std::vector<unsigned char> drawAndReadCentre()
{
    GLuint vertexArray = 0;
    glCreateVertexArrays(1, &vertexArray);
    glBindVertexArray(vertexArray);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    KxOpenGL::depthTest(false);
    KxOpenGL::blending(false);
    KxOpenGL::culling(false);
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glBindVertexArray(0);
    glDeleteVertexArrays(1, &vertexArray);
    std::vector<unsigned char> pixel(4);
    EXPECT_TRUE(Kalvex::readWindowPixels(Kalvex::getWindowSizeX() / 2, Kalvex::getWindowSizeY() / 2, 1, 1,
                                         pixel.data()));
    pixel[3] = 255;
    return pixel;
}

GLuint boundOnUnit(GLuint unit, GLenum binding = GL_TEXTURE_BINDING_2D)
{
    glActiveTexture(GL_TEXTURE0 + unit);
    GLint name = 0;
    glGetIntegerv(binding, &name);
    glActiveTexture(GL_TEXTURE0);
    return static_cast<GLuint>(name);
}
}

TEST_F(Textures, RenderBindsTheUnitAndSetsTheSampler)
{
    KxShader* shader = program(FULLSCREEN_VS, "uniform sampler2D textureSampler0;\n"
                                              "uniform sampler2D textureSampler1;\n"
                                              "uniform sampler2D textureSampler2;\n"
                                              "uniform sampler2D textureSampler3;\n"
                                              "uniform sampler2D textureSampler4;\n"
                                              "uniform sampler2D textureSampler5;\n"
                                              "uniform sampler2D textureSampler7;\n"
                                              "uniform samplerCube textureSampler6;\n"
                                              "out vec4 outputColor;\n"
                                              "void main() { outputColor = texture(textureSampler0, vec2(0.5))"
                                              " + texture(textureSampler1, vec2(0.5)) + texture(textureSampler2, vec2(0.5))"
                                              " + texture(textureSampler3, vec2(0.5)) + texture(textureSampler4, vec2(0.5))"
                                              " + texture(textureSampler5, vec2(0.5)) + texture(textureSampler7, vec2(0.5))"
                                              " + texture(textureSampler6, vec3(1.0)); }\n");
    ASSERT_EQ(shader->getSubtype(), KxShader::KIND_PROGRAM);
    ASSERT_TRUE(shader->render());
    GLuint handle = shader->getHandle();

    KxTexture* texture = solid(10, 20, 30);
    KxTexture* cube = new KxTexture;
    ASSERT_TRUE(cube->create(18, 4, 4, 0));
    uint64_t binds = KxStats::get(KxStats::TEXTURE_BIND);
    for (uintptr_t unit = 0; unit < 8; ++unit)
    {
        SCOPED_TRACE("unit " + std::to_string(unit));
        GLint location = glGetUniformLocation(handle, ("textureSampler" + std::to_string(unit)).c_str());
        ASSERT_GE(location, 0);
        glUniform1i(location, 15);
        KxTexture* used = unit == 6 ? cube : texture;
        EXPECT_TRUE(used->render(reinterpret_cast<void*>(unit)));
        if (!Kalvex::usesBindlessTextures() || unit == 6)
        {
            EXPECT_EQ(boundOnUnit(static_cast<GLuint>(unit),
                                  unit == 6 ? GL_TEXTURE_BINDING_CUBE_MAP : GL_TEXTURE_BINDING_2D),
                      used->getHandle());
            GLint sampler = -1;
            glGetUniformiv(handle, location, &sampler);
            EXPECT_EQ(sampler, static_cast<GLint>(unit));
        }
    }
    EXPECT_EQ(KxStats::get(KxStats::TEXTURE_BIND), binds + 8);

    // Without a current program the unit is still bound.
    KxShader::resetCache();
    KxTexture* other = solid(1, 2, 3);
    if (!Kalvex::usesBindlessTextures())
    {
        EXPECT_TRUE(other->render(reinterpret_cast<void*>(3)));
        EXPECT_EQ(boundOnUnit(3), other->getHandle());
    }
    size_t mark = logMark();
    EXPECT_FALSE(other->render(reinterpret_cast<void*>(8)));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_EQ(KxStats::get(KxStats::TEXTURE_BIND), binds + (Kalvex::usesBindlessTextures() ? 8 : 9));
    expectNoGlError("render");
}

TEST_F(Textures, RenderedTextureIsWhatTheShaderSamples)
{
    KxShader* shader = program(FULLSCREEN_VS, "uniform sampler2D textureSampler2;\n"
                                              "out vec4 outputColor;\n"
                                              "void main() { outputColor = texture(textureSampler2, vec2(0.5)); }\n");
    KxTexture* red = solid(250, 10, 20);
    KxTexture* green = solid(5, 240, 15);
    ASSERT_TRUE(shader->render());
    ASSERT_TRUE(red->render(reinterpret_cast<void*>(2)));
    EXPECT_EQ(drawAndReadCentre(), (std::vector<unsigned char>{250, 10, 20, 255}));
    ASSERT_TRUE(green->render(reinterpret_cast<void*>(2)));
    EXPECT_EQ(drawAndReadCentre(), (std::vector<unsigned char>{5, 240, 15, 255}));
    expectNoGlError("sampled");
}

// --- The texture pool -----------------------------------------------------------

TEST_F(Textures, PoolSizeFollowsTheContext)
{
    if (Kalvex::usesBindlessTextures())
    {
        EXPECT_EQ(kx::TexturePool::getSize(), 0u);
        return;
    }
    GLint units = 0;
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    unsigned int expected = static_cast<unsigned int>(units < 32 ? units : 32) - kx::TexturePool::FIRST_UNIT;
    EXPECT_EQ(kx::TexturePool::getSize(), expected);
    EXPECT_GT(expected, 2u);
}

TEST_F(Textures, PoolCountsReferencesPerTexture)
{
    if (Kalvex::usesBindlessTextures())
        GTEST_SKIP() << "bindless handles need no pool";
    KxTexture* defaultTexture = KxTexture::getDefault();
    // The default texture holds the first slot from the start.
    EXPECT_EQ(kx::TexturePool::acquire(defaultTexture), 1u);
    kx::TexturePool::release(defaultTexture);
    EXPECT_EQ(kx::TexturePool::acquire(nullptr), 0u);

    KxTexture* a = solid(1, 1, 1);
    KxTexture* b = solid(2, 2, 2);
    KxTexture* c = solid(3, 3, 3);
    uint64_t handleA = kx::TexturePool::acquire(a);
    EXPECT_EQ(handleA, 2u);
    EXPECT_EQ(kx::TexturePool::acquire(a), handleA);
    uint64_t handleB = kx::TexturePool::acquire(b);
    EXPECT_EQ(handleB, 3u);

    kx::TexturePool::release(a);
    // a still holds its slot: c goes after b.
    EXPECT_EQ(kx::TexturePool::acquire(c), 4u);
    kx::TexturePool::release(a);
    // Now a's slot is free and taken by the next texture.
    KxTexture* d = solid(4, 4, 4);
    EXPECT_EQ(kx::TexturePool::acquire(d), handleA);

    for (KxTexture* texture : {b, c, d})
        kx::TexturePool::release(texture);
    // One release too many changes nothing.
    kx::TexturePool::release(b);
    EXPECT_EQ(kx::TexturePool::acquire(b), 2u);

    // A texture deleted while acquired leaves the pool at once; the holder's
    // later release must not touch the deleted object.
    delete b;
    kx::TexturePool::release(b);
    EXPECT_EQ(kx::TexturePool::acquire(c), 2u);
    kx::TexturePool::release(c);
}

TEST_F(Textures, FullPoolFallsBackToTheDefaultTexture)
{
    if (Kalvex::usesBindlessTextures())
        GTEST_SKIP() << "bindless handles need no pool";
    unsigned int size = kx::TexturePool::getSize();
    std::vector<KxTexture*> textures;
    for (unsigned int i = 1; i < size; ++i)
    {
        textures.push_back(solid(static_cast<unsigned char>(i), 0, 0));
        EXPECT_EQ(kx::TexturePool::acquire(textures.back()), i + 1);
    }
    KxTexture* late = solid(9, 9, 9);
    size_t mark = logMark();
    EXPECT_EQ(kx::TexturePool::acquire(late), 1u);
    EXPECT_EQ(kxtest::countLogLines("Texture pool full: '" + late->getName() + "' uses the default texture", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Texture pool full", mark), 1);

    // A freed slot goes to the next acquire; the fallback reference still counts.
    kx::TexturePool::release(textures[4]);
    EXPECT_EQ(kx::TexturePool::acquire(late), 6u);
    kx::TexturePool::release(late);
    KxTexture* another = solid(8, 8, 8);
    mark = logMark();
    EXPECT_EQ(kx::TexturePool::acquire(another), 1u);
    EXPECT_EQ(kxtest::countLogLines("Texture pool full", mark), 1);
    kx::TexturePool::release(another);
    kx::TexturePool::release(late);
    EXPECT_EQ(kx::TexturePool::acquire(another), 6u);
    kx::TexturePool::release(another);

    for (size_t i = 0; i < textures.size(); ++i)
        if (i != 4)
            kx::TexturePool::release(textures[i]);
}

TEST_F(Textures, PoolBindPutsNamesOnTheUnits)
{
    if (Kalvex::usesBindlessTextures())
        GTEST_SKIP() << "bindless handles need no pool";
    const GLuint first = kx::TexturePool::FIRST_UNIT;
    KxTexture* a = solid(1, 1, 1);
    KxTexture* b = solid(2, 2, 2);
    KxTexture* cube = new KxTexture;
    ASSERT_TRUE(cube->create(18, 4, 4, 0));
    ASSERT_EQ(kx::TexturePool::acquire(a), 2u);
    ASSERT_EQ(kx::TexturePool::acquire(b), 3u);
    ASSERT_EQ(kx::TexturePool::acquire(cube), 4u);
    kx::TexturePool::release(a);
    kx::TexturePool::bind();
    GLuint defaultName = KxTexture::getDefault()->getHandle();
    EXPECT_EQ(boundOnUnit(first), defaultName);
    EXPECT_EQ(boundOnUnit(first + 1), defaultName); // a's slot is free again
    EXPECT_EQ(boundOnUnit(first + 2), b->getHandle());
    EXPECT_EQ(boundOnUnit(first + 3, GL_TEXTURE_BINDING_CUBE_MAP), cube->getHandle());
    EXPECT_EQ(boundOnUnit(first + kx::TexturePool::getSize() - 1), defaultName);

    // A deleted texture leaves the pool: its unit falls back, its slot is reused.
    GLuint oldName = b->getHandle();
    delete b;
    kx::TexturePool::bind();
    EXPECT_EQ(boundOnUnit(first + 2), defaultName);
    EXPECT_NE(boundOnUnit(first + 2), oldName);
    KxTexture* c = solid(3, 3, 3);
    EXPECT_EQ(kx::TexturePool::acquire(c), 2u);
    EXPECT_EQ(kx::TexturePool::acquire(a), 3u);
    kx::TexturePool::release(c);
    kx::TexturePool::release(a);
    kx::TexturePool::release(cube);
    expectNoGlError("pool bind");
}

TEST_F(Textures, ShadersSampleThroughThePool)
{
    if (Kalvex::usesBindlessTextures())
        GTEST_SKIP() << "bindless handles need no pool";
    KxShader* shader = program(FULLSCREEN_VS, "@include kx_global;\n"
                                              "uniform uint generic0;\n"
                                              "out vec4 outputColor;\n"
                                              "void main() { outputColor = KX_TEXTURE(uvec2(generic0, 0u), vec2(0.5)); }\n");
    KxTexture* red = solid(250, 10, 20);
    KxTexture* blue = solid(15, 25, 245);
    uint64_t redHandle = kx::TexturePool::acquire(red);
    uint64_t blueHandle = kx::TexturePool::acquire(blue);
    kx::TexturePool::bind();
    ASSERT_TRUE(shader->render());
    ASSERT_TRUE(shader->setParamDWord(KxShader::GENERIC0, static_cast<unsigned int>(blueHandle)));
    EXPECT_EQ(drawAndReadCentre(), (std::vector<unsigned char>{15, 25, 245, 255}));
    ASSERT_TRUE(shader->setParamDWord(KxShader::GENERIC0, static_cast<unsigned int>(redHandle)));
    EXPECT_EQ(drawAndReadCentre(), (std::vector<unsigned char>{250, 10, 20, 255}));
    // The default texture's handle samples white.
    ASSERT_TRUE(shader->setParamDWord(KxShader::GENERIC0, 1u));
    EXPECT_EQ(drawAndReadCentre(), (std::vector<unsigned char>{255, 255, 255, 255}));
    kx::TexturePool::release(red);
    kx::TexturePool::release(blue);
    expectNoGlError("pool sampling");
}
