// KxEmitter: GPU particles in persistent storage buffers, advanced by a
// compute shader and drawn as points expanded to quads.
#include "kalvex_bindings.h"
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "kalvex_resources.h"

namespace
{
const unsigned int PARTICLE_SIZE = 16; // one vec4 per particle and buffer
const unsigned int WORK_GROUP_SIZE = 64; // as in the update shader
const GLuint PARTICLE_LOCATION = kx::location::PARTICLE; // a_particle
// The buffers, in the order of their storage bindings.
enum Store : unsigned int
{
    POSITION = 0,
    VELOCITY = 1,
    ANGLE = 2,
    NR_OF_STORES = 3,
};
const unsigned int STORE_BINDINGS[NR_OF_STORES] = {kx::binding::PARTICLES_POSITION, kx::binding::PARTICLES_VELOCITY,
                                                   kx::binding::PARTICLES_EXTRA};

struct EmitterState
{
    KxShader* shader = nullptr;
    KxShader* program = nullptr;
};
EmitterState* emitterState = nullptr;

void* binding(unsigned int index)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(index));
}

float randomStep(int range, float scale)
{
    return static_cast<float>(std::rand() % range) / scale;
}
}

struct KxEmitter::Private
{
    unsigned int count = 0;
    KxTexture* texture = nullptr;
    glm::vec3 gravity = glm::vec3(0.0f);
    float speed = 0.01f;
    float particleSize = 1.0f;
    KxBuffer* buffers[NR_OF_STORES] = {}; // position, velocity, angle
    GLuint vertexArray = 0;

    // Writes every particle record of one buffer through a mapping.
    bool fill(Store store, const char* name, glm::vec4 (*value)())
    {
        glm::vec4* data = static_cast<glm::vec4*>(buffers[store]->map(1));
        if (!data)
        {
            kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
            return KX_LOG(LEVEL_ERROR, "Unable to map buffer (%s)", name);
        }
        for (unsigned int i = 0; i < count; ++i)
            data[i] = value();
        buffers[store]->unmap();
        kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
        return true;
    }
};

bool KxEmitter::init()
{
    if (emitterState)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    emitterState = new EmitterState;
    emitterState->shader = new KxShader;
    emitterState->program = new KxShader;
    if (!emitterState->shader->loadFromMemory(KxShader::KIND_COMPUTE,
                                              reinterpret_cast<const char*>(kx_resource_emitter_cs_glsl)) ||
        !emitterState->shader->compile())
        return KX_LOG(LEVEL_ERROR, "Unable to compile emitter physics CS");
    if (!emitterState->program->build(nullptr, nullptr, nullptr, emitterState->shader))
        return KX_LOG(LEVEL_ERROR, "Unable to build emitter program");
    return true;
}

bool KxEmitter::free()
{
    if (!emitterState)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete emitterState->program;
    delete emitterState->shader;
    delete emitterState;
    emitterState = nullptr;
    return true;
}

KxEmitter::KxEmitter() : emitterReserved(new Private)
{
    setType(TYPE_EMITTER);
    char name[32];
    std::snprintf(name, sizeof(name), "[Emitter%d]", getId());
    setName(name);
    setCastShadows(true);
    for (KxBuffer*& buffer : emitterReserved->buffers)
        buffer = new KxBuffer;
    KX_LOG(LEVEL_DEBUG, "[+] id: %d", getId());
}

KxEmitter::~KxEmitter()
{
    Private& d = *emitterReserved;
    for (KxBuffer* buffer : d.buffers)
        delete buffer;
    if (d.vertexArray)
        kx::GlContext::deleteVertexArrays(1, &d.vertexArray);
    delete emitterReserved;
    KX_LOG(LEVEL_DEBUG, "[-] id: %d", getId());
}

bool KxEmitter::create(unsigned int count)
{
    if (count == 0 || count > std::numeric_limits<unsigned int>::max() / PARTICLE_SIZE)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *emitterReserved;
    for (KxBuffer* buffer : d.buffers)
        buffer->create(KxBuffer::TYPE_STORAGE_WRITE, count * PARTICLE_SIZE, nullptr);
    kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
    if (!d.vertexArray)
        glCreateVertexArrays(1, &d.vertexArray);
    // The buffers are new objects: the vertex array must point at the new one.
    glVertexArrayVertexBuffer(d.vertexArray, 0, d.buffers[POSITION]->getHandle(), 0, PARTICLE_SIZE);
    glVertexArrayAttribFormat(d.vertexArray, PARTICLE_LOCATION, 4, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(d.vertexArray, PARTICLE_LOCATION, 0);
    glEnableVertexArrayAttrib(d.vertexArray, PARTICLE_LOCATION);
    d.count = count;
    return true;
}

bool KxEmitter::reset()
{
    Private& d = *emitterReserved;
    if (!d.count)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    auto zero = []() { return glm::vec4(0.0f); };
    if (!d.fill(POSITION, "position", zero) || !d.fill(ANGLE, "angle", zero))
        return false;
    // Drawn in the order w, z, y, x: each component in [-0.1, 0.0999], the
    // life step in [0, 0.00999].
    auto velocity = []() {
        glm::vec4 v;
        v.w = randomStep(1000, 100000.0f);
        v.z = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
        v.y = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
        v.x = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
        return v;
    };
    if (!d.fill(VELOCITY, "vel", velocity))
        return false;
    glMemoryBarrier(GL_CLIENT_MAPPED_BUFFER_BARRIER_BIT);
    return true;
}

unsigned int KxEmitter::getNrOfParticles() const
{
    return emitterReserved->count;
}

void KxEmitter::setTexture(KxTexture* texture)
{
    emitterReserved->texture = texture;
}

KxTexture* KxEmitter::getTexture() const
{
    return emitterReserved->texture;
}

void KxEmitter::setGravity(const glm::vec3& gravity)
{
    emitterReserved->gravity = gravity;
}

void KxEmitter::setGravity(float x, float y, float z)
{
    emitterReserved->gravity = glm::vec3(x, y, z);
}

glm::vec3 KxEmitter::getGravity() const
{
    return emitterReserved->gravity;
}

void KxEmitter::setSpeed(float speed)
{
    emitterReserved->speed = speed;
}

float KxEmitter::getSpeed() const
{
    return emitterReserved->speed;
}

void KxEmitter::setParticleSize(float size)
{
    emitterReserved->particleSize = size;
}

float KxEmitter::getParticleSize() const
{
    return emitterReserved->particleSize;
}

KxBuffer* KxEmitter::getB() const
{
    return emitterReserved->buffers[POSITION];
}

KxBuffer* KxEmitter::getVelocityBuffer() const
{
    return emitterReserved->buffers[VELOCITY];
}

bool KxEmitter::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for emitter %d invoked", getId());
    bool shadowPass = KxList::getCurrentPass() == 2;
    if (!isVisible() || (shadowPass && !isCastingShadows()))
        return true;
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    Private& d = *emitterReserved;
    if (!record || !emitterState || !d.count)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    // One step of every particle.
    KxShader* update = emitterState->program;
    update->setParamVector3(KxShader::EMITTER_GRAVITY, d.gravity);
    update->setParamFloat(KxShader::EMITTER_SPEED, d.speed);
    for (unsigned int store = 0; store < NR_OF_STORES; ++store)
        d.buffers[store]->render(binding(STORE_BINDINGS[store]));
    update->dispatchCompute((d.count + WORK_GROUP_SIZE - 1) / WORK_GROUP_SIZE, 1, 1);
    glMemoryBarrier(GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT | GL_SHADER_STORAGE_BARRIER_BIT);

    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!pipeline->renderShaderForType(TYPE_EMITTER, 0, KxPipeline::FLAGS_ALONE))
        return false;
    KxShader* shader = KxShader::getCurrent();
    if (record->modelViewMatrix)
        shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    if (record->modelMatrix)
        shader->setParamMatrix4(KxShader::MODEL_MATRIX, *record->modelMatrix);
    shader->setParamFloat(KxShader::EMITTER_PARTICLE_SIZE, d.particleSize);
    KxTexture* texture = d.texture ? d.texture : KxTexture::getDefault();
    if (texture)
        texture->render(nullptr);

    // Particles glow on top of the scene without hiding each other; in the
    // shadow pass they are depth only, seen from every side.
    bool wireframe = KxOpenGL::isWireframe();
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    bool culling = KxOpenGL::isCulling(), blending = KxOpenGL::isBlending();
    if (shadowPass)
        KxOpenGL::culling(false);
    else
    {
        kx::GlContext::depthWrite(false);
        kx::GlContext::blendFunction(GL_SRC_ALPHA, GL_ONE);
        KxOpenGL::blending(true);
    }
    kx::GlContext::bindVertexArray(d.vertexArray);
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(d.count));
    KxMesh::resetCache();
    if (shadowPass)
        KxOpenGL::culling(culling);
    else
    {
        kx::GlContext::depthWrite(true);
        KxOpenGL::blending(blending);
    }
    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    KxStats::inc(KxStats::EMITTER_RENDER);
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}
