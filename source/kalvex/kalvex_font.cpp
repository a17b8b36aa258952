// KxFont: proportional text from a 16 x 16 glyph sheet, one point per glyph
// expanded into its cell by a geometry stage.
#include "kalvex_bindings.h"
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "kalvex_resources.h"

namespace
{
const int GRID = 16;
const char* const DEFAULT_SHEET_NAME = "[DefaultGlyphSheet]";

struct FontState
{
    KxShader* stages[3] = {};
    KxShader* program = nullptr;
    bool programReady = false;
    KxTexture* defaultSheet = nullptr;
};
FontState* fontState = nullptr;

const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

bool buildProgram(FontState& state)
{
    const int kinds[3] = {KxShader::KIND_VERTEX, KxShader::KIND_GEOMETRY, KxShader::KIND_FRAGMENT};
    const unsigned char* texts[3] = {kx_resource_font_vs_glsl, kx_resource_font_gs_glsl, kx_resource_font_fs_glsl};
    for (int i = 0; i < 3; ++i)
    {
        state.stages[i] = new KxShader;
        if (!state.stages[i]->loadFromMemory(kinds[i], source(texts[i])) || !state.stages[i]->compile())
            return false;
    }
    state.program = new KxShader;
    return state.program->build(state.stages[0], state.stages[1], state.stages[2]);
}

// A digit of a colour escape: 0 gives 0, 9 gives 255.
unsigned char colorDigit(char digit)
{
    return static_cast<unsigned char>(static_cast<int>((digit - '0') * 28.34f));
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// atoi of the four characters at text (the caller checked they exist).
int tabValue(const char* text)
{
    char digits[5] = {text[0], text[1], text[2], text[3], '\0'};
    return std::atoi(digits);
}
}

struct KxFont::Private
{
    GLuint positionBuffer = 0;
    GLuint texCoordBuffer = 0;
    GLuint colorBuffer = 0;
    GLuint vertexArray = 0;
    KxTexture* texture = nullptr;
    int cellSizeX = 0;
    int cellSizeY = 0;
    unsigned char color[4] = {255, 255, 255, 255};
    unsigned char widths[256] = {};
    unsigned char verticalOffset = 0;
    bool built = false; // the widths belong to the texture
};

bool KxFont::init()
{
    if (fontState)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    fontState = new FontState;
    // Either failure leaves text unavailable, not the engine: it is logged and
    // fonts refuse to draw.
    fontState->programReady = buildProgram(*fontState);
    if (!fontState->programReady)
        KX_LOG(LEVEL_ERROR, "Unable to build the font program");
    size_t size = 0;
    const unsigned char* sheet = kx_resource_find("glyphs.png", &size);
    KxTexture* texture = new KxTexture;
    if (!sheet || !texture->loadFromMemory(sheet, size, DEFAULT_SHEET_NAME, 1, 2))
    {
        KX_LOG(LEVEL_ERROR, "Unable to read the default glyph sheet");
        delete texture;
        texture = nullptr;
    }
    fontState->defaultSheet = texture;
    return true;
}

bool KxFont::free()
{
    if (!fontState)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return false;
    }
    delete fontState->defaultSheet;
    delete fontState->program;
    for (KxShader* stage : fontState->stages)
        delete stage;
    delete fontState;
    fontState = nullptr;
    return true;
}

KxTexture* KxFont::getDefaultTexture()
{
    return fontState ? fontState->defaultSheet : nullptr;
}

KxFont::KxFont() : fontReserved(new Private)
{
    setType(TYPE_FONT);
    char name[32];
    std::snprintf(name, sizeof(name), "[Font%d]", getId());
    setName(name);

    Private& d = *fontReserved;
    const GLint zero[2] = {0, 0};
    const float uv[2] = {0.0f, 0.0f};
    glCreateBuffers(1, &d.positionBuffer);
    glCreateBuffers(1, &d.texCoordBuffer);
    glCreateBuffers(1, &d.colorBuffer);
    glNamedBufferData(d.positionBuffer, sizeof(zero), zero, GL_DYNAMIC_DRAW);
    glNamedBufferData(d.texCoordBuffer, sizeof(uv), uv, GL_DYNAMIC_DRAW);
    glNamedBufferData(d.colorBuffer, sizeof(d.color), d.color, GL_DYNAMIC_DRAW);

    glCreateVertexArrays(1, &d.vertexArray);
    struct Attribute
    {
        GLuint location;
        GLuint buffer;
        GLint components;
        GLenum type;
        GLboolean normalised;
        GLsizei stride;
    };
    const Attribute attributes[] = {
        {kx::location::VERTEX, d.positionBuffer, 2, GL_INT, GL_FALSE, 2 * sizeof(GLint)},
        {kx::location::UV, d.texCoordBuffer, 2, GL_FLOAT, GL_FALSE, 2 * sizeof(float)},
        {kx::location::COLOR, d.colorBuffer, 4, GL_UNSIGNED_BYTE, GL_TRUE, 4},
    };
    for (const Attribute& attribute : attributes)
    {
        glVertexArrayVertexBuffer(d.vertexArray, attribute.location, attribute.buffer, 0, attribute.stride);
        glVertexArrayAttribFormat(d.vertexArray, attribute.location, attribute.components, attribute.type,
                                  attribute.normalised, 0);
        glVertexArrayAttribBinding(d.vertexArray, attribute.location, attribute.location);
        glEnableVertexArrayAttrib(d.vertexArray, attribute.location);
    }
}

KxFont::~KxFont()
{
    Private& d = *fontReserved;
    GLuint buffers[3] = {d.positionBuffer, d.texCoordBuffer, d.colorBuffer};
    kx::GlContext::deleteBuffers(3, buffers);
    kx::GlContext::deleteVertexArrays(1, &d.vertexArray);
    delete fontReserved;
}

void KxFont::setTexture(KxTexture* texture)
{
    if (texture != fontReserved->texture)
        fontReserved->built = false;
    fontReserved->texture = texture;
}

KxTexture* KxFont::getTexture() const
{
    return fontReserved->texture;
}

bool KxFont::build(KxTexture* texture, int minWidth)
{
    Private& d = *fontReserved;
    if (texture)
        setTexture(texture);
    if (!d.texture)
        return KX_LOG(LEVEL_ERROR, "Texture not specified");
    if (minWidth < 0 || minWidth > 255)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    d.built = false;
    const char* name = d.texture->getName().c_str();
    KxBitmap* bitmap = d.texture->getBitmap();
    if (!bitmap || !bitmap->isLoaded() || !bitmap->getData(0))
        return KX_LOG(LEVEL_ERROR, "Glyph sheet '%s' holds no pixel data", name);
    if (bitmap->isCompressed() || bitmap->isCubemap())
        return KX_LOG(LEVEL_ERROR, "Glyph sheet '%s' is not a plain image", name);
    int sizeX = bitmap->getSizeX(0), sizeY = bitmap->getSizeY(0), depth = bitmap->getDepth();
    if (sizeX < GRID || sizeY < GRID || depth < 1 ||
        static_cast<long long>(sizeX) * sizeY * depth > bitmap->getNrOfBytes(0))
        return KX_LOG(LEVEL_ERROR, "Glyph sheet '%s' is smaller than %d x %d pixels", name, GRID, GRID);

    const int w = sizeX / GRID, h = sizeY / GRID;
    const unsigned char* pixels = bitmap->getData(0);
    // Colour bytes only: a grey sheet has one, an RGB(A) sheet three.
    const int colorBytes = depth < 3 ? 1 : 3;
    auto set = [&](int column, int row) {
        const unsigned char* p = pixels + (static_cast<size_t>(row) * sizeX + column) * depth;
        for (int i = 0; i < colorBytes; ++i)
            if (p[i])
                return true;
        return false;
    };
    d.verticalOffset = 0;
    for (int code = 0; code < 256; ++code)
    {
        // Rows in memory run bottom-up: grid row 0 is the last cell row there.
        const int left = (code % GRID) * w, bottom = (GRID - 1 - code / GRID) * h;
        int widest = -1, lowest = -1;
        for (int row = 0; row < h; ++row)
            for (int column = 0; column < w; ++column)
                if (set(left + column, bottom + row))
                {
                    widest = column > widest ? column : widest;
                    lowest = lowest < 0 ? row : lowest;
                }
        int width = minWidth + (widest < 0 ? 0 : widest);
        d.widths[code] = static_cast<unsigned char>(width > 255 ? 255 : width);
        if (code == 'A')
            d.verticalOffset = static_cast<unsigned char>(lowest < 0 || lowest >= 254 ? 1 : lowest + 1);
    }
    d.widths[' '] = static_cast<unsigned char>(w / 3 > 255 ? 255 : w / 3);
    d.cellSizeX = w;
    d.cellSizeY = h;
    d.built = true;
    return true;
}

bool KxFont::isBuilt() const
{
    return fontReserved->built;
}

int KxFont::getCellSizeX() const
{
    return fontReserved->cellSizeX;
}

int KxFont::getCellSizeY() const
{
    return fontReserved->cellSizeY;
}

int KxFont::getCharWidth(unsigned char code) const
{
    return fontReserved->widths[code];
}

int KxFont::getVerticalOffset() const
{
    return fontReserved->verticalOffset;
}

bool KxFont::render(void*)
{
    Private& d = *fontReserved;
    if (!fontState || !fontState->programReady)
        return KX_LOG(LEVEL_ERROR, "Font program not available");
    if (!fontState->program->render(nullptr))
        return false;
    fontState->program->setParamInt(KxShader::CHAR_SIZE_X, d.cellSizeX);
    fontState->program->setParamInt(KxShader::CHAR_SIZE_Y, d.cellSizeY);
    kx::GlContext::blendFunction(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    kx::GlContext::bindVertexArray(d.vertexArray);
    setColor(d.color);
    if (d.texture)
        d.texture->render(reinterpret_cast<void*>(static_cast<uintptr_t>(kx::unit::FONT_ATLAS)));
    return true;
}

void KxFont::setColor(const unsigned char rgba[4])
{
    Private& d = *fontReserved;
    for (int i = 0; i < 4; ++i)
        d.color[i] = rgba[i];
    KxOpenGL::blending(d.color[3] != 255);
    glNamedBufferSubData(d.colorBuffer, 0, sizeof(d.color), d.color);
}

void KxFont::putChar(int x, int y, char c)
{
    Private& d = *fontReserved;
    const unsigned char code = static_cast<unsigned char>(c);
    const GLint position[2] = {x, y + d.verticalOffset};
    const float uv[2] = {static_cast<float>(code % GRID) / GRID, static_cast<float>(GRID - 1 - code / GRID) / GRID};
    glNamedBufferSubData(d.positionBuffer, 0, sizeof(position), position);
    glNamedBufferSubData(d.texCoordBuffer, 0, sizeof(uv), uv);
    glDrawArrays(GL_POINTS, 0, 1);
    KxStats::inc(KxStats::DRAW_CALL);
    KxStats::add(KxStats::TRIANGLE, 2);
}

bool KxFont::putString(int x, int y, const char* format, ...)
{
    if (!format)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *fontReserved;
    if (!d.built)
        return KX_LOG(LEVEL_ERROR, "Font %s has no measured glyph sheet", getName().c_str());

    char text[MAX_LENGTH];
    va_list arguments;
    va_start(arguments, format);
    int formatted = std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    if (formatted < 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    const bool cut = static_cast<unsigned int>(formatted) >= MAX_LENGTH;
    const int length = cut ? static_cast<int>(MAX_LENGTH) - 1 : formatted;
    if (!render())
        return false;

    const char* overflow = nullptr;
    int dx = 0, dy = 0;
    for (int i = 0; i < length && !overflow; ++i)
    {
        const char c = text[i];
        const int left = length - i - 1; // characters after c
        if (c == '\n')
        {
            dx = 0;
            dy += d.cellSizeY;
            continue;
        }
        if (c != '^')
        {
            putChar(x + dx, y + dy, c);
            dx += d.widths[static_cast<unsigned char>(c)] + 1;
            continue;
        }
        if (left == 0)
        {
            overflow = "String overflow";
            break;
        }
        const char code = text[i + 1];
        if (code == 'C' || code == 'c')
        {
            int digits = 0;
            while (digits < 4 && digits < left - 1 && isDigit(text[i + 2 + digits]))
                ++digits;
            if (digits == 4)
            {
                glFlush();
                const unsigned char rgba[4] = {colorDigit(text[i + 2]), colorDigit(text[i + 3]),
                                               colorDigit(text[i + 4]), colorDigit(text[i + 5])};
                setColor(rgba);
                i += 5;
                continue;
            }
            if (digits == left - 1)
            {
                overflow = "String overflow (color change)";
                break;
            }
            // Not a colour code after all: drawn as text below.
        }
        else if (code == 'X' || code == 'x' || code == 'Y' || code == 'y')
        {
            if (left < 5)
            {
                overflow = code == 'X' || code == 'x' ? "String overflow (x tab)" : "String overflow (y tab)";
                break;
            }
            (code == 'X' || code == 'x' ? dx : dy) += tabValue(text + i + 2);
            i += 5;
            continue;
        }
        // An unknown escape: the '^' is dropped, what follows is drawn.
    }
    KxMesh::resetCache(); // binds no vertex array and tells the mesh cache so
    if (overflow)
        return KX_LOG(LEVEL_ERROR, "%s", overflow);
    if (cut)
        return KX_LOG(LEVEL_ERROR, "String overflow");
    return true;
}
