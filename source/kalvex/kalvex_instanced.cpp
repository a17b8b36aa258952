// KxInstanced: one mesh drawn many times in one call, its per-instance records
// in a storage buffer of its own and merged into one engine-wide buffer.
#include "kalvex_bindings.h"
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstddef>
#include <cstdio>
#include <limits>

static_assert(sizeof(KxInstanced::kxInstanceData) == KxInstanced::SIZEOF_INSTANCEDATA,
              "kxInstanceData must match its std430 layout");
static_assert(offsetof(KxInstanced::kxInstanceData, worldMatrix) == 16, "std430 offset");

namespace
{
const unsigned int INSTANCE_BINDING = kx::binding::INSTANCES;
const float WIND_STEP = 0.025f;

struct InstancedState
{
    KxBuffer* merged = nullptr; // empty (no storage) while no node has instances
    float windTime = 0.0f;
};
InstancedState* instancedState = nullptr;

void* binding(unsigned int index)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(index));
}
}

struct KxInstanced::Private
{
    unsigned int nrOfInstances = 0;
    KxMesh* mesh = nullptr;
    KxBuffer* buffer = nullptr;
    bool optimized = false;
    unsigned int firstInstance = 0;
};

bool KxInstanced::init()
{
    if (instancedState)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    instancedState = new InstancedState;
    instancedState->merged = new KxBuffer;
    return true;
}

bool KxInstanced::free()
{
    if (!instancedState)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete instancedState->merged;
    delete instancedState;
    instancedState = nullptr;
    return true;
}

KxInstanced::KxInstanced() : instancedReserved(new Private)
{
    setType(TYPE_INSTANCED);
    char name[32];
    std::snprintf(name, sizeof(name), "[Instanced%d]", getId());
    setName(name);
    setCastShadows(true);
    KX_LOG(LEVEL_DEBUG, "[+] id: %d", getId());
}

KxInstanced::~KxInstanced()
{
    delete instancedReserved->buffer;
    delete instancedReserved;
    KX_LOG(LEVEL_DEBUG, "[-] id: %d", getId());
}

bool KxInstanced::create(unsigned int nrOfInstances)
{
    if (nrOfInstances == 0 || nrOfInstances > std::numeric_limits<unsigned int>::max() / SIZEOF_INSTANCEDATA)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!instancedState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *instancedReserved;
    delete d.buffer;
    d.buffer = new KxBuffer;
    d.buffer->create(KxBuffer::TYPE_STORAGE_WRITE, nrOfInstances * SIZEOF_INSTANCEDATA, nullptr);
    kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
    d.nrOfInstances = nrOfInstances;
    return optimizeMemory();
}

bool KxInstanced::setMesh(KxMesh* mesh)
{
    instancedReserved->mesh = mesh;
    return true;
}

KxMesh* KxInstanced::getMesh() const
{
    return instancedReserved->mesh;
}

unsigned int KxInstanced::getNrOfInstances() const
{
    return instancedReserved->nrOfInstances;
}

unsigned int KxInstanced::getFirstInstance() const
{
    return instancedReserved->firstInstance;
}

bool KxInstanced::isMemoryOptimized() const
{
    return instancedReserved->optimized;
}

KxInstanced::kxInstanceData* KxInstanced::map(unsigned int access)
{
    Private& d = *instancedReserved;
    void* data = d.buffer ? d.buffer->map(access) : nullptr;
    if (!data)
        KX_LOG(LEVEL_ERROR, "Unable to map buffer for the given operation");
    // A refused read mapping must not leave an error for the next GL call to find.
    while (glGetError() != GL_NO_ERROR)
    {
    }
    kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
    return static_cast<kxInstanceData*>(data);
}

bool KxInstanced::unmap()
{
    Private& d = *instancedReserved;
    if (!d.buffer)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    d.buffer->unmap();
    return optimizeMemory();
}

bool KxInstanced::optimizeMemory()
{
    if (!instancedState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    std::lock_guard<std::recursive_mutex> registryLock(kx::objectMutex(getStaticMutex()));

    uint64_t total = 0;
    for (KxObject* object = getFirst(); object; object = object->getNext())
    {
        if (object->getType() != TYPE_INSTANCED)
            continue;
        Private& d = *static_cast<KxInstanced*>(object)->instancedReserved;
        d.optimized = false;
        d.firstInstance = 0;
        total += d.nrOfInstances;
    }
    if (total * SIZEOF_INSTANCEDATA > std::numeric_limits<unsigned int>::max())
        return KX_LOG(LEVEL_ERROR, "Too many instances to merge (%llu)", static_cast<unsigned long long>(total));
    KX_LOG(LEVEL_DETAIL, "Instanced memory optimized: %.2f MB",
           static_cast<double>(total) * SIZEOF_INSTANCEDATA / 1048576.0);

    // Immutable storage cannot be resized: a fresh buffer every time. GL
    // refuses storage of size 0, so without instances the buffer stays empty.
    KxBuffer* merged = instancedState->merged;
    if (total == 0)
    {
        delete merged;
        instancedState->merged = new KxBuffer;
        return true;
    }
    merged->create(KxBuffer::TYPE_STORAGE_WRITE, static_cast<unsigned int>(total * SIZEOF_INSTANCEDATA), nullptr);
    kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);

    unsigned int first = 0;
    for (KxObject* object = getFirst(); object; object = object->getNext())
    {
        if (object->getType() != TYPE_INSTANCED)
            continue;
        Private& d = *static_cast<KxInstanced*>(object)->instancedReserved;
        if (d.nrOfInstances == 0 || !d.buffer)
        {
            KX_LOG(LEVEL_DEBUG, "Instanced '%s' has no instance", object->getName().c_str());
            continue;
        }
        d.optimized = true;
        d.firstInstance = first;
        glCopyNamedBufferSubData(d.buffer->getHandle(), merged->getHandle(), 0,
                                 static_cast<GLintptr>(first) * SIZEOF_INSTANCEDATA,
                                 static_cast<GLsizeiptr>(d.nrOfInstances) * SIZEOF_INSTANCEDATA);
        first += d.nrOfInstances;
    }
    return true;
}

bool KxInstanced::bindOptimizedMemory()
{
    if (!instancedState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (instancedState->merged->getSize())
        instancedState->merged->render(binding(INSTANCE_BINDING));
    return true;
}

bool KxInstanced::renderBatch(unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype, int flags)
{
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!buffer || !instancedState)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (static_cast<uint64_t>(count) * KxList::SIZEOF_COMMAND > buffer->getSize())
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!pipeline->renderShaderForType(type, subtype, flags))
        return false;
    // Batches read their matrices and instance offsets from the list's records.
    KxShader::getCurrent()->setParamDWord(KxShader::GENERIC0, 0);
    bool wireframe = KxOpenGL::isWireframe();
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    KxMesh::bindOptimizedMemory();
    bindOptimizedMemory();
    kx::GlContext::bindBuffer(GL_DRAW_INDIRECT_BUFFER, buffer->getHandle());
    glMultiDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT, nullptr, static_cast<GLsizei>(count), 0);
    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    return true;
}

bool KxInstanced::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for instanced mesh %d invoked", getId());
    if (!isVisible() || (KxList::getCurrentPass() == 2 && !isCastingShadows()))
        return true;
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    Private& d = *instancedReserved;
    if (!record || !instancedState)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!d.buffer || !d.mesh || !d.mesh->getVaoHandle())
        return KX_LOG(LEVEL_ERROR, "Instanced '%s' has no mesh or no instance", getName().c_str());
    d.buffer->render(binding(INSTANCE_BINDING));
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!pipeline->renderShaderForType(TYPE_INSTANCED, getSubtype(), KxPipeline::FLAGS_ALONE))
        return false;
    KxShader* shader = KxShader::getCurrent();
    // Drawn alone: matrices from uniforms, records from this node's own buffer.
    shader->setParamDWord(KxShader::GENERIC0, 1);
    if (record->modelViewMatrix)
        shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    if (record->normalMatrix)
        shader->setParamMatrix3(KxShader::NORMAL_MATRIX, *record->normalMatrix);
    if (record->modelMatrix)
        shader->setParamMatrix4(KxShader::MODEL_MATRIX, *record->modelMatrix);
    instancedState->windTime += WIND_STEP;
    shader->setParamFloat(KxShader::GENERIC0 + 4, instancedState->windTime);

    KxMaterial* material = d.mesh->getMaterial();
    if (!material)
        return KX_LOG(LEVEL_ERROR, "No material set");
    material->render(nullptr);
    bool wireframe = KxOpenGL::isWireframe();
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    bool uncull = (material->isTransparent() || material->isAlpha()) && KxOpenGL::isCulling();
    if (uncull)
        KxOpenGL::culling(false);

    uint64_t indices = static_cast<uint64_t>(d.mesh->getNrOfFaces()) * 3;
    kx::GlContext::bindVertexArray(d.mesh->getVaoHandle());
    glDrawElementsInstanced(GL_TRIANGLES, static_cast<GLsizei>(indices > 0x7fffffffu ? 0 : indices), GL_UNSIGNED_INT,
                            nullptr, static_cast<GLsizei>(d.nrOfInstances));
    KxMesh::resetCache();

    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    if (uncull)
        KxOpenGL::culling(true);
    // Later batches must find the engine-wide records at the binding again.
    bindOptimizedMemory();
    KxStats::inc(KxStats::INSTANCED_RENDER);
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}
