// Instanced meshes: a grid of instances looks like the same meshes placed as
// separate nodes (shadows included) and is one draw whatever its size; the
// merge of every node's records into the engine-wide buffer.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

#include <algorithm>
#include <cmath>

namespace
{
const float PI = 3.14159265358979f;

std::vector<KxInstanced::kxInstanceData> records(const std::vector<glm::mat4>& matrices, uint32_t materialId)
{
    std::vector<KxInstanced::kxInstanceData> data(matrices.size());
    for (size_t i = 0; i < matrices.size(); ++i)
    {
        data[i] = KxInstanced::kxInstanceData{};
        data[i].materialId = materialId;
        data[i].worldMatrix = matrices[i];
        data[i].inverseTranspose = glm::transpose(glm::inverse(matrices[i]));
    }
    return data;
}

bool write(KxInstanced* node, const std::vector<KxInstanced::kxInstanceData>& data, bool unmap = true)
{
    KxInstanced::kxInstanceData* target = node->map(1);
    if (!target)
        return false;
    std::copy(data.begin(), data.end(), target);
    return unmap ? node->unmap() : true;
}

// The engine-wide instance buffer, read back from GL.
std::vector<KxInstanced::kxInstanceData> merged()
{
    KxInstanced::bindOptimizedMemory();
    GLint name = 0;
    glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 4, &name);
    GLint64 size = 0;
    glGetNamedBufferParameteri64v(static_cast<GLuint>(name), GL_BUFFER_SIZE, &size);
    std::vector<KxInstanced::kxInstanceData> data(static_cast<size_t>(size) / KxInstanced::SIZEOF_INSTANCEDATA);
    glGetNamedBufferSubData(static_cast<GLuint>(name), 0, size, data.data());
    return data;
}

class Instancing : public kxscene::SceneTest
{
public:
    static void SetUpTestSuite()
    {
        kxtest::EngineTest::SetUpTestSuite();
        // Shadows take part in the comparison: the pass the reduced start skips.
        KxConfig config;
        config.setShadowMapSize(256);
        if (KxPipeline* pass = Kalvex::getPipeline(1))
            pass->load(&config);
    }

protected:
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxList* list = nullptr;
    KxMaterial* material = nullptr;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        Kalvex::getPipeline(2)->postProc(false);
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        camera->setAngleOfView(45.0f);
        camera->setMatrix(glm::inverse(glm::lookAt(glm::vec3(0, 8, 7), glm::vec3(0, 0, 0), glm::vec3(0, 1, 0))));
        root = new KxNode;
        material = new KxMaterial;
        material->setAlbedo(0.7f, 0.6f, 0.4f);
        material->setRoughness(0.5f);
        KxMesh* floor = kxscene::makeSquare(6.0f);
        floor->setMatrix(glm::rotate(glm::mat4(1.0f), -PI / 2.0f, glm::vec3(1, 0, 0)));
        floor->setMaterial(material);
        floor->link(root);
        KxLight* light = new KxLight;
        light->setTranslation(1.0f, 5.0f, 1.0f);
        light->setRadius(30.0f);
        light->link(root);
        list = new KxList;
        ASSERT_TRUE(list->create(64));
    }

    void TearDown() override
    {
        Kalvex::getPipeline(2)->postProc(true);
        kxscene::SceneTest::TearDown();
    }

    std::vector<unsigned char> frame()
    {
        while (glGetError() != GL_NO_ERROR)
        {
        }
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, nullptr));
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return kxscene::window();
    }
};
}

TEST_F(Instancing, GridLooksLikeSeparateMeshesAndIsOneDraw)
{
    std::vector<glm::mat4> matrices;
    for (int row = 0; row < 5; ++row)
        for (int column = 0; column < 5; ++column)
        {
            glm::mat4 m = glm::translate(glm::mat4(1.0f), glm::vec3(column * 1.5f - 3.0f, 0.6f, row * 1.5f - 3.0f));
            matrices.push_back(glm::scale(glm::rotate(m, 0.3f * column, glm::vec3(0, 1, 0)), glm::vec3(0.5f)));
        }

    // The same spheres as separate nodes first.
    std::vector<KxMesh*> separate;
    for (const glm::mat4& m : matrices)
    {
        KxMesh* sphere = kxscene::makeSphere(8, 12);
        sphere->setMaterial(material);
        sphere->setMatrix(m);
        sphere->link(root);
        separate.push_back(sphere);
    }
    std::vector<unsigned char> meshes = frame();
    EXPECT_EQ(list->getBatchCount(0), matrices.size() + 1);
    for (KxMesh* sphere : separate)
        sphere->setVisible(false);

    KxMesh* sphere = kxscene::makeSphere(8, 12); // geometry only: not in the scene
    sphere->setMaterial(material);
    KxInstanced* grid = new KxInstanced;
    ASSERT_TRUE(grid->setMesh(sphere));
    ASSERT_TRUE(grid->create(static_cast<unsigned int>(matrices.size())));
    ASSERT_TRUE(write(grid, records(matrices, material->getListId())));
    grid->link(root);
    std::vector<unsigned char> instances = frame();
    kxscene::savePng("instanced_grid", instances);
    EXPECT_EQ(list->getBatchCount(0), 1u); // the floor
    EXPECT_EQ(list->getBatchCount(5), 1u); // every instance in one command of one multi-draw

    int largest = 0, lit = 0;
    for (size_t i = 0; i < meshes.size(); ++i)
        if (i % 4 != 3)
        {
            largest = std::max(largest, std::abs(static_cast<int>(meshes[i]) - static_cast<int>(instances[i])));
            lit += instances[i] > 0;
        }
    EXPECT_LE(largest, 1);
    EXPECT_GT(lit, 10000);
    if (largest > 1)
        kxscene::savePng("instanced_grid_meshes", meshes);

    // Eight times as many instances are still one command.
    std::vector<glm::mat4> more;
    for (int i = 0; i < 200; ++i)
        more.push_back(glm::translate(glm::mat4(1.0f), glm::vec3((i % 20) * 0.5f - 5.0f, 0.2f, (i / 20) - 5.0f)) *
                       glm::scale(glm::mat4(1.0f), glm::vec3(0.2f)));
    ASSERT_TRUE(grid->create(200));
    ASSERT_TRUE(write(grid, records(more, material->getListId())));
    frame();
    EXPECT_EQ(list->getBatchCount(5), 1u);
}

TEST_F(Instancing, MergeOrderSizesAndRefusals)
{
    size_t mark = kxtest::readLog().size();
    KxInstanced* a = new KxInstanced;
    KxInstanced* b = new KxInstanced;
    EXPECT_EQ(a->getType(), KxObject::TYPE_INSTANCED);
    EXPECT_EQ(a->getName(), "[Instanced" + std::to_string(a->getId()) + "]");
    EXPECT_TRUE(a->isCastingShadows());
    ASSERT_TRUE(a->create(10));
    ASSERT_TRUE(b->create(5));
    EXPECT_EQ(a->getFirstInstance(), 0u);
    EXPECT_EQ(b->getFirstInstance(), 10u);

    // Refused sizes keep the storage there is.
    EXPECT_FALSE(a->create(0));
    EXPECT_FALSE(a->create(0xffffffffu));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    EXPECT_EQ(a->getNrOfInstances(), 10u);
    EXPECT_EQ(b->getFirstInstance(), 10u);

    std::vector<glm::mat4> ten(10, glm::mat4(1.0f)), five(5, glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3)));
    ASSERT_TRUE(write(a, records(ten, 7)));
    ASSERT_TRUE(write(b, records(five, 9)));
    std::vector<KxInstanced::kxInstanceData> data = merged();
    ASSERT_EQ(data.size(), 15u);
    EXPECT_EQ(data[9].materialId, 7u);
    EXPECT_EQ(data[10].materialId, 9u);
    EXPECT_EQ(data[14].worldMatrix[3], glm::vec4(1, 2, 3, 1));
    EXPECT_EQ(data[14].inverseTranspose[0], glm::vec4(1, 0, 0, -1));

    // Written but not unmapped: the engine-wide copy keeps the old records.
    ASSERT_TRUE(write(b, records(five, 11), false));
    EXPECT_EQ(merged()[10].materialId, 9u);
    ASSERT_TRUE(b->unmap());
    EXPECT_EQ(merged()[10].materialId, 11u);

    // The storage is write-only: reading is refused.
    EXPECT_EQ(a->map(0), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to map buffer for the given operation", mark), 1);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    // A node without a mesh or without instances is left out of the list.
    KxInstanced* empty = new KxInstanced;
    empty->link(root);
    a->link(root);
    frame();
    EXPECT_EQ(list->getBatchCount(5), 0u);
    EXPECT_FALSE(empty->isMemoryOptimized());
    EXPECT_EQ(kxtest::countLogLines("Unhandled renderable type", mark), 0);
}
