// The viewer's statistics overlay: frame rate, frame time and what the engine
// drew in the frame, printed with the engine's bitmap font.
#pragma once

class KxCamera;
class KxFont;

namespace viewer
{
class StatsOverlay
{
public:
    // After the engine started; false (and no overlay) when the font is unusable.
    bool init(int windowSizeX, int windowSizeY);
    // Prints the counters gathered since the last KxStats::reset, and the
    // number of lights in the frame, over the window's top-right corner.
    void draw(unsigned int lights);

private:
    KxFont* font = nullptr;
    KxCamera* camera = nullptr;
    int sizeX = 0;
};
}
