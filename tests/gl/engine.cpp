// Engine start and stop, frame timing and the facade's guards.
#include "kxtest.h"

#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{
KxConfig smallWindow()
{
    KxConfig config;
    config.setWindowSizeX(160);
    config.setWindowSizeY(120);
    return config;
}
}

TEST(Engine, StartsAndStopsRepeatedlyWithoutLeaks)
{
    KxConfig config = smallWindow();
    int firstProbeId = -1;
    for (int round = 0; round < 20; ++round)
    {
        ASSERT_TRUE(Kalvex::init(config, true)) << "round " << round;
        EXPECT_TRUE(Kalvex::isInitialized());
        // The engine's own objects take the same identifiers every time, so a
        // client object does too: nothing leaked from the last round.
        KxObject* probe = new KxObject;
        if (round == 0)
            firstProbeId = probe->getId();
        EXPECT_EQ(probe->getId(), firstProbeId) << "round " << round;
        EXPECT_EQ(KxObject::getFirst()->getId(), 0);
        new KxNode; // left for the shutdown to delete
        ASSERT_TRUE(Kalvex::free());
        EXPECT_FALSE(Kalvex::isInitialized());
        EXPECT_EQ(KxObject::getFirst(), nullptr);
    }
    EXPECT_EQ(kxtest::countLogLines("Parity is wrong"), 0);
    EXPECT_EQ(kxtest::countLogLines("[>] Kalvex 3D Graphics Engine v0.7r is up"), 20);
    EXPECT_EQ(kxtest::countLogLines("[<] Kalvex 3D Graphics Engine v0.7r is down"), 20);
}

TEST(Engine, SecondInitAndRedundantFree)
{
    KxConfig config = smallWindow();
    ASSERT_TRUE(Kalvex::init(config, true));
    KxNode* node = new KxNode;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::init(config, true));
    EXPECT_EQ(kxtest::countLogLines("Already initialized", mark), 1);
    // The running engine is untouched.
    EXPECT_TRUE(Kalvex::isInitialized());
    EXPECT_EQ(KxObject::findByName(node->getName()), node);
    EXPECT_TRUE(Kalvex::swap(true));
    ASSERT_TRUE(Kalvex::free());
    mark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::free());
    EXPECT_EQ(kxtest::countLogLines("[!]", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Redundant free", mark), 1);
}

TEST(Engine, StartLogHasTheFixedLines)
{
    size_t mark = kxtest::readLog().size();
    KxConfig config = smallWindow();
    ASSERT_TRUE(Kalvex::init(config, true));
    ASSERT_TRUE(Kalvex::free());
    std::vector<std::string> lines = kxtest::readLog();
    auto has = [&](const std::string& prefix) {
        for (size_t i = mark; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0)
                return true;
        return false;
    };
    for (const char* prefix :
         {"   Using GLM v0.9.9.0", "   Using GLFW v3.", "1 display(s) found:", "   0) ", "OpenGL properties:",
          "   Vendor . . . :  ", "   Driver . . . :  ", "   Version  . . :  ", "   GLSL . . . . :  ", "   Extensions . :  ",
          "   Block size . :  ", "   Max blocks . :  ", "   Max uniforms :  ", "   Using GLEW v", "   Ready for OpenGL 4.5 core",
          "   Init OpenGL...", "   Max. MSAA    :  ", "   Init other modules...", "[>] Kalvex 3D Graphics Engine v0.7r is up",
          "[<] Kalvex 3D Graphics Engine v0.7r is down"})
        EXPECT_TRUE(has(prefix)) << prefix;
    // Nothing of the unwritten levels reaches the file.
    for (size_t i = mark; i < lines.size(); ++i)
    {
        EXPECT_NE(lines[i].rfind("[D]", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].rfind("[*]", 0), 0u) << lines[i];
    }
    if (!Kalvex::usesBindlessTextures())
    {
        EXPECT_TRUE(has("[?] [Kalvex::init] GL_ARB_bindless_texture not supported, using bound texture units"));
    }
}

TEST(Engine, AntiAliasingIsCappedByTheDriver)
{
    KxConfig config = smallWindow();
    config.setNrOfAASamples(64);
    ASSERT_TRUE(Kalvex::init(config, true));
    int samples = Kalvex::getNrOfAASamples();
    EXPECT_GE(samples, 1);
    EXPECT_LT(samples, 64);
    ASSERT_TRUE(Kalvex::free());

    config.setNrOfAASamples(4);
    ASSERT_TRUE(Kalvex::init(config, true));
    EXPECT_EQ(Kalvex::getNrOfAASamples(), 4); // llvmpipe and real GPUs grant 4
    ASSERT_TRUE(Kalvex::free());
}

// The software preset is taken on a software rasteriser (or when asked for);
// explicit settings win over it, and anisotropy stays within the driver's limit.
TEST(Engine, QualityPresetAndItsOverrides)
{
    GLfloat driverLimit = 0.0f;
    for (int preset : {KxConfig::PRESET_AUTO, KxConfig::PRESET_SOFTWARE, KxConfig::PRESET_DEFAULT})
    {
        KxConfig config = smallWindow();
        config.setPreset(preset);
        config.setShadowFilter(1);
        size_t mark = kxtest::readLog().size();
        ASSERT_TRUE(Kalvex::init(config, true));
        glGetFloatv(GL_MAX_TEXTURE_MAX_ANISOTROPY, &driverLimit);
        std::string renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        bool software = preset == KxConfig::PRESET_SOFTWARE ||
                        (preset == KxConfig::PRESET_AUTO && renderer.find("llvmpipe") != std::string::npos);
        EXPECT_EQ(Kalvex::usesSoftwarePreset(), software) << preset;
        EXPECT_EQ(kxtest::countLogLines("using the cheaper quality preset", mark), software ? 1 : 0) << preset;
        EXPECT_EQ(Kalvex::getAnisotropy(), software ? 1 : std::min(16, static_cast<int>(driverLimit))) << preset;
        EXPECT_EQ(Kalvex::getShadowFilter(), 1u) << preset; // explicit: the preset's 4 does not apply
        EXPECT_EQ(static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2))->getShadowFilter(), 1u) << preset;
        ASSERT_TRUE(Kalvex::free());
    }
}

TEST(Engine, MissingDisplayFallsBackToPrimary)
{
    KxConfig config = smallWindow();
    config.setFullscreen(true);
    config.setDisplay(7);
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(Kalvex::init(config, true));
    EXPECT_EQ(kxtest::countLogLines("Display 7 not found, using the primary display", mark), 1);
    ASSERT_TRUE(Kalvex::free());
}

TEST(Engine, FrameTimeAndFps)
{
    KxConfig config = smallWindow();
    ASSERT_TRUE(Kalvex::init(config, true));
    EXPECT_EQ(Kalvex::getWindowSizeX(), 160);
    EXPECT_EQ(Kalvex::getWindowSizeY(), 120);
    Kalvex::swap(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(Kalvex::swap(false));
    EXPECT_NEAR(Kalvex::getLastFrameTime(), 0.02f, 0.015f);
    EXPECT_NEAR(Kalvex::getFps(), 1.0f / Kalvex::getLastFrameTime(), 0.01f);
    EXPECT_TRUE(Kalvex::processEvents());
    ASSERT_TRUE(Kalvex::free());
}

namespace
{
int keyCalls = 0;
void onKey(int, int, int, int)
{
    ++keyCalls;
}
}

TEST(Engine, CallbacksAndGamingMode)
{
    KxConfig config = smallWindow();
    ASSERT_TRUE(Kalvex::init(config, true));
    EXPECT_TRUE(Kalvex::setKeyboardCallback(onKey));
    EXPECT_TRUE(Kalvex::setMouseCursorCallback([](double, double) {}));
    EXPECT_TRUE(Kalvex::setMouseButtonCallback([](int, int, int) {}));
    EXPECT_TRUE(Kalvex::setMouseScrollCallback([](double, double) {}));
    EXPECT_TRUE(Kalvex::setGamingMode(true));
    EXPECT_TRUE(Kalvex::getGamingMode());
    EXPECT_TRUE(Kalvex::setGamingMode(false));
    EXPECT_FALSE(Kalvex::getGamingMode());
    EXPECT_TRUE(Kalvex::swap(true));
    ASSERT_TRUE(Kalvex::free());
    // Without an engine the facade refuses instead of touching a missing window.
    EXPECT_FALSE(Kalvex::swap(true));
    EXPECT_FALSE(Kalvex::setGamingMode(true));
    EXPECT_EQ(Kalvex::getWindowSizeX(), 0);
}
