// KxSkybox: a cube-mapped environment around the camera, drawn on the far
// plane without writing depth.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdio>

namespace
{
// The cube [-1, 1]^3, seen from inside.
const float CORNERS[8][3] = {{-1, 1, 1},  {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},
                             {-1, 1, -1}, {-1, -1, -1}, {1, -1, -1}, {1, 1, -1}};
const uint16_t INDICES[36] = {0, 2, 1, 0, 3, 2, 3, 6, 2, 3, 7, 6, 4, 3, 0, 4, 7, 3,
                              6, 4, 5, 7, 4, 6, 4, 1, 5, 4, 0, 1, 1, 6, 5, 1, 2, 6};
// Texture kinds of colour cube maps (KxTexture::create and load).
const int KIND_CUBE_R32F = 16;
const int KIND_CUBE_RGB8 = 17;
const int KIND_CUBE_RGBA8 = 18;
}

struct KxSkybox::Private
{
    GLuint vertexBuffer = 0;
    GLuint indexBuffer = 0;
    GLuint vertexArray = 0;
    KxTexture* texture = nullptr;     // borrowed
    KxTexture* white = nullptr;       // owned: drawn while no texture is set
    bool useProjMatrix = false;
    glm::mat4 projMatrix = glm::mat4(0.0f);
    float hdrIntensity = 1.0f;
};

KxSkybox::KxSkybox() : skyboxReserved(new Private)
{
    setType(TYPE_SKYBOX);
    char name[32];
    std::snprintf(name, sizeof(name), "[Skybox%d]", getId());
    setName(name);
    Private& d = *skyboxReserved;
    glCreateBuffers(1, &d.vertexBuffer);
    glNamedBufferData(d.vertexBuffer, sizeof(CORNERS), CORNERS, GL_STATIC_DRAW);
    glCreateBuffers(1, &d.indexBuffer);
    glNamedBufferData(d.indexBuffer, sizeof(INDICES), INDICES, GL_STATIC_DRAW);
    glCreateVertexArrays(1, &d.vertexArray);
    glVertexArrayVertexBuffer(d.vertexArray, 0, d.vertexBuffer, 0, 3 * sizeof(float));
    glVertexArrayAttribFormat(d.vertexArray, 0, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(d.vertexArray, 0, 0);
    glEnableVertexArrayAttrib(d.vertexArray, 0);
    glVertexArrayElementBuffer(d.vertexArray, d.indexBuffer);

    // The sky box shaders sample cube maps: the engine's default texture is a
    // 2D one, so white comes as a cube map of its own.
    d.white = new KxTexture;
    const unsigned char white[6 * 3] = {255, 255, 255, 255, 255, 255, 255, 255, 255,
                                        255, 255, 255, 255, 255, 255, 255, 255, 255};
    if (!d.white->create(KIND_CUBE_RGB8, 1, 1, 1, 2, 0) || !d.white->write(white))
        KX_LOG(LEVEL_ERROR, "Unable to create the default sky texture");
    KX_LOG(LEVEL_DEBUG, "[+] id: %d", getId());
}

KxSkybox::~KxSkybox()
{
    Private& d = *skyboxReserved;
    kx::GlContext::deleteVertexArrays(1, &d.vertexArray);
    kx::GlContext::deleteBuffers(1, &d.vertexBuffer);
    kx::GlContext::deleteBuffers(1, &d.indexBuffer);
    delete d.white;
    delete skyboxReserved;
    KX_LOG(LEVEL_DEBUG, "[-] id: %d", getId());
}

bool KxSkybox::setTexture(KxTexture* texture)
{
    // A failed load leaves an empty texture: refusing it keeps the sky there is.
    if (texture && (texture->getSubtype() < KIND_CUBE_R32F || texture->getSubtype() > KIND_CUBE_RGBA8))
        return KX_LOG(LEVEL_ERROR, "Not a cube map: '%s'", texture->getName().c_str());
    skyboxReserved->texture = texture;
    return true;
}

KxTexture* KxSkybox::getTexture() const
{
    return skyboxReserved->texture;
}

void KxSkybox::setHdrIntensity(float intensity)
{
    skyboxReserved->hdrIntensity = intensity;
}

float KxSkybox::getHdrIntensity() const
{
    return skyboxReserved->hdrIntensity;
}

void KxSkybox::setUseProjMatrix(bool use)
{
    skyboxReserved->useProjMatrix = use;
}

bool KxSkybox::getUseProjMatrix() const
{
    return skyboxReserved->useProjMatrix;
}

void KxSkybox::setProjMatrix(const glm::mat4& matrix)
{
    skyboxReserved->projMatrix = matrix;
}

const glm::mat4& KxSkybox::getProjMatrix() const
{
    return skyboxReserved->projMatrix;
}

bool KxSkybox::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for skybox %d invoked", getId());
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelViewMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!pipeline->renderShaderForType(TYPE_SKYBOX, 0, KxPipeline::FLAGS_ALONE))
        return false;
    Private& d = *skyboxReserved;
    KxShader* shader = KxShader::getCurrent();
    shader->setParamFloat(KxShader::GENERIC0 + 2, d.hdrIntensity);
    if (d.useProjMatrix)
    {
        shader->setParamDWord(KxShader::GENERIC0 + 1, 1);
        shader->setParamMatrix4(KxShader::MODELVIEWPROJ_MATRIX, d.projMatrix * *record->modelViewMatrix);
    }
    else
    {
        shader->setParamDWord(KxShader::GENERIC0 + 1, 0);
        shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    }
    KxTexture* texture = d.texture ? d.texture : d.white;
    texture->render(nullptr);

    // Seen from inside whatever the winding: no culling; the depth buffer
    // keeps what was drawn before.
    bool culling = KxOpenGL::isCulling();
    KxOpenGL::culling(false);
    kx::GlContext::bindVertexArray(d.vertexArray);
    kx::GlContext::depthWrite(false);
    glDrawElements(GL_TRIANGLES, 36, GL_UNSIGNED_SHORT, nullptr);
    kx::GlContext::depthWrite(true);
    KxMesh::resetCache();
    KxOpenGL::culling(culling);
    KxStats::inc(KxStats::SKYBOX_RENDER);
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}
