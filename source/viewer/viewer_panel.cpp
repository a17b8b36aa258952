#include "viewer_panel.h"

#include <GLFW/glfw3.h>
#include <imgui.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>

#include <algorithm>
#include <cstdio>

namespace viewer
{
namespace
{
const char* const TONE_MAPPINGS[] = {"None", "Linear", "Reinhard", "RomBinDaHouse", "Filmic", "Uncharted 2"};
const char* const PIPELINES[] = {"Forward", "Deferred", "Hybrid"};
const float GAMMA_MIN = 0.2f, GAMMA_MAX = 3.0f, GAMMA_STEP = 0.1f;
}

bool Panel::init(void* glfwWindow, int sizeX, int sizeY)
{
    window = glfwWindow;
    IMGUI_CHECKVERSION();
    if (!ImGui::CreateContext())
        return false;
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr; // the panel always starts where it is defined
    io.DisplaySize = ImVec2(static_cast<float>(sizeX), static_cast<float>(sizeY));
    ImGui::StyleColorsDark();
    // The engine owns the window's callbacks and hands events on to us.
    if (!ImGui_ImplGlfw_InitForOpenGL(static_cast<GLFWwindow*>(window), false) || !ImGui_ImplOpenGL3_Init("#version 450 core"))
    {
        ImGui::DestroyContext();
        return false;
    }
    started = true;
    return true;
}

void Panel::terminate()
{
    if (!started)
        return;
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    started = false;
}

bool Panel::mouseMotion(int, int)
{
    // The backend reads the cursor itself each frame.
    return started && ImGui::GetIO().WantCaptureMouse;
}

bool Panel::mouseButton(int button, int action, int mods)
{
    if (!started)
        return false;
    ImGui_ImplGlfw_MouseButtonCallback(static_cast<GLFWwindow*>(window), button, action, mods);
    return ImGui::GetIO().WantCaptureMouse;
}

bool Panel::mouseWheel(double offset)
{
    if (!started)
        return false;
    ImGui_ImplGlfw_ScrollCallback(static_cast<GLFWwindow*>(window), 0.0, offset);
    return ImGui::GetIO().WantCaptureMouse;
}

bool Panel::key(int key, int scancode, int action, int mods, Settings& settings)
{
    if (!started)
        return false;
    ImGui_ImplGlfw_KeyCallback(static_cast<GLFWwindow*>(window), key, scancode, action, mods);
    if (ImGui::GetIO().WantCaptureKeyboard)
        return true;
    if (action != GLFW_PRESS && action != GLFW_REPEAT)
        return false;
    switch (key)
    {
    case GLFW_KEY_P:
        settings.postProcessing = !settings.postProcessing;
        return true;
    case GLFW_KEY_L:
        settings.defaultLight = !settings.defaultLight;
        return true;
    case GLFW_KEY_S:
        settings.statistics = !settings.statistics;
        return true;
    case GLFW_KEY_F9:
        settings.gamma = std::max(GAMMA_MIN, settings.gamma - GAMMA_STEP);
        return true;
    case GLFW_KEY_F10:
        settings.gamma = std::min(GAMMA_MAX, settings.gamma + GAMMA_STEP);
        return true;
    case GLFW_KEY_F2:
        settings.pipeline = (settings.pipeline + 1) % 3;
        return true;
    default:
        return false; // W and Escape belong to the viewer
    }
}

void Panel::drawAnimation(Settings& settings)
{
    if (!settings.hasAnimation || !ImGui::CollapsingHeader("Animation", ImGuiTreeNodeFlags_DefaultOpen))
        return;
    if (ImGui::Button(settings.animationPlaying ? "Pause" : "Play"))
        settings.toggleAnimation = true;
    ImGui::SameLine();
    if (ImGui::Button("Replay"))
        settings.replayAnimation = true;
    ImGui::SameLine();
    ImGui::TextDisabled("[Space/R]");
}

void Panel::setFps(float value)
{
    fps = value;
}

bool Panel::takeOpenRequest()
{
    bool requested = openRequest;
    openRequest = false;
    return requested;
}

bool Panel::draw(Settings& settings)
{
    if (!started)
        return false;
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();

    char title[64];
    if (fps >= 0.0f)
        std::snprintf(title, sizeof(title), "Kxoviewer - FPS: %.1f###gui", fps);
    else
        std::snprintf(title, sizeof(title), "Kxoviewer###gui");
    ImGui::SetNextWindowPos(ImVec2(10, 10), ImGuiCond_Always);
    ImGui::SetNextWindowSize(ImVec2(340, 540), ImGuiCond_Always);
    ImGui::SetNextWindowBgAlpha(200.0f / 255.0f);
    ImGui::PushStyleColor(ImGuiCol_TitleBg, ImVec4(10 / 255.0f, 45 / 255.0f, 170 / 255.0f, 1.0f));
    ImGui::PushStyleColor(ImGuiCol_TitleBgActive, ImVec4(10 / 255.0f, 45 / 255.0f, 170 / 255.0f, 1.0f));
    ImGui::PushStyleColor(ImGuiCol_TitleBgCollapsed, ImVec4(10 / 255.0f, 45 / 255.0f, 170 / 255.0f, 1.0f));
    bool resetCamera = false;
    if (ImGui::Begin(title, nullptr, ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove))
    {
        ImGui::PushItemWidth(120);
        ImGui::Separator();
        if (ImGui::CollapsingHeader("Post-processing", ImGuiTreeNodeFlags_DefaultOpen))
        {
            ImGui::Checkbox("Enable post-processing", &settings.postProcessing);
            ImGui::SameLine();
            ImGui::TextDisabled("[P]");
            int toneMapping = static_cast<int>(settings.toneMapping);
            if (ImGui::Combo("Tone mapping", &toneMapping, TONE_MAPPINGS, 6))
                settings.toneMapping = static_cast<uint32_t>(toneMapping);
            ImGui::InputFloat("Gamma correction", &settings.gamma, GAMMA_STEP, GAMMA_STEP, "%.2f");
            settings.gamma = std::min(GAMMA_MAX, std::max(GAMMA_MIN, settings.gamma));
            ImGui::SameLine();
            ImGui::TextDisabled("[F9/F10]");
        }
        if (ImGui::CollapsingHeader("General settings", ImGuiTreeNodeFlags_DefaultOpen))
        {
            ImGui::Checkbox("Default light", &settings.defaultLight);
            ImGui::SameLine();
            ImGui::TextDisabled("[L]");
            ImGui::Checkbox("Wireframe", &settings.wireframe);
            ImGui::SameLine();
            ImGui::TextDisabled("[W]");
            ImGui::Checkbox("Statistics", &settings.statistics);
            ImGui::SameLine();
            ImGui::TextDisabled("[S]");
            ImGui::InputFloat("Shadow softness", &settings.shadowSoftness, 0.25f, 0.25f, "%.2f");
            settings.shadowSoftness = std::min(10.0f, std::max(0.0f, settings.shadowSoftness));
            ImGui::InputFloat("Shadow bias", &settings.shadowBias, 0.25f, 0.25f, "%.2f");
            settings.shadowBias = std::min(10.0f, std::max(-1.0f, settings.shadowBias));
            resetCamera = ImGui::Button("Reset camera");
            ImGui::SameLine();
            if (ImGui::Button("Open file..."))
                openRequest = true;
        }
        if (ImGui::CollapsingHeader("Pipeline", ImGuiTreeNodeFlags_DefaultOpen))
        {
            ImGui::Combo("Pipeline", &settings.pipeline, PIPELINES, 3);
            ImGui::SameLine();
            ImGui::TextDisabled("[F2]");
            ImGui::Checkbox("Ambient occlusion", &settings.ssao);
            ImGui::InputFloat("AO radius", &settings.ssaoRadius, 0.05f, 0.05f, "%.2f");
            settings.ssaoRadius = std::min(5.0f, std::max(0.01f, settings.ssaoRadius));
            ImGui::InputFloat("AO power", &settings.ssaoPower, 0.25f, 0.25f, "%.2f");
            settings.ssaoPower = std::min(8.0f, std::max(0.25f, settings.ssaoPower));
            ImGui::Checkbox("Volumetric light", &settings.volumetric);
            ImGui::InputFloat("Scattering", &settings.scattering, 0.05f, 0.05f, "%.2f");
            settings.scattering = std::min(0.95f, std::max(0.05f, settings.scattering));
            ImGui::InputInt("Steps", &settings.volumetricSteps, 4, 16);
            settings.volumetricSteps = std::min(128, std::max(1, settings.volumetricSteps));
        }
        drawAnimation(settings);
        ImGui::Separator();
        ImGui::PopItemWidth();
    }
    ImGui::End();
    ImGui::PopStyleColor(3);
    ImGui::Render();
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    return resetCamera;
}
}
