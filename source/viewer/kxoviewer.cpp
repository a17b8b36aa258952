// kxoviewer: shows one KXO scene file under a mouse-driven camera.
//
//   kxoviewer SCENE.kxo [--skybox FILE.dds]
//                           without a scene file a file chooser opens; the
//                           sky box is a DDS cube map drawn around the scene
//
// Exit codes: 0 normal end (also after a cancelled chooser), 1 the engine did
// not start, 2 the panel did not start, 3 the scene did not load, 4 the scene's
// directory could not be entered.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>

#include <GLFW/glfw3.h>
#include <kalvex.h>

#include "kxtool.h"
#include "kxview.h"
#include "viewer_files.h"
#include "viewer_panel.h"
#include "viewer_platform.h"
#include "viewer_stats.h"

namespace
{
const char* const WINDOW_TITLE = "KXO viewer v0.7r - Kalvex scene viewer";
const int FPS_SAMPLES = 100;

struct CameraState
{
    float rotationX = 20.0f;
    float rotationY = 0.0f;
    float translationX = 0.0f;
    float translationY = 0.0f;
    float zoom = 0.0f;
};

struct Viewer
{
    viewer::Settings settings;
    viewer::Panel panel;
    viewer::StatsOverlay stats;
    CameraState camera;
    KxCamera* cameraNode = nullptr;
    kxtool::ViewRig rig;
    kxtool::SceneBox box;
    int sizeX = 0, sizeY = 0; // of the window the view was fitted to
    int lastX = 0, lastY = 0;
    bool leftButton = false, rightButton = false;
    int wheel = 0;
    float appliedShadowBias = 0.0f, appliedShadowSoftness = 0.0f;
    float fpsSamples[FPS_SAMPLES] = {};
    int fpsCount = 0;
    bool screenshot = false; // F12 pressed: the next frame is written out
    std::string fileName;    // of the scene shown, in the current directory
    viewer::LoadedScene scene;
    KxNode* root = nullptr;
    KxAnim* animation = nullptr;
    bool pickRequested = false;
    int pickX = 0, pickY = 0;
    // The scene's own volumetric marks, which the panel's switch overrides.
    std::unordered_map<KxLight*, bool> volumetricMarks;
    bool appliedVolumetric = true;
};
Viewer* current = nullptr;

// The pipeline chosen in the panel, with its switches; the forward one
// where the choice did not load.
KxPipeline* choosePipeline(const viewer::Settings& settings)
{
    KxPipeline* pipeline = Kalvex::getPipeline(2 + settings.pipeline);
    if (!pipeline)
        pipeline = Kalvex::getPipeline(2);
    KxPipeline::setCurrent(pipeline);
    KxSsao* ssao = nullptr;
    if (KxDeferredRendering* deferred = dynamic_cast<KxDeferredRendering*>(pipeline))
    {
        deferred->setUseSsao(settings.ssao);
        ssao = deferred->getSsao();
        if (KxVolLighting* volumetric = deferred->getVolLighting())
        {
            volumetric->setScattering(settings.scattering);
            volumetric->setNrOfSteps(static_cast<unsigned int>(settings.volumetricSteps));
        }
    }
    else if (KxHybridRendering* hybrid = dynamic_cast<KxHybridRendering*>(pipeline))
    {
        hybrid->setUseSsao(settings.ssao);
        ssao = hybrid->getSsao();
    }
    if (ssao)
    {
        ssao->setRadius(settings.ssaoRadius);
        ssao->setPower(settings.ssaoPower);
    }
    return pipeline;
}

void resetCamera(Viewer& viewer)
{
    viewer.camera = CameraState();
    viewer.cameraNode->setTranslation(0.0f, 0.0f, viewer.rig.framing.distance);
}

// The scene whole in the window, seen from the reset angle, for the window's
// present shape; the camera keeps the user's zoom.
void fitView(Viewer& viewer)
{
    viewer.sizeX = Kalvex::getWindowSizeX();
    viewer.sizeY = Kalvex::getWindowSizeY();
    viewer.rig.framing = kxtool::frameScene(viewer.box, kxtool::resetTurn(), viewer.cameraNode->getAngleOfView(),
                                            viewer.sizeX, viewer.sizeY);
    viewer.cameraNode->setTranslation(0.0f, 0.0f, viewer.rig.framing.distance);
}

// Places the scene and follows the camera state: root transform, clip planes,
// viewport and default light.
void applyView(Viewer& viewer, KxNode* root)
{
    if (Kalvex::getWindowSizeX() != viewer.sizeX || Kalvex::getWindowSizeY() != viewer.sizeY)
        fitView(viewer);
    const CameraState& camera = viewer.camera;
    kxtool::poseRoot(root, viewer.rig.framing, glm::vec3(camera.translationX, camera.translationY, camera.zoom),
                     camera.rotationX, camera.rotationY);
    kxtool::updateViewRig(viewer.rig, camera.zoom, viewer.sizeX, viewer.sizeY);
}

void onCursor(double x, double y)
{
    Viewer& viewer = *current;
    int ix = static_cast<int>(x), iy = static_cast<int>(y);
    if (viewer.panel.mouseMotion(ix, iy))
    {
        viewer.lastX = ix;
        viewer.lastY = iy;
        return;
    }
    int dx = ix - viewer.lastX, dy = iy - viewer.lastY;
    viewer.lastX = ix;
    viewer.lastY = iy;
    if (viewer.leftButton)
    {
        viewer.camera.rotationY += static_cast<float>(dx);
        viewer.camera.rotationX += static_cast<float>(dy);
    }
    if (viewer.rightButton)
        viewer.camera.zoom += viewer.rig.framing.radius / 50.0f * static_cast<float>(dy);
}

void onButton(int button, int action, int mods)
{
    Viewer& viewer = *current;
    if (viewer.panel.mouseButton(button, action, mods))
        return;
    // The middle button, or the left one with Ctrl, picks the body under the cursor.
    if (action == GLFW_PRESS &&
        (button == GLFW_MOUSE_BUTTON_MIDDLE || (button == GLFW_MOUSE_BUTTON_LEFT && (mods & GLFW_MOD_CONTROL))))
    {
        viewer.pickRequested = true;
        viewer.pickX = viewer.lastX;
        viewer.pickY = viewer.lastY;
        return;
    }
    if (button == GLFW_MOUSE_BUTTON_LEFT)
        viewer.leftButton = action != GLFW_RELEASE;
    else if (button == GLFW_MOUSE_BUTTON_RIGHT)
        viewer.rightButton = action != GLFW_RELEASE;
}

void onScroll(double, double y)
{
    Viewer& viewer = *current;
    viewer.wheel += static_cast<int>(y);
    viewer.panel.mouseWheel(y); // the wheel scrolls the panel, never the scene
}

void onKey(int key, int scancode, int action, int mods)
{
    Viewer& viewer = *current;
    if (viewer.panel.key(key, scancode, action, mods, viewer.settings))
        return;
    if (action != GLFW_PRESS)
        return;
    if (key == GLFW_KEY_F12)
        viewer.screenshot = true;
    else if (key == GLFW_KEY_W)
    {
        viewer.settings.wireframe = !viewer.settings.wireframe;
        KxOpenGL::wireframe(viewer.settings.wireframe);
    }
    else if (key == GLFW_KEY_SPACE)
        viewer.settings.toggleAnimation = true;
    else if (key == GLFW_KEY_R)
        viewer.settings.replayAnimation = true;
    else if (key == GLFW_KEY_ESCAPE)
        viewer.settings.running = false;
}

// SCENE.kxa beside SCENE.kxo, when there is one, bound to the scene and playing.
void loadAnimation(Viewer& viewer, const std::string& fileName)
{
    size_t dot = fileName.find_last_of('.');
    std::string animationName = (dot == std::string::npos ? fileName : fileName.substr(0, dot)) + ".kxa";
    if (std::FILE* probe = std::fopen(animationName.c_str(), "rb"))
        std::fclose(probe);
    else
        return;
    viewer.animation = Kalvex::loadAnimation(animationName);
    if (!viewer.animation)
    {
        std::printf("   Animation  . :  %s cannot be read\n", animationName.c_str());
        return;
    }
    viewer.animation->apply(viewer.root);
    std::printf("   Animation  . :  %s, %u animated nodes, %d frames at %d fps\n", animationName.c_str(),
                viewer.animation->getNrOfBoundNodes(), viewer.animation->getNrOfFrames(), viewer.animation->getFps());
    viewer.settings.hasAnimation = viewer.animation->getNrOfBoundNodes() > 0;
    viewer.animation->resetPose();
    viewer.animation->playAnimation();
}

// Play, pause and replay as asked; the clock drives a playing animation, and
// one that has reached its end starts again.
void stepAnimation(Viewer& viewer)
{
    KxAnim* animation = viewer.animation;
    if (!animation)
        return;
    auto& v = viewer.settings;
    if (v.replayAnimation)
        animation->replayAnimation();
    else if (v.toggleAnimation && animation->isAnimating())
        animation->pauseAnimation();
    else if (v.toggleAnimation)
        animation->playAnimation();
    v.replayAnimation = v.toggleAnimation = false;
    if (animation->isAnimating())
    {
        animation->update();
        if (!animation->isAnimating())
            animation->playAnimation(); // looped
    }
    v.animationPlaying = animation->isAnimating();
}

// Reports in the console the node of the body under the cursor. Bodies live in
// the space below the scene root, which the viewer turns and moves.
void pickBody(Viewer& viewer)
{
    if (!viewer.pickRequested)
        return;
    viewer.pickRequested = false;
    glm::vec3 window(static_cast<float>(viewer.pickX),
                     static_cast<float>(viewer.cameraNode->getViewportSizeY() - viewer.pickY), 0.0f);
    glm::vec3 nearPoint = viewer.cameraNode->unproject(window);
    window.z = 1.0f;
    glm::vec3 farPoint = viewer.cameraNode->unproject(window);
    glm::mat4 toScene = glm::inverse(viewer.root->getMatrix());
    glm::vec3 from = glm::vec3(toScene * glm::vec4(nearPoint, 1.0f));
    glm::vec3 to = glm::vec3(toScene * glm::vec4(farPoint, 1.0f));
    glm::vec3 hit;
    if (KxNode* node = KxPhysics::pick(from, to, &hit))
        std::printf("Picked '%s' at %f, %f, %f\n", node->getName().c_str(), hit.x, hit.y, hit.z);
    else
        std::printf("Picked nothing\n");
    std::fflush(stdout);
}

// Lists the meshes and grows the scene box by each one's bounding sphere.
unsigned int countNodes(KxNode* node)
{
    unsigned int count = 1;
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        count += countNodes(node->getChild(i));
    return count;
}

void listMeshes(glm::vec3& boxMin, glm::vec3& boxMax)
{
    std::printf("\nLoaded objects:\n");
    boxMin = glm::vec3(FLT_MAX);
    boxMax = glm::vec3(-FLT_MAX);
    bool any = false;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
    {
        if (object->getType() != KxObject::TYPE_MESH)
            continue;
        KxMesh* mesh = static_cast<KxMesh*>(object);
        glm::vec3 position = glm::vec3(mesh->getFinalMatrix(nullptr)[3]);
        std::printf("   Id: %d, name: '%s', type: %d, pos: %f\n", mesh->getId(), mesh->getName().c_str(),
                    mesh->getType(), position.z);
        boxMin = glm::min(boxMin, position - glm::vec3(mesh->getRadius()));
        boxMax = glm::max(boxMax, position + glm::vec3(mesh->getRadius()));
        any = true;
    }
    if (!any)
    {
        // An empty scene still needs a finite box for the camera.
        boxMin = glm::vec3(-1.0f);
        boxMax = glm::vec3(1.0f);
    }
}

void printPath(const std::string& path, std::string& directory, std::string& fileName)
{
    std::printf("   Opening file :  %s\n", path.c_str());
    viewer::splitPath(path, directory, fileName);
    std::printf("   Working dir  :  %s\n", directory.c_str());
    std::printf("   Filename . . :  %s\n", fileName.c_str());
    std::fflush(stdout);
}

// A freshly loaded scene: its meshes merged and listed, its box printed, and
// the view fitted to it (the camera and the default light made at the first).
void showScene(Viewer& viewer, KxNode* root)
{
    KxMesh::optimizeMemory();
    viewer.root = root;
    viewer.volumetricMarks.clear();
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (object->getType() == KxObject::TYPE_LIGHT)
            viewer.volumetricMarks[static_cast<KxLight*>(object)] = static_cast<KxLight*>(object)->isVolumetric();
    viewer.appliedVolumetric = true;
    glm::vec3 boxMin, boxMax;
    listMeshes(boxMin, boxMax);
    std::printf("\nScene boundaries:\n");
    std::printf("   Min . . :  %f, %f, %f\n", boxMin.x, boxMin.y, boxMin.z);
    std::printf("   Max . . :  %f, %f, %f\n", boxMax.x, boxMax.y, boxMax.z);
    std::printf("   Z range :  %f\n", std::fabs(boxMax.z - boxMin.z));
    std::fflush(stdout);

    // Framed from the meshes' own boxes, as the scene stands under the view.
    root->setIdentity();
    viewer.box = kxtool::measureScene();
    if (!viewer.rig.camera)
        viewer.rig = kxtool::makeViewRig(viewer.box, true, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    viewer.cameraNode = viewer.rig.camera;
    fitView(viewer);
    resetCamera(viewer);
    // The panel's shadow settings reach the new scene's lights at the next frame.
    viewer.appliedShadowBias = viewer.appliedShadowSoftness = 0.0f;
}

// Another scene in place of the one shown (from the panel or a drop); the
// shown one stays when the new one cannot be read.
KxNode* openAnother(Viewer& viewer, KxNode* root, const std::string& path)
{
    std::string directory, fileName;
    printPath(path, directory, fileName);
    const std::string previous = kxtool::absolutePath(".");
    viewer::LoadedScene next;
    KxNode* loaded = viewer::changeDirectory(directory) ? next.load(fileName) : nullptr;
    if (!loaded)
    {
        viewer::messageBox("[!] Unable to load file");
        viewer::changeDirectory(previous);
        return root;
    }
    // The shown scene's animation is bound to its nodes: it goes with them.
    delete viewer.animation;
    viewer.animation = nullptr;
    viewer.settings.hasAnimation = false;
    viewer.scene.release();
    viewer.scene = next;
    viewer.fileName = fileName;
    showScene(viewer, loaded);
    loadAnimation(viewer, fileName);
    return loaded;
}

void saveScreenshot(Viewer& viewer)
{
    viewer.screenshot = false;
    std::string written = viewer::writeScreenshot(viewer.fileName);
    if (written.empty())
        viewer::messageBox("[!] Unable to write the screenshot");
    else
        std::printf("   Screenshot . :  %s\n", written.c_str());
    std::fflush(stdout);
}
}

int main(int argc, char** argv)
{
    std::printf("KXO viewer v0.7r - Kalvex 3D Graphics Engine v0.7r\n");
    std::printf("Render the content of an KXO file\n\n");

    std::string path, skyboxPath;
    int nrOfScenes = 0;
    for (int i = 1; i < argc; ++i)
    {
        if (std::string(argv[i]) == "--skybox" && i + 1 < argc)
            skyboxPath = argv[++i];
        else if (++nrOfScenes == 1)
            path = argv[i]; // whole: paths are not limited to 260 bytes here
    }
    if (nrOfScenes != 1 && !viewer::chooseFile(path))
        return 0;
    std::string directory, fileName;
    printPath(path, directory, fileName);

    KxConfig config;
    if (!config.load("config.xml"))
    {
        viewer::messageBox("[?] Config file not found, using default");
        config.setWindowSizeX(1024);
        config.setWindowSizeY(768);
    }
    config.setWindowTitle(WINDOW_TITLE);
    if (!Kalvex::init(config, false))
    {
        viewer::messageBox("[!] Unable to init graphics engine (OpenGL 4.5 supported?)");
        return 1;
    }

    // Read before the scene's directory becomes the working directory: the
    // path is the user's, relative to where the viewer started.
    KxSkybox* skybox = nullptr;
    if (!skyboxPath.empty())
    {
        KxTexture* sky = new KxTexture;
        skybox = new KxSkybox;
        if (!sky->load(skyboxPath) || !skybox->setTexture(sky))
        {
            viewer::messageBox("[?] Unable to load the sky box, going on without");
            delete skybox;
            delete sky;
            skybox = nullptr;
        }
    }

    Viewer viewer;
    current = &viewer;
    Kalvex::setMouseCursorCallback(onCursor);
    Kalvex::setMouseScrollCallback(onScroll);
    Kalvex::setMouseButtonCallback(onButton);
    Kalvex::setKeyboardCallback(onKey);
    if (!viewer.panel.init(Kalvex::getWindow(), Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY()))
    {
        viewer::messageBox("[!] Unable to init GUI system");
        return 2;
    }

    if (!viewer::changeDirectory(directory))
    {
        viewer::messageBox("[!] Unable to load file: cannot enter its folder '" + directory + "'");
        viewer.panel.terminate();
        Kalvex::free();
        return 4;
    }
    KxNode* root = viewer.scene.load(fileName);
    if (!root)
    {
        // The cause, so that a missing file and a damaged one read differently.
        std::string why = viewer::whyUnreadable(fileName);
        viewer::messageBox("[!] Unable to load file: " + (why.empty() ? std::string("not a valid KXO scene") : why));
        viewer.panel.terminate();
        Kalvex::free();
        return 3;
    }
    viewer.fileName = fileName;
    showScene(viewer, root);
    viewer::watchDrops(Kalvex::getWindow());
    viewer.cameraNode->setSkybox(skybox);

    // Room for every node of the scene and of the camera's subtree.
    KxList* list = new KxList;
    if (!list->create(countNodes(root) + countNodes(viewer.cameraNode)))
    {
        viewer::messageBox("[!] Unable to create the render list");
        viewer.panel.terminate();
        Kalvex::free();
        return 3;
    }
    if (!viewer.stats.init(Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY()))
        std::printf("   The statistics overlay is not available (see kalvex.log)\n");
    loadAnimation(viewer, fileName);
    std::fflush(stdout);

    while (viewer.settings.running)
    {
        KxStats::reset(); // the overlay shows one frame's counts
        KxPhysics::update(1.0f, 10, 0.0166666f);
        stepAnimation(viewer);
        KxPipeline* pipeline = choosePipeline(viewer.settings);
        pipeline->postProc(viewer.settings.postProcessing);
        pipeline->setAntiAliasing(true);
        if (KxPostProc* postProc = static_cast<KxPostProc*>(pipeline->getPostProcFilter()))
        {
            postProc->setGamma(viewer.settings.gamma);
            postProc->setToneMappingTechnique(viewer.settings.toneMapping);
        }
        KxOpenGL::wireframe(viewer.settings.wireframe);
        if (viewer.settings.volumetric != viewer.appliedVolumetric)
        {
            for (const auto& mark : viewer.volumetricMarks)
                mark.first->setVolumetric(viewer.settings.volumetric && mark.second);
            viewer.appliedVolumetric = viewer.settings.volumetric;
        }

        applyView(viewer, root);

        pickBody(viewer);

        list->reset();
        list->pass(root);
        if (viewer.settings.defaultLight)
            list->pass(viewer.cameraNode);

        KxOpenGL::clear(true, true, true);
        Kalvex::render(viewer.cameraNode, list, nullptr);
        if (viewer.screenshot)
            saveScreenshot(viewer); // the scene without the panel
        if (viewer.settings.statistics)
            viewer.stats.draw(*list);
        if (viewer.panel.draw(viewer.settings))
            resetCamera(viewer);
        // ImGui drew with GL state of its own: the engine's caches must not trust
        // what they remember.
        KxOpenGL::resetCache();
        Kalvex::swap(true);
        viewer.settings.running = viewer.settings.running && Kalvex::processEvents();

        std::string next = viewer::takeDroppedFile();
        if (next.empty() && viewer.panel.takeOpenRequest() && !viewer::chooseFile(next))
            next.clear();
        if (!next.empty())
        {
            list->reset(); // it still holds the shown scene's nodes
            KxNode* shown = openAnother(viewer, root, next);
            // Room for the new scene's nodes.
            KxList* sized = shown == root ? nullptr : new KxList;
            if (sized && sized->create(countNodes(shown) + countNodes(viewer.cameraNode)))
            {
                delete list;
                list = sized;
            }
            else
                delete sized;
            root = shown;
        }

        if (viewer.settings.shadowBias != viewer.appliedShadowBias ||
            viewer.settings.shadowSoftness != viewer.appliedShadowSoftness)
        {
            for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
            {
                if (object->getType() != KxObject::TYPE_LIGHT)
                    continue;
                static_cast<KxLight*>(object)->setShadowBias(viewer.settings.shadowBias);
                static_cast<KxLight*>(object)->setShadowSoftness(viewer.settings.shadowSoftness);
            }
            viewer.appliedShadowBias = viewer.settings.shadowBias;
            viewer.appliedShadowSoftness = viewer.settings.shadowSoftness;
        }

        viewer.fpsSamples[viewer.fpsCount++] = Kalvex::getFps();
        if (viewer.fpsCount == FPS_SAMPLES)
        {
            float average = 0.0f;
            for (float sample : viewer.fpsSamples)
                average += sample * 0.01f;
            viewer.panel.setFps(average);
            viewer.fpsCount = 0;
        }
    }

    viewer.panel.terminate();
    Kalvex::free();
    current = nullptr;
    return 0;
}
