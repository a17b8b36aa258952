// KxSsao: screen-space ambient occlusion.
#include "kalvex_internal.h"
#include "kalvex_deferred.h"
#include "kalvex_bindings.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "kalvex_resources.h"

namespace
{
// One engine output scaled to [0, 1).
float uniform(std::mt19937& engine)
{
    return static_cast<float>(engine()) / 4294967296.0f;
}

bool isDepthTexture(KxTexture* texture)
{
    if (!texture || !texture->getHandle())
        return false;
    GLint depthBits = 0;
    glGetTextureLevelParameteriv(texture->getHandle(), 0, GL_TEXTURE_DEPTH_SIZE, &depthBits);
    return depthBits > 0;
}

bool createTarget(KxTexture*& texture, KxFbo*& fbo, int sizeX, int sizeY, const char* failure)
{
    texture = new KxTexture;
    fbo = new KxFbo;
    if (!texture->create(1, static_cast<unsigned int>(sizeX), static_cast<unsigned int>(sizeY), 0, 1, 2))
        return KX_LOG(LEVEL_ERROR, "%s", failure);
    fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, texture, 0, 0);
    bool complete = fbo->isOk();
    KxFbo::resetCache();
    if (!complete)
        return KX_LOG(LEVEL_ERROR, "%s", failure);
    return true;
}
}

struct KxSsao::Private
{
    std::vector<glm::vec3> kernel;
    std::vector<glm::vec3> noise;
    KxTexture* noiseTexture = nullptr;
    KxTexture* rawTexture = nullptr;
    KxTexture* blurredTexture = nullptr;
    KxFbo* occlusionFbo = nullptr;
    KxFbo* outputFbo = nullptr;
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* ssaoProgram = nullptr;
    KxShader* blurProgram = nullptr;
    glm::mat4 inverseProjection = glm::mat4(1.0f);
    float m33 = 0.0f;
    float m43 = 0.0f;
    KxCamera* camera = nullptr;
    KxQuad* ssaoQuad = nullptr;
    KxQuad* blurQuad = nullptr;
    float power = 2.0f;
    float radius = 0.05f;
    float bias = 0.025f;
    unsigned int nrOfKernels = MAX_KERNELS;

    void release()
    {
        KxObject* owned[] = {noiseTexture, rawTexture, blurredTexture, occlusionFbo, outputFbo, camera, ssaoQuad, blurQuad};
        for (KxObject* object : owned)
            delete object;
        for (KxShader* shader : shaders)
            delete shader;
        shaders.clear();
        noiseTexture = rawTexture = blurredTexture = nullptr;
        occlusionFbo = outputFbo = nullptr;
        ssaoProgram = blurProgram = nullptr;
        camera = nullptr;
        ssaoQuad = blurQuad = nullptr;
    }
};

KxSsao::KxSsao() : ssaoReserved(new Private)
{
    setSubtype(KIND_SSAO);
    char name[32];
    std::snprintf(name, sizeof(name), "[Ssao%d]", getId());
    setName(name);
    // Every filter gets the same kernel and noise: a fresh engine, default seed.
    std::mt19937 engine;
    Private& d = *ssaoReserved;
    for (unsigned int i = 0; i < MAX_KERNELS; ++i)
    {
        float z = uniform(engine);
        float y = 2.0f * uniform(engine) - 1.0f;
        float x = 2.0f * uniform(engine) - 1.0f;
        glm::vec3 sample = glm::normalize(glm::vec3(x, y, z)) * uniform(engine);
        float t = static_cast<float>(i) / static_cast<float>(MAX_KERNELS);
        d.kernel.push_back(sample * (0.1f + 0.9f * t * t)); // clustered near the centre
    }
    for (unsigned int i = 0; i < NOISE_SIZE; ++i)
    {
        float y = 2.0f * uniform(engine) - 1.0f;
        float x = 2.0f * uniform(engine) - 1.0f;
        d.noise.push_back(glm::vec3(x, y, 0.0f));
    }
}

KxSsao::~KxSsao()
{
    ssaoReserved->release();
    delete ssaoReserved;
}

bool KxSsao::create(int sizeX, int sizeY)
{
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *ssaoReserved;
    d.release();
    d.noiseTexture = new KxTexture;
    if (!d.noiseTexture->create(6, 4, 4, 0, 1, 1))
        return KX_LOG(LEVEL_ERROR, "Unable to create the SSAO noise");
    glTextureSubImage2D(d.noiseTexture->getHandle(), 0, 0, 0, 4, 4, GL_RGB, GL_FLOAT, d.noise.data());
    if (!createTarget(d.rawTexture, d.occlusionFbo, sizeX, sizeY, "Unable to validate SSAO FBO") ||
        !createTarget(d.blurredTexture, d.outputFbo, sizeX, sizeY, "Unable to validate output FBO"))
        return false;

    using kx::deferred::buildProgram;
    using kx::deferred::buildStage;
    KxShader* ssaoVs = buildStage(d.shaders, KxShader::KIND_VERTEX, kx_resource_ssao_vs_glsl, "Unable to compile SSAO VS");
    KxShader* ssaoFs = buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_ssao_fs_glsl, "Unable to compile SSAO FS");
    d.ssaoProgram = buildProgram(d.shaders, ssaoVs, ssaoFs, "Unable to build SSAO shader");
    KxShader* blurVs = buildStage(d.shaders, KxShader::KIND_VERTEX, kx_resource_postproc_vs_glsl, "Unable to compile blur VS");
    KxShader* blurFs = buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_ssao_blur_fs_glsl, "Unable to compile blur FS");
    d.blurProgram = buildProgram(d.shaders, blurVs, blurFs, "Unable to build SSAO blur shader");
    if (!d.ssaoProgram || !d.blurProgram)
        return false;
    d.ssaoProgram->render(nullptr);
    glUniform3fv(d.ssaoProgram->getParamLocation("generic3"), MAX_KERNELS, &d.kernel[0].x);

    // Flipped quads keep texture rows in the screen's order.
    d.ssaoQuad = new KxQuad(true);
    d.ssaoQuad->setShader(d.ssaoProgram);
    d.ssaoQuad->resize(sizeX, sizeY);
    d.ssaoQuad->setTexture(d.noiseTexture, kx::unit::SSAO_NOISE);
    d.blurQuad = new KxQuad(true);
    d.blurQuad->setShader(d.blurProgram);
    d.blurQuad->resize(sizeX, sizeY);
    d.blurQuad->setTexture(d.rawTexture, 0);
    d.camera = new KxCamera;
    d.camera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.camera->setViewportFromFbo(d.outputFbo);
    return true;
}

bool KxSsao::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for SSAO %d invoked", getId());
    KxFbo* gbuffer = static_cast<KxFbo*>(data);
    if (!gbuffer)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *ssaoReserved;
    if (!d.ssaoQuad)
        return KX_LOG(LEVEL_ERROR, "SSAO not created");
    KxTexture* depth = nullptr;
    for (unsigned int slot = 0; slot < KxFbo::MAX_ATTACHMENTS && !depth; ++slot)
        if (isDepthTexture(gbuffer->getTexture(slot)))
            depth = gbuffer->getTexture(slot);
    KxTexture* normals = gbuffer->getTexture(0);
    if (!depth || !normals || normals == depth)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    d.ssaoQuad->setTexture(depth, 0);
    d.ssaoQuad->setTexture(normals, 1);

    KxShader* program = d.ssaoProgram;
    program->render(nullptr);
    program->setParamMatrix4(KxShader::INVERSE_PROJECTION_MATRIX, d.inverseProjection);
    program->setParamFloat(KxShader::GENERIC0 + 1, d.m33);
    program->setParamFloat(KxShader::GENERIC0 + 2, d.m43);
    program->setParamFloat(KxShader::FILTER_RADIUS, d.radius);
    program->setParamFloat(KxShader::FILTER_BIAS, d.bias);
    program->setParamFloat(KxShader::FILTER_POWER, d.power);
    program->setParamDWord(KxShader::FILTER_KERNEL, d.nrOfKernels);

    KxOpenGL::depthTest(false);
    KxOpenGL::blending(false);
    KxOpenGL::culling(false);
    glm::vec4 background = KxOpenGL::getBackgroundColor();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    d.occlusionFbo->render(nullptr);
    d.camera->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    d.ssaoQuad->render(&record);
    d.outputFbo->render(nullptr);
    d.camera->render(nullptr);
    d.blurQuad->render(&record);
    KxOpenGL::depthTest(true);

    KxFbo::resetCache();
    KxOpenGL::setBackgroundColor(background);
    // The inputs are borrowed for this call only.
    d.ssaoQuad->setTexture(nullptr, 0);
    d.ssaoQuad->setTexture(nullptr, 1);
    KxStats::inc(KxStats::FILTER_RENDER);
    return true;
}

void KxSsao::setInvCameraProjMatrix(glm::mat4& matrix)
{
    ssaoReserved->inverseProjection = matrix;
}

void KxSsao::setM33(float m33)
{
    ssaoReserved->m33 = m33;
}

void KxSsao::setM43(float m43)
{
    ssaoReserved->m43 = m43;
}

void KxSsao::setPower(float power)
{
    ssaoReserved->power = power;
}

float KxSsao::getPower() const
{
    return ssaoReserved->power;
}

void KxSsao::setRadius(float radius)
{
    ssaoReserved->radius = radius;
}

float KxSsao::getRadius() const
{
    return ssaoReserved->radius;
}

void KxSsao::setBias(float bias)
{
    ssaoReserved->bias = bias;
}

float KxSsao::getBias() const
{
    return ssaoReserved->bias;
}

void KxSsao::setNrOfKernels(unsigned int count)
{
    if (count > MAX_KERNELS)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return;
    }
    ssaoReserved->nrOfKernels = count;
}

unsigned int KxSsao::getNrOfKernels() const
{
    return ssaoReserved->nrOfKernels;
}

const glm::vec3& KxSsao::getKernel(unsigned int index) const
{
    return ssaoReserved->kernel[std::min(index, MAX_KERNELS - 1)];
}

const glm::vec3& KxSsao::getNoise(unsigned int index) const
{
    return ssaoReserved->noise[std::min(index, NOISE_SIZE - 1)];
}

KxTexture* KxSsao::getTexture() const
{
    return ssaoReserved->blurredTexture;
}

KxTexture* KxSsao::getRawTexture() const
{
    return ssaoReserved->rawTexture;
}
