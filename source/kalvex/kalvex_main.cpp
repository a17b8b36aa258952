// Kalvex: the engine facade. Start and stop, window and context, frame services.
#include "kalvex_internal.h"
#include "kalvex_shaderlib.h"

#include <GLFW/glfw3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kalvex_resources.h"

namespace
{
const char* const ENGINE_NAME = "Kalvex 3D Graphics Engine v0.7r";
const int MIN_UNIFORM_BLOCK_SIZE = 24576;
const int MIN_VERTEX_UNIFORM_VECTORS = 512;

struct Engine
{
    int windowSizeX = 0;
    int windowSizeY = 0;
    GLFWwindow* window = nullptr;
    int nrOfAASamples = 0;
    int anisotropy = KxTexture::MAX_ANISOTROPY;
    unsigned int shadowFilter = 20;
    bool softwarePreset = false;
    bool bindlessTextures = false;
    size_t servicesStarted = 0; // how many entries of the service table are running

    void (*keyboardCallback)(int, int, int, int) = nullptr;
    void (*mouseCursorCallback)(double, double) = nullptr;
    void (*mouseButtonCallback)(int, int, int) = nullptr;
    void (*mouseScrollCallback)(double, double) = nullptr;
    bool gamingMode = false;

    uint64_t lastCounter = 0;
    float fps = 0.0f;
    float lastFrameTime = 0.0f;

    KxPipeline* pipelines[5] = {};
    KxFbo* mainFramebuffer = nullptr;
    KxTexture* mainColorTexture = nullptr;
    KxTexture* mainDepthTexture = nullptr;
    KxQuad* screenQuad = nullptr;
    KxCamera* screenCamera = nullptr;
};
Engine* engine = nullptr;

void glfwErrorCallback(int code, const char* description)
{
    KX_LOG(LEVEL_ERROR, "[GLFW] code: %d, %s", code, description ? description : "");
}

bool hasExtension(const char* name)
{
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i)
    {
        const char* extension = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, static_cast<GLuint>(i)));
        if (extension && std::strcmp(extension, name) == 0)
            return true;
    }
    return false;
}

const char* glString(GLenum name)
{
    const char* text = reinterpret_cast<const char*>(glGetString(name));
    return text ? text : "";
}

GLint glInteger(GLenum name)
{
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}
}

// One static service of the engine. Core services run without a GL context and
// start before the window; the others need the context and stop before it goes.
struct Kalvex::Service
{
    const char* name;
    bool needsContext;
    bool (*start)();
    void (*stop)();
    const char* failure; // start failure message; null when the result is not tested
};

const Kalvex::Service* Kalvex::getServices(size_t& count)
{
    static const Service services[] = {
        {"KxIdGenerator", false, [] { KxIdGenerator::init(); return true; }, KxIdGenerator::free, nullptr},
        {"KxTimer", false, [] { KxTimer::init(); return true; }, KxTimer::free, nullptr},
        {"KxObject", false, [] { KxObject::init(); return true; }, KxObject::free, nullptr},
        {"KxStats", false, [] { KxStats::init(); return true; }, KxStats::free, nullptr},
        // Built-in shader includes are registered with the registry, all at once.
        {"KxShader", false, [] { KxShader::init(); return kx::registerBuiltInIncludes(); }, KxShader::free, nullptr},
        // The first service that needs the context starts alone, before the others.
        {"KxOpenGL", true, [] { KxOpenGL::init(); return true; }, KxOpenGL::free, nullptr},
        {"KxList", true, KxList::init, [] { KxList::free(); }, nullptr},
        {"KxTexture", true, [] { KxTexture::init(); return true; }, KxTexture::free, nullptr},
        {"KxMaterial", true, KxMaterial::init, [] { KxMaterial::free(); }, nullptr},
        {"KxFbo", true, [] { KxFbo::init(); return true; }, KxFbo::free, nullptr},
        {"KxFont", true, KxFont::init, [] { KxFont::free(); }, nullptr},
        {"KxPostProc", true, KxPostProc::init, [] { KxPostProc::free(); }, nullptr},
        {"KxLight", true, KxLight::init, [] { KxLight::free(); }, "Light problem"},
        {"KxMesh", true, KxMesh::init, [] { KxMesh::free(); }, "Mesh problem"},
        {"KxSkinned", true, KxSkinned::init, [] { KxSkinned::free(); }, "Skinning problem"},
        {"KxBone", true, KxBone::init, [] { KxBone::free(); }, nullptr},
        {"KxPipeline", true, [] { KxPipeline::init(); return true; }, KxPipeline::free, nullptr},
    };
    count = sizeof(services) / sizeof(services[0]);
    return services;
}

bool Kalvex::init()
{
    KxConfig config;
    return init(config, false);
}

bool Kalvex::init(const KxConfig& config, bool reduced)
{
    if (engine)
        return KX_LOG(LEVEL_ERROR, "Already initialized");

    size_t serviceCount = 0;
    const Service* services = getServices(serviceCount);

    engine = new Engine;
    auto stopCore = [&]() {
        for (size_t i = engine->servicesStarted; i-- > 0;)
            if (!services[i].needsContext)
                services[i].stop();
        engine->servicesStarted = 0;
    };
    auto stopContextServices = [&]() {
        while (engine->servicesStarted > 0 && services[engine->servicesStarted - 1].needsContext)
            services[--engine->servicesStarted].stop();
    };
    auto abort = [&](const char* message, bool destroyWindow) {
        KX_LOG(LEVEL_ERROR, "%s", message);
        stopContextServices();
        if (destroyWindow && engine->window)
            glfwDestroyWindow(engine->window);
        glfwTerminate();
        stopCore();
        delete engine;
        engine = nullptr;
        return false;
    };

    while (engine->servicesStarted < serviceCount && !services[engine->servicesStarted].needsContext)
        services[engine->servicesStarted++].start();

    KX_LOG(LEVEL_PLAIN, "   Using GLM v%d.%d.%d.%d", 0, 9, 9, 0);

    glfwSetErrorCallback(glfwErrorCallback);
    if (!glfwInit())
        return abort("Unable to init GLFW", false);
    int major = 0, minor = 0, revision = 0;
    glfwGetVersion(&major, &minor, &revision);
    KX_LOG(LEVEL_PLAIN, "   Using GLFW v%d.%d.%d", major, minor, revision);

    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
    glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_API);
    glfwWindowHint(GLFW_CONTEXT_CREATION_API, GLFW_NATIVE_CONTEXT_API);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_DEBUG_CONTEXT, GLFW_FALSE);
    switch (config.getColorDepth())
    {
    case 16:
        glfwWindowHint(GLFW_RED_BITS, 5);
        glfwWindowHint(GLFW_GREEN_BITS, 6);
        glfwWindowHint(GLFW_BLUE_BITS, 5);
        glfwWindowHint(GLFW_ALPHA_BITS, 0);
        break;
    case 24:
        glfwWindowHint(GLFW_RED_BITS, 8);
        glfwWindowHint(GLFW_GREEN_BITS, 8);
        glfwWindowHint(GLFW_BLUE_BITS, 8);
        glfwWindowHint(GLFW_ALPHA_BITS, 0);
        break;
    default:
        glfwWindowHint(GLFW_RED_BITS, 8);
        glfwWindowHint(GLFW_GREEN_BITS, 8);
        glfwWindowHint(GLFW_BLUE_BITS, 8);
        glfwWindowHint(GLFW_ALPHA_BITS, 8);
        break;
    }
    glfwWindowHint(GLFW_DEPTH_BITS, config.getZetaDepth());
    glfwWindowHint(GLFW_STENCIL_BITS, config.getStencilDepth());

    int monitorCount = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&monitorCount);
    KX_LOG(LEVEL_PLAIN, "%d display(s) found:", monitorCount);
    for (int i = 0; i < monitorCount; ++i)
    {
        const char* name = glfwGetMonitorName(monitors[i]);
        KX_LOG(LEVEL_PLAIN, "   %d) %s", i, name ? name : "");
    }

    GLFWmonitor* monitor = nullptr;
    if (config.isFullscreen())
    {
        int display = config.getDisplay();
        if (display != -1 && (display < 0 || display >= monitorCount))
        {
            KX_LOG(LEVEL_WARNING, "Display %d not found, using the primary display", display);
            display = -1;
        }
        monitor = display == -1 ? glfwGetPrimaryMonitor() : monitors[display];
    }
    int requestedX = config.getWindowSizeX() > 0 ? config.getWindowSizeX() : 640;
    int requestedY = config.getWindowSizeY() > 0 ? config.getWindowSizeY() : 480;
    engine->window = glfwCreateWindow(requestedX, requestedY, config.getWindowTitle().c_str(), monitor, nullptr);
    if (!engine->window)
        return abort("Unable to create window", false);

    glfwMakeContextCurrent(engine->window);
    GLint glMajor = 0, glMinor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &glMajor);
    glGetIntegerv(GL_MINOR_VERSION, &glMinor);
    KX_LOG(LEVEL_PLAIN, "OpenGL properties:");
    KX_LOG(LEVEL_PLAIN, "   Vendor . . . :  %s", glString(GL_VENDOR));
    KX_LOG(LEVEL_PLAIN, "   Driver . . . :  %s", glString(GL_RENDERER));
    KX_LOG(LEVEL_PLAIN, "   Version  . . :  %s [%d.%d]", glString(GL_VERSION), glMajor, glMinor);
    KX_LOG(LEVEL_PLAIN, "   GLSL . . . . :  %s", glString(GL_SHADING_LANGUAGE_VERSION));
    KX_LOG(LEVEL_PLAIN, "   Extensions . :  %d", glInteger(GL_NUM_EXTENSIONS));
    GLint blockSize = glInteger(GL_MAX_UNIFORM_BLOCK_SIZE);
    KX_LOG(LEVEL_PLAIN, "   Block size . :  %d", blockSize);
    if (blockSize < MIN_UNIFORM_BLOCK_SIZE)
        return abort("Insufficient UBO size", true);
    KX_LOG(LEVEL_PLAIN, "   Max blocks . :  %d", glInteger(GL_MAX_FRAGMENT_UNIFORM_BLOCKS));
    GLint uniformVectors = glInteger(GL_MAX_VERTEX_UNIFORM_VECTORS);
    KX_LOG(LEVEL_PLAIN, "   Max uniforms :  %d", uniformVectors);
    if (uniformVectors < MIN_VERTEX_UNIFORM_VECTORS)
        return abort("Insufficient uniform vector size", true);

    glfwGetFramebufferSize(engine->window, &engine->windowSizeX, &engine->windowSizeY);
    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK)
        return abort("Unable to init GLEW", true);
    // glewInit may leave a harmless GL_INVALID_ENUM behind on core contexts.
    while (glGetError() != GL_NO_ERROR)
    {
    }
    KX_LOG(LEVEL_PLAIN, "   Using GLEW v%s.%s.%s", reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MAJOR)),
           reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MINOR)),
           reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MICRO)));

    // Capabilities come from the context's own list: GLEW's experimental mode
    // reports extensions that the driver does not have.
    if (glMajor < 4 || (glMajor == 4 && glMinor < 5))
        return abort("OpenGL 4.5 core not supported", true);
    engine->bindlessTextures = hasExtension("GL_ARB_bindless_texture");
    if (!engine->bindlessTextures)
        KX_LOG(LEVEL_WARNING, "GL_ARB_bindless_texture not supported, using bound texture units");
    if (!hasExtension("GL_EXT_texture_compression_s3tc"))
        return abort("GL_EXT_texture_compression_s3tc not supported", true);
    KX_LOG(LEVEL_PLAIN, "   Ready for OpenGL 4.5 core");

    KxConfig settings = config;
    chooseQuality(settings);

    if (!reduced)
        splashScreen();

    KX_LOG(LEVEL_PLAIN, "   Init OpenGL...");
    services[engine->servicesStarted++].start();
    GLint maxSamples = glInteger(GL_MAX_SAMPLES);
    KX_LOG(LEVEL_PLAIN, "   Max. MSAA    :  %d", maxSamples);
    engine->nrOfAASamples = config.getNrOfAASamples() < maxSamples ? config.getNrOfAASamples() : maxSamples;

    KX_LOG(LEVEL_PLAIN, "   Init other modules...");
    while (engine->servicesStarted < serviceCount)
    {
        const Service& service = services[engine->servicesStarted];
        bool started = service.start();
        engine->servicesStarted++;
        if (!started && service.failure)
            return KX_LOG(LEVEL_ERROR, "%s", service.failure);
    }

    KX_LOG(LEVEL_PLAIN, "   Init pipelines...");
    if (const char* failure = startPipelines(settings, reduced))
    {
        stopPipelines();
        return abort(failure, true);
    }
    KxPipeline::setCurrent(engine->pipelines[2]);

    if (!startPresentation())
    {
        stopPresentation();
        stopPipelines();
        return abort("Unable to setup main framebuffer", true);
    }

    engine->lastCounter = KxTimer::getCounter();
    KX_LOG(LEVEL_PLAIN, "[>] %s is up", ENGINE_NAME);
    return true;
}

namespace
{
// Software rasterisers name themselves in the renderer string.
bool isSoftwareRenderer(const char* renderer)
{
    std::string name = renderer ? renderer : "";
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char* const names[] = {"llvmpipe", "softpipe", "lavapipe", "swiftshader", "software rasterizer", "gdi generic"};
    for (const char* software : names)
        if (name.find(software) != std::string::npos)
            return true;
    return false;
}
}

void Kalvex::chooseQuality(KxConfig& settings)
{
    const char* renderer = glString(GL_RENDERER);
    bool software = settings.getPreset() == KxConfig::PRESET_SOFTWARE ||
                    (settings.getPreset() == KxConfig::PRESET_AUTO && isSoftwareRenderer(renderer));
    if (software)
    {
        settings.applySoftwarePreset();
        KX_LOG(LEVEL_PLAIN, "   Software rasteriser (%s): using the cheaper quality preset", renderer);
    }
    GLfloat maxAnisotropy = 1.0f;
    glGetFloatv(GL_MAX_TEXTURE_MAX_ANISOTROPY, &maxAnisotropy);
    engine->anisotropy = std::max(1, std::min(settings.getAnisotropy(), static_cast<int>(maxAnisotropy)));
    engine->shadowFilter = static_cast<unsigned int>(settings.getShadowFilter());
    engine->softwarePreset = software;
    KX_LOG(LEVEL_PLAIN, "   Quality  . . :  shadow filter %u, anisotropy %d, shadow map %d", engine->shadowFilter,
           engine->anisotropy, settings.getShadowMapSize());
}

const char* Kalvex::startPipelines(const KxConfig& config, bool reduced)
{
    KxShadowPass* shadowPass = new KxShadowPass;
    engine->pipelines[1] = shadowPass;
    if (!reduced && !shadowPass->load(const_cast<KxConfig*>(&config)))
        return "Unable to setup shadow pass";
    KxDefaultRendering* forward = new KxDefaultRendering;
    engine->pipelines[2] = forward;
    if (!forward->load(nullptr))
        return "Unable to setup forward rendering";
    return nullptr;
}

void Kalvex::stopPipelines()
{
    for (KxPipeline*& pipeline : engine->pipelines)
    {
        if (!pipeline)
            continue;
        pipeline->unload(nullptr);
        delete pipeline;
        pipeline = nullptr;
    }
}

void Kalvex::stopPresentation()
{
    KxObject* presentation[] = {engine->mainFramebuffer, engine->mainColorTexture, engine->mainDepthTexture,
                                engine->screenQuad, engine->screenCamera};
    for (KxObject* object : presentation)
        delete object;
    engine->mainFramebuffer = nullptr;
    engine->mainColorTexture = nullptr;
    engine->mainDepthTexture = nullptr;
    engine->screenQuad = nullptr;
    engine->screenCamera = nullptr;
}

bool Kalvex::startPresentation()
{
    engine->mainColorTexture = new KxTexture;
    engine->mainDepthTexture = new KxTexture;
    engine->mainFramebuffer = new KxFbo;
    if (!engine->mainColorTexture->create(5, engine->windowSizeX, engine->windowSizeY, 1) ||
        !engine->mainDepthTexture->create(8, engine->windowSizeX, engine->windowSizeY, 1))
        return false;
    engine->mainFramebuffer->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, engine->mainColorTexture, 0, 0);
    engine->mainFramebuffer->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE, engine->mainDepthTexture, 0, 0);
    bool complete = engine->mainFramebuffer->isOk();
    KxFbo::resetCache();
    if (!complete)
        return false;

    // The flipped texture coordinates put a texture's top row (the last row in
    // GL memory) at the top of the window, under the 2D camera's y-down pixels.
    engine->screenQuad = new KxQuad(true);
    engine->screenQuad->resize(engine->windowSizeX, engine->windowSizeY);
    engine->screenQuad->setTexture(engine->mainColorTexture, 0);
    KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(engine->pipelines[2]);
    engine->screenQuad->setShader(forward->getQuadProgram());
    engine->screenCamera = new KxCamera;
    engine->screenCamera->setViewportFromFbo(engine->mainFramebuffer);
    return true;
}

bool Kalvex::free()
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Redundant free");

    stopPresentation();
    stopPipelines();

    size_t serviceCount = 0;
    const Service* services = getServices(serviceCount);
    while (engine->servicesStarted > 0 && services[engine->servicesStarted - 1].needsContext)
        services[--engine->servicesStarted].stop();

    glfwDestroyWindow(engine->window);
    glfwTerminate();

    for (size_t i = engine->servicesStarted; i-- > 0;)
        services[i].stop();

    delete engine;
    engine = nullptr;
    KX_LOG(LEVEL_PLAIN, "[<] %s is down", ENGINE_NAME);
    return true;
}

bool Kalvex::isInitialized()
{
    return engine != nullptr;
}

bool Kalvex::usesBindlessTextures()
{
    return engine && engine->bindlessTextures;
}

int Kalvex::getWindowSizeX()
{
    return engine ? engine->windowSizeX : 0;
}

int Kalvex::getWindowSizeY()
{
    return engine ? engine->windowSizeY : 0;
}

int Kalvex::getNrOfAASamples()
{
    return engine ? engine->nrOfAASamples : 0;
}

int Kalvex::getAnisotropy()
{
    return engine ? engine->anisotropy : KxTexture::MAX_ANISOTROPY;
}

unsigned int Kalvex::getShadowFilter()
{
    return engine ? engine->shadowFilter : 20;
}

bool Kalvex::usesSoftwarePreset()
{
    return engine && engine->softwarePreset;
}

float Kalvex::getFps()
{
    return engine ? engine->fps : 0.0f;
}

float Kalvex::getLastFrameTime()
{
    return engine ? engine->lastFrameTime : 0.0f;
}

bool Kalvex::swap(bool pumpEvents)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    glfwSwapBuffers(engine->window);

    uint64_t now = KxTimer::getCounter();
    double milliseconds = KxTimer::getCounterDiff(engine->lastCounter, now);
    engine->lastCounter = now;
    engine->lastFrameTime = static_cast<float>(milliseconds / 1000.0);
    // Two swaps within the same microsecond have no meaningful rate.
    engine->fps = engine->lastFrameTime > 0.0f ? 1.0f / engine->lastFrameTime : 0.0f;

    if (!pumpEvents)
        return true;
    return processEvents();
}

bool Kalvex::processEvents()
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    glfwPollEvents();
    return !glfwWindowShouldClose(engine->window);
}

bool Kalvex::setKeyboardCallback(void (*callback)(int, int, int, int))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->keyboardCallback = callback;
    glfwSetKeyCallback(engine->window, [](GLFWwindow*, int key, int scancode, int action, int mods) {
        if (engine && engine->keyboardCallback)
            engine->keyboardCallback(key, scancode, action, mods);
    });
    return true;
}

bool Kalvex::setMouseCursorCallback(void (*callback)(double, double))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseCursorCallback = callback;
    glfwSetCursorPosCallback(engine->window, [](GLFWwindow*, double x, double y) {
        if (engine && engine->mouseCursorCallback)
            engine->mouseCursorCallback(x, y);
    });
    return true;
}

bool Kalvex::setMouseButtonCallback(void (*callback)(int, int, int))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseButtonCallback = callback;
    glfwSetMouseButtonCallback(engine->window, [](GLFWwindow*, int button, int action, int mods) {
        if (engine && engine->mouseButtonCallback)
            engine->mouseButtonCallback(button, action, mods);
    });
    return true;
}

bool Kalvex::setMouseScrollCallback(void (*callback)(double, double))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseScrollCallback = callback;
    glfwSetScrollCallback(engine->window, [](GLFWwindow*, double x, double y) {
        if (engine && engine->mouseScrollCallback)
            engine->mouseScrollCallback(x, y);
    });
    return true;
}

bool Kalvex::setGamingMode(bool on)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->gamingMode = on;
    glfwSetInputMode(engine->window, GLFW_CURSOR, on ? GLFW_CURSOR_DISABLED : GLFW_CURSOR_NORMAL);
    glfwSetInputMode(engine->window, GLFW_STICKY_KEYS, on ? GLFW_TRUE : GLFW_FALSE);
    return true;
}

void* Kalvex::getWindow()
{
    return engine ? engine->window : nullptr;
}

bool Kalvex::getGamingMode()
{
    return engine && engine->gamingMode;
}

KxPipeline* Kalvex::getPipeline(int id)
{
    if (!engine || id < 0 || id > 4)
        return nullptr;
    return engine->pipelines[id];
}

bool Kalvex::render(KxCamera* camera, KxList* list, KxFbo* fbo)
{
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!engine || !pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    return pipeline->render(camera, list, fbo);
}

bool Kalvex::renderFramebuffer(KxTexture* texture)
{
    if (!engine || !engine->screenQuad)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->screenQuad->setTexture(texture ? texture : engine->mainColorTexture, 0);
    KxFbo::resetCache();
    engine->screenCamera->render(nullptr);
    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    return engine->screenQuad->render(&record);
}

bool Kalvex::renderFramebuffer(KxFbo* fbo)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (!fbo)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo->getHandle());
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glBlitFramebuffer(0, 0, static_cast<GLint>(fbo->getSizeX()), static_cast<GLint>(fbo->getSizeY()), 0, 0,
                      engine->windowSizeX, engine->windowSizeY, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    // The blit rebound the framebuffers behind KxFbo's cache.
    KxFbo::resetCache();
    return true;
}

KxFbo* Kalvex::getFramebuffer()
{
    return engine ? engine->mainFramebuffer : nullptr;
}

bool Kalvex::readWindowPixels(int x, int y, int width, int height, unsigned char* rgba)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (!rgba || width <= 0 || height <= 0 || x < 0 || y < 0 || x + width > engine->windowSizeX ||
        y + height > engine->windowSizeY)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    std::vector<unsigned char> rows(static_cast<size_t>(width) * height * 4);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    // GL rows run bottom-up; callers get the top row first, with y counted from the top.
    glReadPixels(x, engine->windowSizeY - y - height, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rows.data());
    size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int row = 0; row < height; ++row)
        std::memcpy(rgba + row * rowBytes, rows.data() + (height - 1 - row) * rowBytes, rowBytes);
    return true;
}

namespace
{
// Reads a bottom-up 24-bit BMP held in memory. False on anything malformed.
bool parseBmp24(const unsigned char* data, size_t size, int& width, int& height, const unsigned char*& pixels)
{
    auto read32 = [&](size_t offset) {
        return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
               static_cast<uint32_t>(data[offset + 2]) << 16 | static_cast<uint32_t>(data[offset + 3]) << 24;
    };
    if (size < 54 || data[0] != 'B' || data[1] != 'M')
        return false;
    uint32_t offset = read32(10);
    int32_t w = static_cast<int32_t>(read32(18));
    int32_t h = static_cast<int32_t>(read32(22));
    uint16_t bits = static_cast<uint16_t>(data[28] | data[29] << 8);
    if (bits != 24 || w <= 0 || h <= 0 || w > 8192 || h > 8192)
        return false;
    size_t rowBytes = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
    if (offset > size || rowBytes * static_cast<size_t>(h) > size - offset)
        return false;
    width = w;
    height = h;
    pixels = data + offset;
    return true;
}
}

bool Kalvex::splashScreen()
{
    int width = 0, height = 0;
    const unsigned char* pixels = nullptr;
    if (!parseBmp24(kx_resource_splash_bmp, kx_resource_splash_bmp_size, width, height, pixels))
        return KX_LOG(LEVEL_ERROR, "Invalid splash bitmap");

    GLuint texture = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glBindTextureUnit(0, texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4); // BMP rows are padded to four bytes
    glTextureParameteri(texture, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTextureParameteri(texture, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTextureStorage2D(texture, 1, GL_RGB8, width, height);
    glTextureSubImage2D(texture, 0, 0, 0, width, height, GL_BGR, GL_UNSIGNED_BYTE, pixels);

    int W = engine->windowSizeX, H = engine->windowSizeY;
    int left = W / 2 - width / 2;
    int bottom = H / 2 - height / 2;
    float x0 = 2.0f * left / W - 1.0f, x1 = 2.0f * (left + width) / W - 1.0f;
    float y0 = 2.0f * bottom / H - 1.0f, y1 = 2.0f * (bottom + height) / H - 1.0f;
    const float positions[] = {x0, y0, 0.0f, x1, y0, 0.0f, x0, y1, 0.0f, x1, y1, 0.0f};
    const float texCoords[] = {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};

    GLuint buffers[2];
    glCreateBuffers(2, buffers);
    glNamedBufferStorage(buffers[0], sizeof(positions), positions, 0);
    glNamedBufferStorage(buffers[1], sizeof(texCoords), texCoords, 0);
    GLuint vertexArray = 0;
    glCreateVertexArrays(1, &vertexArray);
    glVertexArrayVertexBuffer(vertexArray, 0, buffers[0], 0, 3 * sizeof(float));
    glVertexArrayVertexBuffer(vertexArray, 1, buffers[1], 0, 2 * sizeof(float));
    glVertexArrayAttribFormat(vertexArray, 0, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribFormat(vertexArray, 1, 2, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(vertexArray, 0, 0);
    glVertexArrayAttribBinding(vertexArray, 1, 1);
    glEnableVertexArrayAttrib(vertexArray, 0);
    glEnableVertexArrayAttrib(vertexArray, 1);

    const char* vertexSource = "#version 450 core\n"
                               "layout(location = 0) in vec3 position;\n"
                               "layout(location = 1) in vec2 texCoord;\n"
                               "out vec2 uv;\n"
                               "void main() { uv = texCoord; gl_Position = vec4(position, 1.0); }\n";
    const char* fragmentSource = "#version 450 core\n"
                                 "layout(binding = 0) uniform sampler2D image;\n"
                                 "in vec2 uv;\n"
                                 "out vec4 outputColor;\n"
                                 "void main() { outputColor = texture(image, uv); }\n";
    GLuint program = glCreateProgram();
    GLuint stages[2] = {glCreateShader(GL_VERTEX_SHADER), glCreateShader(GL_FRAGMENT_SHADER)};
    glShaderSource(stages[0], 1, &vertexSource, nullptr);
    glShaderSource(stages[1], 1, &fragmentSource, nullptr);
    for (GLuint stage : stages)
    {
        glCompileShader(stage);
        glAttachShader(program, stage);
    }
    glLinkProgram(program);

    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, W, H);
    glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glUseProgram(program);
    glBindVertexArray(vertexArray);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glfwSwapBuffers(engine->window);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    glfwPollEvents();

    glBindVertexArray(0);
    glUseProgram(0);
    glDeleteVertexArrays(1, &vertexArray);
    glDeleteBuffers(2, buffers);
    for (GLuint stage : stages)
        glDeleteShader(stage);
    glDeleteProgram(program);
    glDeleteTextures(1, &texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    return true;
}

//////////////////////////////////////////////////////////////////////////////
// Scene files (KXO): a version chunk, the materials, then the node tree in
// pre-order, each chunk an 8-byte header (id, payload size) and its payload.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <unistd.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "scene files are parsed in place as little-endian data");

namespace
{
const unsigned int CHUNK_HEADER_SIZE = 8;
// Deeper trees are refused on both sides, so the recursive walks cannot
// exhaust the stack and every saved file can be loaded again.
const unsigned int MAX_TREE_DEPTH = 1024;
const uint64_t LIGHT_PART_SIZE = 39;
const uint64_t BONE_PART_SIZE = 24;
const uint64_t PHYSICS_PART_SIZE = 48;
const uint64_t VERTEX_SIZE = 24;
const uint64_t FACE_SIZE = 12;
const uint64_t SKINNING_VERTEX_SIZE = 24;

uint32_t readUint32(const unsigned char* data)
{
    uint32_t value = 0;
    std::memcpy(&value, data, 4);
    return value;
}

bool hasChunk(KxObject::Type type)
{
    return type == KxObject::TYPE_NODE || type == KxObject::TYPE_LIGHT || type == KxObject::TYPE_BONE ||
           type == KxObject::TYPE_MESH || type == KxObject::TYPE_SKINNED;
}

// Bytes of the zero-terminated string at offset, its zero included; 0 when
// the string does not end before size.
uint64_t stringSize(const unsigned char* data, uint64_t size, uint64_t offset)
{
    if (offset >= size)
        return 0;
    const void* end = std::memchr(data + offset, 0, static_cast<size_t>(size - offset));
    return end ? static_cast<uint64_t>(static_cast<const unsigned char*>(end) - (data + offset)) + 1 : 0;
}

// Bytes the mesh part claims by its own counts, or 0 when they do not fit in size.
uint64_t meshPartSize(const unsigned char* data, uint64_t size, uint32_t& nrOfVertices)
{
    if (size < 9)
        return 0;
    nrOfVertices = readUint32(data + 1);
    uint32_t nrOfFaces = readUint32(data + 5);
    uint64_t materialName = stringSize(data, size, 9);
    uint64_t length = 9 + materialName + 29; // radius, box, physics flag
    if (!materialName || length > size)
        return 0;
    if (data[length - 1] != 0)
        length += PHYSICS_PART_SIZE;
    length += VERTEX_SIZE * nrOfVertices + FACE_SIZE * nrOfFaces;
    return length <= size ? length : 0;
}

// The same for the skinned part; bones beyond what a skeleton holds are refused.
uint64_t skinnedPartSize(const unsigned char* data, uint64_t size, uint32_t nrOfVertices, bool& tooManyBones)
{
    tooManyBones = false;
    if (size < 68)
        return 0;
    uint32_t nrOfBones = readUint32(data + 64);
    if (nrOfBones > KxSkinned::NROFSKELETONBONES)
    {
        tooManyBones = true;
        return 0;
    }
    uint64_t length = 68;
    for (uint32_t bone = 0; bone < nrOfBones; ++bone)
    {
        uint64_t name = stringSize(data, size, length);
        if (!name)
            return 0;
        length += name + 64;
    }
    length += SKINNING_VERTEX_SIZE * nrOfVertices;
    return length <= size ? length : 0;
}

// A class reader returns 0 for a part it refused.
bool partLoaded(unsigned int consumed, unsigned int available)
{
    return consumed != 0 && consumed <= available;
}

// Writes a scene to an open file. Every failure is logged once and stops it.
class SceneWriter
{
public:
    SceneWriter(std::FILE* file, const std::string& fileName) : file(file), fileName(fileName) {}

    bool write(KxNode* root)
    {
        if (!hasChunk(root->getType()))
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", root->getName().c_str());
        const uint32_t version[3] = {KxObject::TYPE_NONE, 4, Kalvex::KXO_VERSION};
        if (!writeBytes(version, sizeof(version)))
            return false;
        if (!collectMaterials(root, 0))
            return false;
        for (KxMaterial* material : materials)
        {
            unsigned int size = 0;
            std::unique_ptr<unsigned char[]> part(material->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save material '%s'", material->getName().c_str());
            if (!writeChunk(KxObject::TYPE_MATERIAL, {{part.get(), size}}))
                return false;
        }
        return writeNode(root, 0);
    }

private:
    struct Part
    {
        const unsigned char* data;
        unsigned int size;
    };

    std::FILE* file;
    const std::string& fileName;
    std::vector<KxMaterial*> materials;

    bool writeBytes(const void* data, size_t size)
    {
        if (size && std::fwrite(data, 1, size, file) != size)
            return KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", fileName.c_str());
        return true;
    }

    bool writeChunk(uint32_t id, std::initializer_list<Part> parts)
    {
        uint64_t size = 0;
        for (const Part& part : parts)
            size += part.size;
        if (size > UINT32_MAX)
            return KX_LOG(LEVEL_ERROR, "Chunk too large for file '%s'", fileName.c_str());
        const uint32_t header[2] = {id, static_cast<uint32_t>(size)};
        if (!writeBytes(header, sizeof(header)))
            return false;
        for (const Part& part : parts)
            if (!writeBytes(part.data, part.size))
                return false;
        return true;
    }

    // The children that get chunks: a node of a kind without one (camera,
    // box, quad...) is left out with its whole subtree, so every written
    // child count matches the chunks that follow.
    static std::vector<KxNode*> savedChildren(KxNode* node)
    {
        std::vector<KxNode*> children;
        for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        {
            KxNode* child = node->getChild(i);
            if (!child)
                continue;
            if (hasChunk(child->getType()))
                children.push_back(child);
            else
                KX_LOG(LEVEL_WARNING, "Node '%s' has no chunk kind: not saved, nor its subtree",
                       child->getName().c_str());
        }
        return children;
    }

    bool collectMaterials(KxNode* node, unsigned int depth)
    {
        if (depth > MAX_TREE_DEPTH)
            return KX_LOG(LEVEL_ERROR, "Scene tree too deep for file '%s'", fileName.c_str());
        if (node->getType() == KxObject::TYPE_MESH || node->getType() == KxObject::TYPE_SKINNED)
        {
            KxMaterial* material = static_cast<KxMesh*>(node)->getMaterial();
            if (material && std::find(materials.begin(), materials.end(), material) == materials.end())
                materials.push_back(material);
        }
        for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        {
            KxNode* child = node->getChild(i);
            if (child && hasChunk(child->getType()) && !collectMaterials(child, depth + 1))
                return false;
        }
        return true;
    }

    bool writeNode(KxNode* node, unsigned int depth)
    {
        if (depth > MAX_TREE_DEPTH)
            return KX_LOG(LEVEL_ERROR, "Scene tree too deep for file '%s'", fileName.c_str());
        const char* name = node->getName().c_str();
        KxObject::Type type = node->getType();
        std::vector<KxNode*> children = savedChildren(node);

        unsigned int nodeSize = 0;
        std::unique_ptr<unsigned char[]> nodePart(node->KxNode::save(nodeSize));
        if (!nodePart)
        {
            switch (type)
            {
            case KxObject::TYPE_LIGHT:
                return KX_LOG(LEVEL_ERROR, "Unable to save light '%s' node data", name);
            case KxObject::TYPE_BONE:
                return KX_LOG(LEVEL_ERROR, "Unable to save bone '%s' node data", name);
            case KxObject::TYPE_MESH:
            case KxObject::TYPE_SKINNED:
                return KX_LOG(LEVEL_ERROR, "Unable to save mesh '%s' node data", name);
            default:
                return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
            }
        }
        // The child count sits behind the name and the matrix.
        size_t countOffset = std::strlen(reinterpret_cast<const char*>(nodePart.get())) + 1 + 64;
        if (countOffset + 4 > nodeSize)
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
        uint32_t nrOfChildren = static_cast<uint32_t>(children.size());
        std::memcpy(nodePart.get() + countOffset, &nrOfChildren, 4);

        bool written = false;
        unsigned int size = 0, extraSize = 0;
        std::unique_ptr<unsigned char[]> part, extraPart;
        switch (type)
        {
        case KxObject::TYPE_NODE:
            written = writeChunk(type, {{nodePart.get(), nodeSize}});
            break;
        case KxObject::TYPE_LIGHT:
            part.reset(static_cast<KxLight*>(node)->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save light '%s'", name);
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}});
            break;
        case KxObject::TYPE_BONE:
            part.reset(static_cast<KxBone*>(node)->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save bone '%s'", name);
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}});
            break;
        case KxObject::TYPE_MESH:
        case KxObject::TYPE_SKINNED:
            // The mesh part alone: a skinned mesh's own save writes only the skinned part.
            part.reset(static_cast<KxMesh*>(node)->KxMesh::save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save mesh '%s'", name);
            if (type == KxObject::TYPE_SKINNED)
            {
                extraPart.reset(static_cast<KxSkinned*>(node)->save(extraSize));
                if (!extraPart)
                    return KX_LOG(LEVEL_ERROR, "Unable to save skinned mesh '%s'", name);
            }
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}, {extraPart.get(), extraSize}});
            break;
        default:
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
        }
        if (!written)
            return false;
        for (KxNode* child : children)
            if (!writeNode(child, depth + 1))
                return false;
        return true;
    }
};
}

KxNode* Kalvex::load(const std::string& fileName)
{
    if (fileName.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params"), nullptr;
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized"), nullptr;
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Decoding KXO file '%s'...", name);

    std::FILE* file = std::fopen(name, "rb");
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s'", name), nullptr;
    off_t fileSize = -1;
    if (fseeko(file, 0, SEEK_END) == 0)
        fileSize = ftello(file);
    if (fileSize < 0 || fseeko(file, 0, SEEK_SET) != 0)
    {
        std::fclose(file);
        return KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name), nullptr;
    }
    // Chunk positions are 32-bit.
    if (static_cast<uint64_t>(fileSize) > UINT32_MAX)
    {
        std::fclose(file);
        return KX_LOG(LEVEL_ERROR, "File '%s' is too large", name), nullptr;
    }
    unsigned int length = static_cast<unsigned int>(fileSize);
    // Exactly the file's size: the parsers must stay inside it.
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length ? length : 1]);
    if (!buffer)
    {
        std::fclose(file);
        return KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name), nullptr;
    }
    size_t read = length ? std::fread(buffer.get(), 1, length, file) : 0;
    std::fclose(file);
    if (read != length)
        return KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name), nullptr;

    KxNode* root = nullptr;
    try
    {
        unsigned int position = 0;
        while (position < length)
            root = recursiveLoad(buffer.get(), position, length, fileName, 0);
        buffer.reset();
        if (!root)
            return KX_LOG(LEVEL_ERROR, "Root not found in file '%s'", name), nullptr;
        recursiveInitTargets(root, root);
        recursiveInitBones(root, root);
        KxMesh::optimizeMemory();
    }
    catch (const std::bad_alloc&)
    {
        return KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name), nullptr;
    }
    catch (const std::exception& exception)
    {
        return KX_LOG(LEVEL_ERROR, "Unable to load file '%s' (%s)", name, exception.what()), nullptr;
    }
    KX_LOG(LEVEL_DETAIL, "File '%s' decoded", name);
    return root;
}

KxNode* Kalvex::recursiveLoad(const unsigned char* data, unsigned int& position, unsigned int length,
                              const std::string& fileName, unsigned int depth)
{
    // A consistency error moves the position to the end, which ends the
    // caller's loop over the top-level chunks.
    const char* name = fileName.c_str();
    if (depth > MAX_TREE_DEPTH)
    {
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency (tree depth) in '%s'", name);
        position = length;
        return nullptr;
    }
    if (position > length || length - position < CHUNK_HEADER_SIZE)
    {
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency in '%s'", name);
        position = length;
        return nullptr;
    }
    uint32_t id = readUint32(data + position);
    uint32_t size = readUint32(data + position + 4);
    position += CHUNK_HEADER_SIZE;
    if (size > length - position)
    {
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency (chunk size) in '%s'", name);
        position = length;
        return nullptr;
    }
    KX_LOG(LEVEL_DETAIL, "Chunk id: %u, size: %u", id, size);
    const unsigned char* payload = data + position;
    const unsigned int end = position + size;

    KxNode* node = nullptr;
    switch (id)
    {
    case KxObject::TYPE_NONE:
    {
        if (size < 4)
        {
            KX_LOG(LEVEL_ERROR, "Invalid file format consistency (chunk size) in '%s'", name);
            position = length;
            return nullptr;
        }
        uint32_t version = readUint32(payload);
        KX_LOG(LEVEL_DETAIL, "Version id: %u", version);
        if (version != KXO_VERSION)
            KX_LOG(LEVEL_ERROR, "Unsupported KXO format version");
        position = end;
        return nullptr;
    }
    case KxObject::TYPE_MATERIAL:
    {
        KxMaterial* material = new KxMaterial;
        if (!material->load(payload, size))
        {
            // Nothing was applied to it, and a half-named material must not
            // be found by later meshes.
            delete material;
            KX_LOG(LEVEL_ERROR, "Invalid file format consistency in '%s'", name);
            position = length;
            return nullptr;
        }
        position = end;
        return nullptr;
    }
    case KxObject::TYPE_NODE:
        node = new KxNode;
        break;
    case KxObject::TYPE_LIGHT:
        node = new KxLight;
        break;
    case KxObject::TYPE_BONE:
        node = new KxBone;
        break;
    case KxObject::TYPE_MESH:
        node = new KxMesh;
        break;
    case KxObject::TYPE_SKINNED:
        node = new KxSkinned;
        break;
    default:
        KX_LOG(LEVEL_ERROR, "Unknown chunk ID in '%s'", name);
        position = end;
        return nullptr;
    }

    unsigned int nrOfChildren = 0;
    unsigned int consumed = node->KxNode::load(payload, size, &nrOfChildren);
    if (!consumed)
    {
        delete node;
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency in '%s'", name);
        position = length;
        return nullptr;
    }

    // The class part must fit in what is left of the chunk by its own counts,
    // whatever the class's reader checks itself.
    const unsigned char* part = payload + consumed;
    const unsigned int rest = size - consumed;
    uint64_t expected = 0;
    bool tooManyBones = false;
    switch (id)
    {
    case KxObject::TYPE_LIGHT:
        expected = rest >= LIGHT_PART_SIZE ? LIGHT_PART_SIZE : 0;
        break;
    case KxObject::TYPE_BONE:
        expected = rest >= BONE_PART_SIZE ? BONE_PART_SIZE : 0;
        break;
    case KxObject::TYPE_MESH:
    {
        uint32_t nrOfVertices = 0;
        expected = meshPartSize(part, rest, nrOfVertices);
        break;
    }
    case KxObject::TYPE_SKINNED:
    {
        uint32_t nrOfVertices = 0;
        uint64_t meshSize = meshPartSize(part, rest, nrOfVertices);
        uint64_t skinnedSize =
            meshSize ? skinnedPartSize(part + meshSize, rest - meshSize, nrOfVertices, tooManyBones) : 0;
        expected = skinnedSize ? meshSize + skinnedSize : 0;
        break;
    }
    default:
        expected = 1;
        break;
    }
    if (!expected)
    {
        delete node;
        if (tooManyBones)
            KX_LOG(LEVEL_ERROR, "Invalid file format consistency (more than %u bones) in '%s'",
                   KxSkinned::NROFSKELETONBONES, name);
        else
            KX_LOG(LEVEL_ERROR, "Invalid file format consistency (chunk size) in '%s'", name);
        position = length;
        return nullptr;
    }

    bool loaded = true;
    switch (id)
    {
    case KxObject::TYPE_LIGHT:
        loaded = partLoaded(static_cast<KxLight*>(node)->load(part, rest), rest);
        break;
    case KxObject::TYPE_BONE:
        loaded = partLoaded(static_cast<KxBone*>(node)->load(part, rest), rest);
        break;
    case KxObject::TYPE_MESH:
    case KxObject::TYPE_SKINNED:
        loaded = partLoaded(static_cast<KxMesh*>(node)->load(part, rest), rest);
        break;
    default:
        break;
    }
    if (!loaded)
    {
        delete node;
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency in '%s'", name);
        position = length;
        return nullptr;
    }
    // Bytes the parts left unread are skipped with the chunk.
    position = end;

    // Every child chunk takes at least its header.
    if (nrOfChildren > (length - position) / CHUNK_HEADER_SIZE)
    {
        delete node;
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency (children) in '%s'", name);
        position = length;
        return nullptr;
    }
    for (unsigned int i = 0; i < nrOfChildren; ++i)
    {
        KxNode* child = recursiveLoad(data, position, length, fileName, depth + 1);
        if (!child)
            return nullptr; // the partial subtree stays in the registry
        child->link(node);
    }
    return node;
}

void Kalvex::recursiveInitTargets(KxNode* root, KxNode* node)
{
    const std::string& targetName = node->getTargetNodeName();
    if (!targetName.empty())
    {
        KxNode* target = root->findByName(targetName);
        node->setTargetNode(target);
        if (!target)
            KX_LOG(LEVEL_ERROR, "Unable to find target node '%s'", targetName.c_str());
    }
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        if (KxNode* child = node->getChild(i))
            recursiveInitTargets(root, child);
}

void Kalvex::recursiveInitBones(KxNode* root, KxNode* node)
{
    if (node->getType() == KxObject::TYPE_SKINNED)
        static_cast<KxSkinned*>(node)->resetBones(root);
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        if (KxNode* child = node->getChild(i))
            recursiveInitBones(root, child);
}

bool Kalvex::save(KxNode* root, const std::string& fileName)
{
    if (fileName.empty() || !root)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Writing KXO file '%s'...", name);

    // The new file is written beside the old one and only renamed over it once
    // complete, so a failed save leaves the previous file as it was.
    const std::string temporaryName = fileName + ".tmp";
    std::FILE* file = std::fopen(temporaryName.c_str(), "wb");
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s'", name);

    bool written = false;
    try
    {
        SceneWriter writer(file, fileName);
        written = writer.write(root);
    }
    catch (const std::bad_alloc&)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name);
    }
    catch (const std::exception& exception)
    {
        KX_LOG(LEVEL_ERROR, "Unable to save file '%s' (%s)", name, exception.what());
    }
    if (written && (std::fflush(file) != 0 || fsync(fileno(file)) != 0))
        written = KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", name);
    if (std::fclose(file) != 0 && written)
        written = KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", name);
    if (written && std::rename(temporaryName.c_str(), name) != 0)
        written = KX_LOG(LEVEL_ERROR, "Unable to replace file '%s'", name);
    if (!written)
    {
        std::remove(temporaryName.c_str());
        return false;
    }
    KX_LOG(LEVEL_DETAIL, "File '%s' written", name);
    return true;
}
