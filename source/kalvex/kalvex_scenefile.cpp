// The KXO scene file: reader and writer. The classes read and write their
// own parts (load/save); this file walks the chunks around them.
#include "kalvex_internal.h"
#include "kalvex_scenefile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <unistd.h>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "scene files are parsed in place as little-endian data");

namespace
{
using namespace kx::scenefile;

const size_t STREAM_BUFFER_SIZE = 64 * 1024;

uint32_t readUint32(const unsigned char* data)
{
    uint32_t value = 0;
    std::memcpy(&value, data, 4);
    return value;
}

bool hasChunk(KxObject::Type type)
{
    return type == KxObject::TYPE_NODE || type == KxObject::TYPE_LIGHT || type == KxObject::TYPE_BONE ||
           type == KxObject::TYPE_MESH || type == KxObject::TYPE_SKINNED;
}

// Bytes of the zero-terminated string at offset, its zero included; 0 when
// the string does not end before size.
uint64_t stringSize(const unsigned char* data, uint64_t size, uint64_t offset)
{
    if (offset >= size)
        return 0;
    const void* end = std::memchr(data + offset, 0, static_cast<size_t>(size - offset));
    return end ? static_cast<uint64_t>(static_cast<const unsigned char*>(end) - (data + offset)) + 1 : 0;
}

// Bytes the mesh part claims by its own counts, or 0 when they do not fit in size.
uint64_t meshPartSize(const unsigned char* data, uint64_t size, uint32_t& nrOfVertices)
{
    if (size < MESH_COUNTS_SIZE)
        return 0;
    nrOfVertices = readUint32(data + 1);
    uint32_t nrOfFaces = readUint32(data + 5);
    uint64_t materialName = stringSize(data, size, MESH_COUNTS_SIZE);
    uint64_t length = MESH_COUNTS_SIZE + materialName + MESH_BOUNDS_SIZE;
    if (!materialName || length > size)
        return 0;
    if (data[length - 1] != 0)
        length += PHYSICS_PART_SIZE;
    length += VERTEX_SIZE * nrOfVertices + FACE_SIZE * nrOfFaces;
    return length <= size ? length : 0;
}

// The same for the skinned part; bones beyond what a skeleton holds are refused.
uint64_t skinnedPartSize(const unsigned char* data, uint64_t size, uint32_t nrOfVertices, bool& tooManyBones)
{
    tooManyBones = false;
    if (size < SKINNED_HEADER_SIZE)
        return 0;
    uint32_t nrOfBones = readUint32(data + 64);
    if (nrOfBones > KxSkinned::NROFSKELETONBONES)
    {
        tooManyBones = true;
        return 0;
    }
    uint64_t length = SKINNED_HEADER_SIZE;
    for (uint32_t bone = 0; bone < nrOfBones; ++bone)
    {
        uint64_t name = stringSize(data, size, length);
        if (!name)
            return 0;
        length += name + BONE_MATRIX_SIZE;
    }
    length += SKINNING_VERTEX_SIZE * nrOfVertices;
    return length <= size ? length : 0;
}

// A class reader returns 0 for a part it refused.
bool partLoaded(unsigned int consumed, unsigned int available)
{
    return consumed != 0 && consumed <= available;
}


// Reads the chunks of a file one after the other, each into memory of its
// own exact size (the whole file at once cost a fresh buffer as large as the
// file, faulted in page by page, on every load). A consistency error moves
// the position to the end, which ends the caller's loop over the top-level
// chunks.
class SceneReader
{
public:
    SceneReader(std::FILE* file, unsigned int length, const std::string& fileName)
        : file(file), length(length), name(fileName.c_str())
    {
    }

    bool atEnd() const
    {
        return position >= length;
    }

    // The chunk at the position with its subtree; null for chunks that are not
    // nodes (version, materials) and on failure.
    KxNode* readChunk(unsigned int depth)
    {
        if (depth > MAX_TREE_DEPTH)
            return fail(" (tree depth)");
        if (position > length || length - position < CHUNK_HEADER_SIZE)
            return fail("");
        unsigned char header[CHUNK_HEADER_SIZE];
        if (!readBytes(header, CHUNK_HEADER_SIZE))
            return nullptr;
        uint32_t id = readUint32(header);
        uint32_t size = readUint32(header + 4);
        if (size > length - position)
            return fail(" (chunk size)");
        KX_LOG(LEVEL_DETAIL, "Chunk id: %u, size: %u", id, size);
        // Exactly the chunk's size: the parsers must stay inside it.
        std::unique_ptr<unsigned char[]> chunk(new unsigned char[size ? size : 1]);
        if (!readBytes(chunk.get(), size))
            return nullptr;
        const unsigned char* payload = chunk.get();

        if (id == KxObject::TYPE_NONE)
            return readVersion(payload, size);
        if (id == KxObject::TYPE_MATERIAL)
            return readMaterial(payload, size);
        KxNode* node = createNode(id);
        if (!node)
        {
            KX_LOG(LEVEL_ERROR, "Unknown chunk ID in '%s'", name);
            return nullptr;
        }
        unsigned int nrOfChildren = 0;
        if (!readNode(node, id, payload, size, nrOfChildren))
            return nullptr; // readNode has said why and dropped the node
        // Bytes the parts left unread are skipped with the chunk.
        chunk.reset();
        return readChildren(node, nrOfChildren, depth);
    }

private:
    std::FILE* file;
    const unsigned int length;
    const char* name;
    unsigned int position = 0;

    // The next count bytes; a file that ends early (changed since its size
    // was taken) stops the reading.
    bool readBytes(unsigned char* out, uint32_t count)
    {
        if (count && std::fread(out, 1, count, file) != count)
        {
            KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name);
            position = length;
            return false;
        }
        position += count;
        return true;
    }

    KxNode* fail(const char* detail)
    {
        KX_LOG(LEVEL_ERROR, "Invalid file format consistency%s in '%s'", detail, name);
        position = length;
        return nullptr;
    }

    KxNode* readVersion(const unsigned char* payload, uint32_t size)
    {
        if (size < 4)
            return fail(" (chunk size)");
        uint32_t version = readUint32(payload);
        KX_LOG(LEVEL_DETAIL, "Version id: %u", version);
        if (version != Kalvex::KXO_VERSION)
            KX_LOG(LEVEL_ERROR, "Unsupported KXO format version");
        return nullptr;
    }

    KxNode* readMaterial(const unsigned char* payload, uint32_t size)
    {
        KxMaterial* material = new KxMaterial;
        if (!material->load(payload, size))
        {
            // Nothing was applied to it, and a half-named material must not
            // be found by later meshes.
            delete material;
            return fail("");
        }
        return nullptr;
    }

    static KxNode* createNode(uint32_t id)
    {
        switch (id)
        {
        case KxObject::TYPE_NODE:
            return new KxNode;
        case KxObject::TYPE_LIGHT:
            return new KxLight;
        case KxObject::TYPE_BONE:
            return new KxBone;
        case KxObject::TYPE_MESH:
            return new KxMesh;
        case KxObject::TYPE_SKINNED:
            return new KxSkinned;
        default:
            return nullptr;
        }
    }

    // Bytes the class part claims by its own counts, 0 when they do not fit
    // in what is left of the chunk, whatever the class's reader checks itself.
    static uint64_t expectedPartSize(uint32_t id, const unsigned char* part, unsigned int rest, bool& tooManyBones)
    {
        uint32_t nrOfVertices = 0;
        switch (id)
        {
        case KxObject::TYPE_LIGHT:
            return rest >= LIGHT_PART_SIZE ? LIGHT_PART_SIZE : 0;
        case KxObject::TYPE_BONE:
            return rest >= BONE_PART_SIZE ? BONE_PART_SIZE : 0;
        case KxObject::TYPE_MESH:
            return meshPartSize(part, rest, nrOfVertices);
        case KxObject::TYPE_SKINNED:
        {
            uint64_t meshSize = meshPartSize(part, rest, nrOfVertices);
            uint64_t skinnedSize =
                meshSize ? skinnedPartSize(part + meshSize, rest - meshSize, nrOfVertices, tooManyBones) : 0;
            return skinnedSize ? meshSize + skinnedSize : 0;
        }
        default:
            return 1;
        }
    }

    static bool loadPart(KxNode* node, uint32_t id, const unsigned char* part, unsigned int rest)
    {
        switch (id)
        {
        case KxObject::TYPE_LIGHT:
            return partLoaded(static_cast<KxLight*>(node)->load(part, rest), rest);
        case KxObject::TYPE_BONE:
            return partLoaded(static_cast<KxBone*>(node)->load(part, rest), rest);
        case KxObject::TYPE_MESH:
        case KxObject::TYPE_SKINNED:
            return partLoaded(static_cast<KxMesh*>(node)->load(part, rest), rest);
        default:
            return true;
        }
    }

    // The node part, then the class part; on failure the node is deleted.
    bool readNode(KxNode* node, uint32_t id, const unsigned char* payload, uint32_t size, unsigned int& nrOfChildren)
    {
        unsigned int consumed = node->KxNode::load(payload, size, &nrOfChildren);
        if (!consumed)
        {
            delete node;
            return fail(""), false;
        }
        const unsigned char* part = payload + consumed;
        const unsigned int rest = size - consumed;
        bool tooManyBones = false;
        if (!expectedPartSize(id, part, rest, tooManyBones))
        {
            delete node;
            if (!tooManyBones)
                return fail(" (chunk size)"), false;
            KX_LOG(LEVEL_ERROR, "Invalid file format consistency (more than %u bones) in '%s'",
                   KxSkinned::NROFSKELETONBONES, name);
            position = length;
            return false;
        }
        if (!loadPart(node, id, part, rest))
        {
            delete node;
            return fail(""), false;
        }
        return true;
    }

    KxNode* readChildren(KxNode* node, unsigned int nrOfChildren, unsigned int depth)
    {
        // Every child chunk takes at least its header.
        if (nrOfChildren > (length - position) / CHUNK_HEADER_SIZE)
        {
            delete node;
            return fail(" (children)");
        }
        for (unsigned int i = 0; i < nrOfChildren; ++i)
        {
            KxNode* child = readChunk(depth + 1);
            if (!child)
                return nullptr; // the partial subtree stays in the registry
            child->link(node);
        }
        return node;
    }
};

void initTargets(KxNode* root, KxNode* node)
{
    const std::string& targetName = node->getTargetNodeName();
    if (!targetName.empty())
    {
        KxNode* target = root->findByName(targetName);
        node->setTargetNode(target);
        if (!target)
            KX_LOG(LEVEL_ERROR, "Unable to find target node '%s'", targetName.c_str());
    }
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        if (KxNode* child = node->getChild(i))
            initTargets(root, child);
}

void initBones(KxNode* root, KxNode* node)
{
    if (node->getType() == KxObject::TYPE_SKINNED)
        static_cast<KxSkinned*>(node)->resetBones(root);
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        if (KxNode* child = node->getChild(i))
            initBones(root, child);
}


// Writes a scene to an open file. Every failure is logged once and stops it.
class SceneWriter
{
public:
    SceneWriter(std::FILE* file, const std::string& fileName) : file(file), fileName(fileName) {}

    bool write(KxNode* root)
    {
        if (!hasChunk(root->getType()))
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", root->getName().c_str());
        const uint32_t version[3] = {KxObject::TYPE_NONE, 4, Kalvex::KXO_VERSION};
        if (!writeBytes(version, sizeof(version)))
            return false;
        if (!collectMaterials(root, 0))
            return false;
        for (KxMaterial* material : materials)
        {
            unsigned int size = 0;
            std::unique_ptr<unsigned char[]> part(material->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save material '%s'", material->getName().c_str());
            if (!writeChunk(KxObject::TYPE_MATERIAL, {{part.get(), size}}))
                return false;
        }
        return writeNode(root, 0);
    }

private:
    struct Part
    {
        const unsigned char* data;
        unsigned int size;
    };

    std::FILE* file;
    const std::string& fileName;
    std::vector<KxMaterial*> materials;

    bool writeBytes(const void* data, size_t size)
    {
        if (size && std::fwrite(data, 1, size, file) != size)
            return KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", fileName.c_str());
        return true;
    }

    bool writeChunk(uint32_t id, std::initializer_list<Part> parts)
    {
        uint64_t size = 0;
        for (const Part& part : parts)
            size += part.size;
        if (size > UINT32_MAX)
            return KX_LOG(LEVEL_ERROR, "Chunk too large for file '%s'", fileName.c_str());
        const uint32_t header[2] = {id, static_cast<uint32_t>(size)};
        if (!writeBytes(header, sizeof(header)))
            return false;
        for (const Part& part : parts)
            if (!writeBytes(part.data, part.size))
                return false;
        return true;
    }

    // The children that get chunks: a node of a kind without one (camera,
    // box, quad...) is left out with its whole subtree, so every written
    // child count matches the chunks that follow.
    static std::vector<KxNode*> savedChildren(KxNode* node)
    {
        std::vector<KxNode*> children;
        for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        {
            KxNode* child = node->getChild(i);
            if (!child)
                continue;
            if (hasChunk(child->getType()))
                children.push_back(child);
            else
                KX_LOG(LEVEL_WARNING, "Node '%s' has no chunk kind: not saved, nor its subtree",
                       child->getName().c_str());
        }
        return children;
    }

    bool collectMaterials(KxNode* node, unsigned int depth)
    {
        if (depth > MAX_TREE_DEPTH)
            return KX_LOG(LEVEL_ERROR, "Scene tree too deep for file '%s'", fileName.c_str());
        if (node->getType() == KxObject::TYPE_MESH || node->getType() == KxObject::TYPE_SKINNED)
        {
            KxMaterial* material = static_cast<KxMesh*>(node)->getMaterial();
            if (material && std::find(materials.begin(), materials.end(), material) == materials.end())
                materials.push_back(material);
        }
        for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        {
            KxNode* child = node->getChild(i);
            if (child && hasChunk(child->getType()) && !collectMaterials(child, depth + 1))
                return false;
        }
        return true;
    }

    bool writeNode(KxNode* node, unsigned int depth)
    {
        if (depth > MAX_TREE_DEPTH)
            return KX_LOG(LEVEL_ERROR, "Scene tree too deep for file '%s'", fileName.c_str());
        const char* name = node->getName().c_str();
        KxObject::Type type = node->getType();
        std::vector<KxNode*> children = savedChildren(node);

        unsigned int nodeSize = 0;
        std::unique_ptr<unsigned char[]> nodePart(node->KxNode::save(nodeSize));
        if (!nodePart)
        {
            switch (type)
            {
            case KxObject::TYPE_LIGHT:
                return KX_LOG(LEVEL_ERROR, "Unable to save light '%s' node data", name);
            case KxObject::TYPE_BONE:
                return KX_LOG(LEVEL_ERROR, "Unable to save bone '%s' node data", name);
            case KxObject::TYPE_MESH:
            case KxObject::TYPE_SKINNED:
                return KX_LOG(LEVEL_ERROR, "Unable to save mesh '%s' node data", name);
            default:
                return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
            }
        }
        // The child count sits behind the name and the matrix.
        size_t countOffset = std::strlen(reinterpret_cast<const char*>(nodePart.get())) + 1 + 64;
        if (countOffset + 4 > nodeSize)
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
        uint32_t nrOfChildren = static_cast<uint32_t>(children.size());
        std::memcpy(nodePart.get() + countOffset, &nrOfChildren, 4);

        bool written = false;
        unsigned int size = 0, extraSize = 0;
        std::unique_ptr<unsigned char[]> part, extraPart;
        switch (type)
        {
        case KxObject::TYPE_NODE:
            written = writeChunk(type, {{nodePart.get(), nodeSize}});
            break;
        case KxObject::TYPE_LIGHT:
            part.reset(static_cast<KxLight*>(node)->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save light '%s'", name);
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}});
            break;
        case KxObject::TYPE_BONE:
            part.reset(static_cast<KxBone*>(node)->save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save bone '%s'", name);
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}});
            break;
        case KxObject::TYPE_MESH:
        case KxObject::TYPE_SKINNED:
            // The mesh part alone: a skinned mesh's own save writes only the skinned part.
            part.reset(static_cast<KxMesh*>(node)->KxMesh::save(size));
            if (!part)
                return KX_LOG(LEVEL_ERROR, "Unable to save mesh '%s'", name);
            if (type == KxObject::TYPE_SKINNED)
            {
                extraPart.reset(static_cast<KxSkinned*>(node)->save(extraSize));
                if (!extraPart)
                    return KX_LOG(LEVEL_ERROR, "Unable to save skinned mesh '%s'", name);
            }
            written = writeChunk(type, {{nodePart.get(), nodeSize}, {part.get(), size}, {extraPart.get(), extraSize}});
            break;
        default:
            return KX_LOG(LEVEL_ERROR, "Unable to save node '%s'", name);
        }
        if (!written)
            return false;
        for (KxNode* child : children)
            if (!writeNode(child, depth + 1))
                return false;
        return true;
    }
};
}

namespace kx
{
namespace scenefile
{
KxNode* load(const std::string& fileName)
{
    if (fileName.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params"), nullptr;
    if (!Kalvex::isInitialized())
        return KX_LOG(LEVEL_ERROR, "Not initialized"), nullptr;
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Decoding KXO file '%s'...", name);

    const char* why = nullptr;
    std::FILE* opened = kx::InputFile::open(name, why);
    if (!opened)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s' (%s)", name, why), nullptr;
    // Closed on every way out, before the buffer it reads through: larger than
    // stdio's own, which cost a system call per few small chunks.
    std::unique_ptr<char[]> streamBuffer(new (std::nothrow) char[STREAM_BUFFER_SIZE]);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(opened, std::fclose);
    if (streamBuffer)
        std::setvbuf(file.get(), streamBuffer.get(), _IOFBF, STREAM_BUFFER_SIZE);
    off_t fileSize = -1;
    if (fseeko(file.get(), 0, SEEK_END) == 0)
        fileSize = ftello(file.get());
    if (fileSize < 0 || fseeko(file.get(), 0, SEEK_SET) != 0)
        return KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name), nullptr;
    // Chunk positions are 32-bit.
    if (static_cast<uint64_t>(fileSize) > UINT32_MAX)
        return KX_LOG(LEVEL_ERROR, "File '%s' is too large", name), nullptr;
    unsigned int length = static_cast<unsigned int>(fileSize);

    // Objects newer than mark are this load's: a scene that needs more
    // identifiers than are left is refused and they go again.
    KxObject* mark = nullptr;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        mark = object;
    unsigned int refused = kx::refusedIds();
    KxNode* root = nullptr;
    try
    {
        kx::MaterialNames materialNames;
        SceneReader reader(file.get(), length, fileName);
        while (!reader.atEnd())
            root = reader.readChunk(0);
        file.reset();
        if (!root)
            return KX_LOG(LEVEL_ERROR, "Root not found in file '%s'", name), nullptr;
        initTargets(root, root);
        initBones(root, root);
        kx::buildPhysicsBodies(root);
        KxMesh::optimizeMemory();
    }
    catch (const std::bad_alloc&)
    {
        return KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name), nullptr;
    }
    catch (const std::exception& exception)
    {
        return KX_LOG(LEVEL_ERROR, "Unable to load file '%s' (%s)", name, exception.what()), nullptr;
    }
    if (kx::refusedIds() != refused)
    {
        // Owners delete what they own: always take the oldest one left.
        while (KxObject* object = mark ? mark->getNext() : nullptr)
            delete object;
        KxMesh::optimizeMemory();
        return KX_LOG(LEVEL_ERROR, "File '%s' names more objects than identifiers are left", name), nullptr;
    }
    KX_LOG(LEVEL_DETAIL, "File '%s' decoded", name);
    return root;
}

bool save(KxNode* root, const std::string& fileName)
{
    if (fileName.empty() || !root)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!Kalvex::isInitialized())
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Writing KXO file '%s'...", name);

    // The new file is written beside the old one and only renamed over it once
    // complete, so a failed save leaves the previous file as it was.
    kx::OutputFile output;
    const char* why = nullptr;
    std::FILE* file = output.open(fileName, why);
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s' (%s)", name, why);

    bool written = false;
    try
    {
        SceneWriter writer(file, fileName);
        written = writer.write(root);
    }
    catch (const std::bad_alloc&)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name);
    }
    catch (const std::exception& exception)
    {
        KX_LOG(LEVEL_ERROR, "Unable to save file '%s' (%s)", name, exception.what());
    }
    if (written && !output.commit())
        written = KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", name);
    if (!written)
        return false;
    KX_LOG(LEVEL_DETAIL, "File '%s' written", name);
    return true;
}
}
}
