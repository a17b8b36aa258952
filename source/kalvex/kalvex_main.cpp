// Kalvex: the engine facade. Start and stop through the service table, the
// pipelines and the presentation of frames. Window, input and context are in
// kalvex_platform.cpp, scene files in kalvex_scenefile.cpp.
#include "kalvex_internal.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"
#include "kalvex_scenefile.h"
#include "kalvex_shaderlib.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "kalvex_resources.h"

using kx::engine;
using kx::Engine;

namespace
{
const char* const ENGINE_NAME = "Kalvex 3D Graphics Engine v0.7r";
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
        {"KxEmitter", true, KxEmitter::init, [] { KxEmitter::free(); }, "Emitter problem"},
        {"KxLight", true, KxLight::init, [] { KxLight::free(); }, "Light problem"},
        {"KxMesh", true, KxMesh::init, [] { KxMesh::free(); }, "Mesh problem"},
        {"KxSkinned", true, KxSkinned::init, [] { KxSkinned::free(); }, "Skinning problem"},
        {"KxBone", true, KxBone::init, [] { KxBone::free(); }, nullptr},
        {"KxPipeline", true, [] { KxPipeline::init(); return true; }, KxPipeline::free, nullptr},
        {"KxInstanced", true, KxInstanced::init, [] { KxInstanced::free(); }, nullptr},
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
        kx::GlContext::free();
        if (!destroyWindow)
            engine->window = nullptr;
        kx::platform::closeWindow();
        stopCore();
        delete engine;
        engine = nullptr;
        return false;
    };

    while (engine->servicesStarted < serviceCount && !services[engine->servicesStarted].needsContext)
        services[engine->servicesStarted++].start();

    KX_LOG(LEVEL_PLAIN, "   Using GLM v%d.%d.%d.%d", 0, 9, 9, 0);

    if (const char* failure = kx::platform::openWindow(config))
        return abort(failure, false);
    if (const char* failure = kx::platform::startContext(config))
        return abort(failure, true);
    if (!kx::GlContext::capabilities().bindlessTextures)
        KX_LOG(LEVEL_WARNING, "GL_ARB_bindless_texture not supported, using bound texture units");
    if (const char* failure = kx::platform::checkExtensions())
        return abort(failure, true);

    KxConfig settings = config;
    chooseQuality(settings);

    if (!reduced)
        splashScreen();

    KX_LOG(LEVEL_PLAIN, "   Init OpenGL...");
    services[engine->servicesStarted++].start();
    KX_LOG(LEVEL_PLAIN, "   Max. MSAA    :  %d", kx::GlContext::capabilities().maxSamples);

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
    KxPhysics::init(config.getPhysWorldScale());

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
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    if (!renderer)
        renderer = "";
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
    // The forward pipeline alone keeps the engine usable: a pipeline that
    // cannot load is dropped with a warning instead of stopping the start.
    KxPipeline* optional[2] = {new KxDeferredRendering, new KxHybridRendering};
    const char* failures[2] = {"Unable to setup deferred rendering", "Unable to setup hybrid rendering"};
    for (int index = 0; index < 2; ++index)
    {
        KxPipeline* pipeline = optional[index];
        if (!pipeline)
            continue;
        engine->pipelines[3 + index] = pipeline;
        if (reduced || pipeline->load(nullptr))
            continue;
        KX_LOG(LEVEL_WARNING, "%s: %s is not available, the forward pipeline is", failures[index],
               pipeline->getName().c_str());
        pipeline->unload(nullptr);
        delete pipeline;
        engine->pipelines[3 + index] = nullptr;
    }
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

    KxPhysics::free();
    stopPresentation();
    stopPipelines();

    size_t serviceCount = 0;
    const Service* services = getServices(serviceCount);
    while (engine->servicesStarted > 0 && services[engine->servicesStarted - 1].needsContext)
        services[--engine->servicesStarted].stop();

    kx::GlContext::free();
    kx::platform::closeWindow();

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
    return engine && kx::GlContext::capabilities().bindlessTextures;
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
    return engine ? kx::GlContext::capabilities().aaSamples : 0;
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

bool Kalvex::resize(int sizeX, int sizeY)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (sizeX == engine->windowSizeX && sizeY == engine->windowSizeY)
        return true;
    KX_LOG(LEVEL_DETAIL, "Window resized to %dx%d", sizeX, sizeY);
    engine->windowSizeX = sizeX;
    engine->windowSizeY = sizeY;
    kx::GlContext::windowResized(sizeX, sizeY);
    bool resized = true;
    for (KxPipeline* pipeline : engine->pipelines)
        if (pipeline && !pipeline->resize(sizeX, sizeY))
            resized = KX_LOG(LEVEL_ERROR, "Unable to resize pipeline %s", pipeline->getName().c_str());
    // The presentation quad and camera take the new size from the main framebuffer.
    stopPresentation();
    if (!startPresentation())
        return KX_LOG(LEVEL_ERROR, "Unable to setup main framebuffer");
    return resized;
}

KxPipeline* kx::pipeline(int id)
{
    if (!engine || id < 0 || id > 4)
        return nullptr;
    return engine->pipelines[id];
}

KxPipeline* Kalvex::getPipeline(int id)
{
    return kx::pipeline(id);
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
    return kx::presentTexture(texture);
}

bool kx::presentTexture(KxTexture* texture)
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
    kx::GlContext::bindReadFramebuffer(fbo->getHandle());
    kx::GlContext::bindDrawFramebuffer(0);
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

bool Kalvex::splashScreen()
{
    return kx::platform::splashScreen();
}

KxNode* Kalvex::load(const std::string& fileName)
{
    return kx::scenefile::load(fileName);
}

bool Kalvex::save(KxNode* root, const std::string& fileName)
{
    return kx::scenefile::save(root, fileName);
}
