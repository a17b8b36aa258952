// The demo scene written at build time: it loads with everything the
// generator put in it, and kxorender's picture of it shows the spheres as
// their materials say: the rougher the sphere, the wider and dimmer its
// highlight.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include <glm/gtc/matrix_transform.hpp>

#include "kxtest.h"
#include "kxtool.h"
#include "kxview.h"
#include "tools_support.h"

namespace
{
const std::string DEMO = DEMO_SCENE;
const int WIDTH = 960, HEIGHT = 720;

class Demo : public kxtest::EngineTest
{
protected:
    KxNode* root = nullptr;

    void SetUp() override
    {
        kxtest::EngineTest::SetUp();
        toolstest::InDirectory inside(kxtool::directoryOf(DEMO));
        ASSERT_TRUE(inside.ok());
        root = Kalvex::load(kxtool::fileNameOf(DEMO));
        ASSERT_NE(root, nullptr);
    }

    KxNode* find(const std::string& name)
    {
        KxNode* node = root->findByName(name);
        EXPECT_NE(node, nullptr) << name;
        return node;
    }
};

// One sphere's pixels: the brightest, and the share of the disc lit above
// half-way from the disc's median to that brightest value.
struct Highlight
{
    float peak = 0.0f;
    float spread = 0.0f;
};

Highlight measure(const toolstest::Image& image, const glm::vec2& centre, float radius)
{
    std::vector<float> values;
    for (int y = static_cast<int>(centre.y - radius); y <= static_cast<int>(centre.y + radius); ++y)
        for (int x = static_cast<int>(centre.x - radius); x <= static_cast<int>(centre.x + radius); ++x)
        {
            if (x < 0 || y < 0 || x >= image.width || y >= image.height ||
                glm::length(glm::vec2(x, y) - centre) > radius)
                continue;
            const unsigned char* p = image.at(x, y);
            values.push_back(0.2126f * p[0] + 0.7152f * p[1] + 0.0722f * p[2]);
        }
    Highlight result;
    if (values.empty())
        return result;
    std::vector<float> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    float median = sorted[sorted.size() / 2];
    result.peak = sorted.back();
    float threshold = median + 0.5f * (result.peak - median);
    size_t lit = std::count_if(values.begin(), values.end(), [&](float v) { return v >= threshold; });
    result.spread = static_cast<float>(lit) / static_cast<float>(values.size());
    return result;
}
}

TEST_F(Demo, HoldsWhatTheGeneratorPutInIt)
{
    KxNode* floor = find("floor");
    ASSERT_NE(floor, nullptr);
    EXPECT_EQ(floor->getType(), KxObject::TYPE_MESH);

    // Spheres from rough to smooth (left to right) and dielectric to metal
    // (bottom to top), each with its own material.
    int spheres = 0;
    for (float metalness : {0.0f, 0.5f, 1.0f})
        for (float roughness : {0.9f, 0.7f, 0.5f, 0.3f, 0.1f})
        {
            char name[64];
            std::snprintf(name, sizeof(name), "sphere_r%.1f_m%.1f", roughness, metalness);
            KxNode* node = find(name);
            ASSERT_NE(node, nullptr);
            ASSERT_EQ(node->getType(), KxObject::TYPE_MESH);
            KxMaterial* material = static_cast<KxMesh*>(node)->getMaterial();
            EXPECT_FLOAT_EQ(material->getRoughness(), roughness);
            EXPECT_FLOAT_EQ(material->getMetalness(), metalness);
            ++spheres;
        }
    EXPECT_EQ(spheres, 15);

    // The box's texture, written by the generator next to the scene.
    KxNode* box = find("textured_box");
    ASSERT_NE(box, nullptr);
    KxTexture* texture = static_cast<KxMesh*>(box)->getMaterial()->getTexture(KxMaterial::SLOT_ALBEDO);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->getName(), "demo_box.png");
    EXPECT_EQ(texture->getSizeX(), 128u);
    EXPECT_TRUE(kxtool::isRegularFile(kxtool::directoryOf(DEMO) + "/demo_box.png"));

    // A column skinned to two bones, the upper one bent.
    KxNode* column = find("bent_column");
    ASSERT_NE(column, nullptr);
    ASSERT_EQ(column->getType(), KxObject::TYPE_SKINNED);
    KxSkinned* skinned = static_cast<KxSkinned*>(column);
    ASSERT_EQ(skinned->getNrOfBones(), 2u);
    KxNode* base = find("bone_base");
    KxNode* bend = find("bone_bend");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(bend, nullptr);
    EXPECT_EQ(base->getType(), KxObject::TYPE_BONE);
    EXPECT_EQ(bend->getType(), KxObject::TYPE_BONE);
    EXPECT_EQ(bend->getParent(), base);
    EXPECT_EQ(skinned->getBone(0)->node, static_cast<KxBone*>(base));
    EXPECT_EQ(skinned->getBone(1)->node, static_cast<KxBone*>(bend));
    glm::vec3 up = glm::mat3(bend->getMatrix()) * glm::vec3(0, 1, 0);
    EXPECT_NEAR(glm::degrees(std::acos(glm::clamp(up.y, -1.0f, 1.0f))), 50.0f, 0.01f);

    // One omni light and one spot light aimed through a target node.
    KxNode* omni = find("omni_light");
    KxNode* spot = find("spot_light");
    ASSERT_NE(omni, nullptr);
    ASSERT_NE(spot, nullptr);
    ASSERT_EQ(omni->getType(), KxObject::TYPE_LIGHT);
    ASSERT_EQ(spot->getType(), KxObject::TYPE_LIGHT);
    EXPECT_EQ(omni->getSubtype(), KxLight::KIND_OMNI);
    EXPECT_EQ(spot->getSubtype(), KxLight::KIND_SPOT);
    EXPECT_GT(static_cast<KxLight*>(spot)->getSpotExponent(), 0.0f);
    ASSERT_NE(spot->getTargetNode(), nullptr);
    EXPECT_EQ(spot->getTargetNode()->getName(), "spot_target");
}

// The physics corner falls into place: balls come down onto the slab, the
// stack or the floor and stop there; the animated box turns a quarter by frame 31.
TEST_F(Demo, PhysicsCornerSettlesAndTheBoxIsAnimated)
{
    std::vector<KxNode*> balls = {find("physics_ball_0"), find("physics_ball_1"), find("physics_ball_2")};
    KxNode* bottomBox = find("physics_box_0");
    ASSERT_TRUE(balls[0] && balls[1] && balls[2] && bottomBox);
    std::vector<float> start;
    for (KxNode* ball : balls)
        start.push_back(ball->getMatrix()[3].y);
    const float step = 1.0f / 60.0f;
    for (int i = 0; i < 240; ++i)
        ASSERT_TRUE(KxPhysics::step(step, 1, step));
    for (size_t i = 0; i < balls.size(); ++i)
    {
        float y = balls[i]->getMatrix()[3].y;
        EXPECT_LT(y, start[i] - 0.2f) << balls[i]->getName();
        EXPECT_GT(y, -0.5f + 0.15f - 0.03f) << balls[i]->getName(); // on the floor at the lowest
    }
    EXPECT_NEAR(bottomBox->getMatrix()[3].y, -0.49f + 0.2f, 0.03f);

    toolstest::InDirectory inside(kxtool::directoryOf(DEMO));
    KxAnim* animation = Kalvex::loadAnimation("demo.kxa");
    ASSERT_NE(animation, nullptr);
    ASSERT_TRUE(animation->apply(root));
    EXPECT_EQ(animation->getNrOfBoundNodes(), 1u);
    animation->setKeyframe(31.0f);
    glm::mat4 expected = glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(-3.0f, 1.3f, -0.2f)),
                                     glm::radians(90.0f), glm::vec3(0, 1, 0));
    const glm::mat4& pose = find("animated_box")->getMatrix();
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_NEAR(pose[c][r], expected[c][r], 1e-5f);
    delete animation;
}

TEST_F(Demo, RougherSpheresHaveWiderDimmerHighlights)
{
    const std::string png = kxtool::absolutePath("demo.png");
    toolstest::Run result = toolstest::run(
        KXORENDER, {DEMO, png, "--size", std::to_string(WIDTH) + "x" + std::to_string(HEIGHT), "--frames", "2",
                    "--no-default-light"});
    ASSERT_EQ(result.status, 0) << result.output;
    toolstest::Image image;
    ASSERT_TRUE(image.load(png));
    ASSERT_EQ(image.width, WIDTH);
    toolstest::Coverage drawn = toolstest::coverage(image);
    EXPECT_GT(drawn.share, 0.2);
    EXPECT_GT(drawn.colours, 10);

    // Where kxorender's camera sees each sphere.
    root->setIdentity();
    kxtool::SceneBox box = kxtool::measureScene();
    kxtool::ViewRig rig = kxtool::makeViewRig(box, false, WIDTH, HEIGHT);
    kxtool::poseRoot(root, rig.framing);
    glm::mat4 projection = glm::perspective(glm::radians(rig.camera->getAngleOfView()),
                                            static_cast<float>(WIDTH) / HEIGHT, rig.camera->getNearPlane(),
                                            rig.camera->getFarPlane());
    glm::mat4 view = glm::inverse(rig.camera->getFinalMatrix(nullptr));
    auto project = [&](const glm::vec3& world) {
        glm::vec4 clip = projection * view * glm::vec4(world, 1.0f);
        glm::vec2 ndc = glm::vec2(clip) / clip.w;
        return glm::vec2((ndc.x * 0.5f + 0.5f) * WIDTH, (0.5f - ndc.y * 0.5f) * HEIGHT);
    };

    for (float metalness : {0.0f, 0.5f})
    {
        std::vector<Highlight> row;
        for (float roughness : {0.1f, 0.3f, 0.5f, 0.7f, 0.9f})
        {
            char name[64];
            std::snprintf(name, sizeof(name), "sphere_r%.1f_m%.1f", roughness, metalness);
            KxMesh* sphere = static_cast<KxMesh*>(root->findByName(name));
            ASSERT_NE(sphere, nullptr);
            glm::mat4 world = sphere->getFinalMatrix(nullptr);
            glm::vec2 centre = project(glm::vec3(world[3]));
            glm::vec3 side = glm::vec3(world[3]) + sphere->getRadius() * glm::vec3(glm::inverse(view)[0]);
            float radius = glm::length(project(side) - centre) * 0.9f;
            ASSERT_GT(radius, 10.0f);
            row.push_back(measure(image, centre, radius));
            std::printf("%s at (%.0f, %.0f) r %.0f: peak %.0f, spread %.3f\n", name, centre.x, centre.y, radius,
                        row.back().peak, row.back().spread);
        }
        // Smooth to rough: the peak falls and the highlight widens.
        for (size_t i = 1; i < row.size(); ++i)
            EXPECT_LE(row[i].peak, row[i - 1].peak + 2.0f) << "metalness " << metalness << ", column " << i;
        EXPECT_GT(row.front().peak, row.back().peak + 20.0f) << "metalness " << metalness;
        EXPECT_GT(row.back().spread, 3.0f * row.front().spread) << "metalness " << metalness;
    }
}

// Without a display, kxorender starts a private X server of its own.
TEST(DemoWithoutDisplay, RendersUnderItsOwnServer)
{
    const std::string png = kxtool::absolutePath("no_display.png");
    toolstest::Run result = toolstest::run("env", {"-u", "DISPLAY", KXORENDER, DEMO, png, "--size", "96x72"});
    ASSERT_EQ(result.status, 0) << result.output;
    toolstest::Image image;
    ASSERT_TRUE(image.load(png));
    EXPECT_EQ(image.width, 96);
    EXPECT_GT(toolstest::coverage(image).share, 0.2);
}

// The deferred and hybrid pipelines draw the demo too: the same scene, the
// glass panes blended over the spheres by the deferred one.
TEST(DemoPipelines, DeferredAndHybridRenderTheDemo)
{
    for (const char* pipeline : {"deferred", "hybrid"})
    {
        const std::string png = kxtool::absolutePath(std::string("demo_") + pipeline + ".png");
        toolstest::Run result =
            toolstest::run(KXORENDER, {DEMO, png, "--size", "160x120", "--pipeline", pipeline, "--ssao"});
        ASSERT_EQ(result.status, 0) << result.output;
        toolstest::Image image;
        ASSERT_TRUE(image.load(png));
        EXPECT_GT(toolstest::coverage(image).share, 0.2) << pipeline;
        EXPECT_GT(toolstest::coverage(image).colours, 10) << pipeline;
    }
    toolstest::Run bad = toolstest::run(KXORENDER, {DEMO, "bad.png", "--pipeline", "sideways"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("unknown pipeline"), std::string::npos);
}

// Turned to where the rasteriser's anisotropic sampling once spun for minutes
// on the demo's grazing floor: under the software preset the frame completes
// well within the watchdog's limit.
TEST(DemoTurned, GrazingViewDrawsWithinTheFrameLimit)
{
    const std::string png = kxtool::absolutePath("demo_turned.png");
    toolstest::Run result =
        toolstest::run(KXORENDER, {DEMO, png, "--size", "640x480", "--turn", "251,20", "--frame-limit", "60"});
    ASSERT_EQ(result.status, 0) << result.output;
    toolstest::Image image;
    ASSERT_TRUE(image.load(png));
    EXPECT_GT(toolstest::coverage(image).share, 0.1);
    EXPECT_EQ(toolstest::run(KXORENDER, {DEMO, png, "--turn", "251"}).status, 1);
}
