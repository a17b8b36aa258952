// Fuzz target: an image file of any format the engine decodes from memory
// (PNG, JPEG, TGA, BMP, PPM/PGM, GIF, PSD, HDR, PIC): decoded, every byte the
// bitmap reports read (a size that promises more than was decoded shows up
// under AddressSanitizer), then loaded and uploaded as a texture.
#include <kalvex.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::startEngine();
    KxBitmap bitmap;
    if (bitmap.loadFromMemory(data, size, "fuzz_image"))
        kxfuzz::readAll(bitmap);
    KxTexture* texture = new KxTexture;
    texture->loadFromMemory(data, size, "fuzz_image");
    delete texture;
    return 0;
}
