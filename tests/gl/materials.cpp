// The material table: slots, dirty tracking, uploads and texture handles seen by shaders.
#include "kxtest.h"

#include <GL/glew.h>
#include <glm/gtc/matrix_transform.hpp>

#include <vector>

class Materials : public kxtest::EngineTest
{
};

TEST_F(Materials, DefaultsAndTextureSlots)
{
    KxMaterial* defaultMaterial = KxMaterial::getDefault();
    ASSERT_NE(defaultMaterial, nullptr);
    EXPECT_EQ(defaultMaterial->getName(), "[default_material]");
    EXPECT_EQ(defaultMaterial->getListId(), 0u);

    KxMaterial* material = new KxMaterial;
    EXPECT_EQ(material->getType(), KxObject::TYPE_MATERIAL);
    EXPECT_EQ(material->getAlbedo(), glm::vec3(0.3f));
    EXPECT_FLOAT_EQ(material->getTransparency(), 1.0f);
    EXPECT_FLOAT_EQ(material->getRoughness(), 0.1f);
    EXPECT_FLOAT_EQ(material->getMetalness(), 0.0f);
    EXPECT_FALSE(material->isTransparent());
    EXPECT_FALSE(material->isAlpha());
    EXPECT_TRUE(material->isDirty());
    for (unsigned int slot : {0u, 3u, 4u})
    {
        EXPECT_EQ(material->getTexture(slot), KxTexture::getDefault());
        EXPECT_NE(material->getTextureHandle(slot), 0u);
    }
    for (unsigned int slot : {1u, 2u, 5u})
    {
        EXPECT_EQ(material->getTexture(slot), nullptr);
        EXPECT_EQ(material->getTextureHandle(slot), 0u);
    }

    size_t mark = kxtest::readLog().size();
    EXPECT_TRUE(material->setTexture(nullptr, 1));
    EXPECT_EQ(material->getTextureHandle(1), 0u);
    EXPECT_EQ(kxtest::countLogLines("Empty texture", mark), 0);
    KxTexture* rgba = new KxTexture;
    ASSERT_TRUE(rgba->create(4, 4, 4, 0));
    EXPECT_TRUE(material->setTexture(rgba, 0));
    EXPECT_TRUE(material->isAlpha());
    EXPECT_TRUE(material->isTransparent() || material->isAlpha());
    EXPECT_TRUE(material->setTexture(nullptr, 0));
    EXPECT_FALSE(material->isAlpha());
    EXPECT_EQ(material->getTexture(0), KxTexture::getDefault());
    EXPECT_EQ(kxtest::countLogLines("Empty texture: default used instead", mark), 1);
    EXPECT_FALSE(material->setTexture(rgba, 6));
    EXPECT_EQ(material->getTexture(6), nullptr);
    EXPECT_FALSE(material->hasTexture(6));
    material->setTransparency(0.5f);
    EXPECT_TRUE(material->isTransparent());
}

TEST_F(Materials, TableSlotsAreReused)
{
    std::vector<KxMaterial*> materials;
    while (materials.empty() || materials.back()->getListId() < KxMaterial::MAX_NUMBER - 1)
        materials.push_back(new KxMaterial);
    size_t mark = kxtest::readLog().size();
    KxMaterial* overflow = new KxMaterial; // the 257th
    EXPECT_EQ(overflow->getListId(), KxMaterial::MAX_NUMBER);
    EXPECT_EQ(kxtest::countLogLines("Too many materials created", mark), 1);
    EXPECT_FALSE(overflow->render());
    EXPECT_TRUE(KxMaterial::update()); // its upload is refused, the others go through
    EXPECT_GE(kxtest::countLogLines("Invalid params", mark), 1);

    unsigned int freed = materials[10]->getListId();
    delete materials[10];
    materials[10] = new KxMaterial;
    EXPECT_EQ(materials[10]->getListId(), freed);
}

TEST_F(Materials, DirtyListAndRenderCache)
{
    KxMaterial* material = new KxMaterial;
    ASSERT_TRUE(KxMaterial::update());
    EXPECT_FALSE(material->isDirty());
    material->setRoughness(0.4f);
    material->setRoughness(0.6f);
    EXPECT_TRUE(material->isDirty());
    ASSERT_TRUE(KxMaterial::update());
    EXPECT_FALSE(material->isDirty());
    float record[KxMaterial::SIZEOF_UBODATA / 4] = {};
    glGetNamedBufferSubData(KxMaterial::getBuffer()->getHandle(), material->getListId() * KxMaterial::SIZEOF_UBODATA,
                            KxMaterial::SIZEOF_UBODATA, record);
    EXPECT_FLOAT_EQ(record[8], 0.6f); // roughness at byte 32
    EXPECT_FLOAT_EQ(record[4], 0.3f); // albedo at byte 16

    KxMaterial::resetCache();
    uint64_t binds = KxStats::get(KxStats::MATERIAL_BIND);
    uint64_t cached = KxStats::get(KxStats::MATERIAL_CACHED);
    EXPECT_TRUE(material->render());
    EXPECT_TRUE(material->render());
    EXPECT_EQ(KxStats::get(KxStats::MATERIAL_BIND), binds + 1);
    EXPECT_EQ(KxStats::get(KxStats::MATERIAL_CACHED), cached + 1);
    material->setMetalness(1.0f); // a change invalidates the cache
    EXPECT_TRUE(material->render());
    EXPECT_EQ(KxStats::get(KxStats::MATERIAL_BIND), binds + 2);
    delete material; // the cache and the dirty list forget it
    KxMaterial* next = new KxMaterial;
    next->setAlbedo(1, 0, 0);
    EXPECT_TRUE(KxMaterial::update());
}

// A shader reads the material table and samples the albedo map through the
// engine's texture addressing (bindless handles or the unit pool).
TEST_F(Materials, ShaderSeesUploadedValuesAndMaps)
{
    const char* vertex = "@include kx_global;\n"
                         "uniform mat4 modelViewMatrix;\n"
                         "out vec2 uv;\n"
                         "void main() { uv = a_uv; gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0); }\n";
    const char* fragment = "@include kx_global;\n"
                           "@include kx_material;\n"
                           "in vec2 uv;\n"
                           "out vec4 outputColor;\n"
                           "void main() {\n"
                           "  MatStruct m = material[materialId];\n"
                           "  vec4 texel = KX_TEXTURE(m.textureHandle0, uv);\n"
                           "  outputColor = vec4(m.albedo * texel.rgb, 1.0);\n"
                           "}\n";
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    ASSERT_TRUE(vs->loadFromMemory(KxShader::KIND_VERTEX, vertex));
    ASSERT_TRUE(fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment));
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(vs, nullptr, fs));

    // A 2 x 2 albedo map whose texels are all (255, 128, 64).
    KxTexture* map = new KxTexture;
    ASSERT_TRUE(map->create(4, 2, 2, 0, 1, 0));
    const unsigned char texels[16] = {255, 128, 64, 255, 255, 128, 64, 255, 255, 128, 64, 255, 255, 128, 64, 255};
    ASSERT_TRUE(map->write(texels));

    KxMaterial* material = new KxMaterial;
    material->setAlbedo(0.5f, 1.0f, 1.0f);
    ASSERT_TRUE(material->setTexture(map, 0));
    KxMaterial* other = new KxMaterial; // a second material keeps the default map
    other->setAlbedo(0.0f, 0.0f, 1.0f);

    KxCamera* camera = new KxCamera;
    ASSERT_TRUE(camera->render());
    KxFbo::resetCache();
    glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    KxOpenGL::clear(true, true, false);
    KxQuad* left = new KxQuad;
    left->setShader(program);
    left->resize(100, 100);
    KxQuad* right = new KxQuad;
    right->setShader(program);
    right->resize(100, 100);
    glm::mat4 leftMatrix(1.0f);
    glm::mat4 rightMatrix = glm::translate(glm::mat4(1.0f), glm::vec3(150, 0, 0));
    KxDrawRecord leftRecord = {&leftMatrix, nullptr, nullptr};
    KxDrawRecord rightRecord = {&rightMatrix, nullptr, nullptr};

    ASSERT_TRUE(program->render());
    ASSERT_TRUE(material->render());
    ASSERT_TRUE(left->render(&leftRecord));
    ASSERT_TRUE(other->render());
    ASSERT_TRUE(right->render(&rightRecord));

    unsigned char pixel[4];
    ASSERT_TRUE(Kalvex::readWindowPixels(50, 50, 1, 1, pixel));
    EXPECT_NEAR(pixel[0], 128, 1); // 0.5 x 255
    EXPECT_NEAR(pixel[1], 128, 1); // 1.0 x 128
    EXPECT_NEAR(pixel[2], 64, 1);
    ASSERT_TRUE(Kalvex::readWindowPixels(200, 50, 1, 1, pixel));
    EXPECT_EQ(pixel[0], 0);
    EXPECT_EQ(pixel[1], 0);
    EXPECT_EQ(pixel[2], 255);
}
