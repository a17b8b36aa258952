// Render lists: flattening, capacity, the matrix stack, batches, records and
// commands, culling, pass codes and the buffer slots.
#include "kxscene.h"

#include <cstring>

namespace
{
class Lists : public kxscene::SceneTest
{
protected:
    KxList* list = nullptr;
    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        list = new KxList;
    }
};

// The record and command buffers of a batch as the last renderByType bound them.
struct Readback
{
    std::vector<unsigned char> records;
    std::vector<unsigned char> commands;
};

Readback readBatch(KxList* list, unsigned int kind)
{
    Readback result;
    unsigned int count = list->getBatchCount(kind);
    EXPECT_TRUE(list->renderByType(static_cast<int>(kind), false));
    GLint records = 0, commands = 0;
    glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 5, &records);
    glGetIntegerv(GL_DRAW_INDIRECT_BUFFER_BINDING, &commands);
    result.records.resize(count * KxList::SIZEOF_RECORD);
    result.commands.resize(count * KxList::SIZEOF_COMMAND);
    if (count)
    {
        glGetNamedBufferSubData(static_cast<GLuint>(records), 0, static_cast<GLsizeiptr>(result.records.size()),
                                result.records.data());
        glGetNamedBufferSubData(static_cast<GLuint>(commands), 0, static_cast<GLsizeiptr>(result.commands.size()),
                                result.commands.data());
    }
    return result;
}

glm::mat4 matrixAt(const std::vector<unsigned char>& bytes, size_t offset)
{
    glm::mat4 m;
    std::memcpy(&m[0][0], bytes.data() + offset, 64);
    return m;
}

uint32_t wordAt(const std::vector<unsigned char>& bytes, size_t offset)
{
    uint32_t word;
    std::memcpy(&word, bytes.data() + offset, 4);
    return word;
}

bool near(const glm::mat4& a, const glm::mat4& b)
{
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            if (std::fabs(a[c][r] - b[c][r]) > 1e-5f)
                return false;
    return true;
}
}

TEST_F(Lists, CapacityCountsLightsAndNodesTogether)
{
    EXPECT_EQ(list->getType(), KxObject::TYPE_LIST);
    ASSERT_TRUE(list->create(5));
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(list->create(5));
    EXPECT_EQ(kxtest::countLogLines("List already created", mark), 1);
    EXPECT_EQ(list->getCapacity(), 5u);

    KxNode* root = new KxNode;
    KxNode* node = new KxNode;
    KxLight* first = new KxLight;
    KxMesh* mesh = new KxMesh;
    KxLight* second = new KxLight;
    for (KxNode* child : {static_cast<KxNode*>(node), static_cast<KxNode*>(first), static_cast<KxNode*>(mesh),
                          static_cast<KxNode*>(second)})
        child->link(root);
    ASSERT_TRUE(list->pass(root));
    EXPECT_EQ(list->getNrOfInstances(), 3u);
    EXPECT_EQ(list->getNrOfLights(), 2u);
    // Lights from the back, in the order they were met.
    EXPECT_EQ(list->getLightPtr(0), first);
    EXPECT_EQ(list->getLightPtr(1), second);
    EXPECT_EQ(list->getInstance(4).getNode(), first);
    EXPECT_EQ(list->getInstance(0).getNode(), root);
    EXPECT_EQ(list->getInstance(1).getNode(), node);
    EXPECT_EQ(list->getInstance(2).getNode(), mesh);

    mark = kxtest::readLog().size();
    KxNode* sixth = new KxNode;
    EXPECT_FALSE(list->pass(sixth));
    EXPECT_EQ(kxtest::countLogLines("List full (max 5 instance(s))", mark), 1);
    EXPECT_EQ(list->getNrOfInstances(), 3u);
    EXPECT_EQ(list->getLightPtr(2), nullptr); // past the lights: refused, not read

    // A full list stops the walk: one refusal, not one per remaining node.
    list->reset();
    KxNode* wide = new KxNode;
    for (int i = 0; i < 8; ++i)
        (new KxNode)->link(wide);
    mark = kxtest::readLog().size();
    EXPECT_FALSE(list->pass(wide));
    EXPECT_EQ(list->getNrOfInstances(), 5u);
    EXPECT_EQ(kxtest::countLogLines("List full", mark), 1);
    EXPECT_FALSE(list->pass(nullptr));
}

TEST_F(Lists, WorldMatricesAndTheMatrixStack)
{
    ASSERT_TRUE(list->create(64));
    KxNode* root = new KxNode;
    root->setTranslation(1.0f, 0.0f, 0.0f);
    KxNode* child = new KxNode;
    child->rotateZ(90.0f);
    child->link(root);
    KxNode* grandChild = new KxNode;
    grandChild->setTranslation(0.0f, 2.0f, 0.0f);
    grandChild->link(child);
    KxNode* sibling = new KxNode; // after a deep branch, back at the root's matrix
    sibling->setTranslation(0.0f, 0.0f, 3.0f);
    sibling->link(root);
    ASSERT_TRUE(list->pass(root));
    ASSERT_EQ(list->getNrOfInstances(), 4u);
    EXPECT_TRUE(near(list->getInstance(2).getMatrix(), grandChild->getFinalMatrix()));
    EXPECT_TRUE(near(list->getInstance(3).getMatrix(), sibling->getFinalMatrix()));
    glm::vec3 position(list->getInstance(2).getMatrix()[3]);
    EXPECT_NEAR(position.x, -1.0f, 1e-5f);
    EXPECT_NEAR(position.y, 0.0f, 1e-5f);

    // 33 levels (root and 32 below) fit the 32-deep stack; 34 do not.
    list->reset();
    std::vector<KxNode*> chain(34);
    for (size_t i = 0; i < chain.size(); ++i)
    {
        chain[i] = new KxNode;
        if (i > 0)
            chain[i]->link(chain[i - 1]);
    }
    chain[33]->unlink();
    size_t mark = kxtest::readLog().size();
    EXPECT_TRUE(list->pass(chain[0]));
    EXPECT_EQ(list->getNrOfInstances(), 33u);
    EXPECT_EQ(kxtest::countLogLines("Stack", mark), 0);
    chain[33]->link(chain[32]);
    list->reset();
    mark = kxtest::readLog().size();
    EXPECT_FALSE(list->pass(chain[0]));
    EXPECT_EQ(kxtest::countLogLines("Stack overflow", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Stack corrupted (max depth: 32)", mark), 1);
    EXPECT_EQ(list->getNrOfInstances(), 33u); // the deepest node is stored, its descent stopped
    // The stack unwound properly: a new pass starts from the identity.
    list->reset();
    EXPECT_TRUE(list->pass(sibling));
    EXPECT_TRUE(near(list->getInstance(0).getMatrix(), sibling->getMatrix()));
}

TEST_F(Lists, BatchesByKindAndVisibility)
{
    ASSERT_TRUE(list->create(16));
    KxNode* root = new KxNode;
    KxMesh* opaque = kxscene::makeSquare(1.0f);
    KxMesh* hidden = kxscene::makeSquare(1.0f);
    hidden->setVisible(false);
    KxMesh* glass = kxscene::makeSquare(1.0f);
    KxMaterial* half = new KxMaterial;
    half->setTransparency(0.5f);
    glass->setMaterial(half);
    KxMesh* cutout = kxscene::makeSquare(1.0f);
    KxMaterial* alpha = new KxMaterial;
    KxTexture* rgba = new KxTexture;
    ASSERT_TRUE(rgba->create(4, 2, 2, 0));
    alpha->setTexture(rgba, KxMaterial::SLOT_ALBEDO);
    cutout->setMaterial(alpha);
    KxMesh* bumpy = kxscene::makeSquare(1.0f);
    bumpy->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
    KxMesh* bumpyGlass = kxscene::makeSquare(1.0f);
    bumpyGlass->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
    bumpyGlass->setMaterial(half);
    KxMesh* patches = kxscene::makeSquare(1.0f);
    patches->setSubtype(KxMesh::KIND_TESSELLATED);
    KxCamera* camera = new KxCamera;
    for (KxNode* node : std::vector<KxNode*>{opaque, hidden, glass, cutout, bumpy, bumpyGlass, patches, camera})
        node->link(root);
    ASSERT_TRUE(list->pass(root));
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 1u);
    EXPECT_EQ(list->getBatchCount(1), 2u); // transparency 0.5, and an albedo map with alpha
    EXPECT_EQ(list->getBatchCount(2), 1u);
    EXPECT_EQ(list->getBatchCount(3), 1u);
    EXPECT_EQ(list->getBatchCount(4), 0u);
    EXPECT_EQ(list->getBatchCount(5), 0u); // tessellated meshes are drawn one by one

    // Drawable types the list does not batch are reported.
    KxBox* box = new KxBox;
    box->link(root);
    KxMesh* bare = new KxMesh; // no geometry, so not in the merged buffers
    bare->link(root);
    list->reset();
    ASSERT_TRUE(list->pass(root));
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(kxtest::countLogLines("Unhandled renderable type 12", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Not resident mesh passed in the list", mark), 1);
    EXPECT_EQ(list->getBatchCount(0), 1u);

    // An entry set by hand is batched as the node it now holds: the camera's
    // entry becomes a second opaque mesh, the hidden mesh's entry the glass.
    for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
    {
        KxInstance& entry = list->getInstance(i);
        if (entry.getNode() == camera)
            entry.setNode(opaque);
        else if (entry.getNode() == hidden)
            entry.setNode(glass);
    }
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 2u);
    EXPECT_EQ(list->getBatchCount(1), 3u);
}

TEST_F(Lists, RecordsAndCommands)
{
    ASSERT_TRUE(list->create(8));
    KxNode* root = new KxNode;
    root->setTranslation(0.0f, 1.0f, -2.0f);
    KxMesh* first = kxscene::makeSquare(1.0f);
    KxMesh* second = kxscene::makeSphere(4, 6);
    second->setTranslation(3.0f, 0.0f, 0.0f);
    second->rotateY(30.0f);
    KxMaterial* material = new KxMaterial;
    second->setMaterial(material);
    first->link(root);
    second->link(root);
    ASSERT_TRUE(list->pass(root));
    glm::mat4 view(1.0f);
    view[3] = glm::vec4(0.5f, -1.0f, 0.25f, 1.0f);
    ASSERT_TRUE(list->update(view));
    ASSERT_EQ(list->getBatchCount(0), 2u);
    Readback batch = readBatch(list, 0);

    glm::mat4 world = second->getFinalMatrix();
    size_t record = KxList::SIZEOF_RECORD; // the second record
    EXPECT_EQ(wordAt(batch.records, record + 4), material->getListId());
    EXPECT_EQ(wordAt(batch.records, record + 8), 0u);
    EXPECT_TRUE(near(matrixAt(batch.records, record + 16), view * world));
    EXPECT_TRUE(near(matrixAt(batch.records, record + 80), glm::transpose(glm::inverse(world))));
    EXPECT_TRUE(near(matrixAt(batch.records, record + 144), world));
    EXPECT_EQ(wordAt(batch.records, 4), KxMaterial::getDefault()->getListId());

    size_t command = KxList::SIZEOF_COMMAND;
    EXPECT_EQ(wordAt(batch.commands, command + 0), second->getNrOfFaces() * 3);
    EXPECT_EQ(wordAt(batch.commands, command + 4), 1u);
    EXPECT_EQ(wordAt(batch.commands, command + 8), second->getFirstFaceIndex() * 3);
    EXPECT_EQ(wordAt(batch.commands, command + 12), second->getFirstVertexIndex());
    EXPECT_EQ(wordAt(batch.commands, command + 16), 1u); // base instance: the draw's index
    EXPECT_EQ(wordAt(batch.commands, 0), 6u);
    EXPECT_EQ(wordAt(batch.commands, 8), first->getFirstFaceIndex() * 3);
}

TEST_F(Lists, FrustumCulling)
{
    ASSERT_TRUE(list->create(4));
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    ASSERT_TRUE(camera->render());
    KxNode* root = new KxNode;
    KxMesh* behind = kxscene::makeSquare(1.0f);
    behind->setRadius(1.0f);
    behind->setTranslation(0.0f, 0.0f, 5.0f);
    behind->link(root);
    KxMesh* ahead = kxscene::makeSquare(1.0f);
    ahead->setRadius(1.0f);
    ahead->setTranslation(0.0f, 0.0f, -5.0f);
    ahead->link(root);
    ASSERT_TRUE(list->pass(root));
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 2u); // culling off by default
    list->setCulling(true);
    EXPECT_TRUE(list->isCulling());
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 1u);
    // Only pass 0 culls.
    list->setPass(1);
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 2u);
    list->setPass(0);
    // A sphere reaching over the near plane stays.
    behind->setTranslation(0.0f, 0.0f, -0.5f);
    list->reset();
    ASSERT_TRUE(list->pass(root));
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(list->getBatchCount(0), 2u);
    list->setCullingCamera(camera);
    EXPECT_EQ(list->getCullingCamera(), camera);

    KxFrustum* frustum = camera->getFrustum();
    EXPECT_GT(KxList::sphereInFrustum(frustum, glm::vec3(0, 0, -10), 1.0f), 0.0f);
    EXPECT_EQ(KxList::sphereInFrustum(frustum, glm::vec3(0, 0, 10), 1.0f), 0.0f);
    EXPECT_EQ(KxList::sphereInFrustum(frustum, glm::vec3(0, 0, -2000), 1.0f), 0.0f); // past the far plane
    EXPECT_GT(KxList::sphereInFrustum(frustum, glm::vec3(0, 0, 0), 1.5f), 0.0f);
    // Beside the view by more than its radius: out; by less: in.
    float t = std::tan(45.0f * 0.5f * 3.14159265f / 180.0f) * 10.0f * Kalvex::getWindowSizeX() / Kalvex::getWindowSizeY();
    EXPECT_EQ(KxList::sphereInFrustum(frustum, glm::vec3(t + 2.0f, 0, -10), 1.0f), 0.0f);
    EXPECT_GT(KxList::sphereInFrustum(frustum, glm::vec3(t + 0.5f, 0, -10), 1.0f), 0.0f);
}

TEST_F(Lists, PassCodesAndLightUploads)
{
    ASSERT_TRUE(list->create(8));
    EXPECT_EQ(list->getPass(), 0u);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(list->setPass(4));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_EQ(list->getPass(), 0u);

    KxNode* root = new KxNode;
    (new KxLight)->link(root);
    (new KxLight)->link(root);
    kxscene::makeSquare(1.0f)->link(root);
    ASSERT_TRUE(list->pass(root));
    struct Case
    {
        unsigned int pass;
        uint64_t lights;
        unsigned int batch;
    };
    for (Case c : {Case{0, 2, 1}, Case{1, 0, 1}, Case{2, 0, 1}, Case{3, 2, 0}})
    {
        ASSERT_TRUE(list->setPass(c.pass));
        uint64_t lights = KxStats::get(KxStats::LIGHT_RENDER);
        unsigned int id = KxList::getCurrentPassId();
        ASSERT_TRUE(list->update(glm::mat4(1.0f)));
        EXPECT_EQ(KxList::getCurrentPass(), c.pass);
        EXPECT_EQ(KxList::getCurrentPassId(), id + 1);
        EXPECT_EQ(KxStats::get(KxStats::LIGHT_RENDER) - lights, c.lights) << c.pass;
        EXPECT_EQ(KxOpenGL::getGlobal()->nrOfLights, 2u);
        EXPECT_EQ(KxLight::getNrOfLightsInPass(), c.lights);
        if (c.pass != 3)
        {
            EXPECT_EQ(list->getBatchCount(0), c.batch) << c.pass;
        }
    }
}

TEST_F(Lists, OneMultiDrawPerBatchAndRotatingSlots)
{
    ASSERT_TRUE(list->create(8));
    KxNode* root = new KxNode;
    kxscene::makeSquare(1.0f)->link(root);
    kxscene::makeSquare(1.0f)->link(root);
    KxMesh* glass = kxscene::makeSquare(1.0f);
    KxMaterial* half = new KxMaterial;
    half->setTransparency(0.5f);
    glass->setMaterial(half);
    glass->link(root);
    ASSERT_TRUE(list->pass(root));

    glm::mat4 view(1.0f);
    EXPECT_EQ(list->getRedundancyIndex(), 0u);
    ASSERT_TRUE(KxMaterial::update()); // no material upload inside the measured frame
    uint64_t buffers = KxStats::get(KxStats::BUFFER_RENDER);
    uint64_t meshes = KxStats::get(KxStats::MESH_RENDER);
    ASSERT_TRUE(list->render(&view));
    // Two non-empty batches: each one record-buffer bind and one multi-draw;
    // the global block is bound once by the update.
    EXPECT_EQ(KxStats::get(KxStats::BUFFER_RENDER) - buffers, 2u + 1u);
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), meshes); // no mesh drawn one by one
    EXPECT_EQ(list->getRedundancyIndex(), 1u);
    ASSERT_TRUE(list->render(&view));
    EXPECT_EQ(list->getRedundancyIndex(), 2u);
    ASSERT_TRUE(list->render(&view));
    EXPECT_EQ(list->getRedundancyIndex(), 0u);
    // The fourth frame writes slot 0 again, after its fence.
    ASSERT_TRUE(list->update(view));
    EXPECT_EQ(list->getBatchCount(0), 2u);
    ASSERT_TRUE(list->renderByType(7, true));
    EXPECT_EQ(list->getRedundancyIndex(), 1u);
    // Without a fence the slot stays.
    ASSERT_TRUE(list->renderByType(8, false));
    EXPECT_EQ(list->getRedundancyIndex(), 1u);
    EXPECT_FALSE(list->renderByType(6, false));
    EXPECT_FALSE(list->render(nullptr));

    // The face culling switch follows the batch: on for opaque, off for transparent.
    ASSERT_TRUE(list->renderByType(0, false));
    EXPECT_TRUE(KxOpenGL::isCulling());
    ASSERT_TRUE(list->renderByType(1, false));
    EXPECT_FALSE(KxOpenGL::isCulling());
}

TEST_F(Lists, UncreatedListRefusesToDraw)
{
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(list->renderByType(9, true));
    EXPECT_EQ(kxtest::countLogLines("List not created", mark), 1);
    EXPECT_FALSE(list->pass(new KxNode));
    EXPECT_FALSE(list->create(0));
}
