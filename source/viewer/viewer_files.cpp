#include "viewer_files.h"

#include <GLFW/glfw3.h>
#include <kalvex.h>

#include <unordered_set>

#include "kxtool.h"

namespace viewer
{
namespace
{
std::string droppedFile;
}

std::string writeScreenshot(const std::string& sceneFileName)
{
    const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    if (pixels.empty() || !Kalvex::readWindowPixels(0, 0, width, height, pixels.data()))
        return "";
    // Opaque, as on screen, whatever alpha the pipeline left.
    for (size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 255;
    const std::string stem = kxtool::stemOf(kxtool::fileNameOf(sceneFileName)) + "_screenshot";
    std::string name = stem + ".png";
    for (int n = 2; kxtool::isRegularFile(name) && n < 100000; ++n)
        name = stem + "_" + std::to_string(n) + ".png";
    if (!kxtool::writePng(name, width, height, pixels.data()))
        return "";
    return kxtool::absolutePath(name);
}

KxNode* LoadedScene::load(const std::string& fileName)
{
    std::unordered_set<KxObject*> before;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        before.insert(object);
    KxNode* root = Kalvex::load(fileName);
    made.clear();
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (!before.count(object))
            made.push_back(object);
    if (!root)
        release();
    return root;
}

void LoadedScene::release()
{
    // Nodes first: a light takes its own shadow map with it, so the rest is
    // deleted only where it is still found alive in the registry.
    std::vector<KxObject*> nodes;
    std::unordered_set<KxObject*> rest;
    for (KxObject* object : made)
    {
        if (dynamic_cast<KxNode*>(object))
            nodes.push_back(object);
        else
            rest.insert(object);
    }
    for (KxObject* node : nodes)
        delete node;
    std::vector<KxObject*> alive;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (rest.count(object))
            alive.push_back(object);
    for (auto object = alive.rbegin(); object != alive.rend(); ++object)
        delete *object;
    made.clear();
}

void watchDrops(void* window)
{
    glfwSetDropCallback(static_cast<GLFWwindow*>(window), [](GLFWwindow*, int count, const char** paths) {
        if (count > 0 && paths && paths[0])
            droppedFile = paths[0];
    });
}

std::string takeDroppedFile()
{
    std::string file;
    file.swap(droppedFile);
    return file;
}
}
