// KxBone: skeleton joints that feed skinned meshes, and their display boxes.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace
{
struct BoneState
{
    bool showBox = false;
};
BoneState* state = nullptr;

const unsigned int SIZEOF_BONE_PART = 24;
const int NR_OF_LINE_VERTICES = 28;

static_assert(sizeof(glm::vec3) == 12, "box corners are stored as three packed floats");

// The 14 segments of a bone's box: the edges of the faces y = min and y = max,
// two diagonals and the four edges along y.
void boxLines(const glm::vec3& a, const glm::vec3& b, glm::vec3 lines[NR_OF_LINE_VERTICES])
{
    const glm::vec3 corners[2][4] = {
        {{a.x, a.y, a.z}, {b.x, a.y, a.z}, {b.x, a.y, b.z}, {a.x, a.y, b.z}},
        {{a.x, b.y, a.z}, {b.x, b.y, a.z}, {b.x, b.y, b.z}, {a.x, b.y, b.z}},
    };
    int n = 0;
    for (int face = 0; face < 2; ++face)
    {
        for (int i = 0; i < 4; ++i)
        {
            lines[n++] = corners[face][i];
            lines[n++] = corners[face][(i + 1) % 4];
        }
    }
    lines[n++] = glm::vec3(a.x, a.y, a.z);
    lines[n++] = glm::vec3(b.x, b.y, b.z);
    lines[n++] = glm::vec3(b.x, a.y, a.z);
    lines[n++] = glm::vec3(a.x, b.y, b.z);
    for (int i = 0; i < 4; ++i)
    {
        lines[n++] = corners[0][i];
        lines[n++] = corners[1][i];
    }
}
}

struct KxBone::Private
{
    glm::vec3 boxMin = glm::vec3(0.0f);
    glm::vec3 boxMax = glm::vec3(0.0f);
    KxSkinned::kxBone* bone = nullptr;
    GLuint buffer = 0;
    GLuint vertexArray = 0;

    void buildLines()
    {
        glm::vec3 lines[NR_OF_LINE_VERTICES];
        boxLines(boxMin, boxMax, lines);
        if (!buffer)
        {
            glCreateBuffers(1, &buffer);
            glCreateVertexArrays(1, &vertexArray);
            glVertexArrayVertexBuffer(vertexArray, 0, buffer, 0, sizeof(glm::vec3));
            glVertexArrayAttribFormat(vertexArray, 0, 3, GL_FLOAT, GL_FALSE, 0);
            glVertexArrayAttribBinding(vertexArray, 0, 0);
            glEnableVertexArrayAttrib(vertexArray, 0);
        }
        glNamedBufferData(buffer, sizeof(lines), lines, GL_STATIC_DRAW);
    }
};

bool KxBone::init()
{
    if (state)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    state = new BoneState;
    return true;
}

bool KxBone::free()
{
    if (!state)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete state;
    state = nullptr;
    return true;
}

void KxBone::showBox(bool show)
{
    if (!state)
    {
        KX_LOG(LEVEL_ERROR, "Not initialized");
        return;
    }
    state->showBox = show;
}

KxBone::KxBone() : boneReserved(new Private)
{
    setType(TYPE_BONE);
    char name[32];
    std::snprintf(name, sizeof(name), "[Bone%d]", getId());
    setName(name);
}

KxBone::~KxBone()
{
    // Skinned meshes must not keep a pointer to this node.
    {
        std::recursive_mutex* registry = static_cast<std::recursive_mutex*>(getStaticMutex());
        std::unique_lock<std::recursive_mutex> lock;
        if (registry)
            lock = std::unique_lock<std::recursive_mutex>(*registry);
        for (KxObject* object = getFirst(); object; object = object->getNext())
        {
            if (object->getType() != TYPE_SKINNED)
                continue;
            KxSkinned* skinned = static_cast<KxSkinned*>(object);
            for (unsigned int i = 0, n = skinned->getNrOfBones(); i < n; ++i)
            {
                KxSkinned::kxBone* bone = skinned->getBone(i);
                if (bone->node == this)
                    bone->node = nullptr;
            }
        }
    }
    if (boneReserved->buffer)
        kx::GlContext::deleteBuffers(1, &boneReserved->buffer);
    if (boneReserved->vertexArray)
        kx::GlContext::deleteVertexArrays(1, &boneReserved->vertexArray);
    delete boneReserved;
}

void KxBone::setBonePtr(KxSkinned::kxBone* bone)
{
    boneReserved->bone = bone;
}

KxSkinned::kxBone* KxBone::getBonePtr() const
{
    return boneReserved->bone;
}

bool KxBone::updateSkeleton(const glm::mat4* world)
{
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!boneReserved->bone)
        return KX_LOG(LEVEL_ERROR, "Bone '%s' not set", getName().c_str());
    boneReserved->bone->currentMatrix = *world;
    return true;
}

void KxBone::setBox(const glm::vec3& min, const glm::vec3& max)
{
    boneReserved->boxMin = min;
    boneReserved->boxMax = max;
    boneReserved->buildLines();
}

const glm::vec3& KxBone::getBoxMin() const
{
    return boneReserved->boxMin;
}

const glm::vec3& KxBone::getBoxMax() const
{
    return boneReserved->boxMax;
}

unsigned int KxBone::load(const unsigned char* data, unsigned int size)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;
    if (size < SIZEOF_BONE_PART)
        return KX_LOG(LEVEL_ERROR, "Bone part of '%s' truncated", getName().c_str()), 0;
    glm::vec3 min, max;
    std::memcpy(&min, data, sizeof(min));
    std::memcpy(&max, data + sizeof(min), sizeof(max));
    setBox(min, max);
    KX_LOG(LEVEL_DETAIL, "Bone '%s' loaded", getName().c_str());
    return SIZEOF_BONE_PART;
}

unsigned char* KxBone::save(unsigned int& size)
{
    size = 0;
    unsigned char* out = new (std::nothrow) unsigned char[SIZEOF_BONE_PART];
    if (!out)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory");
        return nullptr;
    }
    std::memcpy(out, &boneReserved->boxMin, sizeof(glm::vec3));
    std::memcpy(out + sizeof(glm::vec3), &boneReserved->boxMax, sizeof(glm::vec3));
    size = SIZEOF_BONE_PART;
    return out;
}

bool KxBone::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for bone %d invoked", getId());
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelViewMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (state && state->showBox)
    {
        KxPipeline* pipeline = KxPipeline::getCurrent();
        if (!pipeline)
            return KX_LOG(LEVEL_ERROR, "No pipeline set");
        // A pipeline without a bone program shows no boxes; neither does a
        // bone whose box was never given.
        if (pipeline->getShader(TYPE_BONE, 0, KxPipeline::FLAGS_ALONE) &&
            pipeline->renderShaderForType(TYPE_BONE, 0, KxPipeline::FLAGS_ALONE) && boneReserved->vertexArray)
        {
            KxShader::getCurrent()->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
            kx::GlContext::bindVertexArray(boneReserved->vertexArray);
            glDrawArrays(GL_LINES, 0, NR_OF_LINE_VERTICES);
            KxMesh::resetCache();
        }
    }
    KxStats::inc(KxStats::BONE_RENDER);
    setLastUpdate(KxList::getCurrentPassId());
    return true;
}
