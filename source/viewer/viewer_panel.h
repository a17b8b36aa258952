// The viewer's settings panel, drawn with Dear ImGui over the scene.
#pragma once

#include <cstdint>

namespace viewer
{
struct Settings
{
    bool running = true;
    bool defaultLight = true;
    bool postProcessing = true;
    uint32_t toneMapping = 2; // Reinhard
    float gamma = 1.0f;
    float shadowBias = 0.75f;
    float shadowSoftness = 0.25f;
    bool wireframe = false;
    // Animation of the scene (SCENE.kxa): shown when there is one; the panel
    // and the keys only ask, the viewer acts.
    bool hasAnimation = false;
    bool animationPlaying = false;
    bool toggleAnimation = false; // play or pause
    bool replayAnimation = false;
    bool statistics = false; // the overlay of frame statistics
    // 0 forward (the default), 1 deferred, 2 hybrid.
    int pipeline = 0;
    bool ssao = true;
    float ssaoRadius = 0.3f;
    float ssaoPower = 2.0f;
    bool volumetric = true;
    float scattering = 0.5f;
    int volumetricSteps = 32;
};

class Panel
{
public:
    // window: the GLFW window the engine opened.
    bool init(void* window, int sizeX, int sizeY);
    void terminate();

    // Input, offered to the panel first; true when the panel takes it.
    bool mouseMotion(int x, int y);
    bool mouseButton(int button, int action, int mods);
    bool mouseWheel(double offset);
    // Handles the panel's keys (P, L, S, F9, F10, F2) itself; true when taken.
    bool key(int key, int scancode, int action, int mods, Settings& settings);

    // Draws the panel; true when the "Reset camera" button was pressed.
    bool draw(Settings& settings);
    // Shown in the title from now on.
    void setFps(float fps);
    // True once after the "Open file..." button was pressed.
    bool takeOpenRequest();

private:
    void drawAnimation(Settings& settings);

    void* window = nullptr;
    float fps = -1.0f;
    bool started = false;
    bool openRequest = false;
};
}
