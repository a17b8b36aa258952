// KxHybridRendering: the deferred lighting on a single G-buffer layer, lit
// into the pipeline's own HDR target.
#include "kalvex_internal.h"
#include "kalvex_deferred.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <algorithm>

#include "kalvex_resources.h"

namespace
{
const unsigned int OCCLUSION_SLOT = kx::unit::GBUFFER_FIRST + 3;
}

struct KxHybridRendering::Private
{
    KxFbo* gbufferFbo = nullptr;
    KxTexture* normalTexture = nullptr;
    KxTexture* surfaceTexture = nullptr;
    KxTexture* depthTexture = nullptr;
    KxFbo* displayFbo = nullptr;
    KxTexture* displayTexture = nullptr;
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* geometryPrograms[4] = {}; // plain, normal-mapped, skinned, instanced
    KxShader* lightProgram = nullptr;
    KxQuad* lightQuad = nullptr;
    KxCamera* camera = nullptr;
    KxPostProc* postProc = nullptr;
    KxSsao* ssao = nullptr;
    bool useSsao = true;
    KxTexture* emptyShadowMap = nullptr;
};

KxHybridRendering::KxHybridRendering() : hybridReserved(new Private)
{
    setSubtype(4);
    setName("HybridPipeline");
}

KxHybridRendering::~KxHybridRendering()
{
    unload(nullptr);
    delete hybridReserved;
}

bool KxHybridRendering::render(void*)
{
    return true;
}

bool KxHybridRendering::load(void* data)
{
    unload(nullptr);
    Private& d = *hybridReserved;
    d.useSsao = true;
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int sizeX = std::min(config ? config->getWindowSizeX() : kx::GlContext::capabilities().windowSizeX, MAX_WINDOWSIZEX);
    int sizeY = std::min(config ? config->getWindowSizeY() : kx::GlContext::capabilities().windowSizeY, MAX_WINDOWSIZEY);
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    unsigned int w = static_cast<unsigned int>(sizeX), h = static_cast<unsigned int>(sizeY);
    d.normalTexture = new KxTexture;
    d.surfaceTexture = new KxTexture;
    d.depthTexture = new KxTexture;
    d.gbufferFbo = new KxFbo;
    if (!d.normalTexture->create(7, w, h, 1, 1, 0) || !d.surfaceTexture->create(7, w, h, 1, 1, 0) ||
        !d.depthTexture->create(8, w, h, 1, 1, 0))
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to create hybrid FBO");
    }
    d.gbufferFbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, d.normalTexture, 0, 0);
    d.gbufferFbo->bindTexture(1, KxFbo::OP_COLOR_TEXTURE, d.surfaceTexture, 1, 0);
    d.gbufferFbo->bindTexture(2, KxFbo::OP_DEPTH_TEXTURE, d.depthTexture, 0, 0);
    if (!d.gbufferFbo->isOk())
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to create hybrid FBO");
    }
    d.displayTexture = new KxTexture;
    d.displayFbo = new KxFbo;
    if (!d.displayTexture->create(7, w, h, 1, 0, 0))
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to create display FBO");
    }
    d.displayFbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, d.displayTexture, 0, 0);
    d.displayFbo->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE, d.depthTexture, 0, 0);
    bool complete = d.displayFbo->isOk();
    KxFbo::resetCache();
    if (!complete)
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to create display FBO");
    }

    if (!buildPrograms())
    {
        unload(nullptr);
        return false;
    }
    d.lightQuad = new KxQuad(true); // texture rows as the screen's
    d.lightQuad->setTexture(d.normalTexture, 0);
    d.lightQuad->setTexture(d.surfaceTexture, 1);
    d.lightQuad->setTexture(d.depthTexture, 2);
    d.lightQuad->resize(sizeX, sizeY);
    d.lightQuad->setShader(d.lightProgram);
    d.camera = new KxCamera;
    d.camera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.camera->setViewport(0, 0, sizeX, sizeY);
    d.emptyShadowMap = kx::deferred::createEmptyShadowMap();
    d.postProc = new KxPostProc;
    if (!d.emptyShadowMap || !d.postProc->create(sizeX, sizeY))
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to setup post-processing");
    }
    d.postProc->setBloom(true);
    setPostProcFilter(d.postProc);
    d.ssao = kx::deferred::createSsao(sizeX, sizeY);
    setUseSsao(true);
    return true;
}

bool KxHybridRendering::buildPrograms()
{
    Private& d = *hybridReserved;
    if (!kx::deferred::addGeometryPrograms(this, d.shaders, kx_resource_gbuffer_fs_glsl,
                                           kx_resource_gbuffer_normal_fs_glsl, d.geometryPrograms))
        return false;
    d.lightProgram = kx::deferred::buildProgram(
        d.shaders,
        kx::deferred::buildStage(d.shaders, KxShader::KIND_VERTEX, kx_resource_deferred_light_vs_glsl,
                                 "Unable to compile omni light VS shader"),
        kx::deferred::buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_hybrid_light_fs_glsl,
                                 "Unable to compile omni light FS shader"),
        "Unable to compile omni light pass shader");
    return d.lightProgram && setShader(d.lightProgram, TYPE_QUAD, 0, FLAGS_ALONE);
}

bool KxHybridRendering::unload(void*)
{
    Private& d = *hybridReserved;
    KxObject* owned[] = {d.displayFbo,    d.gbufferFbo, d.displayTexture, d.normalTexture, d.surfaceTexture,
                         d.depthTexture,  d.camera,     d.lightQuad,      d.postProc,      d.ssao,
                         d.emptyShadowMap};
    for (KxObject* object : owned)
        delete object;
    for (KxShader* shader : d.shaders)
        delete shader;
    d = Private();
    d.useSsao = false;
    resetShaders();
    setPostProcFilter(nullptr);
    return true;
}

bool KxHybridRendering::render(KxCamera* camera, KxList* list, KxFbo* fbo)
{
    if (!camera || !list)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *hybridReserved;
    if (!d.lightProgram)
        return KX_LOG(LEVEL_ERROR, "Pipeline not loaded");
    glm::mat4 cameraMatrix = camera->getFinalMatrix();
    glm::mat4 view = glm::inverse(cameraMatrix);
    camera->render(nullptr);
    glm::vec4 background = KxOpenGL::getBackgroundColor();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    if (camera->getSubtype() != KxCamera::PROJECTION_PERSPECTIVE)
    {
        KxOpenGL::setBackgroundColor(background);
        return true;
    }

    KxOpenGL::depthTest(true);
    KxOpenGL::blending(false);
    kx::GlContext::depthWrite(true);
    list->setPass(1);
    d.gbufferFbo->render(nullptr);
    camera->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    KxOpenGL::culling(true);
    list->render(&view);
    kx::deferred::renderSkinned(list, view);
    KxOpenGL::culling(false);

    glm::mat4 projection = camera->getProjMatrix();
    kx::deferred::LightStage stage = {d.lightProgram, d.lightQuad, d.camera, d.displayFbo, d.emptyShadowMap,
                                      glm::inverse(projection), projection[2][2], projection[3][2], cameraMatrix};
    d.displayFbo->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    if (d.useSsao && d.ssao)
    {
        d.ssao->setInvCameraProjMatrix(stage.inverseProjection);
        d.ssao->setM33(stage.m33);
        d.ssao->setM43(stage.m43);
        d.ssao->render(d.gbufferFbo);
    }
    // Uploads the lights only, so that the lighting stage's table is current.
    list->setPass(3);
    list->update(view);
    kx::deferred::renderLights(this, camera, list, stage, nullptr);
    list->setPass(0);
    // The display target's depth is the G-buffer's.
    kx::deferred::renderUnlit(camera, list, view, d.displayFbo, nullptr);

    kx::deferred::present(this, d.postProc, d.displayFbo, d.displayTexture, fbo);
    KxOpenGL::setBackgroundColor(background);
    return true;
}

KxFbo* KxHybridRendering::getFbo() const
{
    return hybridReserved->gbufferFbo;
}

KxTexture* KxHybridRendering::getDisplayTexture() const
{
    return hybridReserved->displayTexture;
}

void KxHybridRendering::setUseSsao(bool on)
{
    Private& d = *hybridReserved;
    d.useSsao = on;
    if (d.lightQuad)
        d.lightQuad->setTexture(on && d.ssao ? d.ssao->getTexture() : KxTexture::getDefault(), OCCLUSION_SLOT);
}

bool KxHybridRendering::isUseSsao() const
{
    return hybridReserved->useSsao;
}

KxSsao* KxHybridRendering::getSsao() const
{
    return hybridReserved->ssao;
}

KxVolLighting* KxHybridRendering::getVolLighting() const
{
    return nullptr;
}
