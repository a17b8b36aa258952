// The deferred and hybrid pipelines against the forward one, depth peeling
// against a blend of the layers computed here, the G-buffer size cap.
#include "kxscene.h"

#include <algorithm>

namespace
{
class Deferred : public kxscene::SceneTest
{
public:
    static void SetUpTestSuite()
    {
        kxscene::SceneTest::SetUpTestSuite();
        // The reduced start leaves the deferred and hybrid pipelines unloaded.
        ASSERT_TRUE(Kalvex::getPipeline(3)->load(nullptr));
    }

protected:
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxList* list = nullptr;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        root = new KxNode;
        list = new KxList;
        ASSERT_TRUE(list->create(32));
        for (int id = 2; id <= 4; ++id)
            if (KxPipeline* pipeline = Kalvex::getPipeline(id))
                pipeline->postProc(false);
    }

    void TearDown() override
    {
        for (int id = 2; id <= 4; ++id)
            if (KxPipeline* pipeline = Kalvex::getPipeline(id))
                pipeline->postProc(true);
        static_cast<KxDeferredRendering*>(Kalvex::getPipeline(3))->setUseSsao(true);
        KxPipeline::setCurrent(Kalvex::getPipeline(2));
        kxscene::SceneTest::TearDown();
    }

    std::vector<unsigned char> renderWith(int pipeline)
    {
        KxPipeline::setCurrent(Kalvex::getPipeline(pipeline));
        while (glGetError() != GL_NO_ERROR)
        {
        }
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, nullptr));
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return kxscene::window();
    }

    KxLight* addLight(const glm::vec3& position, const glm::vec3& color, float radius)
    {
        KxLight* light = new KxLight;
        light->setTranslation(position);
        light->setColor(color);
        light->setRadius(radius);
        light->link(root);
        return light;
    }

    KxMesh* addSquare(float half, float z, const glm::vec3& albedo, float transparency)
    {
        KxMesh* square = kxscene::makeSquare(half);
        square->setTranslation(0.0f, 0.0f, z);
        square->link(root);
        KxMaterial* material = new KxMaterial;
        material->setAlbedo(albedo);
        material->setRoughness(0.6f);
        material->setTransparency(transparency);
        square->setMaterial(material);
        return square;
    }

    // The largest channel difference over every fourth pixel of every fourth row.
    static int sampledDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
    {
        int largest = 0;
        for (int row = 0; row < Kalvex::getWindowSizeY(); row += 4)
            for (int column = 0; column < Kalvex::getWindowSizeX(); column += 4)
                for (int c = 0; c < 3; ++c)
                    largest = std::max(largest, std::abs(kxscene::pixel(a, column, row)[c] -
                                                         kxscene::pixel(b, column, row)[c]));
        return largest;
    }
};

// An opaque scene: spheres and a floor under two coloured lights.
void buildOpaqueScene(KxNode* root)
{
    const glm::vec3 albedos[3] = {{0.9f, 0.5f, 0.3f}, {0.3f, 0.8f, 0.4f}, {0.5f, 0.5f, 0.9f}};
    for (int i = 0; i < 3; ++i)
    {
        KxMesh* sphere = kxscene::makeSphere(16, 24);
        sphere->setTranslation(-2.2f + 2.2f * static_cast<float>(i), 0.0f, -6.0f - static_cast<float>(i));
        sphere->link(root);
        KxMaterial* material = new KxMaterial;
        material->setAlbedo(albedos[i]);
        material->setRoughness(0.3f + 0.2f * static_cast<float>(i));
        material->setMetalness(i == 1 ? 0.8f : 0.0f);
        sphere->setMaterial(material);
    }
    KxMesh* floor = kxscene::makeSquare(10.0f);
    floor->setRotationX(-90.0f);
    floor->setTranslation(0.0f, -1.0f, -6.0f);
    floor->link(root);
}
}

TEST_F(Deferred, EqualsForwardOnAnOpaqueScene)
{
    buildOpaqueScene(root);
    addLight(glm::vec3(3.0f, 3.0f, -2.0f), glm::vec3(1.5f, 1.2f, 1.0f), 20.0f);
    addLight(glm::vec3(-4.0f, 1.0f, -5.0f), glm::vec3(0.2f, 0.3f, 1.2f), 8.0f);
    // Ambient occlusion would darken the contacts, which the forward pipeline does not.
    static_cast<KxDeferredRendering*>(Kalvex::getPipeline(3))->setUseSsao(false);
    std::vector<unsigned char> forward = renderWith(2);
    std::vector<unsigned char> deferred = renderWith(3);
    int lit = 0;
    for (size_t i = 0; i < forward.size(); i += 4)
        lit += forward[i] + forward[i + 1] + forward[i + 2] > 30;
    EXPECT_GT(lit, 320 * 240 / 4); // the comparison is over a real picture
    EXPECT_LE(sampledDifference(forward, deferred), 2);
    if (HasFailure())
    {
        kxscene::savePng("deferred_forward", forward);
        kxscene::savePng("deferred_deferred", deferred);
    }
}

// Two panes of coverage 0.5 in front of an opaque wall: half of each pane's
// own colour, the wall behind them gets nothing; an opaque front pane hides
// all behind it.
TEST_F(Deferred, DepthPeeling)
{
    addLight(glm::vec3(0.5f, 1.0f, 0.0f), glm::vec3(1.4f), 30.0f);
    KxMesh* front = addSquare(1.0f, -3.0f, glm::vec3(0.9f, 0.2f, 0.1f), 1.0f);
    std::vector<unsigned char> frontAlone = renderWith(3);
    front->unlink();
    KxMesh* back = addSquare(2.0f, -4.0f, glm::vec3(0.1f, 0.3f, 0.9f), 1.0f);
    std::vector<unsigned char> backAlone = renderWith(3);

    front->link(root);
    KxMesh* wall = addSquare(4.0f, -6.0f, glm::vec3(0.9f, 0.9f, 0.9f), 1.0f);
    std::vector<unsigned char> opaqueFront = renderWith(3);
    front->getMaterial()->setTransparency(0.5f);
    back->getMaterial()->setTransparency(0.5f);
    std::vector<unsigned char> panes = renderWith(3);
    kxscene::savePng("deferred_panes", panes);

    const int cx = Kalvex::getWindowSizeX() / 2, cy = Kalvex::getWindowSizeY() / 2;
    int checked = 0;
    for (int dy = -20; dy <= 20; dy += 10)
        for (int dx = -20; dx <= 20; dx += 10)
        {
            const unsigned char* f = kxscene::pixel(frontAlone, cx + dx, cy + dy);
            const unsigned char* b = kxscene::pixel(backAlone, cx + dx, cy + dy);
            const unsigned char* p = kxscene::pixel(panes, cx + dx, cy + dy);
            const unsigned char* o = kxscene::pixel(opaqueFront, cx + dx, cy + dy);
            for (int c = 0; c < 3; ++c)
            {
                EXPECT_NEAR(p[c], 0.5 * f[c] + 0.5 * b[c], 1.5) << dx << "," << dy << " channel " << c;
                EXPECT_NEAR(o[c], f[c], 1.0);
            }
            ++checked;
        }
    EXPECT_EQ(checked, 25);
    // Beside the front pane the back pane covers half the wall; outside both, the wall alone.
    const unsigned char* side = kxscene::pixel(panes, cx + 60, cy);
    const unsigned char* sideBack = kxscene::pixel(backAlone, cx + 60, cy);
    EXPECT_GT(side[0], sideBack[0] + 20); // the wall shows through the back pane
    (void)wall;
}

// A G-buffer never exceeds 4096 texels a side; such a pipeline still renders.
TEST_F(Deferred, SizeCap)
{
    KxConfig config;
    config.setWindowSizeX(5000);
    config.setWindowSizeY(16);
    KxDeferredRendering* wide = new KxDeferredRendering;
    ASSERT_TRUE(wide->load(&config));
    EXPECT_EQ(wide->getNormalArray()->getSizeX(), 4096u);
    EXPECT_EQ(wide->getDepthArray()->getSizeY(), 16u);
    EXPECT_EQ(wide->getSurfaceArray()->getSizeZ(), KxDeferredRendering::MAX_LAYERS);
    buildOpaqueScene(root);
    addLight(glm::vec3(3.0f, 3.0f, -2.0f), glm::vec3(1.0f), 20.0f);
    KxPipeline::setCurrent(wide);
    while (glGetError() != GL_NO_ERROR)
    {
    }
    list->reset();
    list->pass(root);
    EXPECT_TRUE(wide->render(camera, list, nullptr));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    KxPipeline::setCurrent(Kalvex::getPipeline(2));

    // A pipeline that cannot load is left empty and says so when asked to draw.
    config.setWindowSizeX(0);
    EXPECT_FALSE(wide->load(&config));
    EXPECT_FALSE(wide->render(camera, list, nullptr));
}
