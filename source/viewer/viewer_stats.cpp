#include "viewer_stats.h"

#include <kalvex.h>

namespace viewer
{
namespace
{
const int WIDTH = 180;  // of the overlay, from the window's right edge
const int VALUES = 86;  // offset of the values' column
const int TOP = 16;     // baseline of the first line
}

bool StatsOverlay::init(int windowSizeX, int windowSizeY)
{
    font = new KxFont;
    if (!font->build(KxFont::getDefaultTexture(), 1))
    {
        delete font;
        font = nullptr;
        return false;
    }
    camera = new KxCamera; // 2D: pixels from the top left
    camera->setViewport(0, 0, windowSizeX, windowSizeY);
    sizeX = windowSizeX;
    return true;
}

void StatsOverlay::draw(const KxList& list)
{
    if (!font)
        return;
    // Draw calls and triangles add up every pass of the frame (each light,
    // the shadow maps); meshes and lights are those of the frame.
    unsigned long long drawCalls = KxStats::get(KxStats::DRAW_CALL);
    unsigned long long triangles = KxStats::get(KxStats::TRIANGLE);
    unsigned long long meshes = 0;
    for (unsigned int kind = 0; kind < KxList::NR_OF_BATCHES; ++kind)
        meshes += list.getBatchCount(kind);
    unsigned long long lights = list.getNrOfLights();

    // Over whatever the frame left bound: the window, flat, without depth.
    KxFbo::resetCache();
    const bool wireframe = KxOpenGL::isWireframe();
    KxOpenGL::wireframe(false);
    camera->render();
    const int x = sizeX - WIDTH;
    font->putString(x, TOP, "^c7999FPS\nFrame time\nDraw calls\nMeshes\nTriangles\nLights");
    font->putString(x + VALUES, TOP, "^c9999%.1f\n%.2f ms\n%llu\n%llu\n%llu\n%llu", Kalvex::getFps(),
                    Kalvex::getLastFrameTime() * 1000.0f, drawCalls, meshes, triangles, lights);
    KxOpenGL::blending(false);
    KxOpenGL::wireframe(wireframe);
}
}
