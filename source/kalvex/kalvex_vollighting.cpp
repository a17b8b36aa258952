// KxVolLighting: light shafts of one light, marched at half resolution.
#include "kalvex_internal.h"
#include "kalvex_deferred.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <cmath>
#include <cstdio>

#include "kalvex_resources.h"

namespace
{
const float BLUR_KERNEL[7] = {0.1f, 0.4f, 0.8f, 0.5f, 0.8f, 0.4f, 0.1f};

void* textureUnit(unsigned int number)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(number));
}

bool createTarget(KxTexture*& texture, KxFbo*& fbo, int kind, int sizeX, int sizeY, const char* failure)
{
    texture = new KxTexture;
    fbo = new KxFbo;
    bool depth = kind == 8;
    if (!texture->create(kind, static_cast<unsigned int>(sizeX), static_cast<unsigned int>(sizeY), 1, 2, 0))
        return KX_LOG(LEVEL_ERROR, "%s", failure);
    fbo->bindTexture(0, depth ? KxFbo::OP_DEPTH_TEXTURE : KxFbo::OP_COLOR_TEXTURE, texture, 0, 0);
    bool complete = fbo->isOk();
    KxFbo::resetCache();
    if (!complete)
        return KX_LOG(LEVEL_ERROR, "%s", failure);
    return true;
}
}

struct KxVolLighting::Private
{
    unsigned int nrOfSteps = 32;
    float scattering = 0.5f;
    KxTexture* accumulationTexture = nullptr;
    KxFbo* accumulationFbo = nullptr;
    KxTexture* depthTexture = nullptr;
    KxFbo* depthFbo = nullptr;
    KxTexture* tempTexture = nullptr;
    KxFbo* tempFbo = nullptr;
    KxTexture* outputTexture = nullptr;
    KxFbo* outputFbo = nullptr;
    KxFbo* target = nullptr;            // borrowed
    KxTexture* sceneDepth = nullptr;    // borrowed
    std::vector<KxShader*> shaders;     // stages and programs, owned
    KxShader* accumulationProgram = nullptr;
    KxShader* blurProgram = nullptr;
    KxShader* upscaleProgram = nullptr;
    glm::mat4 inverseProjection = glm::mat4(1.0f);
    glm::mat4 cameraMatrix = glm::mat4(1.0f);
    float m33 = 0.0f;
    float m43 = 0.0f;
    KxCamera* camera = nullptr;         // borrowed
    KxCamera* halfCamera = nullptr;
    KxCamera* fullCamera = nullptr;
    KxQuad* halfQuad = nullptr;
    KxQuad* fullQuad = nullptr;
    KxLight* light = nullptr;           // borrowed
    unsigned int lightIndex = 0;
    KxTexture* emptyShadowMap = nullptr;

    void release()
    {
        KxObject* owned[] = {accumulationTexture, accumulationFbo, depthTexture, depthFbo, tempTexture, tempFbo,
                             outputTexture,       outputFbo,       halfCamera,   fullCamera, halfQuad,   fullQuad,
                             emptyShadowMap};
        for (KxObject* object : owned)
            delete object;
        for (KxShader* shader : shaders)
            delete shader;
        shaders.clear();
        accumulationTexture = depthTexture = tempTexture = outputTexture = emptyShadowMap = nullptr;
        accumulationFbo = depthFbo = tempFbo = outputFbo = nullptr;
        accumulationProgram = blurProgram = upscaleProgram = nullptr;
        halfCamera = fullCamera = nullptr;
        halfQuad = fullQuad = nullptr;
    }
};

KxVolLighting::KxVolLighting() : volReserved(new Private)
{
    setSubtype(KIND_VOLUMETRIC);
    char name[32];
    std::snprintf(name, sizeof(name), "[VolLighting%d]", getId());
    setName(name);
}

KxVolLighting::~KxVolLighting()
{
    volReserved->release();
    delete volReserved;
}

float KxVolLighting::phase(float scattering, float mu)
{
    const float pi = 3.141592653589f;
    float g = scattering;
    return (1.0f - g * g) / (4.0f * pi * std::pow(1.0f + g * g - 2.0f * g * mu, 1.5f));
}

bool KxVolLighting::create(int sizeX, int sizeY)
{
    if (sizeX <= 1 || sizeY <= 1)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *volReserved;
    d.release();
    int halfX = sizeX / static_cast<int>(SCALING_FACTOR), halfY = sizeY / static_cast<int>(SCALING_FACTOR);
    if (!createTarget(d.accumulationTexture, d.accumulationFbo, 2, halfX, halfY, "Unable to validate accumulation FBO") ||
        !createTarget(d.tempTexture, d.tempFbo, 2, halfX, halfY, "Unable to validate temp FBO") ||
        !createTarget(d.depthTexture, d.depthFbo, 8, halfX, halfY, "Unable to validate depth FBO") ||
        !createTarget(d.outputTexture, d.outputFbo, 2, halfX, halfY, "Unable to validate output FBO"))
        return false;

    using kx::deferred::buildProgram;
    using kx::deferred::buildStage;
    std::vector<KxShader*>& owned = d.shaders;
    KxShader* rayVs = buildStage(owned, KxShader::KIND_VERTEX, kx_resource_deferred_light_vs_glsl, "Unable to compile accumulation VS");
    KxShader* accumulationFs = buildStage(owned, KxShader::KIND_FRAGMENT, kx_resource_vol_accum_fs_glsl, "Unable to compile accumulation FS");
    d.accumulationProgram = buildProgram(owned, rayVs, accumulationFs, "Unable to build accumulation shader");
    KxShader* quadVs = buildStage(owned, KxShader::KIND_VERTEX, kx_resource_postproc_vs_glsl, "Unable to compile blur VS");
    KxShader* blurFs = buildStage(owned, KxShader::KIND_FRAGMENT, kx_resource_vol_bilateral_fs_glsl, "Unable to compile bilateral FS");
    d.blurProgram = buildProgram(owned, quadVs, blurFs, "Unable to build bilateral gaussian shader");
    KxShader* upscaleFs = buildStage(owned, KxShader::KIND_FRAGMENT, kx_resource_vol_upscale_fs_glsl, "Unable to compile upscale FS");
    d.upscaleProgram = buildProgram(owned, quadVs, upscaleFs, "Unable to build bilateral gaussian and upscaling shader");
    d.emptyShadowMap = kx::deferred::createEmptyShadowMap();
    if (!d.accumulationProgram || !d.blurProgram || !d.upscaleProgram || !d.emptyShadowMap)
        return false;

    d.halfQuad = new KxQuad(true); // texture rows in the target's order
    d.halfQuad->resize(halfX, halfY);
    d.fullQuad = new KxQuad(true);
    d.fullQuad->resize(sizeX, sizeY);
    d.fullQuad->setShader(d.upscaleProgram);
    d.halfCamera = new KxCamera;
    d.halfCamera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.halfCamera->setViewportFromFbo(d.accumulationFbo);
    d.fullCamera = new KxCamera;
    d.fullCamera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.fullCamera->setViewport(0, 0, sizeX, sizeY);
    return true;
}

void KxVolLighting::renderBlur(KxFbo* target, KxTexture* input, const glm::vec2& direction)
{
    Private& d = *volReserved;
    target->render(nullptr);
    d.halfCamera->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    glm::vec2 offsets[7];
    for (int k = -3; k <= 3; ++k)
        offsets[k + 3] = direction * static_cast<float>(k);
    d.blurProgram->render(nullptr);
    d.blurProgram->setParamVector2Array(KxShader::FILTER_OFFSET, 7, offsets);
    d.blurProgram->setParamFloatArray(KxShader::FILTER_KERNEL, 7, BLUR_KERNEL);
    d.blurProgram->setParamFloat(KxShader::NEAR_PLANE, d.camera->getNearPlane());
    d.blurProgram->setParamFloat(KxShader::FAR_PLANE, d.camera->getFarPlane());
    d.halfQuad->setShader(d.blurProgram);
    d.halfQuad->setTexture(input, 0);
    d.halfQuad->setTexture(d.depthTexture, 1);
    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    d.halfQuad->render(&record);
}

bool KxVolLighting::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for vol. lighting %d invoked", getId());
    KxFbo* sceneDepthFbo = static_cast<KxFbo*>(data);
    if (!sceneDepthFbo)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *volReserved;
    if (!d.halfQuad)
        return KX_LOG(LEVEL_ERROR, "Volumetric lighting not created");
    if (!d.target || !d.sceneDepth || !d.camera || !d.light)
        return KX_LOG(LEVEL_ERROR, "Volumetric lighting has no output, camera or light");
    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};

    glBlitNamedFramebuffer(sceneDepthFbo->getHandle(), d.depthFbo->getHandle(), 0, 0, d.fullCamera->getViewportSizeX(),
                           d.fullCamera->getViewportSizeY(), 0, 0, d.halfCamera->getViewportSizeX(),
                           d.halfCamera->getViewportSizeY(), GL_DEPTH_BUFFER_BIT, GL_NEAREST);

    // The shadow map the lighting of this light used.
    KxTexture* shadowMap = d.light->getShadowMapTexture();
    KxShadowPass* shadowPass = dynamic_cast<KxShadowPass*>(kx::pipeline(1));
    if (!shadowMap && shadowPass && shadowPass->getShadowMapTexture())
        shadowMap = d.light->isCastingShadows() ? shadowPass->getShadowMapTexture() : shadowPass->getEmptyShadowMapTexture();
    if (!shadowMap)
        shadowMap = d.emptyShadowMap;

    glm::vec4 background = KxOpenGL::getBackgroundColor();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    KxOpenGL::depthTest(false);
    KxOpenGL::blending(false);
    KxOpenGL::culling(false);

    d.accumulationFbo->render(nullptr);
    d.halfCamera->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    KxShader* program = d.accumulationProgram;
    program->render(nullptr);
    program->setParamMatrix4(KxShader::INVERSE_PROJECTION_MATRIX, d.inverseProjection);
    program->setParamMatrix4(KxShader::VIEW_MATRIX, d.cameraMatrix);
    program->setParamFloat(KxShader::GENERIC0 + 1, d.m33);
    program->setParamFloat(KxShader::GENERIC0 + 2, d.m43);
    program->setParamFloat(KxShader::NEAR_PLANE, d.light->getNearPlane());
    program->setParamFloat(KxShader::FAR_PLANE, d.light->getRadius());
    program->setParamDWord(KxShader::LIGHT_ID, d.lightIndex);
    program->setParamDWord(KxShader::NR_OF_STEPS, d.nrOfSteps);
    program->setParamFloat(KxShader::SCATTERING, d.scattering);
    shadowMap->render(textureUnit(kx::unit::SHADOW_MAP));
    d.halfQuad->setShader(program);
    d.halfQuad->setTexture(d.depthTexture, 0);
    d.halfQuad->setTexture(nullptr, 1);
    d.halfQuad->render(&record);

    float halfX = static_cast<float>(d.accumulationTexture->getSizeX());
    float halfY = static_cast<float>(d.accumulationTexture->getSizeY());
    renderBlur(d.tempFbo, d.accumulationTexture, glm::vec2(1.0f / halfX, 0.0f));
    renderBlur(d.outputFbo, d.tempTexture, glm::vec2(0.0f, 1.0f / halfY));

    d.target->render(nullptr);
    d.fullCamera->render(nullptr);
    d.upscaleProgram->render(nullptr);
    d.upscaleProgram->setParamFloat(KxShader::NEAR_PLANE, d.camera->getNearPlane());
    d.upscaleProgram->setParamFloat(KxShader::FAR_PLANE, d.camera->getFarPlane());
    d.upscaleProgram->setParamDWord(KxShader::LIGHT_ID, d.lightIndex);
    d.fullQuad->setTexture(d.outputTexture, 0);
    d.fullQuad->setTexture(d.sceneDepth, 1);
    kx::GlContext::blendFunction(GL_ONE, GL_ONE);
    KxOpenGL::blending(true);
    d.fullQuad->render(&record);
    KxOpenGL::blending(false);
    KxOpenGL::depthTest(true);
    d.fullQuad->setTexture(nullptr, 1);

    KxFbo::resetCache();
    KxOpenGL::setBackgroundColor(background);
    KxStats::inc(KxStats::FILTER_RENDER);
    return true;
}

void KxVolLighting::setOutput(KxFbo* fbo, KxTexture* sceneDepth)
{
    volReserved->target = fbo;
    volReserved->sceneDepth = sceneDepth;
}

void KxVolLighting::setInvCameraProjMatrix(glm::mat4& matrix)
{
    volReserved->inverseProjection = matrix;
}

void KxVolLighting::setCameraMatrix(const glm::mat4& matrix)
{
    volReserved->cameraMatrix = matrix;
}

void KxVolLighting::setM33(float m33)
{
    volReserved->m33 = m33;
}

void KxVolLighting::setM43(float m43)
{
    volReserved->m43 = m43;
}

void KxVolLighting::setCamera(KxCamera* camera)
{
    volReserved->camera = camera;
}

void KxVolLighting::setLight(KxLight* light, unsigned int index)
{
    volReserved->light = light;
    volReserved->lightIndex = index;
}

void KxVolLighting::setNrOfSteps(unsigned int steps)
{
    if (steps == 0)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        steps = 1;
    }
    volReserved->nrOfSteps = steps;
}

unsigned int KxVolLighting::getNrOfSteps() const
{
    return volReserved->nrOfSteps;
}

void KxVolLighting::setScattering(float scattering)
{
    if (!(scattering > 0.0f))
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        scattering = 0.001f;
    }
    volReserved->scattering = scattering;
}

float KxVolLighting::getScattering() const
{
    return volReserved->scattering;
}

KxTexture* KxVolLighting::getTexture() const
{
    return volReserved->outputTexture;
}
