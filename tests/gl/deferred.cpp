// The deferred and hybrid pipelines against the forward one, depth peeling
// against a blend of the layers computed here, the G-buffer size cap.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

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
        ASSERT_TRUE(Kalvex::getPipeline(4)->load(nullptr));
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
        static_cast<KxHybridRendering*>(Kalvex::getPipeline(4))->setUseSsao(true);
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

    // Two small spheres as instances of one node, through the instanced programs.
    KxMesh* sphere = kxscene::makeSphere(8, 12); // geometry only: not in the scene
    KxMaterial* material = new KxMaterial;
    material->setAlbedo(glm::vec3(0.8f, 0.8f, 0.2f));
    sphere->setMaterial(material);
    KxInstanced* pair = new KxInstanced;
    ASSERT_TRUE(pair->setMesh(sphere));
    ASSERT_TRUE(pair->create(2));
    KxInstanced::kxInstanceData* data = pair->map(1);
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < 2; ++i)
    {
        glm::mat4 world = glm::translate(glm::mat4(1.0f), glm::vec3(-1.1f + 2.2f * static_cast<float>(i), -0.6f, -4.5f));
        world = glm::scale(world, glm::vec3(0.4f));
        data[i] = KxInstanced::kxInstanceData{};
        data[i].materialId = material->getListId();
        data[i].worldMatrix = world;
        data[i].inverseTranspose = glm::transpose(glm::inverse(world));
    }
    ASSERT_TRUE(pair->unmap());
    pair->link(root);
}
}

TEST_F(Deferred, EqualsForwardOnAnOpaqueScene)
{
    buildOpaqueScene(root);
    addLight(glm::vec3(3.0f, 3.0f, -2.0f), glm::vec3(1.5f, 1.2f, 1.0f), 20.0f);
    addLight(glm::vec3(-4.0f, 1.0f, -5.0f), glm::vec3(0.2f, 0.3f, 1.2f), 8.0f);
    // Ambient occlusion would darken the contacts, which the forward pipeline does not.
    static_cast<KxDeferredRendering*>(Kalvex::getPipeline(3))->setUseSsao(false);
    static_cast<KxHybridRendering*>(Kalvex::getPipeline(4))->setUseSsao(false);
    // A sky of one colour per face behind it all.
    KxTexture* sky = new KxTexture;
    std::vector<unsigned char> faces;
    for (int face = 0; face < 6; ++face)
        for (int i = 0; i < 4; ++i)
            faces.insert(faces.end(), {static_cast<unsigned char>(40 * face), 90, static_cast<unsigned char>(200 - 30 * face)});
    ASSERT_TRUE(sky->create(17, 2, 2, 1, 1, 0));
    ASSERT_TRUE(sky->write(faces.data()));
    KxSkybox* skybox = new KxSkybox;
    ASSERT_TRUE(skybox->setTexture(sky));
    camera->setSkybox(skybox);
    std::vector<unsigned char> forward = renderWith(2);
    std::vector<unsigned char> deferred = renderWith(3);
    std::vector<unsigned char> hybrid = renderWith(4);
    int lit = 0;
    for (size_t i = 0; i < forward.size(); i += 4)
        lit += forward[i] + forward[i + 1] + forward[i + 2] > 30;
    EXPECT_GT(lit, 320 * 240 / 4); // the comparison is over a real picture
    EXPECT_LE(sampledDifference(forward, deferred), 2);
    EXPECT_LE(sampledDifference(forward, hybrid), 2);
    if (HasFailure())
    {
        kxscene::savePng("deferred_hybrid", hybrid);
        kxscene::savePng("deferred_forward", forward);
        kxscene::savePng("deferred_deferred", deferred);
    }

    // Particles draw in both too (they move from frame to frame: counted, not compared).
    KxEmitter* emitter = new KxEmitter;
    ASSERT_TRUE(emitter->create(64));
    emitter->setTranslation(0.0f, 0.5f, -5.0f);
    emitter->link(root);
    for (int pipeline : {3, 4})
    {
        uint64_t before = KxStats::get(KxStats::EMITTER_RENDER);
        renderWith(pipeline);
        EXPECT_EQ(KxStats::get(KxStats::EMITTER_RENDER), before + 1) << "pipeline " << pipeline;
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

namespace
{
// A single-channel texture's texels as floats, top row first like the window.
std::vector<float> readRed(KxTexture* texture)
{
    const int w = static_cast<int>(texture->getSizeX()), h = static_cast<int>(texture->getSizeY());
    std::vector<float> texels(static_cast<size_t>(w) * h), rows(texels.size());
    glGetTextureImage(texture->getHandle(), 0, GL_RED, GL_FLOAT, static_cast<GLsizei>(texels.size() * sizeof(float)),
                      texels.data());
    for (int row = 0; row < h; ++row)
        std::copy(texels.begin() + static_cast<long>(row) * w, texels.begin() + static_cast<long>(row + 1) * w,
                  rows.begin() + static_cast<long>(h - 1 - row) * w);
    return rows;
}

// Window row (top first) of a world point seen by a camera at the origin.
int windowRow(KxCamera* camera, const glm::vec3& point)
{
    glm::vec4 clip = camera->getProjMatrix() * glm::vec4(point, 1.0f);
    return static_cast<int>((1.0f - clip.y / clip.w) * 0.5f * static_cast<float>(Kalvex::getWindowSizeY()));
}
}

TEST_F(Deferred, AmbientOcclusion)
{
    KxSsao* ssao = static_cast<KxDeferredRendering*>(Kalvex::getPipeline(3))->getSsao();
    ASSERT_NE(ssao, nullptr);
    // The kernel comes from MT19937 with its default seed.
    const glm::vec3 first = ssao->getKernel(0);
    EXPECT_NEAR(first.x, 0.0498f, 5e-4f);
    EXPECT_NEAR(first.y, -0.0447f, 5e-4f);
    EXPECT_NEAR(first.z, 0.0500f, 5e-4f);
    size_t mark = kxtest::readLog().size();
    ssao->setNrOfKernels(65);
    EXPECT_EQ(ssao->getNrOfKernels(), 64u);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);

    // A wall facing the camera standing on a floor: a right-angle crease.
    addSquare(10.0f, -5.0f, glm::vec3(0.8f), 1.0f);
    KxMesh* floor = addSquare(10.0f, 0.0f, glm::vec3(0.8f), 1.0f);
    floor->setRotationX(-90.0f);
    floor->setTranslation(0.0f, -1.0f, -5.0f);
    addLight(glm::vec3(0.0f, 2.0f, -1.0f), glm::vec3(1.0f), 20.0f);
    ssao->setRadius(0.5f);
    ssao->setPower(1.0f);
    renderWith(3);
    std::vector<float> linear = readRed(ssao->getRawTexture());
    std::vector<float> blurred = readRed(ssao->getTexture());
    ssao->setPower(2.0f);
    renderWith(3);
    std::vector<float> squared = readRed(ssao->getRawTexture());
    ssao->setRadius(0.05f);

    const int w = Kalvex::getWindowSizeX();
    const int crease = windowRow(camera, glm::vec3(0.0f, -1.0f, -5.0f));
    auto at = [&](const std::vector<float>& image, int row) {
        float sum = 0.0f; // a 16-pixel stretch of the row evens out the noise
        for (int column = w / 2 - 8; column < w / 2 + 8; ++column)
            sum += image[static_cast<size_t>(row) * w + column];
        return sum / 16.0f;
    };
    EXPECT_GT(at(blurred, crease - 60), 0.97f); // the open wall keeps its ambient light
    EXPECT_LT(at(blurred, crease - 2), 0.8f);   // the inside of the corner is darker
    EXPECT_LT(at(blurred, crease - 2), at(blurred, crease - 8));
    EXPECT_LT(at(blurred, crease - 8), at(blurred, crease - 20));
    // The factor is (1 - occluded share) to the power: squaring follows it.
    for (int row : {crease - 2, crease - 5, crease - 10})
        for (int column = w / 2 - 8; column < w / 2 + 8; column += 4)
        {
            float one = linear[static_cast<size_t>(row) * w + column];
            float two = squared[static_cast<size_t>(row) * w + column];
            EXPECT_NEAR(two, one * one, 2.5f / 255.0f) << row << "," << column;
        }
}

// Glow on its own: a flat input comes back with four blurred copies at a
// quarter each; only channels strictly above 1.0 glow with bloom.
TEST_F(Deferred, GaussianGlow)
{
    const int size = 64;
    KxTexture* input = new KxTexture;
    ASSERT_TRUE(input->create(7, size, size, 1, 1, 0));
    std::vector<float> texels(static_cast<size_t>(size) * size * 4);
    for (size_t i = 0; i < texels.size(); i += 4)
    {
        texels[i] = 0.2f;
        texels[i + 1] = 0.1f;
        texels[i + 2] = 0.05f;
        texels[i + 3] = 1.0f;
    }
    ASSERT_TRUE(input->writeRaw(texels.data()));
    KxGaussian* gaussian = new KxGaussian;
    ASSERT_TRUE(gaussian->create(size, size));
    gaussian->setGamma(2.2f); // stored, never applied
    ASSERT_TRUE(gaussian->render(input));
    std::vector<unsigned char> output(static_cast<size_t>(size) * size * 4);
    glGetTextureImage(gaussian->getTexture()->getHandle(), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                      static_cast<GLsizei>(output.size()), output.data());
    for (size_t i = 0; i < output.size(); i += 4 * 97)
    {
        EXPECT_NEAR(output[i], 0.4 * 255, 2.0);
        EXPECT_NEAR(output[i + 1], 0.2 * 255, 2.0);
        EXPECT_NEAR(output[i + 2], 0.1 * 255, 2.0);
    }

    // Bloom: a band of red at exactly 1.0 does not glow, one at 1.0001 does.
    gaussian->setBloom(true);
    const size_t middle = static_cast<size_t>(size / 2) * size;
    for (float red : {1.0f, 1.0001f})
    {
        for (int row = 0; row < size; ++row)
            for (int column = 0; column < size; ++column)
            {
                float* t = &texels[(static_cast<size_t>(row) * size + column) * 4];
                t[0] = column >= 30 && column < 34 ? red : 0.0f;
                t[1] = t[2] = 0.0f;
            }
        ASSERT_TRUE(input->writeRaw(texels.data()));
        ASSERT_TRUE(gaussian->render(input));
        glGetTextureImage(gaussian->getTexture()->getHandle(), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                          static_cast<GLsizei>(output.size()), output.data());
        EXPECT_EQ(output[(middle + 31) * 4], 255); // the band keeps its own colour
        if (red == 1.0f)
            EXPECT_EQ(output[(middle + 38) * 4], 0);
        else
            EXPECT_GT(output[(middle + 38) * 4], 20);
        EXPECT_EQ(output[(middle + 38) * 4 + 1], 0); // only bright channels glow
    }
}

namespace
{
// In-scattering along one view ray, marched here: the steps that see the
// light past a horizontal square occluder (centre c, half size half), weighted
// by the Henyey-Greenstein phase.
float marchRay(const glm::vec3& direction, float length, const glm::vec3& light, const glm::vec3& c, float half, float g)
{
    const int steps = 400;
    float sum = 0.0f;
    for (int i = 0; i < steps; ++i)
    {
        glm::vec3 p = direction * (length * (static_cast<float>(i) + 0.5f) / steps);
        bool blocked = false;
        if ((p.y - c.y) * (light.y - c.y) < 0.0f)
        {
            glm::vec3 q = p + (c.y - p.y) / (light.y - p.y) * (light - p);
            blocked = std::abs(q.x - c.x) <= half && std::abs(q.z - c.z) <= half;
        }
        if (!blocked)
            sum += KxVolLighting::phase(g, glm::dot(direction, glm::normalize(light - p)));
    }
    return sum / steps;
}
}

TEST_F(Deferred, VolumetricLight)
{
    KxVolLighting* volumetric = static_cast<KxDeferredRendering*>(Kalvex::getPipeline(3))->getVolLighting();
    ASSERT_NE(volumetric, nullptr);
    EXPECT_NEAR(KxVolLighting::phase(0.5f, 1.0f), 0.75f / (4.0f * 3.14159265f * 0.125f), 1e-4f);
    EXPECT_NEAR(KxVolLighting::phase(0.5f, -1.0f), 0.0177f, 1e-4f);
    size_t mark = kxtest::readLog().size();
    volumetric->setNrOfSteps(0);
    EXPECT_EQ(volumetric->getNrOfSteps(), 1u);
    volumetric->setScattering(-0.5f);
    EXPECT_FLOAT_EQ(volumetric->getScattering(), 0.001f);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    volumetric->setNrOfSteps(64);
    volumetric->setScattering(0.5f);
    EXPECT_EQ(volumetric->getTexture()->getSizeX(), static_cast<unsigned int>(Kalvex::getWindowSizeX() / 2));

    // A light above a square occluder; its shadow cuts the haze in front of a far wall.
    KxConfig config;
    config.setShadowMapSize(256);
    KxPipeline* shadowPass = Kalvex::getPipeline(1);
    ASSERT_TRUE(shadowPass->load(&config));
    const glm::vec3 lightPosition(0.0f, 1.5f, -4.0f), centre(0.0f, 1.0f, -4.0f);
    const float half = 0.8f;
    KxLight* light = addLight(lightPosition, glm::vec3(1.0f), 40.0f);
    light->setRadius(40.0f, 0.1f); // the occluder is nearer than the default near plane
    light->setVolumetric(true);
    KxMesh* occluder = addSquare(half, 0.0f, glm::vec3(0.5f), 1.0f);
    occluder->setRotationX(90.0f); // faces down, its back to the light
    occluder->setTranslation(centre);
    addSquare(30.0f, -16.0f, glm::vec3(0.1f), 1.0f);
    std::vector<unsigned char> picture = renderWith(3);
    kxscene::savePng("deferred_volumetric", picture);
    std::vector<float> shafts = readRed(volumetric->getTexture());
    occluder->setVisible(false);
    renderWith(3);
    std::vector<float> open = readRed(volumetric->getTexture());
    shadowPass->unload(nullptr);

    // Along the middle row, the share of the haze the occluder takes away:
    // measured at half resolution against the march here.
    const int w = static_cast<int>(volumetric->getTexture()->getSizeX());
    const int h = static_cast<int>(volumetric->getTexture()->getSizeY());
    glm::mat4 inverse = glm::inverse(camera->getProjMatrix());
    std::vector<float> expected(w);
    for (int column = 0; column < w; ++column)
    {
        glm::vec4 near = inverse * glm::vec4(2.0f * (column + 0.5f) / w - 1.0f, -1.0f / h, -1.0f, 1.0f);
        glm::vec3 direction = glm::normalize(glm::vec3(near) / near.w);
        float length = -16.0f / direction.z;
        expected[column] = marchRay(direction, length, lightPosition, centre, half, 0.5f) /
                           marchRay(direction, length, lightPosition, centre, 0.0f, 0.5f);
    }
    const size_t row = static_cast<size_t>(h / 2) * w;
    int compared = 0;
    for (int column = 4; column < w - 4; column += 2)
    {
        float low = *std::min_element(expected.begin() + column - 4, expected.begin() + column + 5);
        float high = *std::max_element(expected.begin() + column - 4, expected.begin() + column + 5);
        if (high - low > 0.1f)
            continue; // the blur smears edges
        EXPECT_NEAR(shafts[row + column] / open[row + column], expected[column], 0.08f) << "column " << column;
        ++compared;
    }
    EXPECT_GT(compared, w / 4);
    // The shadow is a dark gap between bright sides.
    EXPECT_LT(expected[w / 2], 0.7f);
    EXPECT_GT(expected[2], expected[w / 2] + 0.1f);
    EXPECT_LT(shafts[row + w / 2] / open[row + w / 2], 0.7f);
    EXPECT_GT(shafts[row + 2] / open[row + 2], shafts[row + w / 2] / open[row + w / 2] + 0.1f);
}
