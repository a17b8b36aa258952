// KxFbo: framebuffer objects with a cache of the bound one.
#include "kalvex.h"
#include "kalvex_glcontext.h"

#include <GL/glew.h>

#include <cstdio>
#include <vector>

struct KxFbo::Private
{
    unsigned int sizeX = 0;
    unsigned int sizeY = 0;
    unsigned int sizeZ = 0;
    KxTexture* textures[MAX_ATTACHMENTS] = {};
    int colorAttachments[MAX_ATTACHMENTS] = {-1, -1, -1, -1, -1, -1, -1, -1};
    GLuint framebuffer = 0;
    GLuint renderBuffers[MAX_ATTACHMENTS] = {};
    std::vector<GLenum> drawBuffers;
};

namespace
{
struct FboCache
{
    KxFbo* current = nullptr;
};
FboCache* cache = nullptr;

bool isColorOperation(unsigned int operation)
{
    return operation == KxFbo::OP_COLOR_TEXTURE || operation == KxFbo::OP_COLOR_TEXTURE_MULTISAMPLE ||
           operation == KxFbo::OP_COLOR_TEXTURE_3D_LAYER || operation == KxFbo::OP_COLOR_TEXTURE_LAYER ||
           operation == KxFbo::OP_COLOR_TEXTURE_LAYERED;
}

// Draw buffers belong to the framebuffer object, so they are set here, when
// the attachments change, as well as on every uncached bind.
void rebuildDrawBuffers(GLuint framebuffer, const int* colorAttachments, std::vector<GLenum>& drawBuffers)
{
    drawBuffers.clear();
    for (unsigned int slot = 0; slot < KxFbo::MAX_ATTACHMENTS; ++slot)
        if (colorAttachments[slot] != -1)
            drawBuffers.push_back(GL_COLOR_ATTACHMENT0 + static_cast<GLenum>(colorAttachments[slot]));
    if (!drawBuffers.empty())
        glNamedFramebufferDrawBuffers(framebuffer, static_cast<GLsizei>(drawBuffers.size()), drawBuffers.data());
}
}

void KxFbo::init()
{
    if (cache)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    cache = new FboCache;
}

void KxFbo::free()
{
    if (!cache)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete cache;
    cache = nullptr;
}

KxFbo::KxFbo() : fboReserved(new Private)
{
    setType(TYPE_FBO);
    char defaultName[32];
    std::snprintf(defaultName, sizeof(defaultName), "[Fbo%d]", getId());
    setName(defaultName);
    glCreateFramebuffers(1, &fboReserved->framebuffer);
}

KxFbo::~KxFbo()
{
    // Deleting a bound framebuffer falls back to the window's; a stale cache
    // entry would also match a new object allocated at this address.
    if (cache && cache->current == this)
        cache->current = nullptr;
    for (GLuint& renderBuffer : fboReserved->renderBuffers)
        if (renderBuffer)
        {
            glDeleteRenderbuffers(1, &renderBuffer);
            renderBuffer = 0;
        }
    if (fboReserved->framebuffer)
        kx::GlContext::deleteFramebuffers(1, &fboReserved->framebuffer);
    delete fboReserved;
    fboReserved = nullptr;
}

bool KxFbo::bindTexture(unsigned int slot, unsigned int operation, KxTexture* texture, int n, int layer)
{
    if (slot >= MAX_ATTACHMENTS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    render();
    if (!texture)
        return true;

    // Attached by name: code that binds framebuffers behind the cache (a blit
    // to the window, say) must not redirect the attachment elsewhere.
    GLuint framebuffer = fboReserved->framebuffer;
    GLuint name = texture->getHandle();
    GLenum colorAttachment = GL_COLOR_ATTACHMENT0 + static_cast<GLenum>(n);
    switch (operation)
    {
    case OP_COLOR_TEXTURE:
    case OP_COLOR_TEXTURE_MULTISAMPLE:
    case OP_COLOR_TEXTURE_LAYERED:
        glNamedFramebufferTexture(framebuffer, colorAttachment, name, 0);
        break;
    case OP_DEPTH_TEXTURE:
    case OP_DEPTH_TEXTURE_MULTISAMPLE:
    case OP_DEPTH_TEXTURE_LAYERED:
        glNamedFramebufferTexture(framebuffer, GL_DEPTH_ATTACHMENT, name, 0);
        break;
    case OP_COLOR_TEXTURE_3D_LAYER:
    case OP_COLOR_TEXTURE_LAYER:
        glNamedFramebufferTextureLayer(framebuffer, colorAttachment, name, 0, layer);
        break;
    case OP_DEPTH_TEXTURE_LAYER:
        glNamedFramebufferTextureLayer(framebuffer, GL_DEPTH_ATTACHMENT, name, 0, layer);
        break;
    default:
        return KX_LOG(LEVEL_ERROR, "Invalid operation");
    }

    if (isColorOperation(operation))
        fboReserved->colorAttachments[slot] = n;
    fboReserved->textures[slot] = texture;
    fboReserved->sizeX = texture->getSizeX();
    fboReserved->sizeY = texture->getSizeY();
    rebuildDrawBuffers(fboReserved->framebuffer, fboReserved->colorAttachments, fboReserved->drawBuffers);
    // The viewport follows the attachments of the bound framebuffer.
    if (!fboReserved->drawBuffers.empty())
        kx::GlContext::viewport(0, 0, static_cast<GLsizei>(fboReserved->sizeX), static_cast<GLsizei>(fboReserved->sizeY));
    return true;
}

bool KxFbo::bindRenderBuffer(unsigned int slot, unsigned int operation, unsigned int sizeX, unsigned int sizeY)
{
    if (slot >= MAX_ATTACHMENTS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    render();

    GLuint& renderBuffer = fboReserved->renderBuffers[slot];
    if (renderBuffer)
    {
        glDeleteRenderbuffers(1, &renderBuffer);
        renderBuffer = 0;
    }
    GLsizei width = static_cast<GLsizei>(sizeX);
    GLsizei height = static_cast<GLsizei>(sizeY);
    GLenum attachment = GL_DEPTH_ATTACHMENT;
    switch (operation)
    {
    case OP_DEPTH_RENDERBUFFER:
        glCreateRenderbuffers(1, &renderBuffer);
        glNamedRenderbufferStorage(renderBuffer, GL_DEPTH_COMPONENT32, width, height);
        break;
    case OP_DEPTH_RENDERBUFFER_MULTISAMPLE:
        glCreateRenderbuffers(1, &renderBuffer);
        glNamedRenderbufferStorageMultisample(renderBuffer, kx::GlContext::capabilities().aaSamples, GL_DEPTH_COMPONENT32, width,
                                              height);
        break;
    case OP_DEPTH_STENCIL_RENDERBUFFER:
        glCreateRenderbuffers(1, &renderBuffer);
        glNamedRenderbufferStorage(renderBuffer, GL_DEPTH24_STENCIL8, width, height);
        attachment = GL_STENCIL_ATTACHMENT;
        break;
    default:
        return KX_LOG(LEVEL_ERROR, "Invalid operation");
    }
    glNamedFramebufferRenderbuffer(fboReserved->framebuffer, attachment, GL_RENDERBUFFER, renderBuffer);

    fboReserved->sizeX = sizeX;
    fboReserved->sizeY = sizeY;
    rebuildDrawBuffers(fboReserved->framebuffer, fboReserved->colorAttachments, fboReserved->drawBuffers);
    if (!fboReserved->drawBuffers.empty())
        kx::GlContext::viewport(0, 0, width, height);
    return true;
}

bool KxFbo::isOk()
{
    render();
    GLenum status = glCheckNamedFramebufferStatus(fboReserved->framebuffer, GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE)
        return KX_LOG(LEVEL_ERROR, "FBO not complete (error: %d)", static_cast<int>(status));
    return true;
}

bool KxFbo::render(void*)
{
    if (cache && cache->current == this)
    {
        KX_LOG(LEVEL_DEBUG_FRAME, "FBO %d was cached", getId());
        KxStats::inc(KxStats::FBO_CACHED);
        return true;
    }
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for FBO %d invoked", getId());
    kx::GlContext::bindFramebuffer(fboReserved->framebuffer);
    if (!fboReserved->drawBuffers.empty())
    {
        glDrawBuffers(static_cast<GLsizei>(fboReserved->drawBuffers.size()), fboReserved->drawBuffers.data());
        kx::GlContext::viewport(0, 0, static_cast<GLsizei>(fboReserved->sizeX), static_cast<GLsizei>(fboReserved->sizeY));
    }
    if (cache)
        cache->current = this;
    KxStats::inc(KxStats::FBO_BIND);
    return true;
}

KxFbo* KxFbo::getCurrent()
{
    return cache ? cache->current : nullptr;
}

void KxFbo::resetCache()
{
    kx::GlContext::resetFramebuffer();
    if (cache)
        cache->current = nullptr;
}

KxTexture* KxFbo::getTexture(unsigned int slot) const
{
    return slot < MAX_ATTACHMENTS ? fboReserved->textures[slot] : nullptr;
}

unsigned int KxFbo::getSizeX() const
{
    return fboReserved->sizeX;
}

unsigned int KxFbo::getSizeY() const
{
    return fboReserved->sizeY;
}

unsigned int KxFbo::getSizeZ() const
{
    return fboReserved->sizeZ;
}

unsigned int KxFbo::getHandle() const
{
    return fboReserved->framebuffer;
}
