// Post-processing: glow levels, bloom, the tone-mapping operators and gamma,
// against the formulas evaluated on the CPU.
#include "kxtest.h"

#include <GL/glew.h>

#include <cmath>
#include <vector>

class PostProc : public kxtest::EngineTest
{
protected:
    static const int SIZE = 128;

    // A float RGBA texture of SIZE x SIZE filled by a function of the pixel.
    template <typename Fill>
    static KxTexture* hdrImage(Fill fill)
    {
        std::vector<float> texels(SIZE * SIZE * 4);
        for (int y = 0; y < SIZE; ++y)
            for (int x = 0; x < SIZE; ++x)
            {
                glm::vec4 value = fill(x, y);
                for (int c = 0; c < 4; ++c)
                    texels[(y * SIZE + x) * 4 + c] = value[c];
            }
        KxTexture* texture = new KxTexture;
        EXPECT_TRUE(texture->create(7, SIZE, SIZE, 1, 1, 0)); // nearest, clamped
        EXPECT_TRUE(texture->writeRaw(texels.data()));
        return texture;
    }

    static std::vector<unsigned char> pixels(KxTexture* texture)
    {
        std::vector<unsigned char> result(texture->getSizeX() * texture->getSizeY() * 4);
        glGetTextureImage(texture->getHandle(), 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(result.size()),
                          result.data());
        return result;
    }

    static const unsigned char* at(const std::vector<unsigned char>& image, int x, int y)
    {
        return &image[(static_cast<size_t>(y) * SIZE + x) * 4];
    }
};

namespace
{
// The operators, written from their formulas.
float toneMap(unsigned int technique, float x)
{
    switch (technique)
    {
    case 0:
        return x;
    case 1:
        return std::min(std::max(0.8f * x, 0.0f), 1.0f);
    case 2:
        return x * (1.0f / (1.0f + x / 1.0f));
    case 3:
        return std::exp(-1.0f / (2.72f * x + 0.15f));
    case 4:
    {
        float y = std::max(0.0f, x - 0.004f);
        return y * (6.2f * y + 0.5f) / (y * (6.2f * y + 1.7f) + 0.06f);
    }
    default:
    {
        auto f = [](float v) {
            const float A = 0.15f, B = 0.50f, C = 0.10f, D = 0.20f, E = 0.02f, F = 0.30f;
            return (v * (A * v + C * B) + D * E) / (v * (A * v + B) + D * F) - E / F;
        };
        return f(2.0f * x) / f(11.2f);
    }
    }
}

unsigned char toByte(float value)
{
    return static_cast<unsigned char>(std::lround(std::min(std::max(value, 0.0f), 1.0f) * 255.0f));
}
}

TEST_F(PostProc, DefaultsSettersAndLevelSizes)
{
    KxPostProc* postProc = new KxPostProc;
    EXPECT_EQ(postProc->getType(), KxObject::TYPE_FILTER);
    EXPECT_EQ(postProc->getSubtype(), KxFilter::KIND_POSTPROC);
    EXPECT_FALSE(postProc->isBloom());
    EXPECT_FLOAT_EQ(postProc->getGamma(), 1.0f);
    EXPECT_EQ(postProc->getToneMappingTechnique(), KxPostProc::TONEMAPPING_REINHARD);
    postProc->setGamma(2.2f);
    EXPECT_FLOAT_EQ(postProc->getGamma(), 2.2f);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(postProc->setToneMappingTechnique(6));
    EXPECT_EQ(postProc->getToneMappingTechnique(), KxPostProc::TONEMAPPING_REINHARD);
    EXPECT_FALSE(postProc->render(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);

    ASSERT_TRUE(postProc->create(1001, 601));
    const unsigned int expected[4][2] = {{500, 300}, {250, 150}, {125, 75}, {62, 37}};
    for (unsigned int pair = 0; pair < 4; ++pair)
        for (unsigned int direction = 0; direction < 2; ++direction)
        {
            EXPECT_EQ(postProc->getLevelSizeX(2 * pair + direction), expected[pair][0]);
            EXPECT_EQ(postProc->getLevelSizeY(2 * pair + direction), expected[pair][1]);
        }
    EXPECT_EQ(postProc->getTexture()->getSizeX(), 1001u);

    const char* include = KxShader::getHashmap("kx_postproc");
    ASSERT_NE(include, nullptr);
    EXPECT_NE(std::string(include).find("#define TONEMAPPING_UNCHARTED2 5"), std::string::npos);
}

// With a uniform input every blurred level equals the input clamped to the
// 8-bit levels, so the composite sees input + 0.25 x 4 x that.
TEST_F(PostProc, OperatorsAndGammaMatchTheirFormulas)
{
    const glm::vec4 input(0.2f, 0.6f, 3.0f, 1.0f); // exact in 8 bits where below 1
    KxTexture* image = hdrImage([&](int, int) { return input; });
    KxPostProc* postProc = new KxPostProc;
    ASSERT_TRUE(postProc->create(SIZE, SIZE));
    for (float gamma : {1.0f, 2.2f})
    {
        postProc->setGamma(gamma);
        for (unsigned int technique = 0; technique <= 5; ++technique)
        {
            ASSERT_TRUE(postProc->setToneMappingTechnique(technique));
            ASSERT_TRUE(postProc->render(image, nullptr));
            std::vector<unsigned char> result = pixels(postProc->getTexture());
            for (int c = 0; c < 3; ++c)
            {
                float hdr = input[c] + std::min(input[c], 1.0f);
                unsigned char expected = toByte(std::pow(toneMap(technique, hdr), 1.0f / gamma));
                for (glm::ivec2 p : {glm::ivec2(0, 0), glm::ivec2(SIZE / 2, SIZE / 3), glm::ivec2(SIZE - 1, SIZE - 1)})
                    EXPECT_NEAR(at(result, p.x, p.y)[c], expected, 2)
                        << "operator " << technique << ", gamma " << gamma << ", channel " << c;
            }
        }
    }
}

TEST_F(PostProc, UniformColourDoublesWithoutBloom)
{
    KxTexture* image = hdrImage([](int, int) { return glm::vec4(0.4f, 0.2f, 0.0f, 1.0f); });
    KxPostProc* postProc = new KxPostProc;
    ASSERT_TRUE(postProc->create(SIZE, SIZE));
    postProc->setToneMappingTechnique(KxPostProc::TONEMAPPING_NONE);
    ASSERT_TRUE(postProc->render(image, nullptr));
    std::vector<unsigned char> result = pixels(postProc->getTexture());
    EXPECT_NEAR(at(result, 10, 10)[0], 204, 1);
    EXPECT_NEAR(at(result, 10, 10)[1], 102, 1);
    EXPECT_EQ(at(result, 10, 10)[2], 0);

    // Into a caller's framebuffer: the own output stays as it was.
    KxTexture* targetTexture = new KxTexture;
    ASSERT_TRUE(targetTexture->create(4, SIZE, SIZE, 1));
    KxFbo* target = new KxFbo;
    target->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, targetTexture, 0, 0);
    ASSERT_TRUE(target->isOk());
    KxTexture* other = hdrImage([](int, int) { return glm::vec4(0.1f, 0.1f, 0.1f, 1.0f); });
    ASSERT_TRUE(postProc->render(other, target));
    EXPECT_NEAR(pixels(targetTexture)[0], 51, 1);
    EXPECT_EQ(pixels(postProc->getTexture()), result);
}

TEST_F(PostProc, BloomGlowsOnlyAroundBrightPixels)
{
    KxPostProc* postProc = new KxPostProc;
    ASSERT_TRUE(postProc->create(SIZE, SIZE));
    postProc->setBloom(true);
    postProc->setToneMappingTechnique(KxPostProc::TONEMAPPING_REINHARD);

    // Brightness exactly 1.0 is not above the threshold; 1.01 is.
    KxTexture* atThreshold = hdrImage([](int, int) { return glm::vec4(1.0f, 1.0f, 1.0f, 1.0f); });
    ASSERT_TRUE(postProc->render(atThreshold, nullptr));
    EXPECT_NEAR(pixels(postProc->getTexture())[0], toByte(toneMap(2, 1.0f)), 2);
    KxTexture* above = hdrImage([](int, int) { return glm::vec4(1.01f, 1.01f, 1.01f, 1.0f); });
    ASSERT_TRUE(postProc->render(above, nullptr));
    EXPECT_NEAR(pixels(postProc->getTexture())[0], toByte(toneMap(2, 2.01f)), 2);

    // A bright block in a dark image: light spreads next to it, not far away,
    // and dim pixels add nothing.
    KxTexture* block = hdrImage([](int x, int y) {
        bool inside = x >= 60 && x < 68 && y >= 60 && y < 68;
        bool dim = x < 8 && y < 8;
        return inside ? glm::vec4(4.0f, 4.0f, 4.0f, 1.0f) : dim ? glm::vec4(0.5f, 0.5f, 0.5f, 1.0f) : glm::vec4(0, 0, 0, 1);
    });
    ASSERT_TRUE(postProc->render(block, nullptr));
    std::vector<unsigned char> result = pixels(postProc->getTexture());
    EXPECT_GT(at(result, 70, 64)[0], 0);                           // beside the block
    EXPECT_EQ(at(result, 125, 2)[0], 0);                           // far away
    EXPECT_NEAR(at(result, 3, 3)[0], toByte(toneMap(2, 0.5f)), 2); // dim: no glow of its own
    EXPECT_GT(at(result, 64, 64)[0], toByte(toneMap(2, 4.0f)));    // the block glows on itself
    if (HasFailure())
        kxtest::writePng("bloom.png", SIZE, SIZE, result);
}
