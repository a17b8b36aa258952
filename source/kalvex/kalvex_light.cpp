// KxLight: light nodes, their slots in the per-pass light table and their own
// cube shadow maps.
#include "kalvex_internal.h"
#include "kalvex_bindings.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kalvex_resources.h"

namespace
{
const unsigned int LIGHT_PART_SIZE = 39;
const float DEGREES_TO_RADIANS = 3.14159265358979f / 180.0f;

// The GPU record, byte for byte (std140).
struct LightRecord
{
    glm::vec3 color = glm::vec3(0.8f);
    float cutoff = 180.0f; // degrees here, its cosine in the GPU copy
    glm::vec4 position = glm::vec4(0.0f, 0.0f, 0.0f, 1.0f);
    float radius = 256.0f;
    float exponent = 0.0f;
    float padding[2] = {0.0f, 0.0f};
    glm::vec3 direction = glm::vec3(0.0f, 0.0f, -1.0f);
    float spotExponent = 0.0f;
};
static_assert(sizeof(LightRecord) == KxLight::SIZEOF_UBODATA, "light record must match its std140 layout");
static_assert(offsetof(LightRecord, position) == 16, "std140 offset");
static_assert(offsetof(LightRecord, radius) == 32, "std140 offset");
static_assert(offsetof(LightRecord, direction) == 48, "std140 offset");

struct LightState
{
    KxBuffer* buffer = nullptr;
    int passTable[KxLight::MAX_NUMBER];
    unsigned int passCounter = 0;
};
LightState* state = nullptr;
}

struct KxLight::Private
{
    LightRecord record;
    unsigned int slot = 0;
    float nearPlane = 1.0f;
    float shadowSoftness = 4.0f;
    float shadowBias = 0.005f;
    KxTexture* shadowTexture = nullptr;
    KxFbo* shadowFbo = nullptr;
    uint64_t shadowHandle = 0;
    unsigned int updateInterval = 0;
    bool volumetric = false;

    void dropShadowMap()
    {
        delete shadowFbo;
        delete shadowTexture;
        shadowFbo = nullptr;
        shadowTexture = nullptr;
        shadowHandle = 0;
    }
};

bool KxLight::init()
{
    if (state)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    state = new LightState;
    for (int& id : state->passTable)
        id = -1;
    state->buffer = new KxBuffer;
    state->buffer->create(KxBuffer::TYPE_UNIFORM, MAX_NUMBER * SIZEOF_UBODATA, nullptr);
    return true;
}

bool KxLight::free()
{
    if (!state)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete state->buffer;
    delete state;
    state = nullptr;
    return true;
}

void KxLight::resetCache()
{
    if (state)
        state->passCounter = 0;
}

unsigned int KxLight::getNrOfLightsInPass()
{
    return state ? state->passCounter : 0;
}

KxBuffer* KxLight::getBuffer()
{
    return state ? state->buffer : nullptr;
}

KxLight::KxLight() : lightReserved(new Private)
{
    setType(TYPE_LIGHT);
    setSubtype(KIND_OMNI);
    char name[32];
    std::snprintf(name, sizeof(name), "[Light%d]", getId());
    setName(name);
    setCastShadows(true);
}

KxLight::~KxLight()
{
    lightReserved->dropShadowMap();
    delete lightReserved;
}

void KxLight::setColor(const glm::vec3& color)
{
    lightReserved->record.color = color;
}

void KxLight::setColor(float r, float g, float b)
{
    lightReserved->record.color = glm::vec3(r, g, b);
}

glm::vec3 KxLight::getColor() const
{
    return lightReserved->record.color;
}

void KxLight::setCutoff(float degrees)
{
    lightReserved->record.cutoff = degrees;
}

float KxLight::getCutoff() const
{
    return lightReserved->record.cutoff;
}

void KxLight::setSpotExponent(float exponent)
{
    lightReserved->record.spotExponent = exponent;
}

float KxLight::getSpotExponent() const
{
    return lightReserved->record.spotExponent;
}

void KxLight::setDirection(const glm::vec3& direction)
{
    lightReserved->record.direction = direction;
}

const glm::vec3& KxLight::getDirection() const
{
    return lightReserved->record.direction;
}

void KxLight::setRadius(float radius, float nearPlane)
{
    lightReserved->record.radius = radius;
    lightReserved->nearPlane = nearPlane;
}

float KxLight::getRadius() const
{
    return lightReserved->record.radius;
}

float KxLight::getNearPlane() const
{
    return lightReserved->nearPlane;
}

void KxLight::setShadowSoftness(float softness)
{
    lightReserved->shadowSoftness = softness;
}

float KxLight::getShadowSoftness() const
{
    return lightReserved->shadowSoftness;
}

void KxLight::setShadowBias(float bias)
{
    lightReserved->shadowBias = bias;
}

float KxLight::getShadowBias() const
{
    return lightReserved->shadowBias;
}

void KxLight::setVolumetric(bool volumetric)
{
    lightReserved->volumetric = volumetric;
}

bool KxLight::isVolumetric() const
{
    return lightReserved->volumetric;
}

unsigned int KxLight::getSlot() const
{
    return lightReserved->slot;
}

KxFbo* KxLight::getShadowMapFbo() const
{
    return lightReserved->shadowFbo;
}

KxTexture* KxLight::getShadowMapTexture() const
{
    return lightReserved->shadowTexture;
}

unsigned int KxLight::getUpdateInterval() const
{
    return lightReserved->updateInterval;
}

bool KxLight::useOwnShadowMap(bool enable, unsigned int size, unsigned int updateInterval)
{
    Private& d = *lightReserved;
    if (enable && size == 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    d.dropShadowMap();
    if (!enable)
        return true;

    // A depth cube map compared on lookup (kind 19), all six faces attached as
    // layers of one framebuffer so the shadow pass fills them in one pass.
    d.shadowTexture = new KxTexture;
    d.shadowFbo = new KxFbo;
    bool complete = d.shadowTexture->create(19, size, size, 1, 2, 0);
    if (complete)
    {
        d.shadowHandle = d.shadowTexture->getBindlessHandle();
        d.shadowFbo->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE_LAYERED, d.shadowTexture, 0, 0);
        glNamedFramebufferDrawBuffer(d.shadowFbo->getHandle(), GL_NONE);
        glNamedFramebufferReadBuffer(d.shadowFbo->getHandle(), GL_NONE);
        complete = d.shadowFbo->isOk();
    }
    KxFbo::resetCache();
    if (!complete)
    {
        d.dropShadowMap();
        return KX_LOG(LEVEL_ERROR, "Unable to create shadow FBO");
    }
    d.updateInterval = updateInterval;
    return true;
}

unsigned int KxLight::load(const unsigned char* data, unsigned int size)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;
    if (size < LIGHT_PART_SIZE)
        return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (light part)"), 0;
    LightRecord& record = lightReserved->record;
    uint8_t kind = data[0];
    if (kind == KIND_DIRECTIONAL)
        KX_LOG(LEVEL_ERROR, "Directional type not yet supported");
    if (kind <= KIND_SPOT)
        setSubtype(kind);
    else
        KX_LOG(LEVEL_ERROR, "Invalid type found");
    std::memcpy(&record.color[0], data + 1, 12);
    std::memcpy(&record.radius, data + 13, 4);
    std::memcpy(&record.direction[0], data + 17, 12);
    std::memcpy(&record.cutoff, data + 29, 4);
    std::memcpy(&record.spotExponent, data + 33, 4);
    setCastShadows(data[37] != 0);
    lightReserved->volumetric = data[38] != 0;
    KX_LOG(LEVEL_DETAIL, "Light '%s' loaded", getName().c_str());
    return LIGHT_PART_SIZE;
}

unsigned char* KxLight::save(unsigned int& size)
{
    size = 0;
    unsigned char* bytes = new (std::nothrow) unsigned char[LIGHT_PART_SIZE];
    if (!bytes)
        return KX_LOG(LEVEL_ERROR, "Out of memory"), nullptr;
    const LightRecord& record = lightReserved->record;
    int kind = getSubtype();
    if (kind == KIND_DIRECTIONAL)
        KX_LOG(LEVEL_ERROR, "Directional type not yet supported");
    if (kind < KIND_OMNI || kind > KIND_SPOT)
    {
        KX_LOG(LEVEL_ERROR, "Invalid type found");
        kind = KIND_OMNI; // what a reader can use
    }
    bytes[0] = static_cast<unsigned char>(kind);
    std::memcpy(bytes + 1, &record.color[0], 12);
    std::memcpy(bytes + 13, &record.radius, 4);
    std::memcpy(bytes + 17, &record.direction[0], 12);
    std::memcpy(bytes + 29, &record.cutoff, 4);
    std::memcpy(bytes + 33, &record.spotExponent, 4);
    bytes[37] = isCastingShadows() ? 1 : 0;
    bytes[38] = lightReserved->volumetric ? 1 : 0;
    size = LIGHT_PART_SIZE;
    return bytes;
}

bool KxLight::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for light %d invoked", getId());
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *lightReserved;
    const glm::mat4& world = *record->modelMatrix;

    // Only the GPU copy holds world-space values and the cutoff's cosine.
    LightRecord gpu = d.record;
    glm::vec3 direction = glm::mat3(world) * d.record.direction;
    if (KxNode* target = getTargetNode())
        direction = glm::vec3(target->getFinalMatrix()[3]) - glm::vec3(world[3]);
    if (glm::dot(direction, direction) > 0.0f)
        direction = glm::normalize(direction);
    gpu.direction = direction;
    if (getSubtype() == KIND_DIRECTIONAL)
        gpu.position = glm::vec4(-direction, 0.0f); // towards the light, as the shading expects
    else
        gpu.position = glm::vec4(glm::vec3(world[3]), 1.0f);
    gpu.cutoff = std::cos(d.record.cutoff * DEGREES_TO_RADIANS);

    if (state->passCounter >= MAX_NUMBER)
        return KX_LOG(LEVEL_ERROR, "Too many lights in this pass");
    d.slot = state->passCounter++;
    state->buffer->render(reinterpret_cast<void*>(uintptr_t{kx::binding::LIGHTS}));
    state->buffer->upload(&gpu, d.slot * SIZEOF_UBODATA, SIZEOF_UBODATA);
    state->passTable[d.slot] = getId();
    KxStats::inc(KxStats::LIGHT_RENDER);
    return true;
}
