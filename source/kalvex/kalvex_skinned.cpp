// KxSkinned: skeletons of named bones and dual-quaternion skinning.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kalvex_resources.h"

namespace
{
bool initialized = false;

const unsigned int SIZEOF_SKINNING_VERTEX = 24;
const unsigned int SIZEOF_MATRIX = 64;
const unsigned int SIZEOF_PART_HEADER = SIZEOF_MATRIX + 4; // pose matrix and bone count
const size_t MAX_NAME = 256;                               // object names are shorter
// The skinning records sit on vertex-buffer binding 1, beside the mesh's 0.

static_assert(sizeof(KxSkinned::kxSkinningVertex) == SIZEOF_SKINNING_VERTEX, "skinning record is 24 bytes");
static_assert(offsetof(KxSkinned::kxSkinningVertex, boneWeight) == 16, "weights follow the indices");
static_assert(sizeof(glm::mat4) == SIZEOF_MATRIX, "matrices are stored as 16 packed floats");
// setParamQuaternionArray sends glm::quat memory as it is, and the shader
// reads (x, y, z, w).
static_assert(sizeof(glm::quat) == 16 && offsetof(glm::quat, x) == 0 && offsetof(glm::quat, w) == 12,
              "quaternions must be laid out as x, y, z, w");

// Both signs of zero.
bool isZeroHalf(uint16_t half)
{
    return (half & 0x7fffu) == 0;
}

// The rotation of a matrix's upper 3x3 as a quaternion (x, y, z, w), dividing
// by the largest of the four components for precision. Not normalised: a
// scaled matrix gives a scaled quaternion.
glm::vec4 rotationQuaternion(const glm::mat4& m)
{
    // m[column][row]
    const float r00 = m[0][0], r01 = m[1][0], r02 = m[2][0];
    const float r10 = m[0][1], r11 = m[1][1], r12 = m[2][1];
    const float r20 = m[0][2], r21 = m[1][2], r22 = m[2][2];
    const float fourW = r00 + r11 + r22;
    const float fourX = r00 - r11 - r22;
    const float fourY = r11 - r00 - r22;
    const float fourZ = r22 - r00 - r11;
    int biggest = 0;
    float biggestValue = fourW;
    if (fourX > biggestValue)
    {
        biggestValue = fourX;
        biggest = 1;
    }
    if (fourY > biggestValue)
    {
        biggestValue = fourY;
        biggest = 2;
    }
    if (fourZ > biggestValue)
    {
        biggestValue = fourZ;
        biggest = 3;
    }
    const float value = std::sqrt(biggestValue + 1.0f) * 0.5f;
    const float factor = 0.25f / value;
    switch (biggest)
    {
    case 0:
        return glm::vec4((r21 - r12) * factor, (r02 - r20) * factor, (r10 - r01) * factor, value);
    case 1:
        return glm::vec4(value, (r10 + r01) * factor, (r02 + r20) * factor, (r21 - r12) * factor);
    case 2:
        return glm::vec4((r10 + r01) * factor, value, (r21 + r12) * factor, (r02 - r20) * factor);
    default:
        return glm::vec4((r02 + r20) * factor, (r21 + r12) * factor, value, (r10 - r01) * factor);
    }
}

// Bone indices at or beyond the skeleton would make the shader read entries
// this mesh never set. An index in use (non-zero weight) refuses the data; an
// unused one is rewritten to 0 in a copy, so the data stays drawable. Returns
// false (logged) on refusal; fixed stays empty when the bytes can be used as
// they are.
bool checkBoneIndices(const unsigned char* bytes, unsigned int nrOfVertices, unsigned int nrOfBones,
                      std::unique_ptr<KxSkinned::kxSkinningVertex[]>& fixed)
{
    fixed.reset();
    for (unsigned int v = 0; v < nrOfVertices; ++v)
    {
        KxSkinned::kxSkinningVertex record;
        std::memcpy(&record, bytes + static_cast<size_t>(v) * SIZEOF_SKINNING_VERTEX, sizeof(record));
        bool rewrite = false;
        for (unsigned int k = 0; k < KxSkinned::NROFVERTEXBONES; ++k)
        {
            if (record.boneIndex[k] < nrOfBones)
                continue;
            if (!isZeroHalf(record.boneWeight[k]))
                return KX_LOG(LEVEL_ERROR, "Bone index %u of vertex %u out of range (%u bones)", record.boneIndex[k], v,
                              nrOfBones);
            record.boneIndex[k] = 0;
            rewrite = true;
        }
        if (!rewrite)
            continue;
        if (!fixed)
        {
            fixed.reset(new (std::nothrow) KxSkinned::kxSkinningVertex[nrOfVertices]);
            if (!fixed)
                return KX_LOG(LEVEL_ERROR, "Out of memory");
            std::memcpy(fixed.get(), bytes, static_cast<size_t>(nrOfVertices) * SIZEOF_SKINNING_VERTEX);
        }
        fixed[v] = record;
    }
    return true;
}
}

struct KxSkinned::Private
{
    std::vector<kxBone> bones; // at most NROFSKELETONBONES
    glm::mat4 poseMatrix = glm::mat4(1.0f);
    glm::mat4 skinningMatrices[NROFSKELETONBONES];
    glm::vec4 realQuaternions[NROFSKELETONBONES] = {};
    glm::vec4 dualQuaternions[NROFSKELETONBONES] = {};
    GLuint skinningBuffer = 0;
    unsigned int nrOfSkinningVertices = 0;

    Private()
    {
        for (glm::mat4& matrix : skinningMatrices)
            matrix = glm::mat4(1.0f);
    }

    // Bone nodes keep pointers into the records: clear those before the
    // records go. Nodes are found through the registry, since a record's own
    // node pointer is only as fresh as the last attachment.
    void detachBoneNodes()
    {
        if (bones.empty())
            return;
        std::recursive_mutex* registry = static_cast<std::recursive_mutex*>(KxSkinned::getStaticMutex());
        std::unique_lock<std::recursive_mutex> lock;
        if (registry)
            lock = std::unique_lock<std::recursive_mutex>(*registry);
        for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        {
            if (object->getType() != TYPE_BONE)
                continue;
            KxBone* node = static_cast<KxBone*>(object);
            for (kxBone& bone : bones)
                if (node->getBonePtr() == &bone)
                    node->setBonePtr(nullptr);
        }
    }

    // Uploads the per-vertex records and attaches them to the mesh's vertex
    // array as locations 5 (integer indices) and 6 (half weights).
    void uploadSkinning(GLuint vertexArray, unsigned int nrOfVertices, const void* records)
    {
        if (!skinningBuffer)
            glCreateBuffers(1, &skinningBuffer);
        glNamedBufferData(skinningBuffer, static_cast<GLsizeiptr>(static_cast<size_t>(nrOfVertices) * SIZEOF_SKINNING_VERTEX),
                          records, GL_STATIC_DRAW);
        nrOfSkinningVertices = nrOfVertices;
        glVertexArrayVertexBuffer(vertexArray, kx::vertexbuffer::SKINNING, skinningBuffer, 0, SIZEOF_SKINNING_VERTEX);
        glVertexArrayAttribIFormat(vertexArray, kx::location::BONE_INDEX, 4, GL_UNSIGNED_INT, 0);
        glVertexArrayAttribFormat(vertexArray, kx::location::BONE_WEIGHT, 4, GL_HALF_FLOAT, GL_FALSE, 16);
        glVertexArrayAttribBinding(vertexArray, kx::location::BONE_INDEX, kx::vertexbuffer::SKINNING);
        glVertexArrayAttribBinding(vertexArray, kx::location::BONE_WEIGHT, kx::vertexbuffer::SKINNING);
        glEnableVertexArrayAttrib(vertexArray, kx::location::BONE_INDEX);
        glEnableVertexArrayAttrib(vertexArray, kx::location::BONE_WEIGHT);
    }

    // Replaces the skeleton; the arguments have been checked.
    void setBones(const glm::mat4& pose, std::vector<kxBone>& newBones)
    {
        detachBoneNodes();
        bones.swap(newBones);
        poseMatrix = pose;
        for (unsigned int i = 0; i < NROFSKELETONBONES; ++i)
        {
            skinningMatrices[i] = glm::mat4(1.0f);
            realQuaternions[i] = glm::vec4(0.0f);
            dualQuaternions[i] = glm::vec4(0.0f);
        }
    }
};

bool KxSkinned::init()
{
    if (initialized)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    initialized = true;
    return true;
}

bool KxSkinned::free()
{
    if (!initialized)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    initialized = false;
    return true;
}

KxSkinned::KxSkinned() : skinnedReserved(new Private)
{
    setType(TYPE_SKINNED);
}

KxSkinned::~KxSkinned()
{
    skinnedReserved->detachBoneNodes();
    if (skinnedReserved->skinningBuffer)
        kx::GlContext::deleteBuffers(1, &skinnedReserved->skinningBuffer);
    delete skinnedReserved;
    // The object stays in the registry until the base destructors finish:
    // a bone deleted meanwhile must find no records here.
    skinnedReserved = nullptr;
}

unsigned int KxSkinned::getNrOfBones() const
{
    return skinnedReserved ? static_cast<unsigned int>(skinnedReserved->bones.size()) : 0;
}

KxSkinned::kxBone* KxSkinned::getBone(unsigned int index)
{
    if (index >= getNrOfBones())
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    return &skinnedReserved->bones[index];
}

const glm::mat4& KxSkinned::getPoseMatrix() const
{
    return skinnedReserved->poseMatrix;
}

const glm::vec4* KxSkinned::getRealQuaternions() const
{
    return skinnedReserved->realQuaternions;
}

const glm::vec4* KxSkinned::getDualQuaternions() const
{
    return skinnedReserved->dualQuaternions;
}

bool KxSkinned::setSkeleton(const glm::mat4& poseMatrix, unsigned int nrOfBones, const std::string* names,
                            const glm::mat4* offsetMatrices, const kxSkinningVertex* skinning)
{
    if (nrOfBones > NROFSKELETONBONES)
        return KX_LOG(LEVEL_ERROR, "Too many bones in skinned mesh '%s' (%u, at most %u)", getName().c_str(), nrOfBones,
                      NROFSKELETONBONES);
    const unsigned int nrOfVertices = getNrOfVertices();
    if ((nrOfBones && (!names || !offsetMatrices)) || (nrOfVertices && !skinning))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!getVaoHandle())
        return KX_LOG(LEVEL_ERROR, "Skinned mesh '%s' has no geometry", getName().c_str());

    std::vector<kxBone> bones(nrOfBones);
    for (unsigned int i = 0; i < nrOfBones; ++i)
    {
        if (names[i].size() >= MAX_NAME)
            return KX_LOG(LEVEL_ERROR, "Invalid params");
        bones[i].name = names[i];
        bones[i].offsetMatrix = offsetMatrices[i];
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(skinning);
    std::unique_ptr<kxSkinningVertex[]> fixed;
    if (nrOfVertices && !checkBoneIndices(bytes, nrOfVertices, nrOfBones, fixed))
        return false;

    skinnedReserved->setBones(poseMatrix, bones);
    skinnedReserved->uploadSkinning(getVaoHandle(), nrOfVertices, fixed ? fixed.get() : skinning);
    return true;
}

bool KxSkinned::resetBones(KxNode* root)
{
    Private& d = *skinnedReserved;
    if (d.bones.empty())
        return true;
    if (!root)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KX_LOG(LEVEL_DETAIL, "Building skeleton...");
    for (kxBone& bone : d.bones)
    {
        KxNode* node = root->findByName(bone.name);
        KxBone* boneNode = node && node->getType() == TYPE_BONE ? static_cast<KxBone*>(node) : nullptr;
        // A node attached before keeps no pointer to this record unless it is
        // attached again.
        if (bone.node && bone.node != boneNode && bone.node->getBonePtr() == &bone)
            bone.node->setBonePtr(nullptr);
        bone.node = boneNode;
        if (boneNode)
        {
            boneNode->setBonePtr(&bone);
            KX_LOG(LEVEL_PLAIN, "Bone '%s' assigned", bone.name.c_str());
            continue;
        }
        if (node)
            KX_LOG(LEVEL_ERROR, "Object '%s' is not of type bone", bone.name.c_str());
        else
            KX_LOG(LEVEL_ERROR, "Bone '%s' not found", bone.name.c_str());
        // Unattached bones act as the identity, whatever the reason.
        bone.offsetMatrix = glm::mat4(1.0f);
        bone.currentMatrix = glm::mat4(1.0f);
    }
    KX_LOG(LEVEL_DETAIL, "Skeleton built");
    return true;
}

void KxSkinned::computeSkinning()
{
    Private& d = *skinnedReserved;
    const glm::mat4 inverseWorld = glm::inverse(getFinalMatrix());
    const size_t nrOfBones = d.bones.size();
    for (size_t i = 0; i < nrOfBones; ++i)
    {
        const kxBone& bone = d.bones[i];
        glm::mat4& skinning = d.skinningMatrices[i];
        skinning = inverseWorld * bone.currentMatrix * bone.offsetMatrix * d.poseMatrix;
        glm::vec4 r = rotationQuaternion(skinning);
        const glm::vec3 t(skinning[3]);
        // d = 1/2 (0, t) r, taken before normalising so a scale divides out.
        glm::vec4 dual(0.5f * (t.x * r.w + t.y * r.z - t.z * r.y), 0.5f * (-t.x * r.z + t.y * r.w + t.z * r.x),
                       0.5f * (t.x * r.y - t.y * r.x + t.z * r.w), -0.5f * (t.x * r.x + t.y * r.y + t.z * r.z));
        const float length = glm::length(r); // at least 0.5 by construction
        r /= length;
        dual /= length;
        d.realQuaternions[i] = r;
        d.dualQuaternions[i] = dual;
    }
}

bool KxSkinned::render(void* data)
{
    KX_LOG(LEVEL_DETAIL, "Render for skinned mesh %d invoked", getId());
    if (!isVisible() || (KxList::getCurrentPass() == 2 && !isCastingShadows()))
        return true;
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelViewMatrix || !record->normalMatrix || !record->modelMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxPipeline* pipeline = KxPipeline::getCurrent();
    if (!pipeline)
        return KX_LOG(LEVEL_ERROR, "No pipeline set");
    if (!pipeline->renderShaderForType(TYPE_SKINNED, 0, KxPipeline::FLAGS_ALONE))
        return false;
    KxShader* shader = KxShader::getCurrent();
    shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    shader->setParamMatrix4(KxShader::MODEL_MATRIX, *record->modelMatrix);
    shader->setParamMatrix3(KxShader::NORMAL_MATRIX, *record->normalMatrix);

    KxMaterial* material = getMaterial();
    if (!material)
        return KX_LOG(LEVEL_ERROR, "No material set");
    material->render(nullptr);

    computeSkinning();
    Private& d = *skinnedReserved;
    const unsigned int nrOfBones = static_cast<unsigned int>(d.bones.size());
    if (nrOfBones)
    {
        glm::quat real[NROFSKELETONBONES];
        glm::quat dual[NROFSKELETONBONES];
        for (unsigned int i = 0; i < nrOfBones; ++i)
        {
            const glm::vec4& r = d.realQuaternions[i];
            const glm::vec4& q = d.dualQuaternions[i];
            real[i] = glm::quat(r.w, r.x, r.y, r.z);
            dual[i] = glm::quat(q.w, q.x, q.y, q.z);
        }
        shader->setParamQuaternionArray(KxShader::REAL_QUAT_ARRAY, nrOfBones, real);
        shader->setParamQuaternionArray(KxShader::DUAL_QUAT_ARRAY, nrOfBones, dual);
    }

    const GLuint vertexArray = getVaoHandle();
    if (!vertexArray)
        return KX_LOG(LEVEL_ERROR, "Skinned mesh '%s' has no geometry", getName().c_str());
    // Vertices beyond the skinning records would be fetched past the end of
    // their buffer.
    if (d.nrOfSkinningVertices < getNrOfVertices())
        return KX_LOG(LEVEL_ERROR, "Skinned mesh '%s' has skinning data for %u of its %u vertices", getName().c_str(),
                      d.nrOfSkinningVertices, getNrOfVertices());
    const bool wireframe = KxOpenGL::isWireframe();
    const bool uncull = (material->isTransparent() || material->isAlpha()) && KxOpenGL::isCulling();
    kx::GlContext::bindVertexArray(vertexArray);
    if (wireframe)
        kx::GlContext::polygonMode(GL_LINE);
    if (uncull)
        KxOpenGL::culling(false);
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(getNrOfFaces() * 3), GL_UNSIGNED_INT, nullptr);
    KxStats::inc(KxStats::DRAW_CALL);
    KxStats::add(KxStats::TRIANGLE, getNrOfFaces());
    if (wireframe)
        kx::GlContext::polygonMode(GL_FILL);
    if (uncull)
        KxOpenGL::culling(true);
    KxMesh::resetCache();

    KxStats::inc(KxStats::SKINNED_RENDER);
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}

unsigned int KxSkinned::load(const unsigned char* data, unsigned int size)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;
    const unsigned int meshBytes = KxMesh::load(data, size);
    if (!meshBytes || meshBytes > size)
        return 0;
    const unsigned char* part = data + meshBytes;
    const size_t left = size - meshBytes;
    const char* name = getName().c_str();
    auto truncated = [&]() { return KX_LOG(LEVEL_ERROR, "Skinned part of '%s' truncated", name), 0u; };

    if (left < SIZEOF_PART_HEADER)
        return truncated();
    glm::mat4 pose;
    uint32_t nrOfBones = 0;
    std::memcpy(&pose, part, SIZEOF_MATRIX);
    std::memcpy(&nrOfBones, part + SIZEOF_MATRIX, 4);
    if (nrOfBones > NROFSKELETONBONES)
        return KX_LOG(LEVEL_ERROR, "Too many bones in skinned mesh '%s' (%u, at most %u)", name, nrOfBones,
                      NROFSKELETONBONES),
               0;
    size_t position = SIZEOF_PART_HEADER;
    std::vector<kxBone> bones(nrOfBones);
    for (kxBone& bone : bones)
    {
        const size_t available = left - position;
        const size_t limit = available < MAX_NAME ? available : MAX_NAME;
        const char* text = reinterpret_cast<const char*>(part + position);
        const size_t length = strnlen(text, limit);
        if (length == available)
            return truncated();
        if (length == MAX_NAME)
            return KX_LOG(LEVEL_ERROR, "Bone name too long in skinned mesh '%s'", name), 0;
        bone.name.assign(text, length);
        position += length + 1;
        if (left - position < SIZEOF_MATRIX)
            return truncated();
        std::memcpy(&bone.offsetMatrix, part + position, SIZEOF_MATRIX);
        position += SIZEOF_MATRIX;
    }
    const unsigned int nrOfVertices = getNrOfVertices();
    const size_t skinningBytes = static_cast<size_t>(nrOfVertices) * SIZEOF_SKINNING_VERTEX;
    if (left - position < skinningBytes)
        return truncated();
    const GLuint vertexArray = getVaoHandle();
    if (!vertexArray)
        return KX_LOG(LEVEL_ERROR, "Skinned mesh '%s' has no geometry", name), 0;
    std::unique_ptr<kxSkinningVertex[]> fixed;
    if (!checkBoneIndices(part + position, nrOfVertices, nrOfBones, fixed))
        return 0;

    skinnedReserved->setBones(pose, bones);
    for (unsigned int i = 0; i < nrOfBones; ++i)
        KX_LOG(LEVEL_DETAIL, "   %d) %s", static_cast<int>(i), skinnedReserved->bones[i].name.c_str());
    skinnedReserved->uploadSkinning(vertexArray, nrOfVertices,
                                    fixed ? static_cast<const void*>(fixed.get()) : part + position);
    KX_LOG(LEVEL_DETAIL, "Skinned mesh '%s' loaded", name);
    return static_cast<unsigned int>(meshBytes + position + skinningBytes);
}

unsigned char* KxSkinned::save(unsigned int& size)
{
    // The skinned part only: the scene writer takes the mesh part from
    // KxMesh::save, so that each part fails with its own message.
    size = 0;
    const Private& d = *skinnedReserved;
    const unsigned int nrOfVertices = getNrOfVertices();
    uint64_t total = SIZEOF_PART_HEADER + static_cast<uint64_t>(nrOfVertices) * SIZEOF_SKINNING_VERTEX;
    for (const kxBone& bone : d.bones)
        total += bone.name.size() + 1 + SIZEOF_MATRIX;
    if (total > UINT32_MAX)
    {
        KX_LOG(LEVEL_ERROR, "Skinned mesh '%s' too large to save", getName().c_str());
        return nullptr;
    }
    unsigned char* out = new (std::nothrow) unsigned char[total];
    if (!out)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory");
        return nullptr;
    }
    std::memcpy(out, &d.poseMatrix, SIZEOF_MATRIX);
    const uint32_t nrOfBones = static_cast<uint32_t>(d.bones.size());
    std::memcpy(out + SIZEOF_MATRIX, &nrOfBones, 4);
    size_t position = SIZEOF_PART_HEADER;
    for (const kxBone& bone : d.bones)
    {
        std::memcpy(out + position, bone.name.c_str(), bone.name.size() + 1);
        position += bone.name.size() + 1;
        std::memcpy(out + position, &bone.offsetMatrix, SIZEOF_MATRIX);
        position += SIZEOF_MATRIX;
    }
    // A mesh whose skeleton was never set, or whose vertex count changed since,
    // writes empty records where it has none.
    const size_t skinningBytes = static_cast<size_t>(nrOfVertices) * SIZEOF_SKINNING_VERTEX;
    std::memset(out + position, 0, skinningBytes);
    const unsigned int stored = d.nrOfSkinningVertices < nrOfVertices ? d.nrOfSkinningVertices : nrOfVertices;
    if (d.skinningBuffer && stored)
        glGetNamedBufferSubData(d.skinningBuffer, 0, static_cast<GLsizeiptr>(static_cast<size_t>(stored) * SIZEOF_SKINNING_VERTEX),
                                out + position);
    size = static_cast<unsigned int>(total);
    return out;
}
