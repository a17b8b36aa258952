// Light nodes: defaults, the light part of scene files, slots in the per-pass
// table and their GPU records, own shadow maps.
#include "kxscene.h"

#include <cmath>
#include <cstring>

namespace
{
class Lights : public kxscene::SceneTest
{
};

// The 64-byte GPU record of a slot.
struct GpuLight
{
    glm::vec3 color;
    float cutoff;
    glm::vec4 position;
    float radius;
    float exponent;
    float padding[2];
    glm::vec3 direction;
    float spotExponent;
};
static_assert(sizeof(GpuLight) == 64, "std140 record");

GpuLight slot(unsigned int index)
{
    GpuLight record;
    glGetNamedBufferSubData(KxLight::getBuffer()->getHandle(), index * 64, 64, &record);
    return record;
}

std::vector<unsigned char> lightPart(uint8_t kind)
{
    std::vector<unsigned char> bytes(39);
    bytes[0] = kind;
    const float color[3] = {0.25f, 0.5f, 0.75f}, radius = 12.5f, direction[3] = {0.0f, -1.0f, 0.5f}, cutoff = 35.0f,
                spotExponent = 3.0f;
    std::memcpy(&bytes[1], color, 12);
    std::memcpy(&bytes[13], &radius, 4);
    std::memcpy(&bytes[17], direction, 12);
    std::memcpy(&bytes[29], &cutoff, 4);
    std::memcpy(&bytes[33], &spotExponent, 4);
    bytes[37] = 0; // casts no shadows
    bytes[38] = 1; // volumetric
    return bytes;
}
}

TEST_F(Lights, Defaults)
{
    KxLight* light = new KxLight;
    EXPECT_EQ(light->getType(), KxObject::TYPE_LIGHT);
    EXPECT_EQ(light->getSubtype(), KxLight::KIND_OMNI);
    EXPECT_EQ(light->getName(), "[Light" + std::to_string(light->getId()) + "]");
    EXPECT_TRUE(light->isCastingShadows());
    EXPECT_EQ(light->getColor(), glm::vec3(0.8f));
    EXPECT_FLOAT_EQ(light->getCutoff(), 180.0f);
    EXPECT_FLOAT_EQ(light->getRadius(), 256.0f);
    EXPECT_FLOAT_EQ(light->getNearPlane(), 1.0f);
    EXPECT_FLOAT_EQ(light->getShadowSoftness(), 4.0f);
    EXPECT_FLOAT_EQ(light->getShadowBias(), 0.005f);
    EXPECT_EQ(light->getDirection(), glm::vec3(0, 0, -1));
    EXPECT_FLOAT_EQ(light->getSpotExponent(), 0.0f);
    EXPECT_FALSE(light->isVolumetric());
    EXPECT_EQ(light->getShadowMapFbo(), nullptr);
    EXPECT_EQ(light->getShadowMapTexture(), nullptr);
    EXPECT_EQ(light->getUpdateInterval(), 0u);
    light->setRadius(20.0f, 0.5f);
    EXPECT_FLOAT_EQ(light->getRadius(), 20.0f);
    EXPECT_FLOAT_EQ(light->getNearPlane(), 0.5f);
    light->setColor(0.1f, 0.2f, 0.3f);
    EXPECT_EQ(light->getColor(), glm::vec3(0.1f, 0.2f, 0.3f));
}

TEST_F(Lights, ScenePartRoundTripsByteForByte)
{
    for (uint8_t kind : {0, 2})
    {
        std::vector<unsigned char> part = lightPart(kind);
        part.push_back(0x5a); // the next chunk: not consumed
        KxLight* light = new KxLight;
        size_t mark = kxtest::readLog().size();
        ASSERT_EQ(light->load(part.data(), static_cast<unsigned int>(part.size())), 39u);
        EXPECT_EQ(kxtest::countLogLines("", mark), 0); // no error or warning
        EXPECT_EQ(light->getSubtype(), kind);
        EXPECT_EQ(light->getColor(), glm::vec3(0.25f, 0.5f, 0.75f));
        EXPECT_FLOAT_EQ(light->getRadius(), 12.5f);
        EXPECT_EQ(light->getDirection(), glm::vec3(0.0f, -1.0f, 0.5f));
        EXPECT_FLOAT_EQ(light->getCutoff(), 35.0f);
        EXPECT_FLOAT_EQ(light->getSpotExponent(), 3.0f);
        EXPECT_FALSE(light->isCastingShadows());
        EXPECT_TRUE(light->isVolumetric());
        unsigned int size = 0;
        unsigned char* saved = light->save(size);
        ASSERT_NE(saved, nullptr);
        ASSERT_EQ(size, 39u);
        EXPECT_EQ(std::memcmp(saved, part.data(), 39), 0);
        delete[] saved;
    }
}

TEST_F(Lights, ScenePartKinds)
{
    KxLight* light = new KxLight;
    std::vector<unsigned char> part = lightPart(1);
    size_t mark = kxtest::readLog().size();
    ASSERT_EQ(light->load(part.data(), 39), 39u);
    EXPECT_EQ(light->getSubtype(), KxLight::KIND_DIRECTIONAL); // kept, with the error
    EXPECT_EQ(kxtest::countLogLines("Directional type not yet supported", mark), 1);
    unsigned int size = 0;
    unsigned char* saved = light->save(size);
    EXPECT_EQ(kxtest::countLogLines("Directional type not yet supported", mark), 2);
    EXPECT_EQ(saved[0], 1);
    delete[] saved;

    KxLight* other = new KxLight;
    other->setSubtype(KxLight::KIND_SPOT);
    part = lightPart(7);
    mark = kxtest::readLog().size();
    ASSERT_EQ(other->load(part.data(), 39), 39u);
    EXPECT_EQ(other->getSubtype(), KxLight::KIND_SPOT); // unchanged
    EXPECT_EQ(kxtest::countLogLines("Invalid type found", mark), 1);
    other->setSubtype(9);
    saved = other->save(size);
    EXPECT_EQ(kxtest::countLogLines("Invalid type found", mark), 2);
    EXPECT_EQ(saved[0], 0); // written as an omni light, which a reader accepts
    delete[] saved;

    // A part shorter than 39 bytes is refused without reading past it.
    for (unsigned int length = 1; length < 39; ++length)
    {
        std::vector<unsigned char> truncated(part.begin(), part.begin() + length);
        EXPECT_EQ(other->load(truncated.data(), length), 0u);
    }
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency", mark), 38);
    EXPECT_EQ(other->load(nullptr, 39), 0u);
}

TEST_F(Lights, RenderTakesTheNextSlotWithWorldValues)
{
    KxLight* spot = new KxLight;
    spot->setSubtype(KxLight::KIND_SPOT);
    spot->setCutoff(60.0f);
    spot->setDirection(glm::vec3(0, 0, -1));
    spot->setColor(0.5f, 0.25f, 1.0f);
    spot->setRadius(9.0f);
    glm::mat4 world = glm::mat4(1.0f);
    world[0] = glm::vec4(0, 0, -1, 0); // a quarter turn about y: -z becomes -x
    world[2] = glm::vec4(1, 0, 0, 0);
    world[3] = glm::vec4(1, 2, 3, 1);
    glm::mat4 modelView(1.0f);
    glm::mat3 normal(1.0f);
    KxDrawRecord record = {&modelView, &normal, &world};

    KxLight::resetCache();
    uint64_t rendered = KxStats::get(KxStats::LIGHT_RENDER);
    ASSERT_TRUE(spot->render(&record));
    EXPECT_EQ(spot->getSlot(), 0u);
    ASSERT_TRUE(spot->render(&record)); // the same light twice takes two slots
    EXPECT_EQ(spot->getSlot(), 1u);
    EXPECT_EQ(KxLight::getNrOfLightsInPass(), 2u);
    EXPECT_EQ(KxStats::get(KxStats::LIGHT_RENDER), rendered + 2);
    EXPECT_FLOAT_EQ(spot->getCutoff(), 60.0f); // still degrees
    EXPECT_EQ(spot->getDirection(), glm::vec3(0, 0, -1)); // still local

    GpuLight gpu = slot(1);
    EXPECT_EQ(gpu.color, glm::vec3(0.5f, 0.25f, 1.0f));
    EXPECT_NEAR(gpu.cutoff, 0.5f, 1e-6f);
    EXPECT_EQ(gpu.position, glm::vec4(1, 2, 3, 1));
    EXPECT_FLOAT_EQ(gpu.radius, 9.0f);
    EXPECT_NEAR(gpu.direction.x, -1.0f, 1e-6f);
    EXPECT_NEAR(gpu.direction.z, 0.0f, 1e-6f);

    // A target node overrides the direction.
    KxNode* target = new KxNode;
    target->setTranslation(1.0f, 6.0f, 3.0f);
    spot->setTargetNode(target);
    ASSERT_TRUE(spot->render(&record));
    gpu = slot(2);
    EXPECT_NEAR(gpu.direction.y, 1.0f, 1e-6f);

    // A directional light is sent as the direction towards it, w = 0.
    KxLight* sun = new KxLight;
    sun->setSubtype(KxLight::KIND_DIRECTIONAL);
    sun->setDirection(glm::vec3(0, -2, 0));
    ASSERT_TRUE(sun->render(&record));
    gpu = slot(3);
    EXPECT_EQ(gpu.position, glm::vec4(0, 1, 0, 0));

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(sun->render(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
}

TEST_F(Lights, AtMost256LightsAPass)
{
    KxLight* light = new KxLight;
    glm::mat4 world(1.0f);
    KxDrawRecord record = {&world, nullptr, &world};
    KxLight::resetCache();
    for (unsigned int i = 0; i < KxLight::MAX_NUMBER; ++i)
        ASSERT_TRUE(light->render(&record));
    EXPECT_EQ(light->getSlot(), 255u);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(light->render(&record));
    EXPECT_EQ(kxtest::countLogLines("Too many lights in this pass", mark), 1);
    EXPECT_EQ(KxLight::getNrOfLightsInPass(), 256u);
    KxLight::resetCache();
    EXPECT_TRUE(light->render(&record));
    EXPECT_EQ(light->getSlot(), 0u);
}

TEST_F(Lights, OwnShadowMap)
{
    KxLight* light = new KxLight;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(light->useOwnShadowMap(true, 0, 4));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    ASSERT_TRUE(light->useOwnShadowMap(true, 64, 4));
    EXPECT_EQ(light->getUpdateInterval(), 4u);
    KxTexture* texture = light->getShadowMapTexture();
    KxFbo* fbo = light->getShadowMapFbo();
    ASSERT_NE(texture, nullptr);
    ASSERT_NE(fbo, nullptr);
    EXPECT_EQ(texture->getSubtype(), 19);
    EXPECT_EQ(texture->getSizeX(), 64u);
    EXPECT_EQ(texture->getSizeY(), 64u);
    EXPECT_EQ(texture->getSizeZ(), 1u);
    EXPECT_EQ(glCheckNamedFramebufferStatus(fbo->getHandle(), GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    GLint name = 0, layered = 0, compare = 0, drawBuffer = -1;
    glGetNamedFramebufferAttachmentParameteriv(fbo->getHandle(), GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME,
                                               &name);
    glGetNamedFramebufferAttachmentParameteriv(fbo->getHandle(), GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_LAYERED,
                                               &layered);
    glGetTextureParameteriv(texture->getHandle(), GL_TEXTURE_COMPARE_MODE, &compare);
    EXPECT_EQ(KxFbo::getCurrent(), nullptr); // the default framebuffer is bound again
    glBindFramebuffer(GL_FRAMEBUFFER, fbo->getHandle());
    glGetIntegerv(GL_DRAW_BUFFER0, &drawBuffer);
    KxFbo::resetCache();
    EXPECT_EQ(static_cast<GLuint>(name), texture->getHandle());
    EXPECT_EQ(layered, GL_TRUE); // all six faces at once
    EXPECT_EQ(compare, GL_COMPARE_REF_TO_TEXTURE);
    EXPECT_EQ(drawBuffer, GL_NONE);

    // Enabling again replaces the map; disabling drops it.
    ASSERT_TRUE(light->useOwnShadowMap(true, 32, 1));
    EXPECT_EQ(light->getShadowMapTexture()->getSizeX(), 32u);
    ASSERT_TRUE(light->useOwnShadowMap(false, 0, 0));
    EXPECT_EQ(light->getShadowMapTexture(), nullptr);
    EXPECT_EQ(light->getShadowMapFbo(), nullptr);

    // A size the driver cannot make leaves the light without a map.
    mark = kxtest::readLog().size();
    EXPECT_FALSE(light->useOwnShadowMap(true, 1u << 30, 1));
    EXPECT_EQ(kxtest::countLogLines("Unable to create shadow FBO", mark), 1);
    EXPECT_EQ(light->getShadowMapTexture(), nullptr);
}
