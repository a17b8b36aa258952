// KxMaterial: surfaces in one GPU table of MAX_NUMBER records, uploaded lazily.
#include "kalvex_internal.h"
#include "kalvex_bindings.h"
#include "kalvex_glcontext.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kalvex_resources.h"

namespace
{
const unsigned int NR_OF_TEXTURES = 6;
const unsigned int NO_SLOT = KxMaterial::MAX_NUMBER;

// The GPU record, byte for byte (std140).
struct MatRecord
{
    glm::vec3 emission = glm::vec3(0.0f);
    float transparency = 1.0f;
    glm::vec3 albedo = glm::vec3(0.3f);
    uint32_t alpha = 0;
    float roughness = 0.1f;
    float metalness = 0.0f;
    float padding[2] = {0.0f, 0.0f};
    uint64_t textureHandles[NR_OF_TEXTURES] = {};
};
static_assert(sizeof(MatRecord) == KxMaterial::SIZEOF_UBODATA, "material record must match its std140 layout");
static_assert(offsetof(MatRecord, textureHandles) == 48, "std140 offset");

struct MaterialState
{
    KxBuffer* buffer = nullptr;
    KxMaterial* table[KxMaterial::MAX_NUMBER + 1] = {}; // the extra entry holds the default material
    std::vector<KxMaterial*> dirty;
    KxMaterial* lastMaterial = nullptr;
    KxShader* lastShader = nullptr;
    bool mapsFromPool = false; // kx::MaterialMaps::setFromPool
};
MaterialState* state = nullptr;

bool fallsBackToDefault(unsigned int index)
{
    return index == KxMaterial::SLOT_ALBEDO || index == KxMaterial::SLOT_ROUGHNESS || index == KxMaterial::SLOT_METALNESS;
}
}

struct KxMaterial::Private
{
    MatRecord record;
    unsigned int listId = NO_SLOT;
    bool dirty = true;
    KxTexture* textures[NR_OF_TEXTURES] = {};
};

bool KxMaterial::init()
{
    if (state)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    state = new MaterialState;
    state->buffer = new KxBuffer;
    state->buffer->create(KxBuffer::TYPE_UNIFORM, MAX_NUMBER * SIZEOF_UBODATA, nullptr);

    KxMaterial* material = new KxMaterial;
    material->setName("[default_material]");
    state->table[MAX_NUMBER] = material;
    return true;
}

bool KxMaterial::free()
{
    if (!state)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete state->table[MAX_NUMBER];
    delete state->buffer;
    delete state;
    state = nullptr;
    return true;
}

KxMaterial* KxMaterial::getDefault()
{
    return state ? state->table[MAX_NUMBER] : nullptr;
}

KxBuffer* KxMaterial::getBuffer()
{
    return state ? state->buffer : nullptr;
}

bool KxMaterial::update()
{
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    kx::TexturePool::bind();
    if (state->dirty.empty())
        return true;
    state->buffer->render(reinterpret_cast<void*>(uintptr_t{kx::binding::MATERIALS}));
    for (KxMaterial* material : state->dirty)
    {
        Private& d = *material->materialReserved;
        // A material without a table slot is refused by the buffer's range check.
        state->buffer->upload(&d.record, d.listId * SIZEOF_UBODATA, SIZEOF_UBODATA);
        d.dirty = false;
    }
    state->dirty.clear();
    return true;
}

void KxMaterial::resetCache()
{
    if (!state)
        return;
    state->lastMaterial = nullptr;
    state->lastShader = nullptr;
}

namespace
{
void markDirty(KxMaterial* material, bool& dirty)
{
    if (dirty || !state)
        return;
    dirty = true;
    state->dirty.push_back(material);
}
}

namespace
{
// A deleted texture leaves every slot that named it without a texture (the
// slots that fall back to the default texture get it, as for any empty slot).
void linkTexture(KxMaterial* material, KxTexture* texture)
{
    kx::References::link(texture, material, [](KxObject* holder, KxObject* gone) {
        KxMaterial* self = static_cast<KxMaterial*>(holder);
        for (unsigned int index = 0; index < NR_OF_TEXTURES; ++index)
            if (self->getTexture(index) == gone)
                self->setTexture(nullptr, index);
    });
}
}

KxMaterial::KxMaterial() : materialReserved(new Private)
{
    setType(TYPE_MATERIAL);
    char name[32];
    std::snprintf(name, sizeof(name), "[Material%d]", getId());
    setName(name);

    KxTexture* defaultTexture = KxTexture::getDefault();
    for (unsigned int index : {SLOT_ALBEDO, SLOT_ROUGHNESS, SLOT_METALNESS})
    {
        materialReserved->textures[index] = defaultTexture;
        linkTexture(this, defaultTexture);
        materialReserved->record.textureHandles[index] = defaultTexture ? kx::TexturePool::acquire(defaultTexture) : 0;
    }
    materialReserved->record.alpha = defaultTexture && defaultTexture->getNrOfComponents() == 4;
    if (!state)
        return;
    state->dirty.push_back(this);

    std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
    for (unsigned int slot = 0; slot < MAX_NUMBER; ++slot)
    {
        if (!state->table[slot])
        {
            state->table[slot] = this;
            materialReserved->listId = slot;
            return;
        }
    }
    KX_LOG(LEVEL_ERROR, "Too many materials created");
}

KxMaterial::~KxMaterial()
{
    kx::MaterialNames::forget(this);
    for (unsigned int index = 0; index < NR_OF_TEXTURES; ++index)
        if (materialReserved->textures[index])
            kx::TexturePool::release(materialReserved->textures[index]);
    if (state)
    {
        std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
        if (materialReserved->listId < MAX_NUMBER && state->table[materialReserved->listId] == this)
            state->table[materialReserved->listId] = nullptr;
        // No stale pointer may stay behind for the next upload or cache check.
        state->dirty.erase(std::remove(state->dirty.begin(), state->dirty.end(), this), state->dirty.end());
        if (state->lastMaterial == this)
            state->lastMaterial = nullptr;
    }
    delete materialReserved;
}

void KxMaterial::setEmission(const glm::vec3& emission)
{
    materialReserved->record.emission = emission;
    markDirty(this, materialReserved->dirty);
}

void KxMaterial::setEmission(float r, float g, float b)
{
    setEmission(glm::vec3(r, g, b));
}

const glm::vec3& KxMaterial::getEmission() const
{
    return materialReserved->record.emission;
}

void KxMaterial::setAlbedo(const glm::vec3& albedo)
{
    materialReserved->record.albedo = albedo;
    markDirty(this, materialReserved->dirty);
}

void KxMaterial::setAlbedo(float r, float g, float b)
{
    setAlbedo(glm::vec3(r, g, b));
}

const glm::vec3& KxMaterial::getAlbedo() const
{
    return materialReserved->record.albedo;
}

void KxMaterial::setTransparency(float transparency)
{
    materialReserved->record.transparency = transparency;
    markDirty(this, materialReserved->dirty);
}

float KxMaterial::getTransparency() const
{
    return materialReserved->record.transparency;
}

void KxMaterial::setRoughness(float roughness)
{
    materialReserved->record.roughness = roughness;
    markDirty(this, materialReserved->dirty);
}

float KxMaterial::getRoughness() const
{
    return materialReserved->record.roughness;
}

void KxMaterial::setMetalness(float metalness)
{
    materialReserved->record.metalness = metalness;
    markDirty(this, materialReserved->dirty);
}

float KxMaterial::getMetalness() const
{
    return materialReserved->record.metalness;
}

unsigned int KxMaterial::getListId() const
{
    return materialReserved->listId;
}

bool KxMaterial::isTransparent() const
{
    return materialReserved->record.transparency != 1.0f;
}

bool KxMaterial::isAlpha() const
{
    return materialReserved->record.alpha != 0;
}

bool KxMaterial::isDirty() const
{
    return materialReserved->dirty;
}

bool KxMaterial::setTexture(KxTexture* texture, unsigned int index)
{
    if (index >= NR_OF_TEXTURES)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *materialReserved;
    if (fallsBackToDefault(index) && !texture)
    {
        KX_LOG(LEVEL_WARNING, "Empty texture: default used instead");
        texture = KxTexture::getDefault();
        if (index == SLOT_ALBEDO)
            d.record.alpha = 0;
    }
    else if (index == SLOT_ALBEDO)
        d.record.alpha = texture->getNrOfComponents() == 4;

    // Acquire before releasing, so a texture set again keeps its pool slot.
    uint64_t handle = texture ? kx::TexturePool::acquire(texture) : 0;
    if (d.textures[index])
        kx::TexturePool::release(d.textures[index]);
    KxTexture* old = d.textures[index];
    d.textures[index] = texture;
    d.record.textureHandles[index] = handle;
    markDirty(this, d.dirty);
    if (old != texture)
    {
        bool stillUsed = false;
        for (KxTexture* other : d.textures)
            stillUsed = stillUsed || other == old;
        if (!stillUsed)
            kx::References::unlink(old, this);
        linkTexture(this, texture);
    }
    return true;
}

KxTexture* KxMaterial::getTexture(unsigned int index) const
{
    if (index >= NR_OF_TEXTURES)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    return materialReserved->textures[index];
}

bool KxMaterial::hasTexture(unsigned int index) const
{
    if (index >= NR_OF_TEXTURES)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    return materialReserved->textures[index] != nullptr;
}

uint64_t KxMaterial::getTextureHandle(unsigned int index) const
{
    return index < NR_OF_TEXTURES ? materialReserved->record.textureHandles[index] : 0;
}

bool KxMaterial::render(void*)
{
    Private& d = *materialReserved;
    if (d.listId >= MAX_NUMBER)
        return KX_LOG(LEVEL_DEBUG_FRAME, "Too many loaded materials"), false;
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for material %d invoked", getId());
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    KxShader* shader = KxShader::getCurrent();
    // Before the cache check: batches in between may have bound other maps.
    kx::MaterialMaps::bind(this);
    if (state->lastMaterial == this && state->lastShader == shader && !d.dirty)
    {
        KxStats::inc(KxStats::MATERIAL_CACHED);
        return true;
    }
    if (d.dirty)
    {
        KX_LOG(LEVEL_DEBUG_FRAME, "Material %d, list id %u updated", getId(), d.listId);
        state->buffer->render(reinterpret_cast<void*>(uintptr_t{kx::binding::MATERIALS}));
        state->buffer->upload(&d.record, d.listId * SIZEOF_UBODATA, SIZEOF_UBODATA);
        d.dirty = false;
        state->dirty.erase(std::remove(state->dirty.begin(), state->dirty.end(), this), state->dirty.end());
    }
    kx::TexturePool::bind();
    if (shader)
    {
        shader->render(nullptr);
        shader->setParamDWord(KxShader::MATERIAL_ID, d.listId);
    }
    KxStats::inc(KxStats::MATERIAL_BIND);
    state->lastMaterial = this;
    state->lastShader = shader;
    return true;
}

namespace
{
const char* const NO_TEXTURE = "[none]";
const unsigned int SAVED_SLOTS = 5; // slot 5 is never stored
const size_t MAX_NAME_LENGTH = 255;
const unsigned int VALUE_BYTES = 36; // emission, albedo, roughness, metalness, transparency

// The zero-terminated string at data[position], within size bytes; false when
// it runs to the end or is too long to be an object name.
bool readName(const unsigned char* data, size_t size, size_t& position, std::string& name)
{
    if (position >= size)
        return false;
    const void* end = std::memchr(data + position, 0, size - position);
    if (!end)
        return false;
    size_t length = static_cast<size_t>(static_cast<const unsigned char*>(end) - (data + position));
    if (length > MAX_NAME_LENGTH)
        return false;
    name.assign(reinterpret_cast<const char*>(data + position), length);
    position += length + 1;
    return true;
}
}

unsigned int KxMaterial::load(const unsigned char* data, unsigned int size)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;

    // Parse the whole part first: a malformed one creates no texture and
    // changes nothing.
    size_t position = 0;
    std::string name;
    if (!readName(data, size, position, name) || size - position < VALUE_BYTES)
        return KX_LOG(LEVEL_ERROR, "Invalid material data"), 0;
    glm::vec3 emission, albedo;
    float roughness, metalness, transparency;
    std::memcpy(&emission, data + position, 12);
    std::memcpy(&albedo, data + position + 12, 12);
    std::memcpy(&roughness, data + position + 24, 4);
    std::memcpy(&metalness, data + position + 28, 4);
    std::memcpy(&transparency, data + position + 32, 4);
    position += VALUE_BYTES;
    std::string textureNames[SAVED_SLOTS];
    for (std::string& textureName : textureNames)
        if (!readName(data, size, position, textureName))
            return KX_LOG(LEVEL_ERROR, "Invalid material data"), 0;

    if (!setName(name))
        return 0;
    setEmission(emission);
    setAlbedo(albedo);
    setRoughness(roughness);
    setMetalness(metalness);
    setTransparency(transparency);
    for (unsigned int slot = 0; slot < SAVED_SLOTS; ++slot)
    {
        KxTexture* texture = nullptr;
        if (textureNames[slot] != NO_TEXTURE)
        {
            texture = new KxTexture;
            if (!texture->load(textureNames[slot], 0, 0))
            {
                // Already logged by the texture; the slot behaves as if empty.
                delete texture;
                texture = nullptr;
            }
        }
        if (texture)
            setTexture(texture, slot);
        else if (fallsBackToDefault(slot))
            setTexture(KxTexture::getDefault(), slot); // warns only when there is no default texture
    }
    KX_LOG(LEVEL_DETAIL, "Material '%s' loaded", getName().c_str());
    return static_cast<unsigned int>(position);
}

unsigned char* KxMaterial::save(unsigned int& size)
{
    size = 0;
    std::string names[1 + SAVED_SLOTS];
    names[0] = getName();
    KxTexture* defaultTexture = KxTexture::getDefault();
    for (unsigned int slot = 0; slot < SAVED_SLOTS; ++slot)
    {
        KxTexture* texture = materialReserved->textures[slot];
        names[1 + slot] = (!texture || texture == defaultTexture) ? std::string(NO_TEXTURE) : texture->getName();
    }
    size_t length = VALUE_BYTES;
    for (const std::string& name : names)
    {
        // A zero inside a name would end it early and shift every field behind it.
        if (name.find('\0') != std::string::npos)
            return KX_LOG(LEVEL_ERROR, "Invalid object name"), nullptr;
        length += name.size() + 1;
    }
    unsigned char* data = new (std::nothrow) unsigned char[length];
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Out of memory"), nullptr;

    const MatRecord& record = materialReserved->record;
    unsigned char* out = data;
    std::memcpy(out, names[0].c_str(), names[0].size() + 1);
    out += names[0].size() + 1;
    std::memcpy(out, &record.emission, 12);
    std::memcpy(out + 12, &record.albedo, 12);
    std::memcpy(out + 24, &record.roughness, 4);
    std::memcpy(out + 28, &record.metalness, 4);
    std::memcpy(out + 32, &record.transparency, 4);
    out += VALUE_BYTES;
    for (unsigned int slot = 0; slot < SAVED_SLOTS; ++slot)
    {
        std::memcpy(out, names[1 + slot].c_str(), names[1 + slot].size() + 1);
        out += names[1 + slot].size() + 1;
    }
    size = static_cast<unsigned int>(length);
    return data;
}

//////////////////////////////////////////////////////////////////////////////
// Material maps on fixed units (bound mode)

namespace kx
{
void MaterialMaps::namesOf(const KxMaterial* material, Names& names)
{
    KxTexture* fallback = KxTexture::getDefault();
    GLuint fallbackName = fallback ? fallback->getHandle() : 0;
    for (unsigned int slot = 0; slot < unit::MATERIAL_MAP_COUNT; ++slot)
    {
        KxTexture* texture = material ? material->getTexture(slot) : nullptr;
        names[slot] = texture && texture->getHandle() ? texture->getHandle() : fallbackName;
    }
}

void MaterialMaps::bind(const Names& names)
{
    // The context's cache makes a material drawn again bind nothing.
    for (unsigned int slot = 0; slot < unit::MATERIAL_MAP_COUNT; ++slot)
        GlContext::bindTexture(GL_TEXTURE_2D, unit::MATERIAL_MAPS_FIRST + slot, names[slot]);
}

void MaterialMaps::bind(const KxMaterial* material)
{
    if (!isActive())
        return;
    Names names;
    namesOf(material, names);
    bind(names);
}

unsigned int MaterialMaps::key(const KxMaterial* material)
{
    if (!material || material->getListId() >= KxMaterial::MAX_NUMBER)
        return 0;
    KxTexture* fallback = KxTexture::getDefault();
    for (unsigned int slot = 0; slot < unit::MATERIAL_MAP_COUNT; ++slot)
    {
        KxTexture* texture = material->getTexture(slot);
        if (texture && texture != fallback)
            return material->getListId() + 1;
    }
    return 0;
}

MaterialMaps::Use MaterialMaps::use(const Names& names)
{
    KxTexture* fallback = KxTexture::getDefault();
    GLuint none = fallback ? fallback->getHandle() : 0;
    if (names[KxMaterial::SLOT_ROUGHNESS] != none || names[KxMaterial::SLOT_METALNESS] != none)
        return USE_ALL;
    return names[KxMaterial::SLOT_ALBEDO] != none ? USE_ALBEDO_ONLY : USE_NONE;
}

void MaterialMaps::setFromPool(bool fromPool)
{
    if (state)
        state->mapsFromPool = fromPool;
}

bool MaterialMaps::isFromPool()
{
    if (state && state->mapsFromPool)
        return true;
    // The list binds each material's records at a record boundary: where
    // storage offsets need a coarser alignment, maps stay in the pool.
    int alignment = GlContext::isStarted() ? GlContext::capabilities().storageOffsetAlignment : 0;
    return alignment <= 0 || KxList::SIZEOF_RECORD % static_cast<unsigned int>(alignment) != 0;
}

bool MaterialMaps::isActive()
{
    return GlContext::isStarted() && !GlContext::capabilities().bindlessTextures && !isFromPool();
}
}
