// KxDefaultRendering: the forward pipeline.
#include "kalvex_internal.h"

#include <algorithm>
#include <vector>

#include "kalvex_resources.h"

namespace
{
const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}
}

struct KxDefaultRendering::Private
{
    KxFbo* framebuffer = nullptr;
    KxTexture* colorTexture = nullptr;
    KxTexture* depthTexture = nullptr;
    KxFbo* multisampleFramebuffer = nullptr;
    KxTexture* multisampleColorTexture = nullptr;
    KxTexture* multisampleDepthTexture = nullptr;
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* quadProgram = nullptr;
};

KxDefaultRendering::KxDefaultRendering() : forwardReserved(new Private)
{
    setSubtype(2);
    setName("DefaultPipeline");
}

KxDefaultRendering::~KxDefaultRendering()
{
    unload(nullptr);
    delete forwardReserved;
}

namespace
{
// Builds a framebuffer with one colour and one depth texture of a kind each.
bool buildTarget(KxFbo*& fbo, KxTexture*& color, KxTexture*& depth, int colorKind, int depthKind, unsigned int colorOperation,
                 unsigned int depthOperation, int sizeX, int sizeY)
{
    color = new KxTexture;
    depth = new KxTexture;
    fbo = new KxFbo;
    if (!color->create(colorKind, sizeX, sizeY, 1, 0, 0) || !depth->create(depthKind, sizeX, sizeY, 1, 0, 0))
        return false;
    fbo->bindTexture(0, colorOperation, color, 0, 0);
    fbo->bindTexture(1, depthOperation, depth, 0, 0);
    bool complete = fbo->isOk();
    KxFbo::resetCache();
    return complete;
}
}

bool KxDefaultRendering::load(void* data)
{
    unload(nullptr);
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int sizeX = std::min(config ? config->getWindowSizeX() : Kalvex::getWindowSizeX(), MAX_WINDOWSIZEX);
    int sizeY = std::min(config ? config->getWindowSizeY() : Kalvex::getWindowSizeY(), MAX_WINDOWSIZEY);
    Private& d = *forwardReserved;

    if (!buildTarget(d.framebuffer, d.colorTexture, d.depthTexture, 5, 8, KxFbo::OP_COLOR_TEXTURE, KxFbo::OP_DEPTH_TEXTURE,
                     sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to setup standard framebuffer");
    if (!buildTarget(d.multisampleFramebuffer, d.multisampleColorTexture, d.multisampleDepthTexture, 22, 23,
                     KxFbo::OP_COLOR_TEXTURE_MULTISAMPLE, KxFbo::OP_DEPTH_TEXTURE_MULTISAMPLE, sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to setup multisampling framebuffer");

    auto makeStage = [&](int kind, const unsigned char* text, const char* failure) -> KxShader* {
        KxShader* shader = new KxShader;
        d.shaders.push_back(shader);
        if (!shader->loadFromMemory(kind, source(text)) || !shader->compile())
        {
            KX_LOG(LEVEL_ERROR, "%s", failure);
            return nullptr;
        }
        return shader;
    };

    KxShader* quadVertex = makeStage(KxShader::KIND_VERTEX, kx_resource_quad_vs_glsl, "Unable to compile quad VS");
    if (!quadVertex)
        return false;
    KxShader* quadFragment = makeStage(KxShader::KIND_FRAGMENT, kx_resource_quad_fs_glsl, "Unable to compile quad FS");
    if (!quadFragment)
        return false;
    d.quadProgram = new KxShader;
    d.shaders.push_back(d.quadProgram);
    if (!d.quadProgram->build(quadVertex, nullptr, quadFragment))
        return KX_LOG(LEVEL_ERROR, "Unable to compile quad FS");
    setShader(d.quadProgram, TYPE_QUAD, 0, FLAGS_ALONE);
    return true;
}

bool KxDefaultRendering::unload(void*)
{
    Private& d = *forwardReserved;
    KxObject* owned[] = {d.framebuffer, d.multisampleFramebuffer, d.colorTexture, d.depthTexture,
                         d.multisampleColorTexture, d.multisampleDepthTexture};
    for (KxObject* object : owned)
        delete object;
    for (KxShader* shader : d.shaders)
        delete shader;
    d = Private();
    resetShaders();
    setPostProcFilter(nullptr);
    return true;
}

bool KxDefaultRendering::render(KxCamera* camera, KxList* list, KxFbo*)
{
    if (!camera || !list)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    return camera->render(nullptr);
}

KxShader* KxDefaultRendering::getQuadProgram() const
{
    return forwardReserved->quadProgram;
}

KxFbo* KxDefaultRendering::getFramebuffer() const
{
    return forwardReserved->framebuffer;
}

KxTexture* KxDefaultRendering::getColorTexture() const
{
    return forwardReserved->colorTexture;
}
