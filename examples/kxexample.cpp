// A minimal client: starts the engine, keeps the window up for a number of
// frames (or until it is closed) and stops.
//
//   kxexample [frames]     default 300 frames
#include <cstdlib>
#include <cstdio>

#include <kalvex.h>

int main(int argc, char** argv)
{
    int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    KxConfig config;
    config.setWindowTitle("Kalvex example");
    if (!Kalvex::init(config))
        return 1;
    for (int frame = 0; frame < frames; ++frame)
        if (!Kalvex::swap(true))
            break;
    std::printf("Last frame: %.2f ms\n", Kalvex::getLastFrameTime() * 1000.0f);
    return Kalvex::free() ? 0 : 1;
}
