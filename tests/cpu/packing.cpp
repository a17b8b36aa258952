// Packing of the 24-byte mesh vertex: IEEE half floats and signed 2-10-10-10 words.
#include "kxtest.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace
{
// The value of a half, from its definition.
double halfValue(uint16_t half)
{
    int exponent = half >> 10 & 0x1f;
    int mantissa = half & 0x3ff;
    double sign = (half & 0x8000) ? -1.0 : 1.0;
    if (exponent == 0)
        return sign * std::ldexp(mantissa, -24);
    if (exponent == 31)
        return mantissa ? std::numeric_limits<double>::quiet_NaN() : sign * std::numeric_limits<double>::infinity();
    return sign * std::ldexp(1024 + mantissa, exponent - 25);
}

uint32_t bitsOf(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}
}

TEST(Packing, EveryHalfUnpacksToItsValueAndPacksBack)
{
    for (uint32_t h = 0; h < 0x10000; ++h)
    {
        uint16_t half = static_cast<uint16_t>(h);
        float value = KxMesh::unpackHalf(half);
        double expected = halfValue(half);
        if (std::isnan(expected))
        {
            ASSERT_TRUE(std::isnan(value)) << h;
            ASSERT_TRUE(std::isnan(KxMesh::unpackHalf(KxMesh::packHalf(value)))) << h;
            continue;
        }
        ASSERT_EQ(static_cast<double>(value), expected) << h;
        ASSERT_EQ(std::signbit(value), (half & 0x8000) != 0) << h;
        ASSERT_EQ(KxMesh::packHalf(value), half) << h;
    }
}

// Between two neighbouring halves, a value rounds to the nearer one, and a tie
// to the one with an even mantissa.
TEST(Packing, HalvesRoundToNearestEven)
{
    for (uint32_t h = 0; h < 0x7bff; ++h) // every pair of neighbouring finite positive halves
    {
        uint16_t low = static_cast<uint16_t>(h), high = static_cast<uint16_t>(h + 1);
        float middle = static_cast<float>((halfValue(low) + halfValue(high)) / 2.0); // exact in single precision
        uint16_t even = (low & 1) ? high : low;
        ASSERT_EQ(KxMesh::packHalf(middle), even) << h;
        ASSERT_EQ(KxMesh::packHalf(-middle), even | 0x8000) << h;
        ASSERT_EQ(KxMesh::packHalf(std::nextafter(middle, 0.0f)), low) << h;
        ASSERT_EQ(KxMesh::packHalf(std::nextafter(middle, 1e9f)), high) << h;
    }
}

TEST(Packing, HalfRangeEnds)
{
    EXPECT_EQ(KxMesh::packHalf(65504.0f), 0x7bff);
    EXPECT_EQ(KxMesh::packHalf(65519.996f), 0x7bff);
    EXPECT_EQ(KxMesh::packHalf(65520.0f), 0x7c00); // the tie goes to the even "infinity"
    EXPECT_EQ(KxMesh::packHalf(1e10f), 0x7c00);
    EXPECT_EQ(KxMesh::packHalf(-std::numeric_limits<float>::infinity()), 0xfc00);
    EXPECT_EQ(KxMesh::packHalf(std::ldexp(1.0f, -25)), 0x0000); // half the smallest subnormal: tie to zero
    EXPECT_EQ(KxMesh::packHalf(std::nextafter(std::ldexp(1.0f, -25), 1.0f)), 0x0001);
    EXPECT_EQ(KxMesh::packHalf(std::ldexp(3.0f, -25)), 0x0002); // 1.5 units: tie to even
    EXPECT_EQ(KxMesh::packHalf(-0.0f), 0x8000);
    EXPECT_EQ(KxMesh::packHalf(1e-30f), 0x0000);
    uint16_t nan = KxMesh::packHalf(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(nan & 0x7c00, 0x7c00);
    EXPECT_NE(nan & 0x3ff, 0);
    // A signalling NaN whose payload sits only in the dropped bits stays a NaN.
    float signalling;
    uint32_t bits = 0x7f800001u;
    std::memcpy(&signalling, &bits, 4);
    EXPECT_NE(KxMesh::packHalf(signalling) & 0x3ff, 0);
    EXPECT_EQ(bitsOf(KxMesh::unpackHalf(0x3c00)), bitsOf(1.0f));
}

TEST(Packing, NormalWordLayout)
{
    // x in bits 0-9, y in 10-19, z in 20-29, w in 30-31, two's complement.
    uint32_t packed = KxMesh::packNormal(glm::vec4(-1.0f, 0.5f, 0.0f, -1.0f));
    EXPECT_EQ(packed & 0x3ffu, 0x201u);           // -511
    EXPECT_EQ(packed >> 10 & 0x3ffu, 256u);       // round(255.5)
    EXPECT_EQ(packed >> 20 & 0x3ffu, 0u);
    EXPECT_EQ(packed >> 30, 3u);                  // -1
    EXPECT_EQ(KxMesh::packNormal(glm::vec4(0, 0, 1, 1)), 511u << 20 | 1u << 30);
    // Out of range and NaN components stay in their fields.
    EXPECT_EQ(KxMesh::packNormal(glm::vec4(2.0f, -3.0f, std::nanf(""), 0.0f)), 511u | 0x201u << 10);
}

TEST(Packing, NormalsRoundTripAsOpenGLDecodesThem)
{
    // Every 10-bit code decodes as max(c / 511, -1) and packs back to itself
    // (-512 and -511 both mean -1).
    for (int c = -512; c <= 511; ++c)
    {
        uint32_t field = static_cast<uint32_t>(c) & 0x3ffu;
        uint32_t packed = field | field << 10 | field << 20;
        glm::vec4 value = KxMesh::unpackNormal(packed);
        float expected = std::max(static_cast<float>(c) / 511.0f, -1.0f);
        ASSERT_EQ(value.x, expected);
        ASSERT_EQ(value.y, expected);
        ASSERT_EQ(value.z, expected);
        uint32_t again = KxMesh::packNormal(value) & 0x3fffffffu;
        ASSERT_EQ(again, c == -512 ? (0x201u | 0x201u << 10 | 0x201u << 20) : packed);
    }
    for (float w : {-1.0f, 0.0f, 1.0f})
        EXPECT_EQ(KxMesh::unpackNormal(KxMesh::packNormal(glm::vec4(0, 0, 0, w))).w, w);
    EXPECT_EQ(KxMesh::unpackNormal(2u << 30).w, -1.0f); // the code -2 also means -1
    glm::vec4 unit = glm::normalize(glm::vec4(0.3f, -0.7f, 0.2f, 0.0f));
    glm::vec4 back = KxMesh::unpackNormal(KxMesh::packNormal(unit));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(back[i], unit[i], 0.5f / 511.0f + 1e-6f);
}
