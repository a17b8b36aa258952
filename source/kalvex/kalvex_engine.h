// The engine's root object: what the facade owns while the engine runs.
// Shared by the facade (kalvex_main.cpp) and the platform code
// (kalvex_platform.cpp); null while the engine is stopped.
#ifndef KALVEX_ENGINE_H
#define KALVEX_ENGINE_H

#include "kalvex.h"

struct GLFWwindow;

namespace kx
{
struct Engine
{
    int windowSizeX = 0;
    int windowSizeY = 0;
    GLFWwindow* window = nullptr;
    int anisotropy = KxTexture::MAX_ANISOTROPY; // the quality chosen at start
    unsigned int shadowFilter = 20;
    bool softwarePreset = false;
    size_t servicesStarted = 0; // how many entries of the service table are running

    void (*keyboardCallback)(int, int, int, int) = nullptr;
    void (*mouseCursorCallback)(double, double) = nullptr;
    void (*mouseButtonCallback)(int, int, int) = nullptr;
    void (*mouseScrollCallback)(double, double) = nullptr;
    bool gamingMode = false;

    uint64_t lastCounter = 0;
    float fps = 0.0f;
    float lastFrameTime = 0.0f;

    KxPipeline* pipelines[5] = {};
    KxFbo* mainFramebuffer = nullptr;
    KxTexture* mainColorTexture = nullptr;
    KxTexture* mainDepthTexture = nullptr;
    KxQuad* screenQuad = nullptr;
    KxCamera* screenCamera = nullptr;
    // The window's new size, reported while events are pumped and applied after.
    int resizedX = 0, resizedY = 0;
};
extern Engine* engine;

// The running engine's pipeline by id (null when stopped or not loaded).
KxPipeline* pipeline(int id);
// Draws a texture over the whole window through the screen quad; null draws
// the main colour target.
bool presentTexture(KxTexture* texture);

namespace platform
{
// GLFW, its window and the context made current: the failure message, or
// null once engine->window exists.
const char* openWindow(const KxConfig& config);
// Logs the driver's properties, checks what the engine needs and loads GL
// through GLEW: the failure message, or null when the context is ready.
const char* startContext(const KxConfig& config);
// The extensions the engine cannot do without: the failure message, or null.
const char* checkExtensions();
// Destroys the window (when there is one) and ends GLFW.
void closeWindow();
// The library's splash image, centred in the window for two seconds.
bool splashScreen();
}
}

#endif // KALVEX_ENGINE_H
