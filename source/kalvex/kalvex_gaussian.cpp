// KxGaussian: a stand-alone four-level glow, without tone mapping.
#include "kalvex_internal.h"
#include "kalvex_deferred.h"

#include <algorithm>
#include <cstdio>

#include "kalvex_resources.h"

namespace
{
const unsigned int NR_OF_LEVELS = 2 * KxGaussian::NROFPASSES;
const float FILTER_KERNEL[5] = {0.07027027f, 0.31621623f, 0.22702703f, 0.31621623f, 0.07027027f};
const float FILTER_OFFSETS[5] = {3.2307692f, 1.3846154f, 0.0f, -1.3846154f, -3.2307692f};
const float GLOW_LAYER = 0.25f;

bool createTarget(KxTexture*& texture, KxFbo*& fbo, int sizeX, int sizeY)
{
    texture = new KxTexture;
    fbo = new KxFbo;
    if (!texture->create(4, static_cast<unsigned int>(sizeX), static_cast<unsigned int>(sizeY), 1, 0, 0))
        return KX_LOG(LEVEL_ERROR, "Unable to validate FBO");
    fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, texture, 0, 0);
    bool complete = fbo->isOk();
    KxFbo::resetCache();
    if (!complete)
        return KX_LOG(LEVEL_ERROR, "Unable to validate FBO");
    return true;
}
}

struct KxGaussian::Private
{
    bool bloom = false;
    float gamma = 1.0f;
    KxFbo* outputFbo = nullptr;
    KxTexture* outputTexture = nullptr;
    KxFbo* levelFbos[NR_OF_LEVELS] = {};
    KxTexture* levelTextures[NR_OF_LEVELS] = {};
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* blurProgram = nullptr;
    KxShader* brightProgram = nullptr;
    KxShader* compositeProgram = nullptr;
    KxQuad* quad = nullptr;
    KxCamera* camera = nullptr;

    void release()
    {
        delete outputFbo;
        delete outputTexture;
        for (unsigned int level = 0; level < NR_OF_LEVELS; ++level)
        {
            delete levelFbos[level];
            delete levelTextures[level];
            levelFbos[level] = nullptr;
            levelTextures[level] = nullptr;
        }
        for (KxShader* shader : shaders)
            delete shader;
        shaders.clear();
        delete quad;
        delete camera;
        outputFbo = nullptr;
        outputTexture = nullptr;
        blurProgram = brightProgram = compositeProgram = nullptr;
        quad = nullptr;
        camera = nullptr;
    }
};

KxGaussian::KxGaussian() : gaussianReserved(new Private)
{
    setSubtype(KIND_GAUSSIAN);
    char name[32];
    std::snprintf(name, sizeof(name), "[Gaussian%d]", getId());
    setName(name);
}

KxGaussian::~KxGaussian()
{
    gaussianReserved->release();
    delete gaussianReserved;
}

bool KxGaussian::create(int sizeX, int sizeY)
{
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *gaussianReserved;
    d.release();
    if (!createTarget(d.outputTexture, d.outputFbo, sizeX, sizeY))
        return false;
    // Below 16 pixels the last levels would have no size at all: keep one pixel.
    int width = std::max(sizeX / 2, 1), height = std::max(sizeY / 2, 1);
    for (unsigned int level = 0; level < NR_OF_LEVELS; ++level)
    {
        if (!createTarget(d.levelTextures[level], d.levelFbos[level], width, height))
            return false;
        if (level % 2)
        {
            width = std::max(width / 2, 1);
            height = std::max(height / 2, 1);
        }
    }
    using kx::deferred::buildProgram;
    using kx::deferred::buildStage;
    KxShader* vertex = buildStage(d.shaders, KxShader::KIND_VERTEX, kx_resource_postproc_vs_glsl, "Unable to compile gaussian VS");
    KxShader* blur = buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_postproc_blur_fs_glsl, "Unable to compile gaussian FS");
    KxShader* bright = buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_gaussian_bright_fs_glsl,
                                  "Unable to compile gaussian bright-pass FS");
    KxShader* composite = buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_gaussian_composite_fs_glsl,
                                     "Unable to compile gaussian composite FS");
    d.blurProgram = buildProgram(d.shaders, vertex, blur, "Unable to build gaussian shader");
    d.brightProgram = buildProgram(d.shaders, vertex, bright, "Unable to build gaussian bright-pass shader");
    d.compositeProgram = buildProgram(d.shaders, vertex, composite, "Unable to build gaussian composite shader");
    if (!d.blurProgram || !d.brightProgram || !d.compositeProgram)
        return false;
    d.quad = new KxQuad(true); // texture rows in the target's order
    d.quad->setShader(d.blurProgram);
    d.quad->resize(sizeX, sizeY);
    d.camera = new KxCamera;
    d.camera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.camera->setViewportFromFbo(d.outputFbo);
    return true;
}

bool KxGaussian::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for gaussian %d invoked", getId());
    KxTexture* input = static_cast<KxTexture*>(data);
    if (!input)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *gaussianReserved;
    if (!d.quad)
        return KX_LOG(LEVEL_ERROR, "Gaussian not created");
    KxOpenGL::depthTest(false);
    KxOpenGL::blending(false);
    KxOpenGL::culling(false);
    glm::vec4 background = KxOpenGL::getBackgroundColor();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    d.blurProgram->render(nullptr);
    d.blurProgram->setParamFloatArray(KxShader::FILTER_KERNEL, 5, FILTER_KERNEL);
    d.brightProgram->render(nullptr);
    d.brightProgram->setParamFloatArray(KxShader::FILTER_KERNEL, 5, FILTER_KERNEL);
    d.quad->setShader(d.bloom ? d.brightProgram : d.blurProgram);
    d.quad->setTexture(input, 0);

    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    for (unsigned int level = 0; level < NR_OF_LEVELS; ++level)
    {
        KxFbo* fbo = d.levelFbos[level];
        bool horizontal = level % 2 == 0;
        fbo->render(nullptr);
        d.camera->setViewportFromFbo(fbo);
        d.camera->render(nullptr);
        glm::vec2 offsets[5];
        for (int tap = 0; tap < 5; ++tap)
            offsets[tap] = horizontal ? glm::vec2(FILTER_OFFSETS[tap] / fbo->getSizeX(), 0.0f)
                                      : glm::vec2(0.0f, FILTER_OFFSETS[tap] / fbo->getSizeY());
        KxShader* program = d.quad->getShader();
        program->render(nullptr);
        program->setParamVector2Array(KxShader::FILTER_OFFSET, 5, offsets);
        glClear(GL_COLOR_BUFFER_BIT);
        d.quad->resize(static_cast<int>(fbo->getSizeX()), static_cast<int>(fbo->getSizeY()));
        d.quad->render(&record);
        d.quad->setTexture(d.levelTextures[level], 0);
        d.quad->setShader(d.blurProgram);
    }

    d.outputFbo->render(nullptr);
    d.camera->setViewportFromFbo(d.outputFbo);
    d.camera->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    d.quad->resize(static_cast<int>(d.outputFbo->getSizeX()), static_cast<int>(d.outputFbo->getSizeY()));
    d.quad->setShader(d.compositeProgram);
    d.compositeProgram->render(nullptr);
    d.compositeProgram->setParamFloat(KxShader::LAYER, GLOW_LAYER);
    d.compositeProgram->setParamFloat(KxShader::GAMMA, d.gamma);
    for (unsigned int pass = 0; pass < NROFPASSES; ++pass)
        d.quad->setTexture(d.levelTextures[2 * pass + 1], pass);
    d.quad->setTexture(input, 4);
    d.quad->render(&record);
    for (unsigned int slot = 0; slot <= NROFPASSES; ++slot)
        d.quad->setTexture(nullptr, slot); // the input is only borrowed

    KxOpenGL::depthTest(true);
    KxFbo::resetCache();
    KxOpenGL::setBackgroundColor(background);
    KxStats::inc(KxStats::FILTER_RENDER);
    return true;
}

void KxGaussian::setBloom(bool bloom)
{
    gaussianReserved->bloom = bloom;
}

bool KxGaussian::isBloom() const
{
    return gaussianReserved->bloom;
}

void KxGaussian::setGamma(float gamma)
{
    gaussianReserved->gamma = gamma;
}

float KxGaussian::getGamma() const
{
    return gaussianReserved->gamma;
}

KxTexture* KxGaussian::getTexture() const
{
    return gaussianReserved->outputTexture;
}

KxFbo* KxGaussian::getFbo() const
{
    return gaussianReserved->outputFbo;
}
