// The viewer's files beyond the first scene: screenshots, and other scenes
// opened from the panel or dropped on the window.
#pragma once

#include <string>
#include <vector>

class KxNode;
class KxObject;

namespace viewer
{
// Writes the window's picture as a PNG next to the scene (in the current
// directory, the scene's), named after the scene and numbered so that no
// earlier one is overwritten. The written file's absolute path; empty on failure.
std::string writeScreenshot(const std::string& sceneFileName);

// Everything a scene file made when it was loaded, so that another file can
// take its place.
class LoadedScene
{
public:
    // Loads a scene file (relative to the current directory). Null on
    // failure, with nothing of the attempt left behind.
    KxNode* load(const std::string& fileName);
    // Deletes what the load made.
    void release();

private:
    std::vector<KxObject*> made; // in the order they were made
};

// Remembers files dropped on the window (a GLFWwindow*).
void watchDrops(void* window);
// The first file of the latest drop, once; empty when nothing was dropped.
std::string takeDroppedFile();
}
