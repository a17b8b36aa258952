// The viewer's statistics overlay: frame rate, frame time and what the engine
// drew in the frame, printed with the engine's bitmap font.
#pragma once

class KxCamera;
class KxFont;
class KxList;

namespace viewer
{
class StatsOverlay
{
public:
    // After the engine started; false (and no overlay) when the font is unusable.
    bool init(int windowSizeX, int windowSizeY);
    // Prints the counters gathered since the last KxStats::reset and what the
    // frame's list holds over the window's top-right corner.
    void draw(const KxList& list);

private:
    KxFont* font = nullptr;
    KxCamera* camera = nullptr;
    int sizeX = 0;
};
}
