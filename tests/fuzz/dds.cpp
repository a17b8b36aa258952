// Fuzz target: a DDS file (DXT1/5, ATI1/2, DX10 BC1/BC3, cube maps) read by
// name, as scenes name their textures: decoded, every block the bitmap
// reports read, then loaded and uploaded as a texture.
#include <kalvex.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::startEngine();
    kxfuzz::writeFile("fuzz_input.dds", data, size);
    KxBitmap bitmap;
    if (bitmap.load("fuzz_input.dds"))
        kxfuzz::readAll(bitmap);
    KxTexture* texture = new KxTexture;
    texture->load("fuzz_input.dds");
    delete texture;
    return 0;
}
