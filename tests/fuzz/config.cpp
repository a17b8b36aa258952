// Fuzz target: config.xml read by KxConfig (no engine needed). Whatever is
// accepted must hold values the engine can start with.
#include <cstdlib>

#include <kalvex.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::quietLog();
    kxfuzz::writeFile("config.xml", data, size);
    KxConfig config;
    if (config.load("config.xml"))
    {
        if (config.getWindowSizeX() <= 0 || config.getWindowSizeY() <= 0 || config.getShadowMapSize() <= 0 ||
            config.getNrOfAASamples() < 0 || !(config.getPhysWorldScale() > 0.0f) ||
            config.getWindowTitle().size() >= 256)
            std::abort();
    }
    return 0;
}
