// Engine-internal helpers shared between the library's classes. Not installed;
// what is exported here is exported for the engine's own tests.
#ifndef KALVEX_INTERNAL_H
#define KALVEX_INTERNAL_H

#include "kalvex.h"
#include "kalvex_bindings.h"

#include <GL/glew.h>

#include <functional>
#include <mutex>
#include <vector>

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

// What the deferred and hybrid pipelines share: building their programs, the
// per-light lighting quads and presenting the result.
namespace kx::deferred
{
// A compiled stage, kept in owned; null (after logging failure) when it does not compile.
KxShader* buildStage(std::vector<KxShader*>& owned, int kind, const unsigned char* text, const char* failure);
// A linked program of two stages, kept in owned; null (after logging failure) on failure.
KxShader* buildProgram(std::vector<KxShader*>& owned, KxShader* vertex, KxShader* fragment, const char* failure);
// A 1 x 1 depth cube map at depth 1.0: reads as unshadowed everywhere.
KxTexture* createEmptyShadowMap();
// A filter of that size, or null (after a warning) where it cannot be made.
KxSsao* createSsao(int sizeX, int sizeY);
// Draws the skinned meshes of a list, which draw themselves.
void renderSkinned(KxList* list, const glm::mat4& view);

struct LightStage
{
    KxShader* program;        // the lighting quad's program
    KxQuad* quad;             // full screen, G-buffer textures in slots 0 to 3
    KxCamera* screenCamera;   // 2D camera of the quad's size
    KxFbo* target;            // where the light quads add up
    KxTexture* emptyShadowMap;
    glm::mat4 inverseProjection;
    float m33;
    float m43;
    glm::mat4 cameraMatrix;   // the camera's world matrix
};
// Runs the shadow pass and draws the lighting quad for each light of the list
// (whose lights must be uploaded), calling afterLight after each.
void renderLights(KxPipeline* pipeline, KxCamera* camera, KxList* list, const LightStage& stage,
                  const std::function<void(KxLight*, unsigned int)>& afterLight);
// Post-processes (when switched on) and shows an image, or writes it to target.
void present(KxPipeline* pipeline, KxPostProc* postProc, KxFbo* source, KxTexture* image, KxFbo* target);
}

#endif // KALVEX_INTERNAL_H
