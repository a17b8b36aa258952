// The forward pipeline: its programs, light passes, the objects drawn one by
// one, anti-aliasing, caller framebuffers and orthographic cameras.
#include "kxscene.h"

#include <kalvex_internal.h>

#include <algorithm>

namespace
{
class Forward : public kxscene::SceneTest
{
protected:
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxList* list = nullptr;
    KxPipeline* forward = nullptr;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        forward = Kalvex::getPipeline(2);
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        root = new KxNode;
        list = new KxList;
        ASSERT_TRUE(list->create(32));
        forward->postProc(false); // the scene as rendered, unless a test wants the filter
    }

    void TearDown() override
    {
        forward->setAntiAliasing(false);
        forward->postProc(true);
        kxscene::SceneTest::TearDown();
    }

    std::vector<unsigned char> renderFrame(KxFbo* fbo = nullptr)
    {
        while (glGetError() != GL_NO_ERROR)
        {
        }
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, fbo));
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)); // the frame is clean GL
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

    // A 2 x 2 RGBA map of these texels.
    static KxTexture* makeMap(const unsigned char (&texels)[16])
    {
        KxTexture* map = new KxTexture;
        EXPECT_TRUE(map->create(4, 2, 2, 0, 1, 1));
        EXPECT_TRUE(map->write(texels));
        return map;
    }

    // The largest difference of any colour channel between two frames.
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

TEST_F(Forward, ProgramsForEveryMeshKind)
{
    KxShader* mesh = forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, 0);
    KxShader* normalMapped = forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_NORMAL_MAPPED, 0);
    KxShader* tessellated = forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_TESSELLATED, 0);
    ASSERT_NE(mesh, nullptr);
    ASSERT_NE(normalMapped, nullptr);
    ASSERT_NE(tessellated, nullptr);
    EXPECT_NE(mesh, normalMapped);
    EXPECT_NE(mesh, tessellated);
    for (int flags = 1; flags < 3; ++flags)
    {
        EXPECT_EQ(forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, flags), mesh);
        EXPECT_EQ(forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_NORMAL_MAPPED, flags), normalMapped);
    }
    EXPECT_EQ(forward->getShader(KxObject::TYPE_QUAD, 0, 0), static_cast<KxDefaultRendering*>(forward)->getQuadProgram());
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::render(camera, nullptr, nullptr));
    EXPECT_FALSE(Kalvex::render(nullptr, list, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
}

TEST_F(Forward, WithoutLightsTheFrameIsCleared)
{
    KxMesh* square = kxscene::makeSquare(2.0f);
    square->setTranslation(0.0f, 0.0f, -4.0f);
    square->link(root);
    std::vector<unsigned char> pixels = renderFrame();
    int lit = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        lit += pixels[i] || pixels[i + 1] || pixels[i + 2];
    EXPECT_EQ(lit, 0);
}

// A lit sphere: lit towards the light, dark away from it, upright, round.
TEST_F(Forward, LitSphere)
{
    KxMesh* sphere = kxscene::makeSphere(24, 32);
    sphere->setTranslation(0.0f, 0.0f, -4.0f);
    sphere->link(root);
    KxMaterial* material = new KxMaterial;
    material->setAlbedo(0.9f, 0.5f, 0.3f);
    material->setRoughness(0.35f);
    sphere->setMaterial(material);
    addLight(glm::vec3(3.0f, 3.0f, 0.0f), glm::vec3(1.5f), 20.0f);
    std::vector<unsigned char> pixels = renderFrame();
    kxscene::savePng("forward_sphere", pixels);

    const int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    auto brightness = [&](int column, int row) {
        const unsigned char* p = kxscene::pixel(pixels, column, row);
        return p[0] + p[1] + p[2];
    };
    // The sphere (radius 1 at distance 4) covers 75 pixels around the centre.
    EXPECT_GT(brightness(w / 2 + 12, h / 2 - 12), brightness(w / 2 - 12, h / 2 + 12) + 60); // upper right towards the light
    EXPECT_EQ(brightness(5, 5), 0);                                                          // background
    EXPECT_EQ(brightness(w / 2 + 78, h / 2), 0);
    EXPECT_GT(brightness(w / 2 + 72, h / 2), 0);
    EXPECT_EQ(brightness(w / 2, h / 2 - 78), 0);
    EXPECT_GT(brightness(w / 2, h / 2 - 72), 0);
    // Left-right symmetric about the light's diagonal: (x, y) and (-y, -x) mirror.
    int asymmetric = 0;
    for (int d = -20; d <= 20; d += 5)
        for (int e = -20; e <= 20; e += 5)
            asymmetric += std::abs(brightness(w / 2 + d, h / 2 - e) - brightness(w / 2 + e, h / 2 - d)) > 12;
    EXPECT_LE(asymmetric, 4);
}

// Tessellated meshes are drawn one by one as patches, normal-mapped ones by
// their own program: a flat square looks the same through all three.
TEST_F(Forward, TessellatedAndNormalMappedMatchTheBatchedMesh)
{
    KxMesh* square = kxscene::makeSquare(8.0f);
    square->setTranslation(0.0f, 0.0f, -5.0f);
    square->link(root);
    KxMaterial* material = new KxMaterial;
    material->setAlbedo(0.6f, 0.7f, 0.8f);
    material->setRoughness(0.5f);
    square->setMaterial(material);
    addLight(glm::vec3(0.5f, -0.3f, -3.5f), glm::vec3(1.0f, 0.9f, 0.8f), 5.0f);
    addLight(glm::vec3(-1.5f, 1.0f, -4.0f), glm::vec3(0.3f, 0.3f, 0.9f), 3.0f);
    std::vector<unsigned char> batched = renderFrame();

    square->setSubtype(KxMesh::KIND_TESSELLATED);
    uint64_t drawn = KxStats::get(KxStats::MESH_RENDER);
    std::vector<unsigned char> tessellated = renderFrame();
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), drawn + 2); // once per light
    EXPECT_LE(difference(batched, tessellated), 2);

    square->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
    std::vector<unsigned char> noMap = renderFrame();
    EXPECT_LE(difference(batched, noMap), 2);
    // A map of straight-up normals (128 is 0.004 off the axis).
    KxTexture* flat = new KxTexture;
    ASSERT_TRUE(flat->create(3, 1, 1, 0, 1, 0));
    const unsigned char up[3] = {128, 128, 255};
    ASSERT_TRUE(flat->write(up));
    material->setTexture(flat, KxMaterial::SLOT_NORMAL);
    std::vector<unsigned char> mapped = renderFrame();
    EXPECT_LE(difference(batched, mapped), 3);
    // A tilted map really tilts the shading.
    const unsigned char tilted[3] = {230, 128, 200};
    ASSERT_TRUE(flat->write(tilted));
    std::vector<unsigned char> tilt = renderFrame();
    EXPECT_GT(difference(batched, tilt), 20);
    if (::testing::Test::HasFailure())
    {
        kxscene::savePng("forward_batched", batched);
        kxscene::savePng("forward_tessellated", tessellated);
        kxscene::savePng("forward_mapped", mapped);
    }
}

TEST_F(Forward, TwoLightsTwoPasses)
{
    KxMesh* square = kxscene::makeSquare(8.0f);
    square->setTranslation(0.0f, 0.0f, -5.0f);
    square->link(root);
    KxMaterial* white = new KxMaterial;
    white->setAlbedo(0.9f, 0.9f, 0.9f);
    square->setMaterial(white);
    addLight(glm::vec3(1.0f, 0.0f, -4.0f), glm::vec3(3.0f, 0.2f, 0.2f), 3.0f);
    addLight(glm::vec3(-1.0f, 0.0f, -4.0f), glm::vec3(0.2f, 0.2f, 3.0f), 3.0f);
    unsigned int slot = list->getRedundancyIndex();
    uint64_t lights = KxStats::get(KxStats::LIGHT_RENDER);
    std::vector<unsigned char> pixels = renderFrame();
    // Each pass uploads both lights and advances the list's buffer slot.
    EXPECT_EQ(KxStats::get(KxStats::LIGHT_RENDER) - lights, 4u);
    EXPECT_EQ(list->getRedundancyIndex(), (slot + 2) % KxList::MAX_REDUNDANCY);
    const unsigned char* right = kxscene::pixel(pixels, Kalvex::getWindowSizeX() * 3 / 4, Kalvex::getWindowSizeY() / 2);
    const unsigned char* left = kxscene::pixel(pixels, Kalvex::getWindowSizeX() / 4, Kalvex::getWindowSizeY() / 2);
    EXPECT_GT(right[0], right[2] + 30);
    EXPECT_GT(left[2], left[0] + 30);
    if (::testing::Test::HasFailure())
        kxscene::savePng("forward_two_lights", pixels);
    EXPECT_FALSE(KxOpenGL::isBlending());
    EXPECT_FALSE(KxOpenGL::isCulling());
}

TEST_F(Forward, AntiAliasingResolvesToTheSameInterior)
{
    KxMesh* square = kxscene::makeSquare(8.0f);
    square->setTranslation(0.0f, 0.0f, -5.0f);
    square->link(root);
    KxMesh* sphere = kxscene::makeSphere(12, 16);
    sphere->setTranslation(0.0f, 0.0f, -3.0f);
    sphere->setRadius(0.5f);
    sphere->link(root);
    addLight(glm::vec3(0.5f, 0.5f, -1.0f), glm::vec3(1.0f), 8.0f);
    std::vector<unsigned char> plain = renderFrame();
    forward->setAntiAliasing(true);
    std::vector<unsigned char> resolved = renderFrame();
    forward->setAntiAliasing(false);
    // Away from the sphere's outline the two agree; on it, the resolve blends.
    int interiorDifferences = 0, edgeBlends = 0;
    const int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column)
        {
            size_t i = (static_cast<size_t>(row) * w + column) * 4;
            float dx = column + 0.5f - w / 2.0f, dy = row + 0.5f - h / 2.0f;
            float fromCentre = std::sqrt(dx * dx + dy * dy);
            int d = std::abs(plain[i] - resolved[i]) + std::abs(plain[i + 1] - resolved[i + 1]);
            // The sphere's outline is 102 pixels from the centre.
            if (std::fabs(fromCentre - 102.4f) > 4.0f)
                interiorDifferences += d > 4;
            else
                edgeBlends += d > 4;
        }
    EXPECT_EQ(interiorDifferences, 0);
    if (Kalvex::getNrOfAASamples() > 1)
    {
        EXPECT_GT(edgeBlends, 0);
    }
    if (::testing::Test::HasFailure())
    {
        kxscene::savePng("forward_plain", plain);
        kxscene::savePng("forward_resolved", resolved);
    }
}

TEST_F(Forward, CallerFramebufferReceivesTheImage)
{
    KxMesh* square = kxscene::makeSquare(8.0f);
    square->setTranslation(0.0f, 0.0f, -5.0f);
    square->link(root);
    addLight(glm::vec3(0.0f, 0.0f, -4.0f), glm::vec3(0.9f, 0.6f, 0.3f), 3.0f);

    KxTexture* color = new KxTexture;
    ASSERT_TRUE(color->create(5, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), 1));
    KxFbo* fbo = new KxFbo;
    fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color);
    ASSERT_TRUE(fbo->isOk());
    KxFbo::resetCache();
    for (bool postProc : {true, false})
    {
        forward->postProc(postProc);
        std::vector<unsigned char> shown = renderFrame();
        // The window is cleared to white first: it must stay so.
        KxFbo::resetCache();
        glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
        KxOpenGL::setBackgroundColor(1, 1, 1, 1);
        KxOpenGL::clear(true, false, false);
        std::vector<unsigned char> window = renderFrame(fbo);
        EXPECT_EQ(window[0], 255);
        EXPECT_EQ(window[window.size() / 2], 255);
        std::vector<float> texels(static_cast<size_t>(Kalvex::getWindowSizeX()) * Kalvex::getWindowSizeY() * 4);
        glGetTextureImage(color->getHandle(), 0, GL_RGBA, GL_FLOAT, static_cast<GLsizei>(texels.size() * 4), texels.data());
        // The texture's rows run bottom-up, the window's read-back top-down.
        int wrong = 0;
        for (int row = 0; row < Kalvex::getWindowSizeY(); row += 7)
            for (int column = 0; column < Kalvex::getWindowSizeX(); column += 7)
                for (int c = 0; c < 3; ++c)
                {
                    float texel = texels[(static_cast<size_t>(Kalvex::getWindowSizeY() - 1 - row) * Kalvex::getWindowSizeX() + column) * 4 + c];
                    int expected = kxscene::pixel(shown, column, row)[c];
                    wrong += std::abs(static_cast<int>(std::lround(std::min(texel, 1.0f) * 255.0f)) - expected) > 1;
                }
        EXPECT_EQ(wrong, 0) << postProc;
    }
}

// With post-processing on, the frame goes through the pipeline's filter and
// what is shown is the filter's output.
TEST_F(Forward, PostProcessingShowsTheFilteredImage)
{
    KxMesh* square = kxscene::makeSquare(8.0f);
    square->setTranslation(0.0f, 0.0f, -5.0f);
    square->link(root);
    addLight(glm::vec3(0.0f, 0.0f, -4.0f), glm::vec3(0.9f, 0.6f, 0.3f), 3.0f);
    std::vector<unsigned char> raw = renderFrame();
    KxPostProc* filter = static_cast<KxPostProc*>(forward->getPostProcFilter());
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->getSubtype(), KxFilter::KIND_POSTPROC);
    EXPECT_TRUE(filter->isBloom());
    EXPECT_EQ(filter->getTexture()->getSizeX(), static_cast<unsigned int>(Kalvex::getWindowSizeX()));

    forward->postProc(true);
    uint64_t filtered = KxStats::get(KxStats::FILTER_RENDER);
    std::vector<unsigned char> shown = renderFrame();
    EXPECT_EQ(KxStats::get(KxStats::FILTER_RENDER), filtered + 1);
    EXPECT_GT(difference(raw, shown), 10); // tone mapping and glow change the image
    // The window shows the filter's output texture, upright.
    std::vector<unsigned char> output(shown.size());
    glGetTextureImage(filter->getTexture()->getHandle(), 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(output.size()),
                      output.data());
    const int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    int wrong = 0;
    for (int row = 0; row < h; row += 5)
        for (int column = 0; column < w; column += 5)
            for (int c = 0; c < 3; ++c)
                wrong += std::abs(static_cast<int>(output[(static_cast<size_t>(h - 1 - row) * w + column) * 4 + c]) -
                                  static_cast<int>(kxscene::pixel(shown, column, row)[c])) > 1;
    EXPECT_EQ(wrong, 0);
}

TEST_F(Forward, OrthographicCameraDrawsTheListOnceWithoutClearing)
{
    KxCamera* flat = new KxCamera; // orthographic, pixels, origin at the top left
    KxMesh* square = kxscene::makeSquare(20.0f);
    square->setTranslation(100.0f, 100.0f, -0.5f);
    square->rotateX(180.0f); // pixel space runs y-down: turned, its front faces the camera
    square->link(root);
    KxMaterial* material = new KxMaterial;
    material->setEmission(0.0f, 1.0f, 0.0f);
    square->setMaterial(material);
    addLight(glm::vec3(0.0f), glm::vec3(0.0f), 1.0f);
    KxFbo::resetCache();
    glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    KxOpenGL::setBackgroundColor(1, 0, 0, 1);
    KxOpenGL::clear(true, true, false);
    list->reset();
    ASSERT_TRUE(list->pass(root));
    uint64_t lights = KxStats::get(KxStats::LIGHT_RENDER);
    ASSERT_TRUE(Kalvex::render(flat, list, nullptr));
    EXPECT_EQ(KxStats::get(KxStats::LIGHT_RENDER) - lights, 1u);
    std::vector<unsigned char> pixels = kxscene::window();
    const unsigned char* inside = kxscene::pixel(pixels, 100, 100);
    const unsigned char* outside = kxscene::pixel(pixels, 10, 10);
    EXPECT_EQ(inside[1], 255);
    EXPECT_EQ(outside[0], 255); // not cleared
    EXPECT_EQ(outside[1], 0);
}

// Squares of one batch with different albedo maps, in mixed order: in the
// bound-texture mode the batch is drawn one multi-draw per material with
// maps (plain materials together), each with its material's maps bound.
// Every square looks as it does drawn alone, in its own map's colour.
TEST_F(Forward, EachMaterialShowsItsOwnMap)
{
    auto mapped = [](unsigned char r, unsigned char g, unsigned char b) {
        KxTexture* map = makeMap({r, g, b, 255, r, g, b, 255, r, g, b, 255, r, g, b, 255});
        KxMaterial* material = new KxMaterial;
        material->setAlbedo(1.0f, 1.0f, 1.0f);
        EXPECT_TRUE(material->setTexture(map, KxMaterial::SLOT_ALBEDO));
        return material;
    };
    KxMaterial* red = mapped(255, 0, 0);
    KxMaterial* green = mapped(0, 255, 0);
    KxMaterial* plainBlue = new KxMaterial;
    plainBlue->setAlbedo(0.0f, 0.0f, 1.0f);
    KxMaterial* order[4] = {red, plainBlue, green, red};
    KxMesh* squares[4];
    for (int i = 0; i < 4; ++i)
    {
        squares[i] = kxscene::makeSquare(0.3f);
        squares[i]->setTranslation(-1.2f + 0.8f * i, 0.0f, -4.0f);
        squares[i]->setMaterial(order[i]);
        squares[i]->link(root);
    }
    KxLight* light = addLight(glm::vec3(0.0f, 0.0f, 0.0f), glm::vec3(1.0f), 20.0f);
    light->setCastShadows(false);
    KxStats::reset();
    std::vector<unsigned char> together = renderFrame();
    // Opaque batch: plain, red and green apart (bound mode), else one draw.
    unsigned int draws = Kalvex::usesBindlessTextures() ? 1u : 3u;
    EXPECT_EQ(KxStats::get(KxStats::DRAW_CALL), draws);

    const int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    const int dominant[4] = {0, 2, 1, 0};
    for (int i = 0; i < 4; ++i)
    {
        // One unit at this distance spans about 75 pixels.
        int centre = w / 2 + static_cast<int>((-1.2f + 0.8f * i) * 75.0f);
        const unsigned char* p = kxscene::pixel(together, centre, h / 2);
        int c = dominant[i];
        EXPECT_GT(p[c], p[(c + 1) % 3] + 60) << "square " << i;
        EXPECT_GT(p[c], p[(c + 2) % 3] + 60) << "square " << i;
        for (int j = 0; j < 4; ++j)
            squares[j]->setVisible(j == i);
        std::vector<unsigned char> alone = renderFrame();
        for (int row = h / 2 - 20; row <= h / 2 + 20; row += 4)
            for (int column = centre - 20; column <= centre + 20; column += 4)
                for (int channel = 0; channel < 3; ++channel)
                    ASSERT_EQ(kxscene::pixel(alone, column, row)[channel], kxscene::pixel(together, column, row)[channel])
                        << "square " << i << " at " << column << ", " << row;
        for (KxMesh* square : squares)
            square->setVisible(true);
    }
    if (HasFailure())
        kxscene::savePng("forward_materials", together);
}

TEST_F(Forward, DepthPrePassGivesTheSamePicture)
{
    // A far square half hidden behind a near one: the light passes overdraw
    // without the pre-pass.
    KxMesh* far = kxscene::makeSquare(8.0f);
    far->setTranslation(0.0f, 0.0f, -6.0f);
    far->link(root);
    KxMesh* near = kxscene::makeSquare(3.0f);
    near->setTranslation(0.8f, 0.0f, -4.0f);
    near->link(root);
    KxMaterial* material = new KxMaterial;
    material->setAlbedo(0.7f, 0.6f, 0.5f);
    material->setRoughness(0.4f);
    near->setMaterial(material);
    addLight(glm::vec3(1.0f, 0.5f, -3.0f), glm::vec3(2.0f, 0.5f, 0.3f), 6.0f);
    addLight(glm::vec3(-1.5f, -0.5f, -3.5f), glm::vec3(0.3f, 0.4f, 2.0f), 6.0f);
    KxDefaultRendering* pipeline = static_cast<KxDefaultRendering*>(forward);
    std::vector<unsigned char> without = renderFrame();
    ASSERT_TRUE(pipeline->setDepthPrePass(true));
    std::vector<unsigned char> with = renderFrame();
    pipeline->setDepthPrePass(false);
    EXPECT_EQ(difference(without, with), 0);
    const unsigned char* centre = kxscene::pixel(with, Kalvex::getWindowSizeX() / 2, Kalvex::getWindowSizeY() / 2);
    EXPECT_GT(centre[0] + centre[1] + centre[2], 60); // lit, not cleared
    if (::testing::Test::HasFailure())
    {
        kxscene::savePng("forward_prepass_without", without);
        kxscene::savePng("forward_prepass_with", with);
    }
}

// The list's commands name each draw's record as their base instance, which
// vertex stages then read as instance attributes. Commands written by hand
// with base instance 0 must still find their records (through list[]). In
// bound mode the list also draws these map-less materials with the mesh
// program's no-maps variant (records as attributes only), the hand-written
// batch with the program itself: the same pixels from both.
TEST_F(Forward, CommandsWithoutBaseInstanceDrawTheSamePicture)
{
    for (int i = 0; i < 3; ++i)
    {
        KxMesh* sphere = kxscene::makeSphere(8, 12);
        sphere->setTranslation(-1.5f + 1.5f * i, 0.3f * i, -5.0f);
        sphere->rotateY(40.0f * i);
        KxMaterial* material = new KxMaterial;
        material->setAlbedo(0.3f * i, 0.8f, 1.0f - 0.3f * i);
        sphere->setMaterial(material);
        sphere->link(root);
    }
    addLight(glm::vec3(0.0f, 2.0f, -3.0f), glm::vec3(1.5f), 12.0f)->setCastShadows(false);
    renderFrame(); // the pipeline and light set up; the list then filled again
    ASSERT_TRUE(list->update(glm::mat4(1.0f))); // the camera sits at the origin

    auto drawn = [](const std::function<void()>& draw) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        draw();
        return kxscene::window();
    };
    std::vector<unsigned char> byList = drawn([&] { EXPECT_TRUE(list->renderByType(0, false)); });
    unsigned int count = list->getBatchCount(0);
    ASSERT_EQ(count, 3u);
    GLint listCommands = 0;
    glGetIntegerv(GL_DRAW_INDIRECT_BUFFER_BINDING, &listCommands);
    std::vector<uint32_t> commands(count * KxList::SIZEOF_COMMAND / 4);
    glGetNamedBufferSubData(static_cast<GLuint>(listCommands), 0, count * KxList::SIZEOF_COMMAND, commands.data());
    EXPECT_EQ(commands[4 + 5], 1u); // the second draw's base instance
    for (unsigned int i = 0; i < count; ++i)
        commands[i * 5 + 4] = 0;
    KxBuffer handWritten;
    ASSERT_TRUE(handWritten.create(KxBuffer::TYPE_STORAGE_WRITE, count * KxList::SIZEOF_COMMAND, commands.data()));
    std::vector<unsigned char> byHand = drawn([&] {
        EXPECT_TRUE(KxMesh::renderBatch(count, &handWritten, KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES,
                                        KxPipeline::FLAGS_OPAQUE_BATCH));
    });
    EXPECT_EQ(difference(byList, byHand), 0);
    int lit = 0;
    for (size_t i = 0; i < byList.size(); i += 4)
        lit += byList[i + 1] > 40;
    EXPECT_GT(lit, 300); // the three spheres, not an empty frame
    if (HasFailure())
    {
        kxscene::savePng("forward_commands_by_list", byList);
        kxscene::savePng("forward_commands_by_hand", byHand);
    }
}

// Bound mode draws materials that need fewer maps with lit programs that read
// fewer (none; the albedo map alone), and lights without a cone with programs
// that have no cone code. A frame with a map of each kind, under a point
// light and a spot light, is the same with the map variants as without.
TEST_F(Forward, MapVariantsDrawTheSamePicture)
{
    auto map = [](unsigned char r, unsigned char g, unsigned char b) {
        return makeMap({r, g, b, 255, g, b, r, 255, b, r, g, 255, r, r, b, 255});
    };
    KxMaterial* materials[3] = {new KxMaterial, new KxMaterial, new KxMaterial};
    materials[0]->setAlbedo(0.9f, 0.5f, 0.2f); // no maps
    materials[1]->setTexture(map(250, 120, 30), KxMaterial::SLOT_ALBEDO);
    materials[2]->setTexture(map(40, 200, 90), KxMaterial::SLOT_ALBEDO);
    materials[2]->setTexture(map(90, 160, 250), KxMaterial::SLOT_ROUGHNESS);
    for (int i = 0; i < 6; ++i)
    {
        KxMesh* sphere = kxscene::makeSphere(10, 14);
        sphere->setTranslation(-2.0f + 0.8f * i, 0.4f * (i % 2), -5.0f);
        materials[i % 3]->setMetalness(0.3f * (i % 3));
        sphere->setMaterial(materials[i % 3]);
        sphere->link(root);
    }
    addLight(glm::vec3(-1.0f, 2.0f, -3.0f), glm::vec3(1.2f), 12.0f)->setCastShadows(false);
    KxLight* spot = addLight(glm::vec3(1.0f, 1.0f, -2.0f), glm::vec3(0.8f, 0.6f, 0.4f), 12.0f);
    spot->setCastShadows(false);
    spot->setDirection(glm::vec3(0.0f, -0.3f, -1.0f));
    spot->setCutoff(30.0f);
    spot->setSpotExponent(2.0f);

    std::vector<unsigned char> withVariants = renderFrame();
    kx::setMapVariantsEnabled(false);
    std::vector<unsigned char> without = renderFrame();
    kx::setMapVariantsEnabled(true);
    EXPECT_EQ(difference(withVariants, without), 0);
    int lit = 0;
    for (size_t i = 0; i < without.size(); i += 4)
        lit += without[i] + without[i + 1] + without[i + 2] > 60;
    EXPECT_GT(lit, 2000); // the spheres, not an empty frame
    if (HasFailure())
    {
        kxscene::savePng("forward_map_variants_with", withVariants);
        kxscene::savePng("forward_map_variants_without", without);
    }
}
