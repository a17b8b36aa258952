// KxQuad: a pixel-sized screen rectangle drawn as a four-vertex strip.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdio>

namespace
{
const float FLIPPED_UV[8] = {0, 1, 0, 0, 1, 1, 1, 0};
const float NORMAL_UV[8] = {0, 0, 0, 1, 1, 0, 1, 1};
const unsigned int NR_OF_TEXTURES = 8;

void quadPositions(int sizeX, int sizeY, float positions[8])
{
    const float x = static_cast<float>(sizeX), y = static_cast<float>(sizeY);
    const float corners[8] = {0, 0, 0, y, x, 0, x, y};
    for (int i = 0; i < 8; ++i)
        positions[i] = corners[i];
}
}

struct KxQuad::Private
{
    GLuint positionBuffer = 0;
    GLuint texCoordBuffer = 0;
    GLuint colorBuffer = 0;
    GLuint vertexArray = 0;
    int sizeX = 128;
    int sizeY = 128;
    glm::vec4 color = glm::vec4(1.0f);
    KxTexture* textures[NR_OF_TEXTURES] = {};
    KxShader* shader = nullptr;
};

KxQuad::KxQuad(bool flipped) : quadReserved(new Private)
{
    setType(TYPE_QUAD);
    char name[32];
    std::snprintf(name, sizeof(name), "[Quad%d]", getId());
    setName(name);

    float positions[8];
    quadPositions(quadReserved->sizeX, quadReserved->sizeY, positions);
    const glm::vec4 colors[4] = {quadReserved->color, quadReserved->color, quadReserved->color, quadReserved->color};
    GLuint* buffers[3] = {&quadReserved->positionBuffer, &quadReserved->texCoordBuffer, &quadReserved->colorBuffer};
    for (GLuint* buffer : buffers)
        glCreateBuffers(1, buffer);
    glNamedBufferData(quadReserved->positionBuffer, sizeof(positions), positions, GL_STATIC_DRAW);
    glNamedBufferData(quadReserved->texCoordBuffer, sizeof(FLIPPED_UV), flipped ? FLIPPED_UV : NORMAL_UV, GL_STATIC_DRAW);
    glNamedBufferData(quadReserved->colorBuffer, sizeof(colors), colors, GL_STATIC_DRAW);

    GLuint vertexArray = 0;
    glCreateVertexArrays(1, &vertexArray);
    quadReserved->vertexArray = vertexArray;
    struct Attribute
    {
        GLuint location;
        GLuint buffer;
        GLint components;
    };
    const Attribute attributes[] = {
        {0, quadReserved->positionBuffer, 2},
        {2, quadReserved->texCoordBuffer, 2},
        {3, quadReserved->colorBuffer, 4},
    };
    for (const Attribute& attribute : attributes)
    {
        glVertexArrayVertexBuffer(vertexArray, attribute.location, attribute.buffer, 0,
                                  static_cast<GLsizei>(attribute.components * sizeof(float)));
        glVertexArrayAttribFormat(vertexArray, attribute.location, attribute.components, GL_FLOAT, GL_FALSE, 0);
        glVertexArrayAttribBinding(vertexArray, attribute.location, attribute.location);
        glEnableVertexArrayAttrib(vertexArray, attribute.location);
    }
}

KxQuad::~KxQuad()
{
    GLuint buffers[3] = {quadReserved->positionBuffer, quadReserved->texCoordBuffer, quadReserved->colorBuffer};
    kx::GlContext::deleteBuffers(3, buffers);
    kx::GlContext::deleteVertexArrays(1, &quadReserved->vertexArray);
    delete quadReserved;
}

bool KxQuad::resize(int sizeX, int sizeY)
{
    if (sizeX < 0 || sizeY < 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    float positions[8];
    quadPositions(sizeX, sizeY, positions);
    glNamedBufferSubData(quadReserved->positionBuffer, 0, sizeof(positions), positions);
    quadReserved->sizeX = sizeX;
    quadReserved->sizeY = sizeY;
    return true;
}

int KxQuad::getSizeX() const
{
    return quadReserved->sizeX;
}

int KxQuad::getSizeY() const
{
    return quadReserved->sizeY;
}

void KxQuad::setColor(const glm::vec4& color)
{
    const glm::vec4 colors[4] = {color, color, color, color};
    glNamedBufferSubData(quadReserved->colorBuffer, 0, sizeof(colors), colors);
    quadReserved->color = color;
}

void KxQuad::setColor(float r, float g, float b)
{
    setColor(glm::vec4(r, g, b, quadReserved->color.a));
}

void KxQuad::setColor(float r, float g, float b, float a)
{
    setColor(glm::vec4(r, g, b, a));
}

const glm::vec4& KxQuad::getColor() const
{
    return quadReserved->color;
}

bool KxQuad::setTexture(KxTexture* texture, unsigned int slot)
{
    if (slot >= NR_OF_TEXTURES)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    quadReserved->textures[slot] = texture;
    return true;
}

KxTexture* KxQuad::getTexture(unsigned int slot) const
{
    if (slot >= NR_OF_TEXTURES)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    return quadReserved->textures[slot];
}

bool KxQuad::setShader(KxShader* shader)
{
    KxShader* old = quadReserved->shader;
    if (old == shader)
        return true;
    kx::References::unlink(old, this);
    quadReserved->shader = shader;
    // A deleted program (a reloaded pipeline's, say) leaves the pipeline's own.
    kx::References::link(shader, this, [](KxObject* holder, KxObject*) { static_cast<KxQuad*>(holder)->setShader(nullptr); });
    return true;
}

KxShader* KxQuad::getShader() const
{
    return quadReserved->shader;
}

bool KxQuad::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for quad %d invoked", getId());
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelViewMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (quadReserved->shader)
    {
        if (!quadReserved->shader->render(nullptr))
            return false;
    }
    else
    {
        KX_LOG(LEVEL_DEBUG, "Pipeline shader");
        if (!pipeline->renderShaderForType(TYPE_QUAD, 0, KxPipeline::FLAGS_ALONE))
            return false;
    }
    KxShader* shader = KxShader::getCurrent();
    shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    for (unsigned int slot = 0; slot < NR_OF_TEXTURES; ++slot)
        if (quadReserved->textures[slot])
            quadReserved->textures[slot]->render(reinterpret_cast<void*>(static_cast<uintptr_t>(slot)));

    kx::GlContext::bindVertexArray(quadReserved->vertexArray);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    KxStats::inc(KxStats::DRAW_CALL);
    KxStats::add(KxStats::TRIANGLE, 2);
    KxMesh::resetCache(); // binds 0 and tells the mesh cache so
    return true;
}
