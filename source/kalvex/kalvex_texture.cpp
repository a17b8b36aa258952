// KxTexture: OpenGL textures, the default texture, and kx::TexturePool, the
// texture units that stand in for bindless handles where the driver has none.
#include "kalvex_internal.h"

#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <unordered_map>
#include <vector>

namespace
{
const size_t MAX_PATH_LENGTH = 255;
const char* const DEFAULT_TEXTURE_NAME = "[default_texture]";

// Kinds set by operations other than create.
const int KIND_EMPTY = 0;
const int KIND_RGB8 = 3;
const int KIND_RGBA8 = 4;
const int KIND_CUBE_RGB8 = 17;
const int KIND_CUBE_RGBA8 = 18;
const int KIND_COMPRESSED_RG = 20;
const int KIND_COMPRESSED_R = 21;
const int KIND_FOREIGN = 24;

struct KindInfo
{
    GLenum internalFormat;
    GLenum format;
    GLenum type;
    int components;
    GLenum target;
};

// Indexed by kind; zero rows are kinds that create refuses.
const KindInfo KINDS[KIND_FOREIGN + 1] = {
    {0, 0, 0, 0, 0},
    {GL_R8, GL_RED, GL_FLOAT, 1, GL_TEXTURE_2D},
    {GL_R16, GL_RED, GL_FLOAT, 1, GL_TEXTURE_2D},
    {GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 3, GL_TEXTURE_2D},
    {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4, GL_TEXTURE_2D},
    {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 4, GL_TEXTURE_2D},
    {GL_RGB16F, GL_RGB, GL_HALF_FLOAT, 3, GL_TEXTURE_2D},
    {GL_RGBA32F, GL_RGBA, GL_FLOAT, 4, GL_TEXTURE_2D},
    {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_FLOAT, 1, GL_TEXTURE_2D},
    {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4, GL_TEXTURE_3D},
    {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 4, GL_TEXTURE_3D},
    {GL_RGBA32F, GL_RGBA, GL_FLOAT, 4, GL_TEXTURE_3D},
    {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4, GL_TEXTURE_2D_ARRAY},
    {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 4, GL_TEXTURE_2D_ARRAY},
    {GL_RGBA32F, GL_RGBA, GL_FLOAT, 4, GL_TEXTURE_2D_ARRAY},
    {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_FLOAT, 1, GL_TEXTURE_2D_ARRAY},
    {GL_R32F, GL_RED, GL_FLOAT, 1, GL_TEXTURE_CUBE_MAP},
    {GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 3, GL_TEXTURE_CUBE_MAP},
    {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4, GL_TEXTURE_CUBE_MAP},
    {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_FLOAT, 1, GL_TEXTURE_CUBE_MAP},
    {0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0},
    {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 4, GL_TEXTURE_2D_MULTISAMPLE},
    {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_FLOAT, 1, GL_TEXTURE_2D_MULTISAMPLE},
    {0, 0, 0, 0, 0},
};

GLint glInteger(GLenum name)
{
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}

bool inRange(unsigned int value, GLint max)
{
    return value >= 1 && max > 0 && value <= static_cast<unsigned int>(max);
}

// Components, pixel format and data type of a texture the engine did not make.
struct ForeignFormat
{
    int components;
    GLenum format;
    GLenum type;
};

ForeignFormat foreignFormat(GLint internalFormat)
{
    switch (internalFormat)
    {
    case GL_DEPTH_COMPONENT:
    case GL_DEPTH_COMPONENT16:
    case GL_DEPTH_COMPONENT24:
    case GL_DEPTH_COMPONENT32:
    case GL_DEPTH_COMPONENT32F:
        return {1, GL_DEPTH_COMPONENT, GL_FLOAT};
    case GL_RED:
    case GL_R8:
    case GL_R16:
    case GL_COMPRESSED_RED_RGTC1:
        return {1, GL_RED, GL_UNSIGNED_BYTE};
    case GL_R16F:
        return {1, GL_RED, GL_HALF_FLOAT};
    case GL_R32F:
        return {1, GL_RED, GL_FLOAT};
    case GL_RG:
    case GL_RG8:
    case GL_RG16:
    case GL_COMPRESSED_RG_RGTC2:
        return {2, GL_RG, GL_UNSIGNED_BYTE};
    case GL_RG16F:
        return {2, GL_RG, GL_HALF_FLOAT};
    case GL_RG32F:
        return {2, GL_RG, GL_FLOAT};
    case GL_RGB:
    case GL_RGB8:
    case GL_SRGB8:
    case GL_COMPRESSED_RGB_S3TC_DXT1_EXT:
        return {3, GL_RGB, GL_UNSIGNED_BYTE};
    case GL_RGB16F:
    case GL_R11F_G11F_B10F:
        return {3, GL_RGB, GL_HALF_FLOAT};
    case GL_RGB32F:
        return {3, GL_RGB, GL_FLOAT};
    case GL_RGBA:
    case GL_RGBA8:
    case GL_SRGB8_ALPHA8:
    case GL_RGB10_A2:
    case GL_COMPRESSED_RGBA_S3TC_DXT5_EXT:
        return {4, GL_RGBA, GL_UNSIGNED_BYTE};
    case GL_RGBA16F:
        return {4, GL_RGBA, GL_HALF_FLOAT};
    case GL_RGBA32F:
        return {4, GL_RGBA, GL_FLOAT};
    default:
        return {0, 0, 0};
    }
}

// Texture class state: exists between KxTexture::init and free, which is also
// exactly the time the engine's GL context exists.
struct TextureState
{
    KxTexture* defaultTexture = nullptr;
};
TextureState* textureState = nullptr;

// Texture pool state (bound mode). A texture keeps its slot while any acquire
// is unreleased; acquires that found the pool full count as well, so a slot
// handed out later is never freed under a reference that still uses it.
struct PoolEntry
{
    int slot = -1;
    unsigned int count = 0;
};
struct PoolState
{
    bool bindless = false;
    std::vector<KxTexture*> slots;
    std::unordered_map<KxTexture*, PoolEntry> entries;
};
PoolState* poolState = nullptr;

// Called by a dying texture: whatever it still holds in the pool goes.
void forgetPoolTexture(KxTexture* texture)
{
    if (!poolState)
        return;
    auto found = poolState->entries.find(texture);
    if (found == poolState->entries.end())
        return;
    if (found->second.slot >= 0)
        poolState->slots[static_cast<size_t>(found->second.slot)] = nullptr;
    poolState->entries.erase(found);
}
}

struct KxTexture::Private
{
    KxBitmap* bitmap = nullptr;
    unsigned int sizeX = 0;
    unsigned int sizeY = 0;
    unsigned int sizeZ = 0;
    int components = 0;
    GLuint name = 0;
    GLenum target = 0;
    GLenum internalFormat = 0;
    GLenum dataType = 0;
    GLenum format = 0;
    bool compressed = false;
    GLuint64 bindlessHandle = 0;

    // Lets go of the GL texture (deleting it unless it is adopted) and forgets
    // its description. GL is only touched while the context exists.
    void dropTexture(bool owned)
    {
        if (name && textureState)
        {
            if (bindlessHandle)
                glMakeTextureHandleNonResidentARB(bindlessHandle);
            if (owned)
                glDeleteTextures(1, &name);
        }
        name = 0;
        bindlessHandle = 0;
        target = internalFormat = dataType = format = 0;
        sizeX = sizeY = sizeZ = 0;
        components = 0;
        compressed = false;
    }

    void makeResident()
    {
        if (!Kalvex::usesBindlessTextures())
            return;
        bindlessHandle = glGetTextureHandleARB(name);
        if (bindlessHandle)
            glMakeTextureHandleResidentARB(bindlessHandle);
    }
};

void KxTexture::init()
{
    if (textureState)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    textureState = new TextureState;
    KxTexture* texture = new KxTexture;
    const unsigned char white[3] = {255, 255, 255};
    if (!texture->create(KIND_RGB8, 1, 1, 0, 1, 1) || !texture->write(white))
        KX_LOG(LEVEL_ERROR, "Unable to create the default texture");
    texture->setName(DEFAULT_TEXTURE_NAME);
    textureState->defaultTexture = texture;
    // The pool takes the default texture first, so it always has a slot.
    kx::TexturePool::init();
}

void KxTexture::free()
{
    if (!textureState)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    kx::TexturePool::free();
    delete textureState->defaultTexture;
    delete textureState;
    textureState = nullptr;
}

KxTexture* KxTexture::getDefault()
{
    return textureState ? textureState->defaultTexture : nullptr;
}

KxTexture::KxTexture() : textureReserved(new Private)
{
    setType(TYPE_TEXTURE);
    setSubtype(KIND_EMPTY);
    textureReserved->bitmap = new KxBitmap;
    char defaultName[32];
    std::snprintf(defaultName, sizeof(defaultName), "[Texture%d]", getId());
    setName(defaultName);
}

KxTexture::~KxTexture()
{
    forgetPoolTexture(this);
    if (textureState && textureState->defaultTexture == this)
        textureState->defaultTexture = nullptr;
    textureReserved->dropTexture(getSubtype() != KIND_FOREIGN);
    delete textureReserved->bitmap;
    delete textureReserved;
    textureReserved = nullptr;
}

bool KxTexture::create(int kind, unsigned int sizeX, unsigned int sizeY, unsigned int sizeZ, int filter, int wrap)
{
    if (kind == KIND_EMPTY || kind == KIND_COMPRESSED_RG || kind == KIND_COMPRESSED_R || kind == KIND_FOREIGN)
        return KX_LOG(LEVEL_ERROR, "Unexpected bitmap type");
    if (kind < 0 || kind > KIND_FOREIGN)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!textureState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    const KindInfo& info = KINDS[kind];

    // Sizes GL would refuse are refused here, before anything changes.
    bool sizesValid = false;
    switch (info.target)
    {
    case GL_TEXTURE_2D:
    case GL_TEXTURE_2D_MULTISAMPLE:
        sizesValid = inRange(sizeX, glInteger(GL_MAX_TEXTURE_SIZE)) && inRange(sizeY, glInteger(GL_MAX_TEXTURE_SIZE));
        break;
    case GL_TEXTURE_3D:
        sizesValid = inRange(sizeX, glInteger(GL_MAX_3D_TEXTURE_SIZE)) &&
                     inRange(sizeY, glInteger(GL_MAX_3D_TEXTURE_SIZE)) &&
                     inRange(sizeZ, glInteger(GL_MAX_3D_TEXTURE_SIZE));
        break;
    case GL_TEXTURE_2D_ARRAY:
        sizesValid = inRange(sizeX, glInteger(GL_MAX_TEXTURE_SIZE)) && inRange(sizeY, glInteger(GL_MAX_TEXTURE_SIZE)) &&
                     inRange(sizeZ, glInteger(GL_MAX_ARRAY_TEXTURE_LAYERS));
        break;
    case GL_TEXTURE_CUBE_MAP:
        sizesValid = sizeX == sizeY && inRange(sizeX, glInteger(GL_MAX_CUBE_MAP_TEXTURE_SIZE));
        break;
    default:
        break;
    }
    if (!sizesValid)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    Private& p = *textureReserved;
    p.dropTexture(getSubtype() != KIND_FOREIGN);
    setSubtype(KIND_EMPTY);

    GLuint name = 0;
    glCreateTextures(info.target, 1, &name);
    GLsizei width = static_cast<GLsizei>(sizeX), height = static_cast<GLsizei>(sizeY);
    switch (info.target)
    {
    case GL_TEXTURE_2D:
        glTextureStorage2D(name, 1, info.internalFormat, width, height);
        break;
    case GL_TEXTURE_3D:
    case GL_TEXTURE_2D_ARRAY:
        glTextureStorage3D(name, 1, info.internalFormat, width, height, static_cast<GLsizei>(sizeZ));
        break;
    case GL_TEXTURE_CUBE_MAP:
        // Cube faces are filled through the binding point.
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_CUBE_MAP, name);
        for (GLenum face = 0; face < 6; ++face)
            glTexImage2D(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face, 0, static_cast<GLint>(info.internalFormat), width,
                         height, 0, info.format, info.type, nullptr);
        if (info.format == GL_DEPTH_COMPONENT)
        {
            glTextureParameteri(name, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
            glTextureParameteri(name, GL_TEXTURE_COMPARE_FUNC, GL_LEQUAL);
        }
        break;
    case GL_TEXTURE_2D_MULTISAMPLE:
    {
        // Without anti-aliasing a multisample target still needs one sample.
        GLint samples = Kalvex::getNrOfAASamples();
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D_MULTISAMPLE, name);
        glTexImage2DMultisample(GL_TEXTURE_2D_MULTISAMPLE, samples > 0 ? samples : 1, info.internalFormat, width,
                                height, GL_TRUE);
        break;
    }
    default:
        break;
    }

    glTextureParameteri(name, GL_TEXTURE_MAX_LEVEL, 0);
    if (info.target != GL_TEXTURE_2D_MULTISAMPLE)
    {
        GLint wrapMode = wrap == 1 ? GL_REPEAT : GL_CLAMP_TO_EDGE;
        glTextureParameteri(name, GL_TEXTURE_WRAP_S, wrapMode);
        glTextureParameteri(name, GL_TEXTURE_WRAP_T, wrapMode);
        glTextureParameteri(name, GL_TEXTURE_WRAP_R, wrapMode);
        bool linearByDefault = info.target == GL_TEXTURE_2D || info.target == GL_TEXTURE_CUBE_MAP;
        bool linear = filter == 2 || (filter != 1 && linearByDefault);
        glTextureParameteri(name, GL_TEXTURE_MIN_FILTER, linear ? GL_LINEAR : GL_NEAREST);
        glTextureParameteri(name, GL_TEXTURE_MAG_FILTER, linear ? GL_LINEAR : GL_NEAREST);
        // Some drivers blur nearest-filtered textures when anisotropy is above 1.
        if (!linear)
            glTextureParameterf(name, GL_TEXTURE_MAX_ANISOTROPY, 1.0f);
    }

    p.name = name;
    p.target = info.target;
    p.internalFormat = info.internalFormat;
    p.format = info.format;
    p.dataType = info.type;
    p.components = info.components;
    p.sizeX = sizeX;
    p.sizeY = sizeY;
    p.sizeZ = sizeZ;
    p.makeResident();
    setSubtype(kind);
    return true;
}

bool KxTexture::load(const std::string& path, int filter, int wrap)
{
    if (path.empty() || path.size() > MAX_PATH_LENGTH)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!textureState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& p = *textureReserved;
    // Whatever happens below, the old texture is gone: a failed load leaves
    // an empty texture, never a stale one.
    p.dropTexture(getSubtype() != KIND_FOREIGN);
    setSubtype(KIND_EMPTY);

    if (!p.bitmap->load(path))
        return KX_LOG(LEVEL_ERROR, "Texture loading error");
    KX_LOG(LEVEL_DEBUG, "Loading texture from '%s'", path.c_str());
    return uploadBitmap(path, filter, wrap);
}

bool KxTexture::loadFromMemory(const unsigned char* bytes, size_t size, const std::string& name, int filter, int wrap)
{
    if (!bytes || size == 0 || name.empty() || name.size() > MAX_PATH_LENGTH)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!textureState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& p = *textureReserved;
    p.dropTexture(getSubtype() != KIND_FOREIGN);
    setSubtype(KIND_EMPTY);
    if (!p.bitmap->loadFromMemory(bytes, size, name))
        return KX_LOG(LEVEL_ERROR, "Texture loading error");
    return uploadBitmap(name, filter, wrap);
}

bool KxTexture::uploadBitmap(const std::string& path, int filter, int wrap)
{
    Private& p = *textureReserved;
    KxBitmap* bitmap = p.bitmap;
    const char* fileName = path.c_str();
    GLenum target = 0;
    if (bitmap->getNrOfSides() == 1)
        target = GL_TEXTURE_2D;
    else if (bitmap->getNrOfSides() == 6)
        target = GL_TEXTURE_CUBE_MAP;
    else
        return KX_LOG(LEVEL_ERROR, "Unexpected number of sides for '%s'", fileName);
    bool cube = target == GL_TEXTURE_CUBE_MAP;

    GLenum internalFormat = 0, format = 0;
    int components = 0, kind = KIND_EMPTY;
    bool compressed = bitmap->isCompressed();
    switch (bitmap->getType())
    {
    case 3:
        internalFormat = format = GL_RGB;
        components = 3;
        kind = cube ? KIND_CUBE_RGB8 : KIND_RGB8;
        break;
    case 4:
        internalFormat = format = GL_RGBA;
        components = 4;
        kind = cube ? KIND_CUBE_RGBA8 : KIND_RGBA8;
        break;
    case GL_COMPRESSED_RGB_S3TC_DXT1_EXT:
        internalFormat = GL_COMPRESSED_RGB_S3TC_DXT1_EXT;
        format = GL_RGB;
        components = 3;
        kind = cube ? KIND_CUBE_RGB8 : KIND_RGB8;
        break;
    case GL_COMPRESSED_RGBA_S3TC_DXT5_EXT:
        internalFormat = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT;
        format = GL_RGBA;
        components = 4;
        kind = cube ? KIND_CUBE_RGBA8 : KIND_RGBA8;
        break;
    case GL_COMPRESSED_RED_RGTC1:
        internalFormat = GL_COMPRESSED_RED_RGTC1;
        format = GL_RED;
        components = 1;
        kind = KIND_COMPRESSED_R;
        break;
    case GL_COMPRESSED_RG_RGTC2:
        internalFormat = GL_COMPRESSED_RG_RGTC2;
        format = GL_RG;
        components = 2;
        kind = KIND_COMPRESSED_RG;
        break;
    default:
        return KX_LOG(LEVEL_ERROR, "Unexpected bitmap type for '%s'", fileName);
    }

    GLint maxSize = glInteger(cube ? GL_MAX_CUBE_MAP_TEXTURE_SIZE : GL_MAX_TEXTURE_SIZE);
    int levels = bitmap->getNrOfLevels();
    int sizeX = bitmap->getSizeX(0), sizeY = bitmap->getSizeY(0);
    if (sizeX > maxSize || sizeY > maxSize || (cube && sizeX != sizeY))
        return KX_LOG(LEVEL_ERROR, "Unsupported texture size %dx%d for '%s'", sizeX, sizeY, fileName);

    GLuint name = 0;
    glCreateTextures(target, 1, &name);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(target, name);
    // The levels present are 0 to levels - 1; a larger maximum would leave a
    // partial chain incomplete, and incomplete textures sample black.
    if (levels > 1)
        glTextureParameteri(name, GL_TEXTURE_MAX_LEVEL, levels - 1);
    GLint wrapMode = (cube || wrap == 2) ? GL_CLAMP_TO_EDGE : GL_REPEAT;
    glTextureParameteri(name, GL_TEXTURE_WRAP_S, wrapMode);
    glTextureParameteri(name, GL_TEXTURE_WRAP_T, wrapMode);
    glTextureParameteri(name, GL_TEXTURE_WRAP_R, wrapMode);
    if (filter == 1)
    {
        glTextureParameteri(name, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTextureParameteri(name, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTextureParameterf(name, GL_TEXTURE_MAX_ANISOTROPY, 1.0f);
    }
    else
    {
        glTextureParameteri(name, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTextureParameteri(name, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        // The engine's setting, already clamped to the driver's limit.
        glTextureParameterf(name, GL_TEXTURE_MAX_ANISOTROPY, static_cast<GLfloat>(Kalvex::getAnisotropy()));
    }

    // Decoded rows are tightly packed: three-component rows need not be
    // multiples of four bytes.
    GLint unpackAlignment = glInteger(GL_UNPACK_ALIGNMENT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int side = 0; side < bitmap->getNrOfSides(); ++side)
    {
        GLenum imageTarget = cube ? GL_TEXTURE_CUBE_MAP_POSITIVE_X + static_cast<GLenum>(side) : GL_TEXTURE_2D;
        for (int level = 0; level < levels; ++level)
        {
            unsigned char* data = bitmap->getData(level, side);
            int width = bitmap->getSizeX(level), height = bitmap->getSizeY(level);
            int bytes = bitmap->getNrOfBytes(level);
            KX_LOG(LEVEL_DEBUG, "Type: %d, Level: %d/%d, IntFormat: %d, x: %d, y: %d, bytes: %d, ptr: %llx",
                   static_cast<int>(target), level + 1, levels, static_cast<int>(internalFormat), width, height, bytes,
                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(data)));
            if (compressed)
                glCompressedTexImage2D(imageTarget, level, internalFormat, width, height, 0, bytes, data);
            else
                glTexImage2D(imageTarget, level, static_cast<GLint>(internalFormat), width, height, 0, format,
                             GL_UNSIGNED_BYTE, data);
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
    if (levels <= 1)
        glGenerateMipmap(target);

    p.name = name;
    p.target = target;
    p.internalFormat = internalFormat;
    p.format = format;
    p.dataType = GL_UNSIGNED_BYTE;
    p.compressed = compressed;
    p.components = components;
    p.sizeX = static_cast<unsigned int>(sizeX);
    p.sizeY = static_cast<unsigned int>(sizeY);
    p.sizeZ = 1;
    p.makeResident();
    setSubtype(kind);
    // Materials refer to their textures by this name.
    setName(path);
    return true;
}

bool KxTexture::createFromHandle(unsigned int glName)
{
    if (glName == 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!textureState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& p = *textureReserved;
    if (glName == p.name || !glIsTexture(glName))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    p.dropTexture(getSubtype() != KIND_FOREIGN);

    GLuint target = 0;
    glGetTextureParameterIuiv(glName, GL_TEXTURE_TARGET, &target);
    GLint width = 0, height = 0, internalFormat = 0;
    if (target == GL_TEXTURE_CUBE_MAP)
    {
        // Level parameters of a cube map belong to its faces.
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_CUBE_MAP, glName);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X, 0, GL_TEXTURE_INTERNAL_FORMAT, &internalFormat);
    }
    else
    {
        glGetTextureLevelParameteriv(glName, 0, GL_TEXTURE_WIDTH, &width);
        glGetTextureLevelParameteriv(glName, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTextureLevelParameteriv(glName, 0, GL_TEXTURE_INTERNAL_FORMAT, &internalFormat);
    }
    // Sized formats count by their base format: textures made with storage
    // calls report GL_RGBA8, not GL_RGBA.
    ForeignFormat foreign = foreignFormat(internalFormat);
    if (foreign.components == 0)
        KX_LOG(LEVEL_ERROR, "Unsupported internal format");

    p.name = glName;
    p.target = target;
    p.internalFormat = static_cast<GLenum>(internalFormat);
    p.format = foreign.format;
    p.dataType = foreign.type;
    p.components = foreign.components;
    p.compressed = internalFormat == GL_COMPRESSED_RGB_S3TC_DXT1_EXT ||
                   internalFormat == GL_COMPRESSED_RGBA_S3TC_DXT5_EXT ||
                   internalFormat == GL_COMPRESSED_RED_RGTC1 || internalFormat == GL_COMPRESSED_RG_RGTC2;
    p.sizeX = width > 0 ? static_cast<unsigned int>(width) : 0;
    p.sizeY = height > 0 ? static_cast<unsigned int>(height) : 0;
    p.sizeZ = 1;
    setSubtype(KIND_FOREIGN);
    return true;
}

bool KxTexture::write(const unsigned char* data)
{
    const Private& p = *textureReserved;
    if (!data || !p.name || p.target != GL_TEXTURE_2D || p.compressed || !p.format)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, p.name);
    GLint unpackAlignment = glInteger(GL_UNPACK_ALIGNMENT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, static_cast<GLsizei>(p.sizeX), static_cast<GLsizei>(p.sizeY), p.format,
                    GL_UNSIGNED_BYTE, data);
    glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
    return true;
}

bool KxTexture::writeRaw(const void* data)
{
    const Private& p = *textureReserved;
    if (!data || !p.name || p.target != GL_TEXTURE_2D || p.compressed || !p.format)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, p.name);
    GLint unpackAlignment = glInteger(GL_UNPACK_ALIGNMENT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4); // float rows are always whole words
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, static_cast<GLsizei>(p.sizeX), static_cast<GLsizei>(p.sizeY), p.format,
                    GL_FLOAT, data);
    glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
    return true;
}

bool KxTexture::getRawDataToSysMem(void** data)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    *data = nullptr;
    const Private& p = *textureReserved;
    if (!p.name || p.target == GL_TEXTURE_2D_MULTISAMPLE)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (p.components != 4)
        return KX_LOG(LEVEL_ERROR, "Unsupported texture format (only RGBA)");
    if (p.dataType != GL_FLOAT)
        return KX_LOG(LEVEL_ERROR, "Unsupported texture format (only float)");

    uint64_t pixels = static_cast<uint64_t>(p.sizeX) * p.sizeY * (p.sizeZ > 1 ? p.sizeZ : 1);
    uint64_t bytes = pixels * 4 * sizeof(float);
    if (bytes > static_cast<uint64_t>(INT_MAX))
        return KX_LOG(LEVEL_ERROR, "Texture too large to read back");
    float* values = new (std::nothrow) float[static_cast<size_t>(pixels) * 4]();
    if (!values)
        return KX_LOG(LEVEL_ERROR, "Out of memory");
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(p.target, p.name);
    GLint packAlignment = glInteger(GL_PACK_ALIGNMENT);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    // The sized read cannot write past the array whatever the texture holds.
    glGetTextureImage(p.name, 0, p.format, p.dataType, static_cast<GLsizei>(bytes), values);
    glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
    *data = values;
    return true;
}

bool KxTexture::bindImage(unsigned int unit, bool layered)
{
    const Private& p = *textureReserved;
    GLint units = glInteger(GL_MAX_IMAGE_UNITS);
    if (!p.name || units <= 0 || unit >= static_cast<unsigned int>(units))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    glBindImageTexture(unit, p.name, 0, layered ? GL_TRUE : GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA32F);
    return true;
}

unsigned int KxTexture::getSizeX() const
{
    return textureReserved->sizeX;
}

unsigned int KxTexture::getSizeY() const
{
    return textureReserved->sizeY;
}

unsigned int KxTexture::getSizeZ() const
{
    return textureReserved->sizeZ;
}

int KxTexture::getNrOfComponents() const
{
    return textureReserved->components;
}

unsigned int KxTexture::getHandle() const
{
    return textureReserved->name;
}

uint64_t KxTexture::getBindlessHandle() const
{
    return textureReserved->bindlessHandle;
}

KxBitmap* KxTexture::getBitmap() const
{
    return textureReserved->bitmap;
}

bool KxTexture::render(void* unit)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for texture %d invoked", getId());
    uintptr_t number = reinterpret_cast<uintptr_t>(unit);
    if (number > 7)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    GLuint n = static_cast<GLuint>(number);
    KxShader* shader = KxShader::getCurrent();
    // Unit 6 (the light's shadow cube map) is bound classically in both modes.
    if (Kalvex::usesBindlessTextures() && n != 6)
    {
        if (shader)
            shader->setParamQWord(KxShader::TEXTURE_SAMPLER0 + n, textureReserved->bindlessHandle);
    }
    else
    {
        glBindTextureUnit(n, textureReserved->name);
        if (shader)
            shader->setParamInt(KxShader::TEXTURE_SAMPLER0 + n, static_cast<int>(n));
    }
    KxStats::inc(KxStats::TEXTURE_BIND);
    return true;
}

//////////////////////////////////////////////////////////////////////////////
// Texture pool

// The pool is internal to the library; its entry points are exported all the
// same so that the test suite can drive it directly.
namespace kx
{
void TexturePool::init()
{
    if (poolState)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    poolState = new PoolState;
    poolState->bindless = Kalvex::usesBindlessTextures();
    if (!poolState->bindless)
        poolState->slots.assign(getSize(), nullptr);
    if (KxTexture* defaultTexture = KxTexture::getDefault())
        acquire(defaultTexture);
}

void TexturePool::free()
{
    if (!poolState)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete poolState;
    poolState = nullptr;
}

unsigned int TexturePool::getSize()
{
    if (!Kalvex::isInitialized() || Kalvex::usesBindlessTextures())
        return 0;
    GLint units = glInteger(GL_MAX_TEXTURE_IMAGE_UNITS);
    if (units > static_cast<GLint>(kx::unit::TEXTURE_POOL_MAX))
        units = static_cast<GLint>(kx::unit::TEXTURE_POOL_MAX);
    return units > static_cast<GLint>(FIRST_UNIT) ? static_cast<unsigned int>(units) - FIRST_UNIT : 0;
}

uint64_t TexturePool::acquire(KxTexture* texture)
{
    if (!texture || !poolState)
        return 0;
    if (poolState->bindless)
        return texture->getBindlessHandle();

    PoolEntry* entry = nullptr;
    try
    {
        entry = &poolState->entries[texture];
    }
    catch (const std::exception&)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory");
        return 0;
    }
    entry->count++;
    if (entry->slot < 0)
    {
        for (size_t slot = 0; slot < poolState->slots.size(); ++slot)
            if (!poolState->slots[slot])
            {
                poolState->slots[slot] = texture;
                entry->slot = static_cast<int>(slot);
                break;
            }
    }
    if (entry->slot >= 0)
        return static_cast<uint64_t>(entry->slot) + 1;

    KX_LOG(LEVEL_WARNING, "Texture pool full: '%s' uses the default texture", texture->getName().c_str());
    KxTexture* defaultTexture = KxTexture::getDefault();
    auto found = defaultTexture ? poolState->entries.find(defaultTexture) : poolState->entries.end();
    if (found == poolState->entries.end() || found->second.slot < 0)
        return 0;
    return static_cast<uint64_t>(found->second.slot) + 1;
}

void TexturePool::release(KxTexture* texture)
{
    if (!texture || !poolState || poolState->bindless)
        return;
    auto found = poolState->entries.find(texture);
    // A texture deleted while still acquired has already left the pool, and
    // its pointer must not be followed.
    if (found == poolState->entries.end())
    {
        KX_LOG(LEVEL_DETAIL, "Texture released more often than acquired");
        return;
    }
    if (--found->second.count > 0)
        return;
    if (found->second.slot >= 0)
        poolState->slots[static_cast<size_t>(found->second.slot)] = nullptr;
    poolState->entries.erase(found);
}

void TexturePool::bind()
{
    if (!poolState || poolState->bindless || poolState->slots.empty())
        return;
    // Free slots, and textures without GL storage, show the default texture:
    // a stale handle then samples white instead of an incomplete texture.
    KxTexture* defaultTexture = KxTexture::getDefault();
    GLuint fallback = defaultTexture ? defaultTexture->getHandle() : 0;
    GLuint names[32];
    size_t count = poolState->slots.size() < 32 ? poolState->slots.size() : 32;
    for (size_t slot = 0; slot < count; ++slot)
    {
        KxTexture* texture = poolState->slots[slot];
        names[slot] = texture && texture->getHandle() ? texture->getHandle() : fallback;
    }
    glBindTextures(FIRST_UNIT, static_cast<GLsizei>(count), names);
}
}
