// Shared by the fuzz targets and their seed generator: the engine started
// once per process, and the small files seeds and scenes are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class KxBitmap;

namespace kxfuzz
{
// Starts the engine once for the whole process (reduced start, 32 x 32
// window), quiets the log and writes the textures the scene seeds name into the working
// folder. Aborts when there is no OpenGL: a fuzz run without its engine would
// test nothing.
void startEngine();
// Drops the engine's log lines (only errors are formatted at all), so that a
// long run neither fills a log file nor slows down on it; KX_FUZZ_LOG=1 in
// the environment sends them to standard error instead.
void quietLog();
// Writes a file in the working folder, creating or truncating it.
void writeFile(const std::string& name, const void* data, size_t size);
void writeFile(const std::string& name, const std::string& bytes);
// Reads every byte of every level and side the bitmap reports, so that a
// size promising more than was decoded shows up under AddressSanitizer.
void readAll(const KxBitmap& bitmap);

// A width x height RGBA PNG with a colour gradient.
std::string makePng(int width, int height);
// A DDS of the given fourCC ("DXT1", "DXT5", "ATI1", "ATI2") with a full mip
// chain, or a DX10 one (BC1) when fourCC is "DX10"; six faces for a cube map.
std::string makeDds(const char* fourCC, uint32_t width, uint32_t height, bool cube = false);

// Texture files the scene seeds name, written by startEngine.
extern const char* const ALBEDO_FILE;
extern const char* const NORMAL_FILE;
}
