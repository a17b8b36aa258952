// Internal: what the deferred and hybrid pipelines share (kalvex_deferredrendering.cpp).
#ifndef KALVEX_DEFERRED_H
#define KALVEX_DEFERRED_H

#include "kalvex_internal.h"

#include <functional>
#include <vector>

// What the deferred and hybrid pipelines share: building their programs, the
// per-light lighting quads and presenting the result.
namespace kx
{
// Draws the list's particle emitters (the forward pipeline's too).
void renderEmitters(KxList* list, const glm::mat4& view);
}

namespace kx::deferred
{
// The G-buffer programs of plain, normal-mapped, skinned and instanced meshes
// (the two fragment stages given), then the unlit ones below, registered for
// their types; false (after logging) when one cannot be built.
bool addGeometryPrograms(KxPipeline* pipeline, std::vector<KxShader*>& owned, const unsigned char* fragment,
                         const unsigned char* normalMappedFragment, KxShader* programs[4]);
// The camera's sky box, centred on the eye (the forward pipeline's too).
void renderSky(KxCamera* camera, const glm::mat4& view);
// The particle and sky-box programs (their stages kept in owned), registered
// for their types; false (after logging) when they cannot be built.
bool addUnlitPrograms(KxPipeline* pipeline, std::vector<KxShader*>& owned);
// The camera's sky box and the list's emitters over a lit image in target,
// whose depth attachment holds the scene's depth (copied from depthSource
// first when given): both stay behind what the G-buffer saw. Nothing is done
// when there is neither.
void renderUnlit(KxCamera* camera, KxList* list, const glm::mat4& view, KxFbo* target, KxFbo* depthSource);
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
// Post-processes (when switched on) and shows an image, or writes it to target
// (the forward pipeline's too).
void present(KxPipeline* pipeline, KxPostProc* postProc, KxFbo* source, KxTexture* image, KxFbo* target);
}

#endif // KALVEX_DEFERRED_H
