// KxMesh: triangle geometry in the engine's 24-byte vertex, drawn from its own
// buffers or from the merged buffers that every mesh is packed into so that the
// render list can draw whole batches with one multi-draw.
#include "kalvex_internal.h"
#include "kalvex_blockpool.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <glm/gtc/type_ptr.hpp>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>
#include <algorithm>

#include "kalvex_resources.h"

static_assert(sizeof(KxMesh::kxMeshVertex) == 24, "kxMeshVertex is the 24-byte GPU and file record");
static_assert(offsetof(KxMesh::kxMeshVertex, normal) == 12, "vertex layout");
static_assert(offsetof(KxMesh::kxMeshVertex, uv) == 16, "vertex layout");
static_assert(offsetof(KxMesh::kxMeshVertex, tangent) == 20, "vertex layout");
static_assert(sizeof(KxMesh::kxMeshFace) == 12, "kxMeshFace is three 32-bit indices");

namespace
{
const GLsizei VERTEX_SIZE = sizeof(KxMesh::kxMeshVertex);
const GLsizei FACE_SIZE = sizeof(KxMesh::kxMeshFace);
const char* const NO_MATERIAL = "[none]";
const unsigned int MAX_NAME_LENGTH = 255;
const float TESS_LEVEL = 16.0f;

// Blocks of the staging area: a mesh larger than this gets a block of its own.
const size_t STAGING_BLOCK_SIZE = size_t{4} << 20;

struct StagingBlock
{
    std::unique_ptr<unsigned char[]> data;
    size_t size = 0;
    size_t used = 0;
};

struct MeshState
{
    KxBuffer* storage = nullptr;
    GLuint vertexBuffer = 0;
    GLuint faceBuffer = 0;
    GLuint vertexArray = 0;
    // A zeroed record for the merged vertex array when no list records are bound.
    GLuint noRecords = 0;
    // Geometry of plain meshes made since the last merge, which the merge
    // uploads and then drops: such a mesh never gets GL objects of its own.
    // Blocks never move once made, so the area grows without copying what it
    // holds (one growing array copied and cleared megabytes per doubling).
    std::vector<StagingBlock> staged;
    // Meshes were made or resized since the last merge. The merge runs when
    // merged geometry is next asked for, so that making many meshes costs one
    // merge instead of one per mesh.
    bool mergePending = false;
};
MeshState* state = nullptr;

// Room for bytes in the staging area; throws std::bad_alloc when there is none.
unsigned char* stage(size_t bytes)
{
    if (state->staged.empty() || state->staged.back().size - state->staged.back().used < bytes)
    {
        StagingBlock block;
        block.size = std::max(bytes, STAGING_BLOCK_SIZE);
        block.data.reset(new unsigned char[block.size]);
        state->staged.push_back(std::move(block));
    }
    StagingBlock& block = state->staged.back();
    unsigned char* place = block.data.get() + block.used;
    block.used += bytes;
    return place;
}

void releaseMerged()
{
    GLuint buffers[2] = {state->vertexBuffer, state->faceBuffer};
    kx::GlContext::deleteBuffers(2, buffers);
    kx::GlContext::deleteVertexArrays(1, &state->vertexArray);
    state->vertexBuffer = state->faceBuffer = state->vertexArray = 0;
}

void mergeIfPending()
{
    if (state && state->mergePending)
        KxMesh::optimizeMemory();
}

// The one vertex layout: four attributes read from binding 0, 24 bytes apart.
void describeLayout(GLuint vertexArray, GLuint vertexBuffer)
{
    using namespace kx::location;
    glVertexArrayVertexBuffer(vertexArray, kx::vertexbuffer::MESH, vertexBuffer, 0, VERTEX_SIZE);
    glVertexArrayAttribFormat(vertexArray, VERTEX, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribFormat(vertexArray, NORMAL, 4, GL_INT_2_10_10_10_REV, GL_TRUE, 12);
    glVertexArrayAttribFormat(vertexArray, UV, 2, GL_HALF_FLOAT, GL_FALSE, 16);
    glVertexArrayAttribFormat(vertexArray, TANGENT, 4, GL_INT_2_10_10_10_REV, GL_TRUE, 20);
    for (GLuint location : {VERTEX, NORMAL, UV, TANGENT})
    {
        glVertexArrayAttribBinding(vertexArray, location, kx::vertexbuffer::MESH);
        glEnableVertexArrayAttrib(vertexArray, location);
    }
}

// The merged vertex array also reads the render list's record of each draw,
// at instance rate (see kx_list's kxListDraw); the buffer is bound per batch.
void describeRecordLayout(GLuint vertexArray)
{
    using namespace kx::location;
    const GLuint binding = kx::vertexbuffer::LIST_RECORDS;
    glVertexArrayBindingDivisor(vertexArray, binding, 1);
    for (GLuint column = 0; column < 3; ++column)
        glVertexArrayAttribFormat(vertexArray, RECORD_NORMAL + column, 4, GL_FLOAT, GL_FALSE,
                                  kx::listrecord::NORMAL_MATRIX + 16 * column);
    for (GLuint column = 0; column < 4; ++column)
        glVertexArrayAttribFormat(vertexArray, RECORD_MODEL + column, 4, GL_FLOAT, GL_FALSE,
                                  kx::listrecord::MODEL_MATRIX + 16 * column);
    glVertexArrayAttribIFormat(vertexArray, RECORD_MATERIAL, 1, GL_UNSIGNED_INT, kx::listrecord::MATERIAL_ID);
    for (GLuint location = RECORD_NORMAL; location <= RECORD_MATERIAL; ++location)
    {
        glVertexArrayAttribBinding(vertexArray, location, binding);
        glEnableVertexArrayAttrib(vertexArray, location);
    }
    // An enabled array must always have a buffer to read.
    if (!state->noRecords)
    {
        glCreateBuffers(1, &state->noRecords);
        std::vector<unsigned char> zeros(KxList::SIZEOF_RECORD, 0);
        glNamedBufferData(state->noRecords, KxList::SIZEOF_RECORD, zeros.data(), GL_STATIC_DRAW);
    }
    glVertexArrayVertexBuffer(vertexArray, binding, state->noRecords, 0, KxList::SIZEOF_RECORD);
}

// Points the merged vertex array at the records bound for the next batch.
// Sent every batch: a record buffer deleted and remade under the same name
// would otherwise leave the array reading the old one.
void bindListRecords()
{
    if (!state->vertexArray)
        return; // nothing merged yet
    GLuint records = 0;
    GLintptr offset = 0;
    kx::GlContext::storageStart(kx::binding::LIST, records, offset);
    if (!records)
    {
        records = state->noRecords;
        offset = 0;
    }
    glVertexArrayVertexBuffer(state->vertexArray, kx::vertexbuffer::LIST_RECORDS, records, offset,
                              KxList::SIZEOF_RECORD);
}

void bindVertexArray(GLuint vertexArray)
{
    kx::GlContext::bindVertexArray(vertexArray);
}

// Bounds-checked little-endian reading of a scene-file part.
struct Reader
{
    const unsigned char* data;
    uint64_t size;
    uint64_t position = 0;

    bool has(uint64_t count) const { return count <= size - position; }
    bool read(void* out, uint64_t count)
    {
        if (!has(count))
            return false;
        std::memcpy(out, data + position, static_cast<size_t>(count));
        position += count;
        return true;
    }
    // A zero-terminated name of at most MAX_NAME_LENGTH characters.
    bool readName(std::string& name)
    {
        uint64_t limit = size - position;
        if (limit > MAX_NAME_LENGTH + 1)
            limit = MAX_NAME_LENGTH + 1;
        const void* end = std::memchr(data + position, 0, static_cast<size_t>(limit));
        if (!end)
            return false;
        size_t length = static_cast<size_t>(static_cast<const unsigned char*>(end) - (data + position));
        name.assign(reinterpret_cast<const char*>(data + position), length);
        position += length + 1;
        return true;
    }
};

struct Writer
{
    unsigned char* data;
    size_t position = 0;

    void write(const void* in, size_t count)
    {
        std::memcpy(data + position, in, count);
        position += count;
    }
};

// Vertex data that cannot be drawn sensibly is repaired at load: a position
// that is not finite or lies more than sixteen box sizes outside the mesh's own box is pulled into the
// box, a texture coordinate that is not finite becomes 0 and one beyond
// +-MAX_UV (where half precision no longer resolves a texel) is clamped. The
// box itself is recomputed when it is unusable. Returns the number of vertices
// changed; the frame cost of a scene must not depend on such values.
const uint16_t HALF_MAX_UV = 0x6400; // 1024.0
const uint16_t HALF_EXPONENT = 0x7c00;

bool finite3(const float* v)
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

bool usableBox(const glm::vec3& low, const glm::vec3& high)
{
    return finite3(&low[0]) && finite3(&high[0]) && low.x <= high.x && low.y <= high.y && low.z <= high.z;
}

unsigned int repairVertices(KxMesh::kxMeshVertex* vertices, uint32_t count, glm::vec3& bboxMin, glm::vec3& bboxMax)
{
    unsigned int repaired = 0;
    if (!usableBox(bboxMin, bboxMax))
    {
        bboxMin = glm::vec3(std::numeric_limits<float>::max());
        bboxMax = -bboxMin;
        for (uint32_t i = 0; i < count; ++i)
            if (finite3(vertices[i].position))
                for (int a = 0; a < 3; ++a)
                {
                    bboxMin[a] = std::min(bboxMin[a], vertices[i].position[a]);
                    bboxMax[a] = std::max(bboxMax[a], vertices[i].position[a]);
                }
        if (!usableBox(bboxMin, bboxMax))
            bboxMin = bboxMax = glm::vec3(0.0f);
        ++repaired;
    }
    glm::vec3 extent = bboxMax - bboxMin;
    float margin = 16.0f * std::max(std::max(extent.x, extent.y), std::max(extent.z, 1.0f));
    glm::vec3 low = bboxMin - margin, high = bboxMax + margin;
    for (uint32_t i = 0; i < count; ++i)
    {
        KxMesh::kxMeshVertex& vertex = vertices[i];
        bool changed = false;
        for (int a = 0; a < 3; ++a)
        {
            float value = vertex.position[a];
            if (!(value >= low[a] && value <= high[a]))
            {
                vertex.position[a] = std::isfinite(value) ? glm::clamp(value, bboxMin[a], bboxMax[a])
                                                          : 0.5f * (bboxMin[a] + bboxMax[a]);
                changed = true;
            }
        }
        for (uint16_t& uv : vertex.uv)
        {
            if ((uv & HALF_EXPONENT) == HALF_EXPONENT)
            {
                uv = 0;
                changed = true;
            }
            else if ((uv & 0x7fff) > HALF_MAX_UV)
            {
                uv = static_cast<uint16_t>((uv & 0x8000) | HALF_MAX_UV);
                changed = true;
            }
        }
        repaired += changed ? 1u : 0u;
    }
    return repaired;
}

// A normal of (almost) no length gives the lighting no direction: it takes the
// direction of the faces around its vertex, or +z where they have none.
unsigned int repairNormals(KxMesh::kxMeshVertex* vertices, uint32_t count, const unsigned char* faces,
                           uint32_t faceCount)
{
    std::vector<uint32_t> broken;
    for (uint32_t i = 0; i < count; ++i)
        if (!(glm::length(glm::vec3(KxMesh::unpackNormal(vertices[i].normal))) >= 0.25f))
            broken.push_back(i);
    if (broken.empty())
        return 0;
    std::vector<glm::vec3> sums(count, glm::vec3(0.0f));
    for (uint32_t f = 0; f < faceCount; ++f)
    {
        uint32_t index[3];
        std::memcpy(index, faces + static_cast<size_t>(f) * 12, 12); // checked against count by the caller
        const glm::vec3 a = glm::make_vec3(vertices[index[0]].position);
        const glm::vec3 b = glm::make_vec3(vertices[index[1]].position);
        const glm::vec3 c = glm::make_vec3(vertices[index[2]].position);
        const glm::vec3 area = glm::cross(b - a, c - a); // weighted by the face's size
        for (uint32_t v : index)
            sums[v] += area;
    }
    for (uint32_t i : broken)
    {
        float length = glm::length(sums[i]);
        glm::vec3 normal = length > 0.0f && std::isfinite(length) ? sums[i] / length : glm::vec3(0.0f, 0.0f, 1.0f);
        vertices[i].normal = KxMesh::packNormal(glm::vec4(normal, KxMesh::unpackNormal(vertices[i].normal).w));
    }
    return static_cast<unsigned int>(broken.size());
}

// Found materials by name while a kx::MaterialNames lives.
std::unordered_map<std::string, KxMaterial*>* materialNames = nullptr;
std::mutex materialNamesMutex; // not held while walking the objects

// The first material of that name (another object may share it). Objects are
// only ever added behind the others, so a remembered first one stays first.
KxMaterial* findMaterial(const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(materialNamesMutex);
        if (materialNames)
        {
            auto found = materialNames->find(name);
            if (found != materialNames->end())
                return found->second;
        }
    }
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (object->getType() == KxObject::TYPE_MATERIAL && object->getName() == name)
        {
            KxMaterial* material = static_cast<KxMaterial*>(object);
            std::lock_guard<std::mutex> lock(materialNamesMutex);
            if (materialNames)
                materialNames->emplace(name, material);
            return material;
        }
    return nullptr;
}
}

namespace kx
{
MaterialNames::MaterialNames()
{
    std::lock_guard<std::mutex> lock(materialNamesMutex);
    if (!materialNames)
    {
        materialNames = new std::unordered_map<std::string, KxMaterial*>;
        owner = true;
    }
}

MaterialNames::~MaterialNames()
{
    std::lock_guard<std::mutex> lock(materialNamesMutex);
    if (owner)
    {
        delete materialNames;
        materialNames = nullptr;
    }
}

void MaterialNames::forget(KxMaterial* material)
{
    std::lock_guard<std::mutex> lock(materialNamesMutex);
    if (!materialNames)
        return;
    for (auto entry = materialNames->begin(); entry != materialNames->end();)
        entry = entry->second == material ? materialNames->erase(entry) : std::next(entry);
}
}

struct KxMesh::Private
{
    KX_POOLED // walked every frame: see kalvex_blockpool.h

    unsigned int nrOfVertices = 0;
    unsigned int nrOfFaces = 0;
    float radius = 0.0f;
    glm::vec3 bboxMin = glm::vec3(0.0f);
    glm::vec3 bboxMax = glm::vec3(0.0f);
    GLuint vertexBuffer = 0;
    GLuint faceBuffer = 0;
    GLuint vertexArray = 0;
    bool memoryOptimized = false;
    unsigned int firstVertexIndex = 0;
    unsigned int firstFaceIndex = 0;
    KxMaterial* material = nullptr;
    KxShader* shader = nullptr;
    KxPhysics* physics = nullptr;
    unsigned char* staged = nullptr; // its vertices, then faces, waiting in the staging area

    size_t vertexBytes() const { return static_cast<size_t>(nrOfVertices) * VERTEX_SIZE; }
    size_t faceBytes() const { return static_cast<size_t>(nrOfFaces) * FACE_SIZE; }
    const unsigned char* stagedData() const
    {
        return state ? staged : nullptr;
    }

    // Plain meshes wait for the merge in the staging area; others (and a
    // mesh whose geometry cannot be staged) upload to buffers of their own.
    void storeGeometry(bool plain, unsigned int vertexCount, const void* vertices, unsigned int faceCount,
                       const void* faces)
    {
        releaseGeometry();
        size_t v = static_cast<size_t>(vertexCount) * VERTEX_SIZE, f = static_cast<size_t>(faceCount) * FACE_SIZE;
        if (plain && state)
        {
            try
            {
                unsigned char* place = stage(v + f);
                std::memcpy(place, vertices, v);
                std::memcpy(place + v, faces, f);
                staged = place;
                nrOfVertices = vertexCount;
                nrOfFaces = faceCount;
                return;
            }
            catch (const std::exception&)
            {
            }
        }
        uploadGeometry(vertexCount, vertices, faceCount, faces);
    }

    // GL objects are only touched while the class (and so the context) exists.
    void releaseGeometry()
    {
        if (state)
        {
            if (vertexBuffer)
                kx::GlContext::deleteBuffers(1, &vertexBuffer);
            if (faceBuffer)
                kx::GlContext::deleteBuffers(1, &faceBuffer);
            if (vertexArray)
                kx::GlContext::deleteVertexArrays(1, &vertexArray);
        }
        vertexBuffer = faceBuffer = vertexArray = 0;
        nrOfVertices = nrOfFaces = 0;
        memoryOptimized = false;
        staged = nullptr;
    }

    // Once merged, a mesh's geometry lives in the merged buffers only: its
    // own buffers and vertex array go (tessellated meshes, drawn from their
    // own, keep them) and are made again from the merged copy when asked for.
    void releaseOwnBuffers()
    {
        if (state)
        {
            GLuint buffers[2] = {vertexBuffer, faceBuffer};
            kx::GlContext::deleteBuffers(2, buffers);
            kx::GlContext::deleteVertexArrays(1, &vertexArray);
        }
        vertexBuffer = faceBuffer = vertexArray = 0;
    }

    bool ensureOwnBuffers()
    {
        if (vertexArray || !state)
            return vertexArray != 0;
        const unsigned char* waiting = stagedData();
        if (!waiting && (!memoryOptimized || !state->vertexBuffer))
            return false;
        glCreateVertexArrays(1, &vertexArray);
        glCreateBuffers(1, &vertexBuffer);
        glCreateBuffers(1, &faceBuffer);
        GLsizeiptr v = static_cast<GLsizeiptr>(vertexBytes()), f = static_cast<GLsizeiptr>(faceBytes());
        glNamedBufferData(vertexBuffer, v, waiting, GL_STATIC_DRAW);
        glNamedBufferData(faceBuffer, f, waiting ? waiting + v : nullptr, GL_STATIC_DRAW);
        if (!waiting)
        {
            glCopyNamedBufferSubData(state->vertexBuffer, vertexBuffer,
                                     static_cast<GLintptr>(firstVertexIndex) * VERTEX_SIZE, 0, v);
            glCopyNamedBufferSubData(state->faceBuffer, faceBuffer, static_cast<GLintptr>(firstFaceIndex) * FACE_SIZE,
                                     0, f);
        }
        staged = nullptr;
        describeLayout(vertexArray, vertexBuffer);
        glVertexArrayElementBuffer(vertexArray, faceBuffer);
        return true;
    }

    // Reads the vertices (or the faces) from wherever they are kept.
    void readGeometry(bool faces, void* out) const
    {
        GLuint own = faces ? faceBuffer : vertexBuffer;
        GLsizeiptr bytes = faces ? static_cast<GLsizeiptr>(nrOfFaces) * FACE_SIZE
                                 : static_cast<GLsizeiptr>(nrOfVertices) * VERTEX_SIZE;
        if (!bytes)
            return;
        if (const unsigned char* waiting = stagedData())
            std::memcpy(out, waiting + (faces ? vertexBytes() : 0), static_cast<size_t>(bytes));
        else if (own)
            glGetNamedBufferSubData(own, 0, bytes, out);
        else if (memoryOptimized && state && state->vertexBuffer)
            glGetNamedBufferSubData(faces ? state->faceBuffer : state->vertexBuffer,
                                    faces ? static_cast<GLintptr>(firstFaceIndex) * FACE_SIZE
                                          : static_cast<GLintptr>(firstVertexIndex) * VERTEX_SIZE,
                                    bytes, out);
    }

    void uploadGeometry(unsigned int vertexCount, const void* vertices, unsigned int faceCount, const void* faces)
    {
        releaseGeometry();
        glCreateVertexArrays(1, &vertexArray);
        glCreateBuffers(1, &vertexBuffer);
        glNamedBufferData(vertexBuffer, static_cast<GLsizeiptr>(vertexCount) * VERTEX_SIZE, vertices, GL_STATIC_DRAW);
        describeLayout(vertexArray, vertexBuffer);
        glCreateBuffers(1, &faceBuffer);
        glNamedBufferData(faceBuffer, static_cast<GLsizeiptr>(faceCount) * FACE_SIZE, faces, GL_STATIC_DRAW);
        glVertexArrayElementBuffer(vertexArray, faceBuffer);
        nrOfVertices = vertexCount;
        nrOfFaces = faceCount;
    }
};

bool KxMesh::init()
{
    if (state)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    state = new MeshState;
    state->storage = new KxBuffer;
    state->storage->create(KxBuffer::TYPE_STORAGE_WRITE, MAX_NUMBER * SIZEOF_SSBODATA, nullptr);
    // Bound once for the application shaders that read it through kx_mesh.
    state->storage->render(reinterpret_cast<void*>(uintptr_t{kx::binding::MESHES}));
    return true;
}

bool KxMesh::free()
{
    if (!state)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete state->storage;
    if (state->vertexBuffer)
        kx::GlContext::deleteBuffers(1, &state->vertexBuffer);
    if (state->faceBuffer)
        kx::GlContext::deleteBuffers(1, &state->faceBuffer);
    if (state->vertexArray)
        kx::GlContext::deleteVertexArrays(1, &state->vertexArray);
    if (state->noRecords)
        kx::GlContext::deleteBuffers(1, &state->noRecords);
    delete state;
    state = nullptr;
    return true;
}

KxMesh::KxMesh() : meshReserved(new Private)
{
    setType(TYPE_MESH);
    char name[32];
    std::snprintf(name, sizeof(name), "[Mesh%d]", getId());
    setName(name);
    setCastShadows(true);
    setMaterial(KxMaterial::getDefault());
}

KxMesh::~KxMesh()
{
    // The physics object drives this node: it goes with it.
    if (KxPhysics* physics = meshReserved->physics)
    {
        meshReserved->physics = nullptr;
        delete physics;
    }
    meshReserved->releaseGeometry();
    delete meshReserved;
}

bool KxMesh::create(unsigned int nrOfVertices, const kxMeshVertex* vertices, unsigned int nrOfFaces,
                    const kxMeshFace* faces)
{
    if (!vertices || !faces)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *meshReserved;
    setSubtype(KIND_TRIANGLES);
    // The bounds are not computed from the vertices: callers that know better set them.
    d.bboxMin = glm::vec3(-1.0f);
    d.bboxMax = glm::vec3(1.0f);
    d.radius = 10.0f;
    d.storeGeometry(getType() == TYPE_MESH, nrOfVertices, vertices, nrOfFaces, faces);
    resetCache();
    state->mergePending = true;
    KX_LOG(LEVEL_DETAIL, "Mesh '%s' created", getName().c_str());
    return true;
}

bool KxMesh::update(unsigned int nrOfVertices, const kxMeshVertex* vertices, unsigned int nrOfFaces,
                    const kxMeshFace* faces)
{
    if (!vertices || !faces)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *meshReserved;
    d.ensureOwnBuffers(); // a mesh still waiting for the merge takes its own buffers
    if (d.memoryOptimized && !d.vertexBuffer && nrOfVertices == d.nrOfVertices && nrOfFaces == d.nrOfFaces &&
        state->vertexBuffer)
    {
        // Kept in the merged buffers only: written there in place.
        glNamedBufferSubData(state->vertexBuffer, static_cast<GLintptr>(d.firstVertexIndex) * VERTEX_SIZE,
                             static_cast<GLsizeiptr>(nrOfVertices) * VERTEX_SIZE, vertices);
        glNamedBufferSubData(state->faceBuffer, static_cast<GLintptr>(d.firstFaceIndex) * FACE_SIZE,
                             static_cast<GLsizeiptr>(nrOfFaces) * FACE_SIZE, faces);
        resetCache();
        return true;
    }
    if (!d.vertexArray && !d.memoryOptimized)
    {
        setSubtype(KIND_TRIANGLES);
        d.bboxMin = glm::vec3(-1.0f);
        d.bboxMax = glm::vec3(1.0f);
        d.radius = 10.0f;
    }
    if (!d.vertexArray)
        glCreateVertexArrays(1, &d.vertexArray);
    bool resized = false;
    if (nrOfVertices != d.nrOfVertices || !d.vertexBuffer)
    {
        if (d.vertexBuffer)
            kx::GlContext::deleteBuffers(1, &d.vertexBuffer);
        d.nrOfVertices = nrOfVertices;
        glCreateBuffers(1, &d.vertexBuffer);
        glNamedBufferData(d.vertexBuffer, static_cast<GLsizeiptr>(nrOfVertices) * VERTEX_SIZE, nullptr, GL_STATIC_DRAW);
        describeLayout(d.vertexArray, d.vertexBuffer);
        resized = true;
    }
    if (nrOfFaces != d.nrOfFaces || !d.faceBuffer)
    {
        if (d.faceBuffer)
            kx::GlContext::deleteBuffers(1, &d.faceBuffer);
        d.nrOfFaces = nrOfFaces;
        glCreateBuffers(1, &d.faceBuffer);
        glNamedBufferData(d.faceBuffer, static_cast<GLsizeiptr>(nrOfFaces) * FACE_SIZE, nullptr, GL_STATIC_DRAW);
        glVertexArrayElementBuffer(d.vertexArray, d.faceBuffer);
        resized = true;
    }
    glNamedBufferSubData(d.vertexBuffer, 0, static_cast<GLsizeiptr>(nrOfVertices) * VERTEX_SIZE, vertices);
    glNamedBufferSubData(d.faceBuffer, 0, static_cast<GLsizeiptr>(nrOfFaces) * FACE_SIZE, faces);

    if (d.memoryOptimized && !resized)
    {
        glCopyNamedBufferSubData(d.vertexBuffer, state->vertexBuffer, 0,
                                 static_cast<GLintptr>(d.firstVertexIndex) * VERTEX_SIZE,
                                 static_cast<GLsizeiptr>(nrOfVertices) * VERTEX_SIZE);
        glCopyNamedBufferSubData(d.faceBuffer, state->faceBuffer, 0, static_cast<GLintptr>(d.firstFaceIndex) * FACE_SIZE,
                                 static_cast<GLsizeiptr>(nrOfFaces) * FACE_SIZE);
    }
    else
        state->mergePending = true;
    resetCache();
    return true;
}

namespace
{
// Where the merge puts one mesh's geometry, and where it comes from.
struct Placement
{
    KxMesh* mesh;
    const unsigned char* staged;
    bool own;
    uint32_t firstVertex;
    uint32_t firstFace;
    size_t vertexBytes;
    size_t faceBytes;
};

unsigned char* mapForWriting(GLuint buffer, size_t bytes)
{
    return static_cast<unsigned char*>(glMapNamedBufferRange(buffer, 0, static_cast<GLsizeiptr>(bytes),
                                                             GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT));
}

// Staged geometry goes into the new merged buffers through one mapping of
// each: a call per mesh cost the driver more than the copy itself. Without
// a mapping it goes mesh by mesh.
void uploadStaged(const std::vector<Placement>& placements, size_t vertexBytes, size_t faceBytes)
{
    bool anyStaged = std::any_of(placements.begin(), placements.end(),
                                 [](const Placement& placement) { return placement.staged != nullptr; });
    if (!anyStaged)
        return;
    unsigned char* vertices = mapForWriting(state->vertexBuffer, vertexBytes);
    unsigned char* faces = vertices ? mapForWriting(state->faceBuffer, faceBytes) : nullptr;
    if (vertices && faces)
        for (const Placement& placement : placements)
            if (placement.staged)
            {
                std::memcpy(vertices + static_cast<size_t>(placement.firstVertex) * VERTEX_SIZE, placement.staged,
                            placement.vertexBytes);
                std::memcpy(faces + static_cast<size_t>(placement.firstFace) * FACE_SIZE,
                            placement.staged + placement.vertexBytes, placement.faceBytes);
            }
    // An unmapping that fails leaves the contents undefined: written again below.
    bool written = vertices && faces;
    if (vertices && glUnmapNamedBuffer(state->vertexBuffer) != GL_TRUE)
        written = false;
    if (faces && glUnmapNamedBuffer(state->faceBuffer) != GL_TRUE)
        written = false;
    if (written)
        return;
    for (const Placement& placement : placements)
        if (placement.staged)
        {
            glNamedBufferSubData(state->vertexBuffer, static_cast<GLintptr>(placement.firstVertex) * VERTEX_SIZE,
                                 static_cast<GLsizeiptr>(placement.vertexBytes), placement.staged);
            glNamedBufferSubData(state->faceBuffer, static_cast<GLintptr>(placement.firstFace) * FACE_SIZE,
                                 static_cast<GLsizeiptr>(placement.faceBytes), placement.staged + placement.vertexBytes);
        }
}
}

bool KxMesh::optimizeMemory()
{
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    std::lock_guard<std::recursive_mutex> registryLock(kx::objectMutex(getStaticMutex()));
    state->mergePending = false;

    // Only meshes of exactly this type: skinned and instanced meshes draw from
    // their own buffers.
    uint64_t totalVertices = 0, totalFaces = 0;
    size_t nrOfMeshes = 0;
    for (KxObject* object = getFirst(); object; object = object->getNext())
    {
        if (object->getType() != TYPE_MESH)
            continue;
        const Private& d = *static_cast<KxMesh*>(object)->meshReserved;
        totalVertices += d.nrOfVertices;
        totalFaces += d.nrOfFaces;
        ++nrOfMeshes;
    }

    // Indirect commands carry the base vertex as a signed and the first index
    // as an unsigned 32-bit value.
    if (totalVertices > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
        totalFaces * 3 > static_cast<uint64_t>(std::numeric_limits<uint32_t>::max()))
    {
        // Every mesh is drawn from its own buffers again.
        for (KxObject* object = getFirst(); object; object = object->getNext())
        {
            if (object->getType() != TYPE_MESH)
                continue;
            Private& d = *static_cast<KxMesh*>(object)->meshReserved;
            d.ensureOwnBuffers();
            d.memoryOptimized = false;
            d.firstVertexIndex = d.firstFaceIndex = 0;
        }
        state->staged.clear();
        state->staged.shrink_to_fit();
        releaseMerged();
        resetCache();
        return KX_LOG(LEVEL_ERROR, "Too much geometry to merge (%llu vertices, %llu faces)",
                      static_cast<unsigned long long>(totalVertices), static_cast<unsigned long long>(totalFaces));
    }

    KX_LOG(LEVEL_DETAIL, "Memory optimized vertex VBO: %.2f MB, face VBO: %.2f MB",
           static_cast<double>(totalVertices) * VERTEX_SIZE / 1048576.0,
           static_cast<double>(totalFaces) * FACE_SIZE / 1048576.0);

    GLuint oldVertices = state->vertexBuffer, oldFaces = state->faceBuffer, oldVertexArray = state->vertexArray;
    glCreateVertexArrays(1, &state->vertexArray);
    glCreateBuffers(1, &state->vertexBuffer);
    glNamedBufferData(state->vertexBuffer, static_cast<GLsizeiptr>(totalVertices * VERTEX_SIZE), nullptr,
                      GL_STATIC_DRAW);
    describeLayout(state->vertexArray, state->vertexBuffer);
    describeRecordLayout(state->vertexArray);
    glCreateBuffers(1, &state->faceBuffer);
    glNamedBufferData(state->faceBuffer, static_cast<GLsizeiptr>(totalFaces * FACE_SIZE), nullptr, GL_STATIC_DRAW);
    glVertexArrayElementBuffer(state->vertexArray, state->faceBuffer);

    // Packed in registry order; faces keep mesh-local indices, the base vertex
    // is applied at draw time.
    std::vector<Placement> placements;
    placements.reserve(nrOfMeshes);
    uint32_t vertexOffset = 0, faceOffset = 0;
    for (KxObject* object = getFirst(); object; object = object->getNext())
    {
        if (object->getType() != TYPE_MESH)
            continue;
        KxMesh* mesh = static_cast<KxMesh*>(object);
        Private& d = *mesh->meshReserved;
        std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(mesh->getMutex()));
        const unsigned char* staged = d.stagedData();
        bool own = d.vertexBuffer != 0;
        if (d.nrOfVertices == 0 || d.nrOfFaces == 0 || (!staged && !own && !(d.memoryOptimized && oldVertices)))
        {
            KX_LOG(LEVEL_WARNING, "Mesh '%s' has no geometry associated", object->getName().c_str());
            d.ensureOwnBuffers(); // whatever it has outlives the staging area
            d.memoryOptimized = false;
            d.firstVertexIndex = d.firstFaceIndex = 0;
            continue;
        }
        placements.push_back({mesh, staged, own, vertexOffset, faceOffset, d.vertexBytes(), d.faceBytes()});
        vertexOffset += d.nrOfVertices;
        faceOffset += d.nrOfFaces;
    }
    uploadStaged(placements, static_cast<size_t>(totalVertices) * VERTEX_SIZE,
                 static_cast<size_t>(totalFaces) * FACE_SIZE);
    for (const Placement& placement : placements)
    {
        Private& d = *placement.mesh->meshReserved;
        std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(placement.mesh->getMutex()));
        if (!placement.staged)
        {
            // Meshes merged before are copied from the old merged buffers, the
            // others from their own buffers, which then go.
            bool own = placement.own;
            glCopyNamedBufferSubData(own ? d.vertexBuffer : oldVertices, state->vertexBuffer,
                                     own ? 0 : static_cast<GLintptr>(d.firstVertexIndex) * VERTEX_SIZE,
                                     static_cast<GLintptr>(placement.firstVertex) * VERTEX_SIZE,
                                     static_cast<GLsizeiptr>(placement.vertexBytes));
            glCopyNamedBufferSubData(own ? d.faceBuffer : oldFaces, state->faceBuffer,
                                     own ? 0 : static_cast<GLintptr>(d.firstFaceIndex) * FACE_SIZE,
                                     static_cast<GLintptr>(placement.firstFace) * FACE_SIZE,
                                     static_cast<GLsizeiptr>(placement.faceBytes));
        }
        d.memoryOptimized = true;
        d.firstVertexIndex = placement.firstVertex;
        d.firstFaceIndex = placement.firstFace;
        // Tessellated meshes draw from their own buffers.
        if (placement.mesh->getSubtype() == KIND_TESSELLATED)
            d.ensureOwnBuffers();
        else if (placement.own)
            d.releaseOwnBuffers();
        d.staged = nullptr;
    }
    state->staged.clear();
    state->staged.shrink_to_fit();
    GLuint oldBuffers[2] = {oldVertices, oldFaces};
    kx::GlContext::deleteBuffers(2, oldBuffers);
    kx::GlContext::deleteVertexArrays(1, &oldVertexArray);
    resetCache();
    return true;
}

bool KxMesh::bindOptimizedMemory()
{
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    mergeIfPending();
    bindVertexArray(state->vertexArray);
    return true;
}

void KxMesh::resetCache()
{
    if (!state)
        return;
    kx::GlContext::resetVertexArray();
}

bool KxMesh::renderBatch(unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype, int flags)
{
    return kx::renderMeshBatch(0, count, buffer, type, subtype, flags, kx::MaterialMaps::USE_ALL);
}

bool kx::renderMeshBatch(unsigned int first, unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype,
                         int flags, MaterialMaps::Use maps)
{
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!buffer || !state)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if ((static_cast<uint64_t>(first) + count) * KxList::SIZEOF_COMMAND > buffer->getSize())
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxShader* variant = kx::mapVariantOf(pipeline->getShader(type, subtype, flags), maps);
    if (variant ? !variant->render(nullptr) : !pipeline->renderShaderForType(type, subtype, flags))
        return false;
    // Batches read their matrices and materials from the list's records.
    KxShader::getCurrent()->setParamDWord(KxShader::GENERIC0, 0);
    bool wireframe = KxOpenGL::isWireframe();
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    KxMesh::bindOptimizedMemory();
    bindListRecords();
    kx::GlContext::bindBuffer(GL_DRAW_INDIRECT_BUFFER, buffer->getHandle());
    const void* offset = reinterpret_cast<const void*>(static_cast<uintptr_t>(first) * KxList::SIZEOF_COMMAND);
    glMultiDrawElementsIndirect(GL_TRIANGLES, GL_UNSIGNED_INT, offset, static_cast<GLsizei>(count), 0);
    KxStats::inc(KxStats::DRAW_CALL);
    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    return true;
}

bool KxMesh::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for mesh %d invoked", getId());
    if (!isVisible() || (KxList::getCurrentPass() == 2 && !isCastingShadows()))
        return true;
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *meshReserved;
    if (!pipeline->renderShaderForType(TYPE_MESH, getSubtype(), KxPipeline::FLAGS_ALONE))
        return false;
    KxShader* shader = KxShader::getCurrent();
    // Drawn alone: the matrices come from uniforms, not from a list record.
    shader->setParamDWord(KxShader::GENERIC0, 1);
    if (record->modelViewMatrix)
        shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    if (record->normalMatrix)
        shader->setParamMatrix3(KxShader::NORMAL_MATRIX, *record->normalMatrix);
    if (record->modelMatrix)
        shader->setParamMatrix4(KxShader::MODEL_MATRIX, *record->modelMatrix);
    if (!d.material)
        return KX_LOG(LEVEL_ERROR, "No material set");
    d.material->render(nullptr);

    bool wireframe = KxOpenGL::isWireframe();
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    bool uncull = (d.material->isTransparent() || d.material->isAlpha()) && KxOpenGL::isCulling();
    if (uncull)
        KxOpenGL::culling(false);

    // GL counts are signed: no buffer that large can exist, but never wrap.
    uint64_t indices = static_cast<uint64_t>(d.nrOfFaces) * 3;
    GLsizei count = static_cast<GLsizei>(indices > 0x7fffffffu ? 0 : indices);
    if (getSubtype() == KIND_TESSELLATED)
    {
        d.ensureOwnBuffers();
        bindVertexArray(d.vertexArray);
        shader->render(nullptr);
        shader->setParamFloat(KxShader::TESS_LEVEL_INNER, TESS_LEVEL);
        shader->setParamFloat(KxShader::TESS_LEVEL_OUTER, TESS_LEVEL);
        glPatchParameteri(GL_PATCH_VERTICES, 3);
        if (d.vertexArray)
            glDrawElements(GL_PATCHES, count, GL_UNSIGNED_INT, nullptr);
    }
    else if (isMemoryOptimized())
    {
        bindVertexArray(state->vertexArray);
        glDrawElementsBaseVertex(GL_TRIANGLES, count, GL_UNSIGNED_INT,
                                 reinterpret_cast<const void*>(static_cast<uintptr_t>(d.firstFaceIndex) * FACE_SIZE),
                                 static_cast<GLint>(d.firstVertexIndex));
    }
    else
    {
        d.ensureOwnBuffers();
        bindVertexArray(d.vertexArray);
        if (d.vertexArray)
            glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_INT, nullptr);
    }

    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    if (uncull)
        KxOpenGL::culling(true);
    KxStats::inc(KxStats::MESH_RENDER);
    KxStats::inc(KxStats::DRAW_CALL);
    KxStats::add(KxStats::TRIANGLE, d.nrOfFaces); // before tessellation
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}

bool KxMesh::getRawVertexData(kxMeshVertex* vertices)
{
    if (!vertices)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    meshReserved->readGeometry(false, vertices);
    return true;
}

bool KxMesh::getRawFaceData(kxMeshFace* faces)
{
    if (!faces)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    meshReserved->readGeometry(true, faces);
    return true;
}

unsigned int KxMesh::getNrOfVertices() const
{
    return meshReserved->nrOfVertices;
}

unsigned int KxMesh::getNrOfFaces() const
{
    return meshReserved->nrOfFaces;
}

float KxMesh::getRadius() const
{
    return meshReserved->radius;
}

void KxMesh::setRadius(float radius)
{
    meshReserved->radius = radius;
}

glm::vec3& KxMesh::getBBoxMin()
{
    return meshReserved->bboxMin;
}

glm::vec3& KxMesh::getBBoxMax()
{
    return meshReserved->bboxMax;
}

unsigned int KxMesh::getVaoHandle() const
{
    // Made again from the merged copy for those who draw the mesh by itself.
    meshReserved->ensureOwnBuffers();
    return meshReserved->vertexArray;
}

bool KxMesh::isMemoryOptimized() const
{
    mergeIfPending();
    return meshReserved->memoryOptimized;
}

unsigned int KxMesh::getFirstVertexIndex() const
{
    mergeIfPending();
    return meshReserved->firstVertexIndex;
}

unsigned int KxMesh::getFirstFaceIndex() const
{
    mergeIfPending();
    return meshReserved->firstFaceIndex;
}

bool KxMesh::setMaterial(KxMaterial* material)
{
    KxMaterial* old = meshReserved->material;
    if (old == material)
        return true;
    kx::References::unlink(old, this);
    meshReserved->material = material;
    // A deleted material leaves the mesh with the default one.
    kx::References::link(material, this, [](KxObject* holder, KxObject* gone) {
        KxMaterial* fallback = KxMaterial::getDefault();
        static_cast<KxMesh*>(holder)->setMaterial(fallback == gone ? nullptr : fallback);
    });
    return true;
}

KxMaterial* KxMesh::getMaterial() const
{
    return meshReserved->material;
}

bool KxMesh::setShader(KxShader* shader)
{
    if (!shader)
        return KX_LOG(LEVEL_DETAIL, "Invalid params"), false;
    meshReserved->shader = shader;
    return true;
}

KxShader* KxMesh::getShader() const
{
    return meshReserved->shader;
}

bool KxMesh::setPhysics(KxPhysics* physics)
{
    KxPhysics* previous = meshReserved->physics;
    meshReserved->physics = physics;
    if (previous && previous != physics)
        previous->setOwner(nullptr);
    if (physics)
        physics->setOwner(this);
    return true;
}

KxPhysics* KxMesh::getPhysics() const
{
    return meshReserved->physics;
}

void* KxMesh::getMeshReserved() const
{
    return meshReserved;
}

unsigned int KxMesh::load(const unsigned char* data, unsigned int size)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized"), 0;

    // Everything is checked before anything changes: a refused part leaves the
    // mesh as it was.
    Reader reader{data, size};
    uint8_t kind = 0, hasPhysics = 0;
    uint32_t vertexCount = 0, faceCount = 0;
    std::string materialName;
    float radius = 0.0f;
    glm::vec3 bboxMin, bboxMax;
    if (!reader.read(&kind, 1) || !reader.read(&vertexCount, 4) || !reader.read(&faceCount, 4) ||
        !reader.readName(materialName) || !reader.read(&radius, 4) || !reader.read(&bboxMin[0], 12) ||
        !reader.read(&bboxMax[0], 12) || !reader.read(&hasPhysics, 1))
        return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (mesh part)"), 0;
    if (kind > KIND_TESSELLATED)
        return KX_LOG(LEVEL_ERROR, "Invalid mesh kind %u", static_cast<unsigned int>(kind)), 0;
    uint64_t physicsOffset = reader.position;
    if (hasPhysics && !reader.has(sizeof(KxPhysics::kxProps)))
        return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (mesh part)"), 0;
    if (hasPhysics)
        reader.position += sizeof(KxPhysics::kxProps);
    uint64_t vertexBytes = static_cast<uint64_t>(vertexCount) * VERTEX_SIZE;
    uint64_t faceBytes = static_cast<uint64_t>(faceCount) * FACE_SIZE;
    if (!reader.has(vertexBytes) || !reader.has(vertexBytes + faceBytes))
        return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (mesh part)"), 0;
    const unsigned char* vertices = data + reader.position;
    const unsigned char* faces = vertices + vertexBytes;
    // An index past the vertices would make the GPU read out of bounds.
    for (uint64_t i = 0; i < static_cast<uint64_t>(faceCount) * 3; ++i)
    {
        uint32_t index;
        std::memcpy(&index, faces + i * 4, 4);
        if (index >= vertexCount)
            return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (face index %u, %u vertices)", index,
                          vertexCount),
                   0;
    }
    reader.position += vertexBytes + faceBytes;

    Private& d = *meshReserved;
    setSubtype(kind);
    if (materialName != NO_MATERIAL)
    {
        KxMaterial* material = findMaterial(materialName);
        if (!material)
        {
            KX_LOG(LEVEL_ERROR, "Material not found: default used instead");
            material = KxMaterial::getDefault();
        }
        setMaterial(material);
    }
    // Repairs work on a copy: the file's buffer stays untouched.
    std::vector<kxMeshVertex> copy(vertexCount);
    if (vertexCount)
        std::memcpy(copy.data(), vertices, static_cast<size_t>(vertexBytes));
    unsigned int repaired = repairVertices(copy.data(), vertexCount, bboxMin, bboxMax);
    if (repaired)
        KX_LOG(LEVEL_WARNING, "Mesh '%s': %u vertices outside its bounds or not finite, repaired", getName().c_str(),
               repaired);
    if (unsigned int normals = repairNormals(copy.data(), vertexCount, faces, faceCount))
        KX_LOG(LEVEL_WARNING, "Mesh '%s': %u normals without a direction, repaired", getName().c_str(), normals);
    if (!std::isfinite(radius) || radius < 0.0f)
        radius = glm::length(glm::max(glm::abs(bboxMin), glm::abs(bboxMax)));
    d.radius = radius;
    d.bboxMin = bboxMin;
    d.bboxMax = bboxMax;
    // Properties that would poison the simulation are refused; the mesh itself
    // still loads. The body is built once the whole tree is linked (Kalvex::load).
    KxPhysics::kxProps props;
    if (hasPhysics)
        std::memcpy(&props, data + physicsOffset, sizeof(props));
    if (hasPhysics && KxPhysics::checkProps(props, getName()))
    {
        KxPhysics* physics = new KxPhysics;
        physics->load(data + physicsOffset, sizeof(KxPhysics::kxProps));
        setPhysics(physics);
    }
    d.storeGeometry(getType() == TYPE_MESH, vertexCount, copy.data(), faceCount, faces);
    resetCache();
    KX_LOG(LEVEL_DETAIL, "Mesh '%s' loaded", getName().c_str());
    return static_cast<unsigned int>(reader.position);
}

unsigned char* KxMesh::save(unsigned int& size)
{
    size = 0;
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized"), nullptr;
    Private& d = *meshReserved;
    std::string materialName =
        !d.material || d.material == KxMaterial::getDefault() ? std::string(NO_MATERIAL) : d.material->getName();
    uint8_t hasPhysics = d.physics ? 1 : 0;
    uint64_t total = 9 + materialName.size() + 1 + 29 + (hasPhysics ? sizeof(KxPhysics::kxProps) : 0) +
                     static_cast<uint64_t>(d.nrOfVertices) * VERTEX_SIZE + static_cast<uint64_t>(d.nrOfFaces) * FACE_SIZE;
    if (total > std::numeric_limits<unsigned int>::max())
        return KX_LOG(LEVEL_ERROR, "Mesh '%s' too large to save", getName().c_str()), nullptr;
    unsigned char* bytes = new (std::nothrow) unsigned char[static_cast<size_t>(total)];
    if (!bytes)
        return KX_LOG(LEVEL_ERROR, "Out of memory"), nullptr;

    Writer writer{bytes};
    uint8_t kind = static_cast<uint8_t>(getSubtype());
    writer.write(&kind, 1);
    writer.write(&d.nrOfVertices, 4);
    writer.write(&d.nrOfFaces, 4);
    writer.write(materialName.c_str(), materialName.size() + 1);
    writer.write(&d.radius, 4);
    writer.write(&d.bboxMin[0], 12);
    writer.write(&d.bboxMax[0], 12);
    writer.write(&hasPhysics, 1);
    if (hasPhysics)
    {
        KxPhysics::kxProps props = d.physics->getProps();
        props.reserved = 0;
        writer.write(&props, sizeof(props));
    }
    size_t vertexBytes = static_cast<size_t>(d.nrOfVertices) * VERTEX_SIZE;
    size_t faceBytes = static_cast<size_t>(d.nrOfFaces) * FACE_SIZE;
    d.readGeometry(false, bytes + writer.position);
    writer.position += vertexBytes;
    d.readGeometry(true, bytes + writer.position);
    writer.position += faceBytes;
    size = static_cast<unsigned int>(total);
    return bytes;
}

//////////////////////////////////////////////////////////////////////////////
// Packing helpers

uint32_t KxMesh::packNormal(const glm::vec4& value)
{
    // GL's signed normalised decode is max(c / (2^(b-1) - 1), -1): 511 for the
    // 10-bit fields, 1 for the 2-bit w.
    auto field = [](float component, float scale, uint32_t mask) {
        float clamped = component != component ? 0.0f : glm::clamp(component, -1.0f, 1.0f);
        int32_t c = static_cast<int32_t>(std::lround(clamped * scale));
        return static_cast<uint32_t>(c) & mask;
    };
    return field(value.x, 511.0f, 0x3ffu) | field(value.y, 511.0f, 0x3ffu) << 10 | field(value.z, 511.0f, 0x3ffu) << 20 |
           field(value.w, 1.0f, 0x3u) << 30;
}

glm::vec4 KxMesh::unpackNormal(uint32_t packed)
{
    auto field = [](uint32_t bits, unsigned int width, float scale) {
        int32_t c = static_cast<int32_t>(bits << (32 - width)) >> (32 - width); // sign extension
        return glm::max(static_cast<float>(c) / scale, -1.0f);
    };
    return glm::vec4(field(packed & 0x3ffu, 10, 511.0f), field(packed >> 10 & 0x3ffu, 10, 511.0f),
                     field(packed >> 20 & 0x3ffu, 10, 511.0f), field(packed >> 30, 2, 1.0f));
}

uint16_t KxMesh::packHalf(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    uint32_t sign = bits >> 16 & 0x8000u;
    uint32_t magnitude = bits & 0x7fffffffu;
    if (magnitude >= 0x7f800000u) // infinity, or NaN kept quiet with its top payload bits
        return static_cast<uint16_t>(sign | 0x7c00u |
                                     (magnitude > 0x7f800000u ? 0x200u | (magnitude >> 13 & 0x3ffu) : 0u));
    if (magnitude >= 0x477ff000u) // 65520 and above round to infinity
        return static_cast<uint16_t>(sign | 0x7c00u);
    if (magnitude >= 0x38800000u) // normal half: round the 13 dropped bits to nearest even
    {
        uint32_t half = ((magnitude >> 23) - 112) << 10 | (magnitude >> 13 & 0x3ffu);
        uint32_t rest = magnitude & 0x1fffu;
        if (rest > 0x1000u || (rest == 0x1000u && (half & 1u)))
            ++half; // a carry into the exponent is the right result
        return static_cast<uint16_t>(sign | half);
    }
    if (magnitude <= 0x33000000u) // at most half the smallest subnormal: zero
        return static_cast<uint16_t>(sign);
    // Subnormal half: the value in units of 2^-24, rounded to nearest even.
    uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
    uint32_t shift = 126 - (magnitude >> 23);
    uint32_t half = mantissa >> shift;
    uint32_t rest = mantissa & ((1u << shift) - 1);
    uint32_t halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (half & 1u)))
        ++half;
    return static_cast<uint16_t>(sign | half);
}

float KxMesh::unpackHalf(uint16_t half)
{
    uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    uint32_t exponent = half >> 10 & 0x1fu;
    uint32_t mantissa = half & 0x3ffu;
    uint32_t bits;
    if (exponent == 0x1f)
        bits = sign | 0x7f800000u | mantissa << 13;
    else if (exponent != 0)
        bits = sign | (exponent + 112) << 23 | mantissa << 13;
    else if (mantissa == 0)
        bits = sign;
    else
    {
        // Subnormal: exact in single precision.
        float value = std::ldexp(static_cast<float>(mantissa), -24);
        std::memcpy(&bits, &value, 4);
        bits |= sign;
    }
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

kx::NodeAccess::MeshDraw kx::NodeAccess::draw(const KxMesh& mesh)
{
    mergeIfPending();
    const KxMesh::Private& d = *mesh.meshReserved;
    return {d.memoryOptimized, d.nrOfFaces, d.firstFaceIndex, d.firstVertexIndex, d.radius, d.material};
}
