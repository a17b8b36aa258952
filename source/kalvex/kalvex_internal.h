// Engine-internal helpers shared between the library's classes. Not installed;
// what is exported here is exported for the engine's own tests.
#ifndef KALVEX_INTERNAL_H
#define KALVEX_INTERNAL_H

#include "kalvex.h"
#include "kalvex_bindings.h"

#include <GL/glew.h>

#include <mutex>

namespace kx
{
// Locks an engine object's own mutex (KxObject::getMutex hands out a block whose
// first member is a std::recursive_mutex).
inline std::recursive_mutex& objectMutex(void* block)
{
    return *static_cast<std::recursive_mutex*>(block);
}

// How shaders reach textures that are referenced from uniform blocks (the
// material maps). With GL_ARB_bindless_texture the handle is the texture's
// resident bindless handle. Without it ("bound mode") every such texture takes
// a slot in a pool of texture units above the eight sampler units; its handle is
// slot + 1 (0 means "no texture"), and the pool is bound with one
// glBindTextures before material draws. Shaders sample through KX_TEXTURE(),
// which resolves either form; see KxShader::getHeader().
class KX_API TexturePool
{
public:
    static const unsigned int FIRST_UNIT = kx::unit::TEXTURE_POOL_FIRST;

    // Called by KxTexture::init / free.
    static void init();
    static void free();
    // Number of pool units: 0 in bindless mode, else min(GL_MAX_TEXTURE_IMAGE_UNITS,
    // 32) - FIRST_UNIT, read from the current context (shaders are compiled with
    // it before the pool itself is started).
    static unsigned int getSize();
    // The handle to store for a texture; in bound mode takes a slot (counted
    // per texture: each acquire needs one release). A full pool falls back to
    // the default texture with one warning naming the texture.
    static uint64_t acquire(KxTexture* texture);
    static void release(KxTexture* texture);
    // Binds every pool slot to its unit (bound mode); nothing in bindless mode.
    static void bind();
};
}

#endif // KALVEX_INTERNAL_H
