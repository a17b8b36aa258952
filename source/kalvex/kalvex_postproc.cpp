// KxPostProc: glow chain, tone mapping and gamma.
#include "kalvex_internal.h"

#include <algorithm>
#include <cstdio>

#include "kalvex_resources.h"

namespace
{
const unsigned int NR_OF_LEVELS = 2 * KxPostProc::NROFPASSES;
const float FILTER_KERNEL[5] = {0.07027027f, 0.31621623f, 0.22702703f, 0.31621623f, 0.07027027f};
const float FILTER_OFFSETS[5] = {3.2307692f, 1.3846154f, 0.0f, -1.3846154f, -3.2307692f};
const float GLOW_LAYER = 0.25f;
const float BLOOM_INTENSITY = 1.0f;

const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

// A texture of kind 4 and a framebuffer holding it; false when incomplete.
bool createTarget(KxTexture*& texture, KxFbo*& fbo, int sizeX, int sizeY)
{
    texture = new KxTexture;
    fbo = new KxFbo;
    texture->create(4, static_cast<unsigned int>(sizeX), static_cast<unsigned int>(sizeY), 1, 0, 0);
    fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, texture, 0, 0);
    if (!fbo->isOk())
        return KX_LOG(LEVEL_ERROR, "Unable to validate FBO");
    KxFbo::resetCache();
    return true;
}
}

struct KxPostProc::Private
{
    bool bloom = false;
    float gamma = 1.0f;
    unsigned int toneMappingTechnique = TONEMAPPING_REINHARD;
    KxFbo* outputFbo = nullptr;
    KxTexture* outputTexture = nullptr;
    KxFbo* levelFbos[NR_OF_LEVELS] = {};
    KxTexture* levelTextures[NR_OF_LEVELS] = {};
    KxQuad* levelQuads[NR_OF_LEVELS] = {};
    KxCamera* levelCameras[NROFPASSES] = {};
    KxShader* vertexShader = nullptr;
    KxShader* blurShader = nullptr;
    KxShader* brightShader = nullptr;
    KxShader* compositeShader = nullptr;
    KxShader* blurProgram = nullptr;
    KxShader* brightProgram = nullptr;
    KxShader* compositeProgram = nullptr;
    KxQuad* compositeQuad = nullptr;
    KxCamera* compositeCamera = nullptr;

    void release()
    {
        delete outputTexture;
        delete outputFbo;
        for (unsigned int level = 0; level < NR_OF_LEVELS; ++level)
        {
            delete levelFbos[level];
            delete levelTextures[level];
            delete levelQuads[level];
            if (level % 2)
                delete levelCameras[level / 2];
        }
        KxObject* rest[] = {vertexShader, blurShader, brightShader, compositeShader, blurProgram,
                            brightProgram, compositeProgram, compositeCamera, compositeQuad};
        for (KxObject* object : rest)
            delete object;
        bool keptBloom = bloom;
        float keptGamma = gamma;
        unsigned int keptTechnique = toneMappingTechnique;
        *this = Private();
        bloom = keptBloom;
        gamma = keptGamma;
        toneMappingTechnique = keptTechnique;
    }
};

bool KxPostProc::init()
{
    return true;
}

bool KxPostProc::free()
{
    return true;
}

KxPostProc::KxPostProc() : postProcReserved(new Private)
{
    setSubtype(KIND_POSTPROC);
    char name[32];
    std::snprintf(name, sizeof(name), "[PostProc%d]", getId());
    setName(name);
}

KxPostProc::~KxPostProc()
{
    postProcReserved->release();
    delete postProcReserved;
}

bool KxPostProc::create(int sizeX, int sizeY)
{
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *postProcReserved;
    d.release(); // a second create starts afresh

    if (!createTarget(d.outputTexture, d.outputFbo, sizeX, sizeY))
        return false;

    auto stage = [](int kind, const unsigned char* text) {
        KxShader* shader = new KxShader;
        shader->loadFromMemory(kind, source(text));
        return shader;
    };
    d.vertexShader = stage(KxShader::KIND_VERTEX, kx_resource_postproc_vs_glsl);
    d.blurShader = stage(KxShader::KIND_FRAGMENT, kx_resource_postproc_blur_fs_glsl);
    d.brightShader = stage(KxShader::KIND_FRAGMENT, kx_resource_postproc_bright_fs_glsl);
    d.compositeShader = stage(KxShader::KIND_FRAGMENT, kx_resource_postproc_composite_fs_glsl);
    d.blurProgram = new KxShader;
    d.blurProgram->build(d.vertexShader, nullptr, d.blurShader);
    d.brightProgram = new KxShader;
    d.brightProgram->build(d.vertexShader, nullptr, d.brightShader);
    d.compositeProgram = new KxShader;
    d.compositeProgram->build(d.vertexShader, nullptr, d.compositeShader);

    // Every quad maps its texture straight onto its target (flipped texture
    // coordinates under the 2D camera's y-down pixels), so no pass turns the
    // image upside down.
    // Below 16 pixels the last levels would have no size at all: keep one pixel.
    int width = std::max(sizeX / 2, 1), height = std::max(sizeY / 2, 1);
    for (unsigned int level = 0; level < NR_OF_LEVELS; ++level)
    {
        if (!createTarget(d.levelTextures[level], d.levelFbos[level], width, height))
            return false;
        d.levelQuads[level] = new KxQuad(true);
        d.levelQuads[level]->resize(width, height);
        d.levelQuads[level]->setShader(d.blurProgram);
        if (level > 0)
            d.levelQuads[level]->setTexture(d.levelTextures[level - 1], 0);
        if (level % 2)
        {
            width = std::max(width / 2, 1);
            height = std::max(height / 2, 1);
        }
        else
        {
            d.levelCameras[level / 2] = new KxCamera;
            d.levelCameras[level / 2]->setViewportFromFbo(d.levelFbos[level]);
        }
    }

    d.compositeQuad = new KxQuad(true);
    d.compositeQuad->resize(sizeX, sizeY);
    d.compositeQuad->setShader(d.compositeProgram);
    for (unsigned int pass = 0; pass < NROFPASSES; ++pass)
        d.compositeQuad->setTexture(d.levelTextures[2 * pass + 1], pass);
    d.compositeCamera = new KxCamera;
    d.compositeCamera->setViewportFromFbo(d.outputFbo);
    return true;
}

bool KxPostProc::render(void* data)
{
    return render(static_cast<KxTexture*>(data), nullptr);
}

bool KxPostProc::render(KxTexture* texture, KxFbo* target)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for postproc %d invoked", getId());
    if (!texture)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *postProcReserved;
    if (!d.compositeQuad)
        return KX_LOG(LEVEL_ERROR, "Post-processing not created");

    // Screen passes: no depth test, blending or culling left over from the scene.
    KxOpenGL::blending(false);
    KxOpenGL::culling(false);

    d.blurProgram->render(nullptr);
    d.blurProgram->setParamFloatArray(KxShader::FILTER_KERNEL, 5, FILTER_KERNEL);
    if (d.bloom)
    {
        d.brightProgram->setParamFloatArray(KxShader::FILTER_KERNEL, 5, FILTER_KERNEL);
        d.brightProgram->setParamFloat(KxShader::BLOOM_INTENSITY, BLOOM_INTENSITY);
        d.levelQuads[0]->setShader(d.brightProgram);
    }
    else
        d.levelQuads[0]->setShader(d.blurProgram);
    d.levelQuads[0]->setTexture(texture, 0);

    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    for (unsigned int pass = 0; pass < NROFPASSES; ++pass)
    {
        for (unsigned int direction = 0; direction < 2; ++direction)
        {
            unsigned int level = 2 * pass + direction;
            KxFbo* fbo = d.levelFbos[level];
            fbo->render(nullptr);
            d.levelCameras[pass]->render(nullptr);
            glm::vec2 offsets[5];
            for (int tap = 0; tap < 5; ++tap)
                offsets[tap] = direction == 0 ? glm::vec2(FILTER_OFFSETS[tap] / fbo->getSizeX(), 0.0f)
                                              : glm::vec2(0.0f, FILTER_OFFSETS[tap] / fbo->getSizeY());
            KxShader* program = d.levelQuads[level]->getShader();
            program->render(nullptr);
            program->setParamVector2Array(KxShader::FILTER_OFFSET, 5, offsets);
            d.levelQuads[level]->render(&record);
        }
    }

    (target ? target : d.outputFbo)->render(nullptr);
    d.compositeCamera->render(nullptr);
    d.compositeProgram->render(nullptr);
    d.compositeProgram->setParamFloat(KxShader::LAYER, GLOW_LAYER);
    d.compositeProgram->setParamFloat(KxShader::GAMMA, d.gamma);
    d.compositeProgram->setParamDWord(KxShader::TONE_MAPPING_TECHNIQUE, d.toneMappingTechnique);
    d.compositeQuad->setTexture(texture, 4);
    d.compositeQuad->render(&record);
    d.compositeQuad->setTexture(nullptr, 4); // the input is only borrowed
    d.levelQuads[0]->setTexture(nullptr, 0);

    KxFbo::resetCache();
    KxStats::inc(KxStats::FILTER_RENDER);
    return true;
}

void KxPostProc::setBloom(bool bloom)
{
    postProcReserved->bloom = bloom;
}

bool KxPostProc::isBloom() const
{
    return postProcReserved->bloom;
}

void KxPostProc::setGamma(float gamma)
{
    postProcReserved->gamma = gamma;
}

float KxPostProc::getGamma() const
{
    return postProcReserved->gamma;
}

bool KxPostProc::setToneMappingTechnique(unsigned int technique)
{
    if (technique > TONEMAPPING_UNCHARTED2)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    postProcReserved->toneMappingTechnique = technique;
    return true;
}

unsigned int KxPostProc::getToneMappingTechnique() const
{
    return postProcReserved->toneMappingTechnique;
}

KxTexture* KxPostProc::getTexture() const
{
    return postProcReserved->outputTexture;
}

KxFbo* KxPostProc::getFbo() const
{
    return postProcReserved->outputFbo;
}

unsigned int KxPostProc::getLevelSizeX(unsigned int level) const
{
    KxTexture* texture = level < NR_OF_LEVELS ? postProcReserved->levelTextures[level] : nullptr;
    return texture ? texture->getSizeX() : 0;
}

unsigned int KxPostProc::getLevelSizeY(unsigned int level) const
{
    KxTexture* texture = level < NR_OF_LEVELS ? postProcReserved->levelTextures[level] : nullptr;
    return texture ? texture->getSizeY() : 0;
}
