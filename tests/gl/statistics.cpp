// Frame statistics: draw calls and triangles as the drawables submit them.
#include "kxscene.h"

class Statistics : public kxscene::SceneTest
{
};

TEST_F(Statistics, DrawCallsAndTrianglesOfBatchesAndSingleDraws)
{
    KxList* list = new KxList;
    ASSERT_TRUE(list->create(8));
    KxNode* root = new KxNode;
    kxscene::makeSquare(1.0f)->link(root);
    kxscene::makeSphere(4, 6)->link(root);
    KxMesh* glass = kxscene::makeSquare(1.0f);
    KxMaterial* half = new KxMaterial;
    half->setTransparency(0.5f);
    glass->setMaterial(half);
    glass->link(root);
    KxMesh::optimizeMemory();
    ASSERT_TRUE(list->pass(root));
    ASSERT_TRUE(KxMaterial::update());

    KxStats::reset();
    glm::mat4 view(1.0f);
    ASSERT_TRUE(list->render(&view));
    // Two batches (opaque, transparent): one multi-draw each.
    EXPECT_EQ(KxStats::get(KxStats::DRAW_CALL), 2u);
    EXPECT_EQ(KxStats::get(KxStats::TRIANGLE), 2u + 4u * 6u * 2u + 2u);
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), 0u); // no mesh drawn one by one

    KxCamera* camera = new KxCamera;
    ASSERT_TRUE(camera->render());
    KxQuad* quad = new KxQuad;
    glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    ASSERT_TRUE(quad->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::DRAW_CALL), 3u);
    EXPECT_EQ(KxStats::get(KxStats::TRIANGLE), 2u + 48u + 2u + 2u);

    EXPECT_FALSE(KxStats::add(KxStats::NR_OF_COUNTERS, 1));
    EXPECT_FALSE(KxStats::add(-1, 1));
    EXPECT_EQ(KxStats::get(KxStats::TRIANGLE), 54u);
}
