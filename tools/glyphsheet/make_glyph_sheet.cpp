// Draws the engine's default glyph sheet at build time: the 256 codes of
// ISO 8859-1 in a 16 x 16 grid of 16 x 16 pixel cells, rasterised from a
// TrueType font. Each glyph is white, antialiased against a one-pixel black
// outline that keeps text legible over any picture; everything else is fully
// transparent. Ink starts in the cell's second column and the outline may use
// the first, so glyphs measured from the cell's left edge space evenly.
//
//   make_glyph_sheet FONT.ttf SHEET.png
#include <cstdio>
#include <vector>

#include <stb_image_write.h>
#include <stb_truetype.h>

namespace
{
const int CELL = 16;
const int SHEET = CELL * 16;
const float PIXEL_HEIGHT = 14.0f; // ascent to descent, leaving the outline its row

bool readFile(const char* path, std::vector<unsigned char>& bytes)
{
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    unsigned char buffer[65536];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + count);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok && !bytes.empty();
}

bool printable(int code)
{
    return (code >= 32 && code < 127) || code >= 160;
}

// Coverage of one glyph in a cell, ink from column 1 and the baseline at row baseline.
void rasterise(const stbtt_fontinfo& font, float scale, int baseline, int code, unsigned char cell[CELL][CELL])
{
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    stbtt_GetCodepointBitmapBox(&font, code, scale, scale, &x0, &y0, &x1, &y1);
    int width = x1 - x0, height = y1 - y0;
    if (width <= 0 || height <= 0)
        return;
    std::vector<unsigned char> glyph(static_cast<size_t>(width) * height);
    stbtt_MakeCodepointBitmap(&font, glyph.data(), width, height, width, scale, scale, code);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
        {
            int row = baseline + y0 + y, column = 1 + x;
            if (row >= 1 && row < CELL - 1 && column < CELL - 1)
                cell[row][column] = glyph[static_cast<size_t>(y) * width + x];
        }
}

// Writes a cell into the RGBA sheet: ink as grey on opaque, its 8-neighbourhood black.
void place(const unsigned char cell[CELL][CELL], int code, std::vector<unsigned char>& sheet)
{
    int left = (code % 16) * CELL, top = (code / 16) * CELL;
    for (int row = 0; row < CELL; ++row)
        for (int column = 0; column < CELL; ++column)
        {
            bool outline = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                {
                    int r = row + dy, c = column + dx;
                    if (r >= 0 && r < CELL && c >= 0 && c < CELL && cell[r][c])
                        outline = true;
                }
            unsigned char* pixel = &sheet[(static_cast<size_t>(top + row) * SHEET + left + column) * 4];
            unsigned char ink = cell[row][column];
            pixel[0] = pixel[1] = pixel[2] = ink;
            pixel[3] = (ink || outline) ? 255 : 0;
        }
}
}

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: make_glyph_sheet FONT.ttf SHEET.png\n");
        return 2;
    }
    std::vector<unsigned char> fontFile;
    stbtt_fontinfo font;
    if (!readFile(argv[1], fontFile) || !stbtt_InitFont(&font, fontFile.data(), stbtt_GetFontOffsetForIndex(fontFile.data(), 0)))
    {
        std::fprintf(stderr, "make_glyph_sheet: cannot read the font '%s'\n", argv[1]);
        return 1;
    }
    float scale = stbtt_ScaleForPixelHeight(&font, PIXEL_HEIGHT);
    int ascent = 0, descent = 0, lineGap = 0;
    stbtt_GetFontVMetrics(&font, &ascent, &descent, &lineGap);
    int baseline = 1 + static_cast<int>(ascent * scale + 0.5f);

    std::vector<unsigned char> sheet(static_cast<size_t>(SHEET) * SHEET * 4, 0);
    for (int code = 0; code < 256; ++code)
    {
        if (!printable(code))
            continue;
        unsigned char cell[CELL][CELL] = {};
        rasterise(font, scale, baseline, code, cell);
        place(cell, code, sheet);
    }
    if (!stbi_write_png(argv[2], SHEET, SHEET, 4, sheet.data(), SHEET * 4))
    {
        std::fprintf(stderr, "make_glyph_sheet: cannot write '%s'\n", argv[2]);
        return 1;
    }
    return 0;
}
