// KxNode: scene graph links and local transforms.
#include "kalvex_internal.h"
#include "kalvex_blockpool.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

struct KxNode::Private
{
    KX_POOLED // walked every frame: see kalvex_blockpool.h

    // What the render list reads every frame first, close together.
    bool visible = true;
    bool castShadows = false;
    glm::mat4 matrix = glm::mat4(1.0f);
    std::vector<KxNode*> children;
    KxNode* parent = nullptr;
    std::string targetNodeName;
    KxNode* targetNode = nullptr;
};

namespace
{
const float DEGREES_TO_RADIANS = 3.14159265358979f / 180.0f;

// The scene-graph structure is guarded by the object registry's mutex, whose
// record starts with the mutex itself.
struct StructureLock
{
    std::recursive_mutex* mutex;
    explicit StructureLock(void* registry) : mutex(static_cast<std::recursive_mutex*>(registry))
    {
        if (mutex)
            mutex->lock();
    }
    ~StructureLock()
    {
        if (mutex)
            mutex->unlock();
    }
};

struct NodeLock
{
    std::lock_guard<std::recursive_mutex> guard;
    explicit NodeLock(void* objectMutex) : guard(*static_cast<std::recursive_mutex*>(objectMutex)) {}
};

// Takes node out of its parent's children, keeping their order. Searched
// from the back: scenes are torn down newest first, which makes each removal
// constant time instead of a scan of every sibling.
bool removeChild(std::vector<KxNode*>& siblings, const KxNode* node)
{
    auto position = std::find(siblings.rbegin(), siblings.rend(), node);
    if (position == siblings.rend())
        return false;
    siblings.erase(std::next(position).base());
    return true;
}

glm::mat4 rotation(float degrees, const glm::vec3& axis)
{
    return glm::rotate(glm::mat4(1.0f), degrees * DEGREES_TO_RADIANS, axis);
}
}

KxNode::KxNode() : nodeReserved(new Private)
{
    setType(TYPE_NODE);
    char defaultName[32];
    std::snprintf(defaultName, sizeof(defaultName), "[Node%d]", getId());
    setName(defaultName);
}

KxNode::~KxNode()
{
    {
        StructureLock lock(getStaticMutex());
        if (nodeReserved->parent || !nodeReserved->children.empty())
        {
            KX_LOG(LEVEL_DETAIL, "Node was still linked upon destruction");
            // Detach on both sides, so no survivor keeps a pointer to this node.
            if (nodeReserved->parent)
                removeChild(nodeReserved->parent->nodeReserved->children, this);
            for (KxNode* child : nodeReserved->children)
                child->nodeReserved->parent = nullptr;
        }
    }
    delete nodeReserved;
    nodeReserved = nullptr;
}

bool KxNode::link(KxNode* parent)
{
    StructureLock lock(getStaticMutex());
    if (!parent)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (nodeReserved->parent)
        return KX_LOG(LEVEL_ERROR, "Node already linked");
    parent->nodeReserved->children.push_back(this);
    nodeReserved->parent = parent;
    return true;
}

bool KxNode::unlink()
{
    StructureLock lock(getStaticMutex());
    if (!nodeReserved->parent)
        return KX_LOG(LEVEL_ERROR, "Node already unlinked");
    if (!removeChild(nodeReserved->parent->nodeReserved->children, this))
        return KX_LOG(LEVEL_ERROR, "Consistency error");
    nodeReserved->parent = nullptr;
    return true;
}

KxNode* KxNode::getParent() const
{
    StructureLock lock(getStaticMutex());
    return nodeReserved->parent;
}

unsigned int KxNode::getNrOfChildren() const
{
    StructureLock lock(getStaticMutex());
    return static_cast<unsigned int>(nodeReserved->children.size());
}

kx::NodeAccess::Walk kx::NodeAccess::walk(const KxNode& node)
{
    const KxNode::Private& d = *node.nodeReserved;
    return {&d.matrix, d.children.data(), static_cast<unsigned int>(d.children.size()), d.visible, d.castShadows};
}

namespace
{
// A node block's flags, matrix and children: bytes 0 to 103, on two or three
// lines wherever the block starts; no line of them lacks one of these bytes.
void prefetchHotBytes(const void* nodeBlock)
{
    const char* block = static_cast<const char*>(nodeBlock);
    __builtin_prefetch(block);
    __builtin_prefetch(block + 64);
    __builtin_prefetch(block + 103);
}
}

void kx::NodeAccess::prefetch(const KxNode& node)
{
    static_assert(offsetof(KxNode::Private, children) + sizeof(std::vector<KxNode*>) <= 104, "hot bytes");
    prefetchKind(node);
    prefetchHotBytes(node.nodeReserved);
}

kx::NodeAccess::Lines kx::NodeAccess::lines(const KxNode& node)
{
    return {&node, kindAddress(node), node.nodeReserved, node.nodeReserved->children.data()};
}

void kx::NodeAccess::prefetch(const Lines& lines)
{
    __builtin_prefetch(lines.object);
    prefetchKindAt(lines.kind);
    prefetchHotBytes(lines.block);
    __builtin_prefetch(lines.children);
}

void kx::NodeAccess::prefetch(const KxMesh& mesh)
{
    __builtin_prefetch(mesh.meshReserved);
    __builtin_prefetch(reinterpret_cast<const char*>(mesh.meshReserved) + 64);
}

KxNode* KxNode::getChild(unsigned int index) const
{
    StructureLock lock(getStaticMutex());
    if (index >= nodeReserved->children.size())
    {
        KX_LOG(LEVEL_ERROR, "Child out of range");
        return nullptr;
    }
    return nodeReserved->children[index];
}

unsigned int KxNode::getGraphDepth() const
{
    NodeLock own(getMutex());
    StructureLock lock(getStaticMutex());
    unsigned int depth = 0;
    for (const KxNode* node = nodeReserved->parent; node; node = node->nodeReserved->parent)
        ++depth;
    return depth;
}

KxNode* KxNode::findByName(const std::string& name)
{
    StructureLock lock(getStaticMutex());
    if (getName() == name)
        return this;
    for (KxNode* child : nodeReserved->children)
        if (KxNode* hit = child->findByName(name))
            return hit;
    return nullptr;
}

bool KxNode::printTree(KxNode* node, unsigned int depth)
{
    if (!node)
        node = this;
    std::string indent(depth, ' ');
    KX_LOG(LEVEL_PLAIN, "%s+ %s [%d]", indent.c_str(), node->getName().c_str(), node->getId());
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        printTree(node->getChild(i), depth + 1);
    return true;
}

void KxNode::setMatrix(const glm::mat4& matrix)
{
    NodeLock own(getMutex());
    nodeReserved->matrix = matrix;
}

void KxNode::setMatrix(const glm::mat3& matrix)
{
    NodeLock own(getMutex());
    for (int column = 0; column < 3; ++column)
        for (int row = 0; row < 3; ++row)
            nodeReserved->matrix[column][row] = matrix[column][row];
}

const glm::mat4& KxNode::getMatrix() const
{
    return nodeReserved->matrix;
}

void KxNode::setIdentity()
{
    setMatrix(glm::mat4(1.0f));
}

glm::mat4 KxNode::getFinalMatrix(KxNode* stopNode) const
{
    NodeLock own(getMutex());
    StructureLock lock(getStaticMutex());
    glm::mat4 result = nodeReserved->matrix;
    for (const KxNode* node = nodeReserved->parent; node && node != stopNode; node = node->nodeReserved->parent)
    {
        NodeLock ancestor(node->getMutex());
        result = node->nodeReserved->matrix * result;
    }
    return result;
}

void KxNode::translate(float x, float y)
{
    translate(x, y, 0.0f);
}

void KxNode::translate(float x, float y, float z)
{
    NodeLock own(getMutex());
    nodeReserved->matrix = glm::translate(nodeReserved->matrix, glm::vec3(x, y, z));
}

void KxNode::translate(const glm::vec2& v)
{
    translate(v.x, v.y, 0.0f);
}

void KxNode::translate(const glm::vec3& v)
{
    translate(v.x, v.y, v.z);
}

void KxNode::setTranslation(float x, float y)
{
    setTranslation(x, y, 0.0f);
}

void KxNode::setTranslation(float x, float y, float z)
{
    NodeLock own(getMutex());
    nodeReserved->matrix[3] = glm::vec4(x, y, z, 1.0f);
}

void KxNode::setTranslation(const glm::vec2& v)
{
    setTranslation(v.x, v.y, 0.0f);
}

void KxNode::setTranslation(const glm::vec3& v)
{
    setTranslation(v.x, v.y, v.z);
}

void KxNode::rotateX(float degrees)
{
    NodeLock own(getMutex());
    nodeReserved->matrix = nodeReserved->matrix * rotation(degrees, glm::vec3(1, 0, 0));
}

void KxNode::rotateY(float degrees)
{
    NodeLock own(getMutex());
    nodeReserved->matrix = nodeReserved->matrix * rotation(degrees, glm::vec3(0, 1, 0));
}

void KxNode::rotateZ(float degrees)
{
    NodeLock own(getMutex());
    nodeReserved->matrix = nodeReserved->matrix * rotation(degrees, glm::vec3(0, 0, 1));
}

void KxNode::setRotationX(float degrees)
{
    setMatrix(rotation(degrees, glm::vec3(1, 0, 0)));
}

void KxNode::setRotationY(float degrees)
{
    setMatrix(rotation(degrees, glm::vec3(0, 1, 0)));
}

void KxNode::setRotationZ(float degrees)
{
    setMatrix(rotation(degrees, glm::vec3(0, 0, 1)));
}

void KxNode::setVisible(bool visible)
{
    nodeReserved->visible = visible;
}

bool KxNode::isVisible() const
{
    return nodeReserved->visible;
}

void KxNode::setCastShadows(bool castShadows)
{
    nodeReserved->castShadows = castShadows;
}

bool KxNode::isCastingShadows() const
{
    return nodeReserved->castShadows;
}

void KxNode::setTargetNode(KxNode* target)
{
    NodeLock own(getMutex());
    KxNode* old = nodeReserved->targetNode;
    if (old == target)
        return;
    kx::References::unlink(old, this);
    nodeReserved->targetNode = target;
    // A deleted target leaves the node (or light) without one.
    kx::References::link(target, this, [](KxObject* holder, KxObject*) {
        static_cast<KxNode*>(holder)->setTargetNode(nullptr);
    });
}

KxNode* KxNode::getTargetNode() const
{
    NodeLock own(getMutex());
    return nodeReserved->targetNode;
}

const std::string& KxNode::getTargetNodeName() const
{
    return nodeReserved->targetNodeName;
}

void* KxNode::getReserved() const
{
    return nodeReserved;
}

void* KxNode::operator new(std::size_t size)
{
    return KxObject::operator new(size);
}

void* KxNode::operator new[](std::size_t size)
{
    return KxObject::operator new[](size);
}

void KxNode::operator delete(void* pointer)
{
    KxObject::operator delete(pointer);
}

void KxNode::operator delete[](void* pointer)
{
    KxObject::operator delete[](pointer);
}

namespace
{
const char* const NO_REFERENCE = "[none]";
const size_t MAX_NAME_LENGTH = 255; // object names are refused from 256 characters on
const unsigned int MATRIX_BYTES = 64;
}

unsigned int KxNode::load(const unsigned char* data, unsigned int size, unsigned int* nrOfChildren)
{
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0;

    // Everything is checked before anything is applied, so a refused part
    // leaves the node as it was.
    const unsigned char* nameEnd = static_cast<const unsigned char*>(std::memchr(data, 0, size));
    if (!nameEnd)
        return KX_LOG(LEVEL_ERROR, "Node name not terminated"), 0;
    size_t nameLength = static_cast<size_t>(nameEnd - data);
    size_t position = nameLength + 1;
    if (size - position < MATRIX_BYTES + 4)
        return KX_LOG(LEVEL_ERROR, "Node part truncated"), 0;
    const unsigned char* matrixBytes = data + position;
    position += MATRIX_BYTES;
    uint32_t children = 0;
    std::memcpy(&children, data + position, 4);
    position += 4;
    const unsigned char* target = data + position;
    const unsigned char* targetEnd = static_cast<const unsigned char*>(std::memchr(target, 0, size - position));
    if (!targetEnd)
        return KX_LOG(LEVEL_ERROR, "Node target name not terminated"), 0;
    size_t targetLength = static_cast<size_t>(targetEnd - target);
    if (targetLength > MAX_NAME_LENGTH)
        return KX_LOG(LEVEL_ERROR, "Invalid object name"), 0;
    position += targetLength + 1;

    if (!setName(std::string(reinterpret_cast<const char*>(data), nameLength)))
        return 0;
    std::string targetName(reinterpret_cast<const char*>(target), targetLength);
    {
        NodeLock own(getMutex());
        std::memcpy(&nodeReserved->matrix, matrixBytes, MATRIX_BYTES);
        nodeReserved->targetNodeName = targetName == NO_REFERENCE ? std::string() : targetName;
    }
    if (nrOfChildren)
        *nrOfChildren = children;
    KX_LOG(LEVEL_DETAIL, "Node '%s' loaded (%u children)", getName().c_str(), children);
    return static_cast<unsigned int>(position);
}

unsigned char* KxNode::save(unsigned int& size)
{
    size = 0;
    std::string name = getName();
    KxNode* target = getTargetNode();
    std::string targetName = target ? target->getName() : std::string(NO_REFERENCE);
    // A zero inside a name would end it early and shift every field behind it.
    if (name.find('\0') != std::string::npos || targetName.find('\0') != std::string::npos)
        return KX_LOG(LEVEL_ERROR, "Invalid object name"), nullptr;

    size_t length = name.size() + 1 + MATRIX_BYTES + 4 + targetName.size() + 1;
    unsigned char* data = new (std::nothrow) unsigned char[length];
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Out of memory"), nullptr;
    unsigned char* out = data;
    std::memcpy(out, name.c_str(), name.size() + 1);
    out += name.size() + 1;
    {
        NodeLock own(getMutex());
        std::memcpy(out, &nodeReserved->matrix, MATRIX_BYTES);
    }
    out += MATRIX_BYTES;
    uint32_t children = getNrOfChildren();
    std::memcpy(out, &children, 4);
    out += 4;
    std::memcpy(out, targetName.c_str(), targetName.size() + 1);
    size = static_cast<unsigned int>(length);
    return data;
}
