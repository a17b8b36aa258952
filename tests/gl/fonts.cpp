// Bitmap fonts: glyph metrics, placement, colour and tab escapes, limits and
// unusable glyph sheets, judged on the window's pixels.
#include "kxtest.h"

#include <GL/glew.h>
#include <stb_image_write.h>

#include <cstdio>
#include <string>

namespace
{
// A glyph on the test sheet: code c fills columns 0..c % 11 and rows 4..11 of
// its cell (rows counted from the cell's top); the space cell is empty.
int inkColumns(int code)
{
    return code % 11 + 1;
}
const int INK_TOP = 4, INK_BOTTOM = 11;

struct Glyph
{
    int x, y; // pen position: left end of the baseline
    int code;
};

class Fonts : public kxtest::EngineTest
{
protected:
    void SetUp() override
    {
        kxtest::EngineTest::SetUp();
        KxFbo::resetCache();
        glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
        KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);
        KxOpenGL::clear(true, true, false);
        KxCamera* camera = new KxCamera; // 2D, window-sized
        ASSERT_TRUE(camera->render());
    }

    static KxFont* testFont()
    {
        const int size = 256;
        std::vector<unsigned char> sheet(size * size * 4, 0);
        for (int code = 0; code < 256; ++code)
        {
            if (code == ' ')
                continue;
            for (int row = INK_TOP; row <= INK_BOTTOM; ++row)
                for (int column = 0; column < inkColumns(code); ++column)
                {
                    int px = (code % 16) * 16 + column, py = (code / 16) * 16 + row;
                    for (int i = 0; i < 4; ++i)
                        sheet[(static_cast<size_t>(py) * size + px) * 4 + i] = 255;
                }
        }
        EXPECT_TRUE(stbi_write_png("test_glyphs.png", size, size, 4, sheet.data(), size * 4));
        KxTexture* texture = new KxTexture;
        EXPECT_TRUE(texture->load("test_glyphs.png", 1, 2));
        KxFont* font = new KxFont;
        EXPECT_TRUE(font->build(texture, 1));
        return font;
    }

    static std::vector<unsigned char> window()
    {
        std::vector<unsigned char> pixels(static_cast<size_t>(Kalvex::getWindowSizeX()) * Kalvex::getWindowSizeY() * 4);
        EXPECT_TRUE(Kalvex::readWindowPixels(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels.data()));
        return pixels;
    }

    static const unsigned char* pixel(const std::vector<unsigned char>& pixels, int x, int y)
    {
        return &pixels[(static_cast<size_t>(y) * Kalvex::getWindowSizeX() + x) * 4];
    }

    // Pixels whose "inked" state differs from what the glyphs cover; the ink
    // of a glyph ends on the baseline row.
    static int wrongPixels(const std::vector<unsigned char>& pixels, const std::vector<Glyph>& glyphs,
                           const std::string& name)
    {
        int wrong = 0;
        for (int y = 0; y < Kalvex::getWindowSizeY(); ++y)
            for (int x = 0; x < Kalvex::getWindowSizeX(); ++x)
            {
                bool expected = false;
                for (const Glyph& g : glyphs)
                    expected = expected || (x >= g.x && x < g.x + inkColumns(g.code) && y <= g.y &&
                                            y > g.y - (INK_BOTTOM - INK_TOP + 1));
                const unsigned char* p = pixel(pixels, x, y);
                bool inked = p[0] || p[1] || p[2];
                wrong += expected != inked;
            }
        if (wrong)
            kxtest::writePng(name + ".png", Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels);
        return wrong;
    }
};
}

TEST_F(Fonts, MetricsAndPlacementFollowTheSheet)
{
    KxFont* font = testFont();
    EXPECT_EQ(font->getCellSizeX(), 16);
    EXPECT_EQ(font->getCellSizeY(), 16);
    EXPECT_EQ(font->getCharWidth(' '), 5);
    EXPECT_EQ(font->getCharWidth('A'), 1 + 65 % 11);
    EXPECT_EQ(font->getCharWidth(0xE9), 1 + 0xE9 % 11); // codes above 127 have their own cells
    EXPECT_EQ(font->getVerticalOffset(), 1 + (15 - INK_BOTTOM));

    ASSERT_TRUE(font->putString(20, 40, "AB \xE9\n%c", 'D'));
    auto advance = [&](int code) { return font->getCharWidth(static_cast<unsigned char>(code)) + 1; };
    int b = 20 + advance('A'), e = b + advance('B') + advance(' ');
    EXPECT_EQ(wrongPixels(window(), {{20, 40, 'A'}, {b, 40, 'B'}, {e, 40, 0xE9}, {20, 56, 'D'}}, "font_placement"), 0);
}

TEST_F(Fonts, ColourEscapesAndTabs)
{
    KxFont* font = testFont();
    ASSERT_TRUE(font->putString(10, 30, "^C9009A^c0905A^c3579A"));
    EXPECT_FALSE(KxOpenGL::isBlending()); // the last colour is opaque
    const int step = font->getCharWidth('A') + 1;
    std::vector<unsigned char> pixels = window();
    const unsigned char* red = pixel(pixels, 10 + 2, 28);
    const unsigned char* green = pixel(pixels, 10 + step + 2, 28);
    const unsigned char* blue = pixel(pixels, 10 + 2 * step + 2, 28);
    EXPECT_EQ(red[0], 255);
    EXPECT_EQ(red[1], 0);
    EXPECT_EQ(red[2], 0);
    EXPECT_EQ(red[3], 255);
    // Alpha 141 blended over black.
    EXPECT_EQ(green[0], 0);
    EXPECT_NEAR(green[1], 141, 1);
    EXPECT_EQ(blue[0], 85);
    EXPECT_EQ(blue[1], 141);
    EXPECT_EQ(blue[2], 198);
    ASSERT_TRUE(font->putString(10, 60, "^c9995"));
    EXPECT_TRUE(KxOpenGL::isBlending());

    KxOpenGL::clear(true, true, false);
    ASSERT_TRUE(font->putString(10, 30, "^c9999A^x0100A^y0020B^X-050C"));
    int second = 10 + step + 100, third = second + step;
    EXPECT_EQ(wrongPixels(window(),
                          {{10, 30, 'A'}, {second, 30, 'A'}, {third, 50, 'B'}, {third + 2 - 50, 50, 'C'}},
                          "font_tabs"),
              0);
}

TEST_F(Fonts, BadEscapesAndOverlongTextStopSafely)
{
    KxFont* font = testFont();
    size_t mark = kxtest::readLog().size();
    // An unknown escape draws what follows the '^'.
    ASSERT_TRUE(font->putString(10, 20, "^QA"));
    EXPECT_FALSE(font->putString(10, 40, "B^c12"));
    EXPECT_FALSE(font->putString(10, 60, "^C")); // nothing to read after the code
    EXPECT_FALSE(font->putString(10, 80, "^x01"));
    EXPECT_FALSE(font->putString(10, 100, "^Y"));
    EXPECT_FALSE(font->putString(10, 120, "D^"));
    EXPECT_EQ(kxtest::countLogLines("String overflow (color change)", mark), 2);
    EXPECT_EQ(kxtest::countLogLines("String overflow (x tab)", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("String overflow (y tab)", mark), 1);

    // Characters 4093 to 4095 are the last that fit; a fourth is cut.
    std::string text;
    while (text.size() < KxFont::MAX_LENGTH - 4)
        text += "^x0000";
    text += "EFGH";
    ASSERT_EQ(text.size(), KxFont::MAX_LENGTH);
    mark = kxtest::readLog().size();
    EXPECT_FALSE(font->putString(10, 140, "%s", text.c_str()));
    EXPECT_EQ(kxtest::countLogLines("String overflow", mark), 1);

    auto advance = [&](int code) { return font->getCharWidth(static_cast<unsigned char>(code)) + 1; };
    int f = 10 + advance('E'), g = f + advance('F');
    EXPECT_EQ(wrongPixels(window(),
                          {{10, 20, 'Q'}, {10 + advance('Q'), 20, 'A'}, {10, 40, 'B'}, {10, 120, 'D'},
                           {10, 140, 'E'}, {f, 140, 'F'}, {g, 140, 'G'}},
                          "font_bad_escapes"),
              0);
}

TEST_F(Fonts, UnusableSheetsLeaveTheFontSilentAndTheEngineRunning)
{
    KxFont* font = new KxFont;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(font->build(nullptr, 1));
    EXPECT_EQ(kxtest::countLogLines("Texture not specified", mark), 1);
    EXPECT_FALSE(font->putString(10, 20, "A"));

    ASSERT_TRUE(kxtest::writeFile("broken_glyphs.png", std::string("\x89PNG\r\n\x1a\n broken", 16)));
    KxTexture* broken = new KxTexture;
    EXPECT_FALSE(broken->load("broken_glyphs.png", 1, 2));
    KxTexture* empty = new KxTexture;
    ASSERT_TRUE(empty->create(3, 256, 256, 1)); // pixels only on the GPU
    for (KxTexture* sheet : {broken, empty})
    {
        mark = kxtest::readLog().size();
        EXPECT_FALSE(font->build(sheet, 1));
        EXPECT_EQ(kxtest::countLogLines("holds no pixel data", mark), 1);
        EXPECT_FALSE(font->isBuilt());
        EXPECT_FALSE(font->putString(10, 20, "A"));
    }
    std::vector<unsigned char> pixels = window();
    int inked = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        inked += pixels[i] || pixels[i + 1] || pixels[i + 2];
    EXPECT_EQ(inked, 0);

    // The engine's own sheet still serves a new font.
    KxTexture* sheet = KxFont::getDefaultTexture();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->getSizeX(), 256u);
    EXPECT_EQ(sheet->getSizeY(), 256u);
    ASSERT_TRUE(font->build(sheet, 1));
    EXPECT_EQ(font->getCharWidth(' '), 5);
    EXPECT_LT(font->getCharWidth('i'), font->getCharWidth('W'));
    ASSERT_TRUE(font->putString(8, 30, "Kalvex ^c9909fonts ^c0999\xE9\xE0\xFC"));
    pixels = window();
    for (size_t i = 0; i < pixels.size(); i += 4)
        inked += pixels[i] || pixels[i + 1] || pixels[i + 2];
    EXPECT_GT(inked, 100);
    kxtest::writePng("font_default_sheet.png", Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels);
}
