// Hostile input: scenes that crashed or stalled frames, images that promise
// more than they hold, one image named by many slots, files that are not
// regular files, and deleted objects that others still refer to.
#include "kxscene.h"

#include <glm/gtc/type_ptr.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>

namespace
{
std::string copyInput(const std::string& name)
{
    std::ifstream in(std::string(KALVEX_SOURCE_DIR) + "/tests/data/hostile/" + name, std::ios::binary);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return name;
}

class Hostile : public kxscene::SceneTest
{
protected:
    KxCamera* camera = nullptr;
    KxList* list = nullptr;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        camera->setTranslation(0.0f, 0.0f, 3.0f);
        list = new KxList;
        ASSERT_TRUE(list->create(64));
        Kalvex::getPipeline(2)->postProc(false);
    }

    void TearDown() override
    {
        Kalvex::getPipeline(2)->postProc(true);
        kxscene::SceneTest::TearDown();
    }

    // One frame of the tree; returns the meshes drawn one by one (tessellated
    // ones), -1 when the frame failed.
    int drawFrame(KxNode* root)
    {
        while (glGetError() != GL_NO_ERROR)
        {
        }
        uint64_t drawn = KxStats::get(KxStats::MESH_RENDER);
        list->reset();
        if (!list->pass(root) || !Kalvex::render(camera, list, nullptr) || glGetError() != GL_NO_ERROR)
            return -1;
        return static_cast<int>(KxStats::get(KxStats::MESH_RENDER) - drawn);
    }

    static int difference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
    {
        int largest = 0;
        for (size_t i = 0; i < a.size(); ++i)
            if (i % 4 != 3)
                largest = std::max(largest, std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
        return largest;
    }
};
}

// The evaluation stage samples the height map from the unit pool: with a real
// albedo texture and a flat (black) height map, the tessellated square looks
// exactly like the batched one.
TEST_F(Hostile, TessellatedMeshWithRealTextures)
{
    KxNode* root = new KxNode;
    KxMesh* square = kxscene::makeSquare(1.0f);
    square->link(root);
    KxMaterial* material = new KxMaterial;
    KxTexture* albedo = new KxTexture;
    ASSERT_TRUE(albedo->create(3, 2, 2, 0, 1, 1));
    const unsigned char texels[12] = {250, 40, 40, 40, 250, 40, 40, 40, 250, 250, 250, 40};
    ASSERT_TRUE(albedo->write(texels));
    KxTexture* height = new KxTexture;
    ASSERT_TRUE(height->create(3, 1, 1, 0, 1, 1));
    const unsigned char flat[3] = {0, 0, 0};
    ASSERT_TRUE(height->write(flat));
    material->setTexture(albedo, KxMaterial::SLOT_ALBEDO);
    material->setTexture(height, KxMaterial::SLOT_HEIGHT);
    square->setMaterial(material);
    KxLight* light = new KxLight;
    light->setTranslation(0.0f, 0.0f, 2.0f);
    light->setRadius(10.0f);
    light->link(root);

    ASSERT_GE(drawFrame(root), 0);
    std::vector<unsigned char> batched = kxscene::window();
    square->setSubtype(KxMesh::KIND_TESSELLATED);
    ASSERT_GT(drawFrame(root), 0);
    std::vector<unsigned char> tessellated = kxscene::window();
    EXPECT_LE(difference(batched, tessellated), 2);
    const unsigned char* centre = kxscene::pixel(tessellated, Kalvex::getWindowSizeX() / 2, Kalvex::getWindowSizeY() / 2);
    EXPECT_GT(centre[0] + centre[1] + centre[2], 30); // lit and textured, not black
    if (HasFailure())
    {
        kxscene::savePng("hostile_batched", batched);
        kxscene::savePng("hostile_tessellated", tessellated);
    }
}

// Reproducers that crashed the first frame or made it run for minutes: each
// loads, is repaired where its vertices make no sense, and draws.
TEST_F(Hostile, ScenesThatBrokeFramesNowDraw)
{
    for (const char* texture : {"rgba.png", "engineflare1.jpg", "demo_box.png", "grey.png", "pal.png", "t_dxt1.dds",
                                "t_dxt5.dds", "t_ati1.dds", "t_ati2.dds", "t_dx10_bc1.dds", "t_cube_dxt1.dds",
                                "t_cube_dx10.dds", "t_odd_dxt5.dds", "t_wide_dxt1.dds"})
        copyInput(texture);
    for (const char* scene : {"tessellated-textured.kxo", "mesh-kinds-and-texture-kinds.kxo", "one-triangle-slow.kxo"})
    {
        SCOPED_TRACE(scene);
        size_t mark = kxtest::readLog().size();
        KxNode* root = Kalvex::load(copyInput(scene));
        ASSERT_NE(root, nullptr);
        EXPECT_GE(drawFrame(root), 0);
        if (std::string(scene) == "tessellated-textured.kxo")
        {
            // Its normals have no length: they take the triangle's own direction.
            EXPECT_EQ(kxtest::countLogLines("3 normals without a direction, repaired", mark), 1);
            KxMesh* mesh = static_cast<KxMesh*>(KxObject::findByName("s"));
            ASSERT_NE(mesh, nullptr);
            KxMesh::kxMeshVertex vertices[3];
            ASSERT_TRUE(mesh->getRawVertexData(vertices));
            const glm::vec3 a = glm::make_vec3(vertices[0].position), b = glm::make_vec3(vertices[1].position);
            const glm::vec3 face = glm::normalize(glm::cross(b - a, glm::make_vec3(vertices[2].position) - a));
            for (const KxMesh::kxMeshVertex& v : vertices)
                EXPECT_GT(glm::dot(glm::vec3(KxMesh::unpackNormal(v.normal)), face), 0.99f);
        }
        if (std::string(scene) == "one-triangle-slow.kxo")
        {
            EXPECT_EQ(kxtest::countLogLines("vertices outside its bounds or not finite, repaired", mark), 1);
            KxMesh* mesh = static_cast<KxMesh*>(KxObject::findByName("tri"));
            ASSERT_NE(mesh, nullptr);
            KxMesh::kxMeshVertex vertices[3];
            ASSERT_TRUE(mesh->getRawVertexData(vertices));
            for (const KxMesh::kxMeshVertex& v : vertices)
                for (int a = 0; a < 3; ++a)
                {
                    // The box is 2 wide: sixteen box sizes around it at most.
                    EXPECT_LE(std::fabs(v.position[a]), 33.0f);
                    if (a < 2)
                    {
                        EXPECT_LE(std::fabs(KxMesh::unpackHalf(v.uv[a])), 1024.0f);
                    }
                }
        }
    }
}

// A header of a few bytes must not make gigabytes: the 16384 x 16384 TGA
// without data is refused by the reader, and the scene naming it still draws.
TEST_F(Hostile, ImagesPromisingMoreThanTheyHoldAreRefused)
{
    copyInput("tga_16k.tga");
    size_t mark = kxtest::readLog().size();
    KxTexture texture;
    EXPECT_FALSE(texture.load("tga_16k.tga"));
    EXPECT_EQ(kxtest::countLogLines("header promises 16384x16384 pixels, the file holds 19 bytes", mark), 1);
    EXPECT_EQ(texture.getHandle(), 0u);
    KxNode* root = Kalvex::load(copyInput("tiny-scene-huge-texture.kxo"));
    ASSERT_NE(root, nullptr);
    EXPECT_GE(drawFrame(root), 0);
}

// Fifty slots naming one image: one decode, one GL texture. A texture that is
// written to gets its own copy; the others keep theirs after it is deleted.
TEST_F(Hostile, OneImageInManySlotsIsLoadedOnce)
{
    copyInput("big.png");
    KxNode* root = Kalvex::load(copyInput("one-image-fifty-slots.kxo"));
    ASSERT_NE(root, nullptr);
    std::vector<KxTexture*> textures;
    std::set<unsigned int> names;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (object->getType() == KxObject::TYPE_TEXTURE && object->getName() == "big.png")
        {
            textures.push_back(static_cast<KxTexture*>(object));
            names.insert(textures.back()->getHandle());
        }
    ASSERT_EQ(textures.size(), 50u);
    EXPECT_EQ(names.size(), 1u);
    EXPECT_EQ(textures[1]->getBitmap()->getData(0), textures[0]->getBitmap()->getData(0)); // one decoded copy
    unsigned int shared = textures[0]->getHandle();

    std::vector<unsigned char> red(2048 * 2048 * 4, 0);
    for (size_t i = 0; i < red.size(); i += 4)
        red[i] = red[i + 3] = 255;
    ASSERT_TRUE(textures[0]->write(red.data()));
    EXPECT_NE(textures[0]->getHandle(), shared);
    EXPECT_EQ(textures[1]->getHandle(), shared);
    unsigned char texel[4] = {};
    glGetTextureSubImage(shared, 0, 0, 0, 0, 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, 4, texel);
    EXPECT_NE(texel[0] == 255 && texel[1] == 0 && texel[2] == 0, true); // the others are untouched
    delete textures[1];
    EXPECT_TRUE(glIsTexture(shared));
    EXPECT_GE(drawFrame(root), 0);
}

// Named pipes would block for ever; a link loop is reported as one.
TEST_F(Hostile, OnlyRegularFilesAreRead)
{
    ::unlink("fifo.png");
    ::unlink("config.xml");
    ASSERT_EQ(::mkfifo("fifo.png", 0600), 0);
    ASSERT_EQ(::mkfifo("config.xml", 0600), 0);
    size_t mark = kxtest::readLog().size();
    KxNode* root = Kalvex::load(copyInput("texture-is-a-fifo.kxo"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to decode file 'fifo.png' (can't fopen: not a regular file)", mark), 1);
    EXPECT_GE(drawFrame(root), 0);
    KxConfig config;
    EXPECT_FALSE(config.load("config.xml"));
    EXPECT_EQ(kxtest::countLogLines("Unable to open config file 'config.xml' (not a regular file)", mark), 1);
    EXPECT_EQ(Kalvex::load("fifo.png"), nullptr);

    ::unlink("loop-a.kxo");
    ::unlink("loop-b.kxo");
    ASSERT_EQ(::symlink("loop-b.kxo", "loop-a.kxo"), 0);
    ASSERT_EQ(::symlink("loop-a.kxo", "loop-b.kxo"), 0);
    EXPECT_EQ(Kalvex::load("loop-a.kxo"), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to open file 'loop-a.kxo' (symbolic link loop)", mark), 1);
    EXPECT_EQ(Kalvex::load("missing.kxo"), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to open file 'missing.kxo' (no such file)", mark), 1);
}

// Deleting an object clears every reference to it: targets become none, a
// mesh falls back to the default material, a slot loses its texture; the
// next frame and save follow no dangling pointer.
TEST_F(Hostile, DeletingAnObjectClearsReferencesToIt)
{
    KxNode* root = new KxNode;
    KxMesh* square = kxscene::makeSquare(1.0f);
    square->link(root);
    KxMaterial* material = new KxMaterial;
    material->setName("doomed");
    square->setMaterial(material);
    KxMaterial* textured = new KxMaterial;
    KxTexture* texture = new KxTexture;
    ASSERT_TRUE(texture->create(4, 1, 1, 0, 1, 1));
    textured->setTexture(texture, KxMaterial::SLOT_NORMAL);
    textured->setTexture(texture, KxMaterial::SLOT_HEIGHT);
    KxLight* light = new KxLight;
    light->setTranslation(0.0f, 0.0f, 2.0f);
    light->link(root);
    KxNode* target = new KxNode;
    target->link(root);
    light->setTargetNode(target);
    KxNode* follower = new KxNode;
    follower->link(root);
    follower->setTargetNode(target);
    follower->setTargetNode(target);

    delete target;
    EXPECT_EQ(light->getTargetNode(), nullptr);
    EXPECT_EQ(follower->getTargetNode(), nullptr);
    delete material;
    EXPECT_EQ(square->getMaterial(), KxMaterial::getDefault());
    delete texture;
    EXPECT_EQ(textured->getTexture(KxMaterial::SLOT_NORMAL), nullptr);
    EXPECT_EQ(textured->getTexture(KxMaterial::SLOT_HEIGHT), nullptr);
    EXPECT_GE(drawFrame(root), 0);
    EXPECT_TRUE(Kalvex::save(root, "after-delete.kxo"));

    // A holder deleted first leaves nothing behind for the target's deletion.
    KxNode* other = new KxNode;
    follower->setTargetNode(other);
    delete follower;
    delete other;
}

// A scene that needs more identifiers than are left is refused whole, not
// loaded with objects of id -1.
TEST_F(Hostile, IdentifierExhaustionFailsCleanly)
{
    std::vector<KxObject*> fillers;
    KxObject* filler = nullptr;
    do
    {
        filler = new KxObject;
        fillers.push_back(filler);
    } while (filler->getId() >= 0 && filler->getId() < KxIdGenerator::MAX_ID - 3);
    ASSERT_EQ(filler->getId(), KxIdGenerator::MAX_ID - 3); // two left
    copyInput("rgba.png");
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(Kalvex::load(copyInput("tessellated-textured.kxo")), nullptr);
    EXPECT_EQ(kxtest::countLogLines("names more objects than identifiers are left", mark), 1);
    EXPECT_EQ(kxtest::lastObject(), filler); // nothing of the scene stays
    for (KxObject* object : fillers)
        delete object;
}

// Many directives expand correctly (the expansion is linear in their number;
// bench_shader_preprocess measures it).
TEST_F(Hostile, PreprocessorExpandsManyDirectives)
{
    ASSERT_TRUE(KxShader::setHashmap("kx_hostile_value", "7"));
    std::string source;
    for (int i = 0; i < 40000; ++i)
        source += "@kx_hostile_value@\n";
    source += "@kx_hostile_value"; // unterminated: refused, not searched for ever
    KxShader shader;
    EXPECT_FALSE(shader.loadFromMemory(KxShader::KIND_VERTEX, source.c_str()));
    source.resize(source.size() - 17);
    ASSERT_TRUE(shader.loadFromMemory(KxShader::KIND_VERTEX, source.c_str()));
    std::string expanded = shader.getSource();
    EXPECT_EQ(std::count(expanded.begin(), expanded.end(), '7'), 40000);
    EXPECT_EQ(expanded.find('@'), std::string::npos);
}
