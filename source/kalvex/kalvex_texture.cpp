// KxTexture: OpenGL textures, the default texture, and kx::TexturePool, the
// texture units that stand in for bindless handles where the driver has none.
#include "kalvex_internal.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"

#include <climits>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <tuple>
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
// One loaded image file with one filter and wrap setting. Every texture that
// loads it shares the one GL texture and the decoded pixels: a scene naming a
// file in many material slots costs it once. Each KxTexture still stands on
// its own; the image goes with its last user, and a texture written to gets
// a copy of its own first.
struct ImageKey
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0;
    int filter = 0;
    int wrap = 0;

    bool operator<(const ImageKey& o) const
    {
        return std::tie(device, inode, size, modified, filter, wrap) <
               std::tie(o.device, o.inode, o.size, o.modified, o.filter, o.wrap);
    }
};

struct SharedImage
{
    GLuint name = 0;
    GLuint64 bindlessHandle = 0;
    unsigned int users = 0;
    std::unique_ptr<KxBitmap> bitmap;
};

struct TextureState
{
    KxTexture* defaultTexture = nullptr;
    std::map<ImageKey, SharedImage> images;
};
TextureState* textureState = nullptr;

struct LoadedFormat
{
    GLenum internalFormat = 0;
    GLenum format = 0;
    int components = 0;
    int kind = KIND_EMPTY;
};

// How a loaded bitmap of this type is stored; false for types textures refuse.
bool loadedFormat(int type, bool cube, LoadedFormat& out)
{
    switch (type)
    {
    case 3:
        out.internalFormat = out.format = GL_RGB;
        out.components = 3;
        out.kind = cube ? KIND_CUBE_RGB8 : KIND_RGB8;
        return true;
    case 4:
        out.internalFormat = out.format = GL_RGBA;
        out.components = 4;
        out.kind = cube ? KIND_CUBE_RGBA8 : KIND_RGBA8;
        return true;
    case GL_COMPRESSED_RGB_S3TC_DXT1_EXT:
        out.internalFormat = GL_COMPRESSED_RGB_S3TC_DXT1_EXT;
        out.format = GL_RGB;
        out.components = 3;
        out.kind = cube ? KIND_CUBE_RGB8 : KIND_RGB8;
        return true;
    case GL_COMPRESSED_RGBA_S3TC_DXT5_EXT:
        out.internalFormat = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT;
        out.format = GL_RGBA;
        out.components = 4;
        out.kind = cube ? KIND_CUBE_RGBA8 : KIND_RGBA8;
        return true;
    case GL_COMPRESSED_RED_RGTC1:
        out.internalFormat = GL_COMPRESSED_RED_RGTC1;
        out.format = GL_RED;
        out.components = 1;
        out.kind = KIND_COMPRESSED_R;
        return true;
    case GL_COMPRESSED_RG_RGTC2:
        out.internalFormat = GL_COMPRESSED_RG_RGTC2;
        out.format = GL_RG;
        out.components = 2;
        out.kind = KIND_COMPRESSED_RG;
        return true;
    default:
        return false;
    }
}

bool imageKey(const std::string& path, int filter, int wrap, ImageKey& key)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    key.device = status.st_dev;
    key.inode = status.st_ino;
    key.size = status.st_size;
    key.modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    key.filter = filter;
    key.wrap = wrap;
    return true;
}

// One user less; the last one takes the GL texture with it.
void releaseImage(const ImageKey& key)
{
    if (!textureState)
        return;
    auto found = textureState->images.find(key);
    if (found == textureState->images.end() || --found->second.users > 0)
        return;
    if (found->second.bindlessHandle)
        glMakeTextureHandleNonResidentARB(found->second.bindlessHandle);
    kx::GlContext::deleteTextures(1, &found->second.name);
    textureState->images.erase(found);
}

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
    bool shared = false; // the image belongs to textureState->images[key]
    ImageKey key;

    // Lets go of the GL texture (deleting it unless it is adopted or still
    // shared) and forgets its description. GL is only touched while the
    // context exists.
    void dropTexture(bool owned)
    {
        if (shared)
            releaseImage(key);
        else if (name && textureState)
        {
            if (bindlessHandle)
                glMakeTextureHandleNonResidentARB(bindlessHandle);
            if (owned)
                kx::GlContext::deleteTextures(1, &name);
        }
        name = 0;
        bindlessHandle = 0;
        shared = false;
        target = internalFormat = dataType = format = 0;
        sizeX = sizeY = sizeZ = 0;
        components = 0;
        compressed = false;
    }

    void describe(GLenum textureTarget, GLenum sized, GLenum pixelFormat, int count, bool packed, int width,
                  int height)
    {
        target = textureTarget;
        internalFormat = sized;
        format = pixelFormat;
        dataType = GL_UNSIGNED_BYTE;
        compressed = packed;
        components = count;
        sizeX = static_cast<unsigned int>(width);
        sizeY = static_cast<unsigned int>(height);
        sizeZ = 1;
    }

    // Offers the freshly loaded image to later loads of the same file.
    void share(const ImageKey& imageKey)
    {
        try
        {
            SharedImage image;
            image.bitmap.reset(new KxBitmap);
            image.bitmap->share(*bitmap);
            image.name = name;
            image.bindlessHandle = bindlessHandle;
            image.users = 1;
            textureState->images.emplace(imageKey, std::move(image));
            shared = true;
            key = imageKey;
        }
        catch (const std::exception&)
        {
            // Not shared: the texture keeps its image to itself.
        }
    }

    bool detach();

    void makeResident()
    {
        if (!kx::GlContext::capabilities().bindlessTextures)
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
        kx::GlContext::bindTextureForUpload(GL_TEXTURE_CUBE_MAP, name);
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
        GLint samples = kx::GlContext::capabilities().aaSamples;
        kx::GlContext::bindTextureForUpload(GL_TEXTURE_2D_MULTISAMPLE, name);
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

    KxBitmap* bitmap = p.bitmap;
    ImageKey key;
    bool keyed = imageKey(path, filter == 1 ? 1 : 0, (wrap == 2) ? 2 : 0, key);
    auto found = keyed ? textureState->images.find(key) : textureState->images.end();
    if (found != textureState->images.end())
    {
        // Already loaded by another texture: no second decode, no second upload.
        SharedImage& image = found->second;
        bitmap->share(*image.bitmap);
        p.name = image.name;
        p.bindlessHandle = image.bindlessHandle;
        p.shared = true;
        p.key = key;
        ++image.users;
        bool cube = bitmap->getNrOfSides() == 6;
        LoadedFormat loaded;
        loadedFormat(bitmap->getType(), cube, loaded);
        p.describe(cube ? GL_TEXTURE_CUBE_MAP : GL_TEXTURE_2D, loaded.internalFormat, loaded.format,
                   loaded.components, bitmap->isCompressed(), bitmap->getSizeX(0), bitmap->getSizeY(0));
        setSubtype(loaded.kind);
        setName(path);
        KX_LOG(LEVEL_DEBUG, "Texture '%s' shares the image already loaded", path.c_str());
        return true;
    }
    if (!bitmap->load(path))
        return KX_LOG(LEVEL_ERROR, "Texture loading error");
    KX_LOG(LEVEL_DEBUG, "Loading texture from '%s'", path.c_str());
    if (!uploadBitmap(path, filter, wrap))
        return false;
    if (keyed)
        p.share(key);
    return true;
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

    bool compressed = bitmap->isCompressed();
    LoadedFormat loaded;
    if (!loadedFormat(bitmap->getType(), cube, loaded))
        return KX_LOG(LEVEL_ERROR, "Unexpected bitmap type for '%s'", fileName);
    GLenum internalFormat = loaded.internalFormat, format = loaded.format;
    int components = loaded.components, kind = loaded.kind;

    GLint maxSize = glInteger(cube ? GL_MAX_CUBE_MAP_TEXTURE_SIZE : GL_MAX_TEXTURE_SIZE);
    int levels = bitmap->getNrOfLevels();
    int sizeX = bitmap->getSizeX(0), sizeY = bitmap->getSizeY(0);
    if (sizeX > maxSize || sizeY > maxSize || (cube && sizeX != sizeY))
        return KX_LOG(LEVEL_ERROR, "Unsupported texture size %dx%d for '%s'", sizeX, sizeY, fileName);

    GLuint name = 0;
    glCreateTextures(target, 1, &name);
    kx::GlContext::bindTextureForUpload(target, name);
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
        glTextureParameterf(name, GL_TEXTURE_MAX_ANISOTROPY, static_cast<GLfloat>(kx::engine ? kx::engine->anisotropy : MAX_ANISOTROPY));
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
    p.describe(target, internalFormat, format, components, compressed, sizeX, sizeY);
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
        kx::GlContext::bindTextureForUpload(GL_TEXTURE_CUBE_MAP, glName);
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

// A shared image about to change is copied first (all its levels and its
// sampling settings), so that the other users keep what they loaded.
bool KxTexture::Private::detach()
{
    if (!shared || !textureState)
        return true;
    auto found = textureState->images.find(key);
    if (found == textureState->images.end() || found->second.users <= 1)
    {
        // The last user simply keeps the image.
        if (found != textureState->images.end())
            textureState->images.erase(found);
        shared = false;
        return true;
    }
    GLint maxLevel = 0;
    glGetTextureParameteriv(name, GL_TEXTURE_MAX_LEVEL, &maxLevel);
    GLsizei levels = 1;
    for (unsigned int size = sizeX > sizeY ? sizeX : sizeY; size > 1 && levels <= maxLevel; size >>= 1)
        ++levels;
    GLuint copy = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &copy);
    glTextureStorage2D(copy, levels, components == 4 ? GL_RGBA8 : GL_RGB8, static_cast<GLsizei>(sizeX),
                       static_cast<GLsizei>(sizeY));
    for (GLint level = 0; level < levels; ++level)
    {
        GLsizei width = static_cast<GLsizei>(sizeX >> level), height = static_cast<GLsizei>(sizeY >> level);
        glCopyImageSubData(name, GL_TEXTURE_2D, level, 0, 0, 0, copy, GL_TEXTURE_2D, level, 0, 0, 0,
                           width > 0 ? width : 1, height > 0 ? height : 1, 1);
    }
    for (GLenum parameter : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER})
    {
        GLint value = 0;
        glGetTextureParameteriv(name, parameter, &value);
        glTextureParameteri(copy, parameter, value);
    }
    GLfloat anisotropy = 1.0f;
    glGetTextureParameterfv(name, GL_TEXTURE_MAX_ANISOTROPY, &anisotropy);
    glTextureParameterf(copy, GL_TEXTURE_MAX_ANISOTROPY, anisotropy);
    releaseImage(key);
    shared = false;
    name = copy;
    bindlessHandle = 0;
    makeResident();
    return true;
}

bool KxTexture::write(const unsigned char* data)
{
    Private& p = *textureReserved;
    bool cube = p.target == GL_TEXTURE_CUBE_MAP && p.dataType == GL_UNSIGNED_BYTE;
    if (!data || !p.name || (p.target != GL_TEXTURE_2D && !cube) || p.compressed || !p.format)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    p.detach();
    kx::GlContext::bindTextureForUpload(p.target, p.name);
    GLint unpackAlignment = glInteger(GL_UNPACK_ALIGNMENT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // A cube map's six faces come one after the other, in GL's order +X, -X,
    // +Y, -Y, +Z, -Z.
    size_t faceBytes = static_cast<size_t>(p.sizeX) * p.sizeY * static_cast<size_t>(p.components);
    for (GLenum face = 0; face < (cube ? 6u : 1u); ++face)
        glTexSubImage2D(cube ? GL_TEXTURE_CUBE_MAP_POSITIVE_X + face : GL_TEXTURE_2D, 0, 0, 0,
                        static_cast<GLsizei>(p.sizeX), static_cast<GLsizei>(p.sizeY), p.format, GL_UNSIGNED_BYTE,
                        data + face * faceBytes);
    glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
    return true;
}

bool KxTexture::writeRaw(const void* data)
{
    Private& p = *textureReserved;
    if (!data || !p.name || p.target != GL_TEXTURE_2D || p.compressed || !p.format)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    p.detach();
    kx::GlContext::bindTextureForUpload(GL_TEXTURE_2D, p.name);
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
    kx::GlContext::bindTextureForUpload(p.target, p.name);
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
    if (kx::GlContext::capabilities().bindlessTextures && n != kx::unit::SHADOW_MAP)
    {
        if (shader)
            shader->setParamQWord(KxShader::TEXTURE_SAMPLER0 + n, textureReserved->bindlessHandle);
    }
    else
    {
        kx::GlContext::bindTexture(textureReserved->target, n, textureReserved->name);
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
    poolState->bindless = kx::GlContext::capabilities().bindlessTextures;
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
    if (!kx::GlContext::isStarted() || kx::GlContext::capabilities().bindlessTextures)
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
    kx::GlContext::bindTextures(FIRST_UNIT, static_cast<GLsizei>(count), names);
}
}
