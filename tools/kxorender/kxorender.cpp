// kxorender: renders a KXO scene to a PNG without user interaction.
//
//   kxorender SCENE.kxo OUTPUT.png [--size WxH] [--frames N] [--pipeline forward|deferred|hybrid]
//             [--ssao] [--turn Y,X] [--no-default-light] [--frame-limit SECONDS] [--verbose]
//
// The scene is framed as the viewer frames it when it opens a file (whole,
// for any picture shape), lit by its own lights and the viewer's default
// light, and drawn N times; before each frame physics and the scene's
// animation (SCENE.kxa beside SCENE.kxo, when there is one) advance by one
// 60 Hz frame. The last frame is read back and written. Without a display it
// starts a private Xvfb.
//
// Exit codes: 0 written, 1 bad arguments, 2 the scene did not load, 3 no
// display or the engine did not start, 4 the image could not be written, 5 a
// frame took longer than the frame limit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <csignal>
#include <unistd.h>

#include <kalvex.h>

#include "kxtool.h"
#include "kxview.h"

namespace
{
const char* const USAGE =
    "usage: kxorender SCENE.kxo OUTPUT.png [--size WxH] [--frames N] [--pipeline forward|deferred|hybrid]\n"
    "                 [--ssao] [--turn Y,X] [--no-default-light] [--frame-limit SECONDS] [--verbose]\n"
    "  --size WxH          image size, default 640x480 (1 to 4096 each)\n"
    "  --frames N          frames drawn before the last one is kept, default 2; physics and\n"
    "                      the scene's animation (SCENE.kxa) advance one frame before each\n"
    "  --pipeline NAME     rendering pipeline: forward (the default), deferred or hybrid\n"
    "  --ssao              ambient occlusion (deferred and hybrid pipelines)\n"
    "  --turn Y,X          turns the scene Y degrees about the vertical and X about the\n"
    "                      horizontal axis, as dragging in the viewer does; default 0,20,\n"
    "                      the view the viewer opens with\n"
    "  --no-default-light  only the scene's own lights (the viewer adds one at the camera)\n"
    "  --frame-limit S     give up (exit 5) when a frame takes longer than S seconds,\n"
    "                      default 60, 0 for no limit\n"
    "  --verbose           show the engine's log lines\n";

struct Options
{
    std::string scene;
    std::string output;
    int width = 640;
    int height = 480;
    int frames = 2;
    int pipeline = 2;
    bool ssao = false;
    float turnY = 0.0f, turnX = 20.0f; // the viewer's opening view
    bool defaultLight = true;
    int frameLimit = 60;
    bool verbose = false;
};

// The frame watchdog: a frame the driver never finishes must not hang a batch
// job. Only async-signal-safe calls in the handler; the private X server goes
// with the program.
pid_t watchdogServer = -1;

extern "C" void onFrameTimeout(int)
{
    static const char text[] = "kxorender: a frame took longer than the frame limit (--frame-limit); giving up\n";
    ssize_t written = write(STDERR_FILENO, text, sizeof(text) - 1);
    (void)written;
    if (watchdogServer > 0)
        kill(watchdogServer, SIGTERM);
    _exit(5);
}

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end || parsed < -2147483647L || parsed > 2147483647L)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parseSize(const std::string& text, int& width, int& height)
{
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return false;
    return parseInt(text.substr(0, x).c_str(), width) && parseInt(text.substr(x + 1).c_str(), height) && width >= 1 &&
           height >= 1 && width <= KxDefaultRendering::MAX_WINDOWSIZEX && height <= KxDefaultRendering::MAX_WINDOWSIZEY;
}

// Returns 0 when the options are complete, else the exit code.
int parseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i)
    {
        std::string argument = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc)
            {
                std::fprintf(stderr, "kxorender: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (argument == "--help" || argument == "-h")
        {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        else if (argument == "--size")
        {
            const char* text = value("--size");
            if (!text)
                return 1;
            if (!parseSize(text, options.width, options.height))
            {
                std::fprintf(stderr, "kxorender: bad size '%s' (expected WxH, 1 to 4096 each)\n", text);
                return 1;
            }
        }
        else if (argument == "--frames")
        {
            const char* text = value("--frames");
            if (!text)
                return 1;
            if (!parseInt(text, options.frames) || options.frames < 1 || options.frames > 10000)
            {
                std::fprintf(stderr, "kxorender: bad frame count '%s' (1 to 10000)\n", text);
                return 1;
            }
        }
        else if (argument == "--turn")
        {
            const char* text = value("--turn");
            if (!text)
                return 1;
            char* end = nullptr;
            options.turnY = std::strtof(text, &end);
            bool good = end != text && *end == ',';
            const char* second = good ? end + 1 : text;
            options.turnX = std::strtof(second, &end);
            if (!good || end == second || *end || !std::isfinite(options.turnY) || !std::isfinite(options.turnX))
            {
                std::fprintf(stderr, "kxorender: bad turn '%s' (degrees Y,X)\n", text);
                return 1;
            }
        }
        else if (argument == "--pipeline")
        {
            const char* text = value("--pipeline");
            if (!text)
                return 1;
            const char* const names[] = {"forward", "deferred", "hybrid"};
            options.pipeline = 0;
            for (int id = 0; id < 3; ++id)
                if (std::strcmp(text, names[id]) == 0)
                    options.pipeline = 2 + id;
            if (!options.pipeline)
            {
                std::fprintf(stderr, "kxorender: unknown pipeline '%s' (available: forward, deferred, hybrid)\n", text);
                return 1;
            }
        }
        else if (argument == "--ssao")
            options.ssao = true;
        else if (argument == "--no-default-light")
            options.defaultLight = false;
        else if (argument == "--frame-limit")
        {
            const char* text = value("--frame-limit");
            if (!text || !parseInt(text, options.frameLimit) || options.frameLimit < 0)
            {
                std::fprintf(stderr, "kxorender: --frame-limit wants whole seconds, 0 or more\n%s", USAGE);
                return 1;
            }
        }
        else if (argument == "--verbose")
            options.verbose = true;
        else if (argument.size() > 1 && argument[0] == '-')
        {
            std::fprintf(stderr, "kxorender: unknown option '%s'\n%s", argument.c_str(), USAGE);
            return 1;
        }
        else
            positional.push_back(argument);
    }
    if (positional.size() != 2)
    {
        std::fputs(USAGE, stderr);
        return 1;
    }
    options.scene = positional[0];
    options.output = positional[1];
    return 0;
}

unsigned int countNodes(KxNode* node)
{
    unsigned int count = 1;
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        count += countNodes(node->getChild(i));
    return count;
}

void printEngineErrors(const std::string& logPath, size_t mark)
{
    for (const std::string& line : kxtool::logErrors(logPath, mark))
        std::fprintf(stderr, "  engine: %s\n", line.c_str());
}

// SCENE.kxa beside the scene (in the working directory), bound and at frame 1.
KxAnim* loadSceneAnimation(const std::string& sceneFileName, KxNode* root)
{
    std::string name = sceneFileName.substr(0, sceneFileName.size() - kxtool::extensionOf(sceneFileName).size()) + ".kxa";
    std::FILE* probe = std::fopen(name.c_str(), "rb");
    if (!probe)
        return nullptr;
    std::fclose(probe);
    KxAnim* animation = Kalvex::loadAnimation(name);
    if (!animation)
    {
        std::fprintf(stderr, "kxorender: warning: '%s' is not a readable animation\n", name.c_str());
        return nullptr;
    }
    animation->apply(root);
    animation->resetPose();
    return animation;
}

// One frame of simulated time: physics at 60 Hz, the animation by one frame
// (back to frame 1 at its end).
void advanceFrame(KxAnim* animation)
{
    const float step = 1.0f / 60.0f;
    KxPhysics::step(step, 1, step);
    if (animation)
        animation->nextFrame();
}

int render(const Options& options)
{
    const std::string scenePath = kxtool::absolutePath(options.scene);
    const std::string outputPath = kxtool::absolutePath(options.output);
    if (!kxtool::isRegularFile(scenePath))
    {
        std::fprintf(stderr, "kxorender: cannot read '%s': %s\n", options.scene.c_str(),
                     kxtool::isDirectory(scenePath) ? "a directory" : "no such file");
        return 2;
    }
    if (!kxtool::isDirectory(kxtool::directoryOf(outputPath)))
    {
        std::fprintf(stderr, "kxorender: cannot write '%s': no such directory\n", options.output.c_str());
        return 4;
    }

    kxtool::PrivateDisplay display;
    std::string error;
    if (!display.ensure(options.width, options.height, error))
    {
        std::fprintf(stderr, "kxorender: %s\n", error.c_str());
        return 3;
    }

    const std::string logPath = kxtool::absolutePath("kalvex.log");
    KxConfig config;
    config.setWindowTitle("kxorender");
    config.setWindowSizeX(options.width);
    config.setWindowSizeY(options.height);
    bool started;
    {
        kxtool::QuietStdout quiet(!options.verbose);
        started = Kalvex::init(config, true);
        // The reduced start loads the forward pipeline only: the chosen one is loaded here.
        if (started && options.pipeline != 2 && !Kalvex::getPipeline(options.pipeline)->load(nullptr))
        {
            Kalvex::free();
            started = false;
        }
    }
    if (!started)
    {
        std::fprintf(stderr, "kxorender: the engine did not start (it needs OpenGL 4.5 core); see %s\n",
                     logPath.c_str());
        printEngineErrors(logPath, 0);
        return 3;
    }
    if (Kalvex::getWindowSizeX() != options.width || Kalvex::getWindowSizeY() != options.height)
    {
        std::fprintf(stderr, "kxorender: the window is %dx%d, not %dx%d (larger than the screen?)\n",
                     Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), options.width, options.height);
        Kalvex::free();
        return 3;
    }

    // Texture names in a scene file are relative to the file, as in the viewer.
    size_t mark = kxtool::logLineCount(logPath);
    if (!kxtool::changeDirectory(kxtool::directoryOf(scenePath)))
    {
        std::fprintf(stderr, "kxorender: cannot enter the directory of '%s'\n", options.scene.c_str());
        Kalvex::free();
        return 2;
    }
    KxNode* root;
    {
        kxtool::QuietStdout quiet(!options.verbose);
        root = Kalvex::load(kxtool::fileNameOf(scenePath));
    }
    if (!root)
    {
        std::fprintf(stderr, "kxorender: '%s' is not a readable KXO scene\n", options.scene.c_str());
        printEngineErrors(logPath, mark);
        Kalvex::free();
        return 2;
    }
    KxAnim* animation = nullptr;
    {
        kxtool::QuietStdout quiet(!options.verbose);
        animation = loadSceneAnimation(kxtool::fileNameOf(scenePath), root);
    }
    std::vector<std::string> loadErrors = kxtool::logErrors(logPath, mark);
    for (const std::string& line : loadErrors)
        std::fprintf(stderr, "kxorender: warning: %s\n", line.c_str());

    // The viewer replaces the root's matrix with its own view: measure without it.
    root->setIdentity();
    kxtool::SceneBox box = kxtool::measureScene();
    kxtool::ViewRig rig = kxtool::makeViewRig(box, options.defaultLight, options.width, options.height);
    // The viewer's list holds 1024 nodes; larger scenes get a list that holds them all.
    KxList* list = new KxList;
    bool ok = list->create(std::max(1024u, countNodes(root) + 2));
    bool passed = true;

    std::vector<unsigned char> pixels(static_cast<size_t>(options.width) * options.height * 4);
    {
        kxtool::QuietStdout quiet(!options.verbose);
        watchdogServer = display.serverPid();
        std::signal(SIGALRM, onFrameTimeout);
        for (int frame = 0; ok && frame < options.frames; ++frame)
        {
            alarm(static_cast<unsigned int>(options.frameLimit));
            KxPipeline::setCurrent(Kalvex::getPipeline(options.pipeline));
            KxPipeline* pipeline = KxPipeline::getCurrent();
            if (!pipeline)
            {
                std::fprintf(stderr, "kxorender: the pipeline is not available\n");
                ok = false;
                break;
            }
            if (KxDeferredRendering* deferred = dynamic_cast<KxDeferredRendering*>(pipeline))
                deferred->setUseSsao(options.ssao);
            if (KxHybridRendering* hybrid = dynamic_cast<KxHybridRendering*>(pipeline))
                hybrid->setUseSsao(options.ssao);
            // The viewer's start settings: post-processing with Reinhard tone
            // mapping, gamma 1, anti-aliasing.
            pipeline->postProc(true);
            pipeline->setAntiAliasing(true);
            if (KxPostProc* postProc = static_cast<KxPostProc*>(pipeline->getPostProcFilter()))
            {
                postProc->setGamma(1.0f);
                postProc->setToneMappingTechnique(KxPostProc::TONEMAPPING_REINHARD);
            }
            advanceFrame(animation);
            kxtool::poseRoot(root, rig.framing, glm::vec3(0.0f), options.turnX, options.turnY);
            list->reset();
            // What the list cannot take (nodes too deep) is left out of the picture.
            passed = list->pass(root) && passed;
            passed = (!rig.light || list->pass(rig.camera)) && passed;
            KxOpenGL::clear(true, true, true);
            ok = Kalvex::render(rig.camera, list, nullptr);
            if (ok && frame + 1 == options.frames)
                ok = Kalvex::readWindowPixels(0, 0, options.width, options.height, pixels.data());
            Kalvex::swap(true);
            alarm(0);
        }
    }
    if (!ok)
    {
        std::fprintf(stderr, "kxorender: rendering failed; see %s\n", logPath.c_str());
        printEngineErrors(logPath, mark);
        Kalvex::free();
        return 3;
    }
    if (!passed)
    {
        std::fprintf(stderr, "kxorender: warning: some nodes were left out of the picture:\n");
        printEngineErrors(logPath, mark);
    }
    {
        kxtool::QuietStdout quiet(!options.verbose);
        Kalvex::free();
    }

    // The window's alpha is whatever the pipeline left; the picture is opaque, as on screen.
    for (size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 255;
    if (!kxtool::writePng(outputPath, options.width, options.height, pixels.data()))
    {
        std::fprintf(stderr, "kxorender: cannot write '%s'\n", options.output.c_str());
        return 4;
    }
    std::printf("kxorender: %s: %u meshes, box (%g, %g, %g) to (%g, %g, %g); %d frame%s of %dx%d written to %s\n",
                kxtool::fileNameOf(scenePath).c_str(), box.nrOfMeshes, box.min.x, box.min.y, box.min.z, box.max.x,
                box.max.y, box.max.z, options.frames, options.frames == 1 ? "" : "s", options.width, options.height,
                options.output.c_str());
    return 0;
}
}

int main(int argc, char** argv)
{
    Options options;
    if (int status = parseArguments(argc, argv, options))
        return status;
    return render(options);
}
