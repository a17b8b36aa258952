// KxList: a scene graph flattened into entries with world matrices, turned
// every frame into GPU records and indirect draw commands, drawn in batches.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <new>
#include <vector>

#include "kalvex_resources.h"

namespace
{
// The record of one drawn mesh, as kx_list declares it (std430).
struct ListRecord
{
    uint32_t meshId;
    uint32_t materialId;
    uint32_t instanceOffset;
    uint32_t pad;
    glm::mat4 modelViewMatrix;
    glm::mat4 normalMatrix;
    glm::mat4 modelMatrix;
};
static_assert(sizeof(ListRecord) == KxList::SIZEOF_RECORD, "list record must match its std430 layout");
static_assert(offsetof(ListRecord, modelViewMatrix) == 16, "std430 offset");
static_assert(offsetof(ListRecord, materialId) == kx::listrecord::MATERIAL_ID &&
                  offsetof(ListRecord, normalMatrix) == kx::listrecord::NORMAL_MATRIX &&
                  offsetof(ListRecord, modelMatrix) == kx::listrecord::MODEL_MATRIX,
              "record fields read as instance attributes");

// GL's DrawElementsIndirectCommand.
struct DrawCommand
{
    uint32_t count;
    uint32_t instanceCount;
    uint32_t firstIndex;
    int32_t baseVertex;
    uint32_t baseInstance;

    // Field by field, with the base instance given: a whole copy of a command
    // just built from separate values would be read back from the stack as
    // one vector, stalling on the four stores it waits for.
    void store(unsigned char* out, uint32_t base) const
    {
        std::memcpy(out, &count, 4);
        std::memcpy(out + 4, &instanceCount, 4);
        std::memcpy(out + 8, &firstIndex, 4);
        std::memcpy(out + 12, &baseVertex, 4);
        std::memcpy(out + 16, &base, 4);
    }
};
static_assert(sizeof(DrawCommand) == KxList::SIZEOF_COMMAND, "indirect command layout");

// How each batch kind is drawn.
struct BatchKind
{
    int subtype;
    int flags;
    bool culling;
};
const BatchKind BATCHES[KxList::NR_OF_BATCHES] = {
    {KxMesh::KIND_TRIANGLES, KxPipeline::FLAGS_OPAQUE_BATCH, true},
    {KxMesh::KIND_TRIANGLES, KxPipeline::FLAGS_TRANSPARENT_BATCH, false},
    {KxMesh::KIND_NORMAL_MAPPED, KxPipeline::FLAGS_OPAQUE_BATCH, true},
    {KxMesh::KIND_NORMAL_MAPPED, KxPipeline::FLAGS_TRANSPARENT_BATCH, false},
    {0, 0, false}, // reserved, never filled
    // Instanced meshes are culled like opaque meshes: the shadow pass's
    // front-face culling must reach them too, or they shadow themselves.
    {0, KxPipeline::FLAGS_OPAQUE_BATCH, true},
};
const unsigned int RESERVED_KIND = 4;
const unsigned int INSTANCED_KIND = 5;

#if defined(__SSE__)
// glm::cross on the x, y, z lanes (w stays 0 for the columns of an affine matrix).
inline __m128 cross(__m128 a, __m128 b)
{
    const __m128 aYzx = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 0, 2, 1));
    const __m128 bZxy = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 1, 0, 2));
    const __m128 aZxy = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 1, 0, 2));
    const __m128 bYzx = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 0, 2, 1));
    return _mm_sub_ps(_mm_mul_ps(aYzx, bZxy), _mm_mul_ps(aZxy, bYzx));
}
#endif

// The transpose of the inverse of a world matrix, written to out (16 floats).
// Scene matrices are affine: the inverse-transpose of the 3 x 3 part (what
// normals need) and the inverse translation complete it, without a full 4 x 4
// inverse. Columns of the inverse-transpose are cross products of the columns
// over the determinant; the bottom row carries -A^-1 t.
void writeNormalMatrix(unsigned char* out, const glm::mat4& world)
{
    if (world[0][3] != 0.0f || world[1][3] != 0.0f || world[2][3] != 0.0f || world[3][3] != 1.0f)
    {
        glm::mat4 general = glm::transpose(glm::inverse(world));
        std::memcpy(out, &general[0][0], 64);
        return;
    }
#if defined(__SSE__)
    const __m128 a0 = _mm_loadu_ps(&world[0][0]), a1 = _mm_loadu_ps(&world[1][0]), a2 = _mm_loadu_ps(&world[2][0]);
    const __m128 t = _mm_loadu_ps(&world[3][0]);
    __m128 c0 = cross(a1, a2), c1 = cross(a2, a0), c2 = cross(a0, a1);
    // Sums in x, y, z order, as glm's dot.
    const __m128 p = _mm_mul_ps(a0, c0);
    const float det =
        _mm_cvtss_f32(p) + _mm_cvtss_f32(_mm_shuffle_ps(p, p, 1)) + _mm_cvtss_f32(_mm_shuffle_ps(p, p, 2));
    if (det != 0.0f)
    {
        const __m128 inv = _mm_set1_ps(1.0f / det);
        c0 = _mm_mul_ps(c0, inv);
        c1 = _mm_mul_ps(c1, inv);
        c2 = _mm_mul_ps(c2, inv);
        // Lane i of back is -dot(c_i, t): the columns transposed into rows,
        // scaled by t's x, y and z and summed, then transposed back with it.
        __m128 w = _mm_setzero_ps();
        _MM_TRANSPOSE4_PS(c0, c1, c2, w);
        __m128 back = _mm_add_ps(_mm_mul_ps(c0, _mm_shuffle_ps(t, t, 0x00)), _mm_mul_ps(c1, _mm_shuffle_ps(t, t, 0x55)));
        back = _mm_add_ps(back, _mm_mul_ps(c2, _mm_shuffle_ps(t, t, 0xaa)));
        back = _mm_xor_ps(back, _mm_set1_ps(-0.0f));
        _MM_TRANSPOSE4_PS(c0, c1, c2, back);
        float* column = reinterpret_cast<float*>(out);
        _mm_storeu_ps(column, c0);
        _mm_storeu_ps(column + 4, c1);
        _mm_storeu_ps(column + 8, c2);
        _mm_storeu_ps(column + 12, _mm_set_ps(1.0f, 0.0f, 0.0f, 0.0f));
        return;
    }
#else
    const glm::mat3 a(world);
    glm::mat3 it(glm::cross(a[1], a[2]), glm::cross(a[2], a[0]), glm::cross(a[0], a[1]));
    float det = glm::dot(a[0], it[0]);
    if (det != 0.0f)
    {
        it *= 1.0f / det;
        const glm::vec3 back = -(glm::transpose(it) * glm::vec3(world[3]));
        glm::mat4 result(glm::vec4(it[0], back.x), glm::vec4(it[1], back.y), glm::vec4(it[2], back.z),
                         glm::vec4(0.0f, 0.0f, 0.0f, 1.0f));
        std::memcpy(out, &result[0][0], 64);
        return;
    }
#endif
    glm::mat4 singular = glm::transpose(glm::inverse(world));
    std::memcpy(out, &singular[0][0], 64);
}

// Consecutive meshes mostly share their material: how it is batched (its
// transparency, the table slot it shows with, its maps' key) is worked out
// once per run of it.
struct MaterialRun
{
    const KxMaterial* material = nullptr;
    bool started = false;
    bool transparent = false;
    KxMaterial* shown = nullptr;
    uint32_t shownId = 0; // its table slot
    unsigned int key = 0;

    void follow(KxMaterial* next, KxMaterial* defaultMaterial, bool grouping)
    {
        if (started && next == material)
            return;
        started = true;
        material = next;
        transparent = next && (next->isTransparent() || next->isAlpha());
        // A material without a table slot shows as the default one rather
        // than indexing past the table.
        shown = nullptr;
        if (next && next->getListId() < KxMaterial::MAX_NUMBER)
            shown = next;
        else if (defaultMaterial && defaultMaterial->getListId() < KxMaterial::MAX_NUMBER)
            shown = defaultMaterial;
        shownId = shown ? shown->getListId() : 0;
        key = grouping ? kx::MaterialMaps::key(shown) : 0;
    }
};

struct ListState
{
    unsigned int currentPass = 0;
    unsigned int passCounter = 0;
};
ListState* listState = nullptr;
}

struct KxList::Private
{
    unsigned int capacity = 0;
    KxInstance* entries = nullptr;
    // Per entry, what update needs of its node, taken by the walk like the
    // world matrix (the list is the scene as the walk saw it): update reads
    // this array in order instead of each node's private blocks again.
    struct Hot
    {
        const KxNode* node; // whom it describes: entries can be set through getInstance too
        KxObject::Type type;
        int subtype;
        bool visible;
        bool castShadows;
        // Where the walk found this node's bytes: the next walk, which
        // mostly meets the same nodes in the same order, asks for them ahead.
        kx::NodeAccess::Lines lines;

        static Hot of(const KxNode* node, const kx::NodeAccess::Walk& walk)
        {
            kx::NodeAccess::Kind kind = kx::NodeAccess::kind(*node);
            return {node, kind.type, kind.subtype, walk.visible, walk.castShadows, kx::NodeAccess::lines(*node)};
        }
    };
    // How far ahead the walk asks for what the last walk found.
    static constexpr unsigned int WALK_AHEAD = 8;
    Hot* hot = nullptr;
    unsigned int nrOfInstances = 0;
    unsigned int nrOfLights = 0;
    unsigned int pass = 0;
    bool culling = false;
    KxCamera* cullingCamera = nullptr;
    unsigned int depth = 0; // of the walk, against MAX_DEPTH
    unsigned int redundancy = 0;
    GLsync fences[MAX_REDUNDANCY] = {};
    unsigned int counts[NR_OF_BATCHES] = {};
    uint64_t triangles[NR_OF_BATCHES] = {}; // of each batch, for the statistics
    KxBuffer* records[MAX_REDUNDANCY][NR_OF_BATCHES] = {};
    KxBuffer* commands[MAX_REDUNDANCY][NR_OF_BATCHES] = {};
    unsigned char* recordData[MAX_REDUNDANCY][NR_OF_BATCHES] = {};
    unsigned char* commandData[MAX_REDUNDANCY][NR_OF_BATCHES] = {};

    // Bound mode: the mesh kinds (0 to 3) are drawn one multi-draw per
    // material with maps (kx::MaterialMaps), so their records are written
    // grouped by material key, after the walk: a counting sort.
    static constexpr unsigned int GROUPED_KINDS = 4;
    static constexpr unsigned int NR_OF_KEYS = kx::MaterialMaps::NR_OF_KEYS;
    struct Pending
    {
        unsigned int entry;
        unsigned int kind;
        unsigned int key;
        uint32_t materialId;
        DrawCommand command;
    };
    struct Group
    {
        unsigned int first;
        unsigned int count;
        kx::MaterialMaps::Names maps;
        kx::MaterialMaps::Use use; // of maps

        // Draws first to first + count, of one material key (0: no maps).
        static Group of(unsigned int first, unsigned int count, const KxMaterial* keyed)
        {
            Group group = {first, count, {}, kx::MaterialMaps::USE_ALL};
            kx::MaterialMaps::namesOf(keyed, group.maps);
            group.use = kx::MaterialMaps::use(group.maps);
            return group;
        }
    };
    bool grouping = false; // this frame's batches are grouped
    // While a grouped kind has met one material key only, its draws are
    // written at once, in walk order, which is then the sorted order too.
    bool mixed[GROUPED_KINDS] = {};
    unsigned int firstKey[GROUPED_KINDS] = {};
    std::vector<Pending> pending;
    std::vector<unsigned int> keyNext;              // GROUPED_KINDS x NR_OF_KEYS
    std::vector<unsigned int> keyFirst;             // each group's first position, likewise
    std::vector<const KxMaterial*> keyMaterial;     // NR_OF_KEYS
    std::vector<Group> groups[GROUPED_KINDS];

    bool full() const { return nrOfInstances + nrOfLights >= capacity; }

    // One draw's record and indirect command, at position n of its batch.
    // Mesh draws name their record as baseInstance: the record's index among
    // those bound for their multi-draw (drawIndex), which equals the draw's
    // gl_DrawIDARB, so that vertex stages take it as instance attributes.
    void write(unsigned int slot, unsigned int kind, unsigned int n, unsigned int drawIndex, const glm::mat4& world,
               const glm::mat4& modelView, const DrawCommand& command, const uint32_t materialIds[2])
    {
        unsigned char* record = recordData[slot][kind] + static_cast<size_t>(n) * SIZEOF_RECORD;
        // meshId and the padding are left as they are.
        std::memcpy(record + offsetof(ListRecord, materialId), materialIds, 8);
        std::memcpy(record + offsetof(ListRecord, modelViewMatrix), &modelView[0][0], 64);
        writeNormalMatrix(record + offsetof(ListRecord, normalMatrix), world);
        std::memcpy(record + offsetof(ListRecord, modelMatrix), &world[0][0], 64);
        command.store(commandData[slot][kind] + static_cast<size_t>(n) * SIZEOF_COMMAND,
                      kind != INSTANCED_KIND ? drawIndex : command.baseInstance);
    }

    void writeGrouped(unsigned int slot, const glm::mat4& view);

    // What entry i draws in this pass: a batched mesh (drawn by itself or by
    // an instanced node), nothing, or a type the list does not know.
    struct Drawn
    {
        KxMesh* mesh = nullptr;
        KxInstanced* instanced = nullptr;
        int subtype = 0;
        bool unhandled = false;
    };
    Drawn drawnBy(unsigned int i) const
    {
        const Hot& node = hot[i];
        Drawn drawn;
        // The shadow-map pass draws only what casts shadows.
        if (!node.visible || (pass == 2 && !node.castShadows))
            return drawn;
        switch (node.type)
        {
        case TYPE_MESH:
            drawn.subtype = node.subtype;
            // Tessellated meshes are drawn one by one, as patches from their own buffers.
            if (drawn.subtype == KxMesh::KIND_TRIANGLES || drawn.subtype == KxMesh::KIND_NORMAL_MAPPED)
                drawn.mesh = static_cast<KxMesh*>(entries[i].getNode());
            return drawn;
        case TYPE_INSTANCED:
            drawn.instanced = static_cast<KxInstanced*>(entries[i].getNode());
            drawn.mesh = drawn.instanced->getMesh();
            if (!drawn.mesh || !drawn.instanced->isMemoryOptimized())
                return Drawn(); // nothing to draw yet
            drawn.subtype = drawn.mesh->getSubtype();
            return drawn;
        case TYPE_NODE:
        case TYPE_CAMERA:
        case TYPE_BONE:
        case TYPE_SKINNED: // skinned meshes draw themselves from their own buffers
        case TYPE_EMITTER: // emitters are handed to the pipeline, which draws them itself
            return drawn;
        default:
            drawn.unhandled = true;
            return drawn;
        }
    }

    // One draw into its batch: written now or, in grouped batches, once
    // every draw's material is known.
    void add(unsigned int slot, unsigned int entry, unsigned int kind, const glm::mat4& view,
             const DrawCommand& command, const uint32_t materialIds[2], const MaterialRun& run)
    {
        triangles[kind] += static_cast<uint64_t>(command.count / 3) * command.instanceCount;
        if (grouping && kind < GROUPED_KINDS)
        {
            keyMaterial[run.key] = run.shown;
            Pending& p = pending.emplace_back();
            p.entry = entry;
            p.kind = kind;
            p.key = run.key;
            p.materialId = materialIds[0];
            command.store(reinterpret_cast<unsigned char*>(&p.command), command.baseInstance);
            if (counts[kind] == 0)
                firstKey[kind] = run.key;
            mixed[kind] = mixed[kind] || run.key != firstKey[kind];
            if (mixed[kind])
                return;
        }
        const glm::mat4& world = entries[entry].getMatrix();
        unsigned int n = counts[kind]++;
        write(slot, kind, n, n, world, kx::multiply(view, world), command, materialIds);
    }

    // Lights go to the light class, each with its model-view matrix.
    void uploadLights(const glm::mat4& view)
    {
        const glm::mat3 identity(1.0f);
        for (unsigned int i = 0; i < nrOfLights; ++i)
        {
            KxInstance& entry = entries[capacity - i - 1];
            glm::mat4 modelView = kx::multiply(view, entry.getMatrix());
            KxDrawRecord record = {&modelView, &identity, &entry.getMatrix()};
            entry.getNode()->render(&record);
        }
    }

    // Empties the batches of this frame's slot, once the GPU is done with it.
    unsigned int beginBatches()
    {
        std::fill(std::begin(counts), std::end(counts), 0u);
        std::fill(std::begin(triangles), std::end(triangles), uint64_t{0});
        std::fill(std::begin(mixed), std::end(mixed), false);
        if (fences[redundancy])
        {
            KxOpenGL::waitForFence(fences[redundancy]);
            fences[redundancy] = nullptr;
        }
        return redundancy;
    }

    // Asks for the objects of later entries, then their meshes' blocks.
    void prefetch(unsigned int i) const
    {
        if (i + 8 < nrOfInstances)
            __builtin_prefetch(entries[i + 8].getNode());
        if (i + 4 < nrOfInstances && hot[i + 4].type == TYPE_MESH && hot[i + 4].node == entries[i + 4].getNode())
            kx::NodeAccess::prefetch(*static_cast<const KxMesh*>(entries[i + 4].getNode()));
    }

    // Whether entry i holds a node, its description brought up to date when
    // the entry was set through getInstance rather than by the walk.
    bool describe(unsigned int i)
    {
        const KxNode* node = entries[i].getNode();
        if (hot[i].node == node)
            return node != nullptr;
        if (!node)
            return false;
        hot[i] = Hot::of(node, kx::NodeAccess::walk(*node));
        return true;
    }

    // A grouped batch: each group's records seen from list[0] (gl_DrawIDARB
    // restarts with every multi-draw), its material's maps bound.
    bool renderGroups(unsigned int slot, unsigned int kind)
    {
        bool drawn = true;
        for (const Group& group : groups[kind])
        {
            kx::GlContext::bindBufferRange(GL_SHADER_STORAGE_BUFFER, kx::binding::LIST, records[slot][kind]->getHandle(),
                                           static_cast<GLintptr>(group.first) * SIZEOF_RECORD,
                                           static_cast<GLsizeiptr>(group.count) * SIZEOF_RECORD);
            KxStats::inc(KxStats::BUFFER_RENDER);
            kx::MaterialMaps::bind(group.maps);
            drawn = kx::renderMeshBatch(group.first, group.count, commands[slot][kind], TYPE_MESH, BATCHES[kind].subtype,
                                        BATCHES[kind].flags, group.use) &&
                    drawn;
        }
        if (drawn)
            KxStats::add(KxStats::TRIANGLE, triangles[kind]);
        return drawn;
    }

    bool allocateKind(unsigned int kind);

    void releaseKind(unsigned int kind)
    {
        for (unsigned int slot = 0; slot < MAX_REDUNDANCY; ++slot)
        {
            for (KxBuffer** buffer : {&records[slot][kind], &commands[slot][kind]})
            {
                if (*buffer && listState)
                    (*buffer)->unmap();
                delete *buffer;
                *buffer = nullptr;
            }
            recordData[slot][kind] = nullptr;
            commandData[slot][kind] = nullptr;
        }
    }

    // GL is only touched while the class (and so the context) exists.
    void release()
    {
        for (unsigned int slot = 0; slot < MAX_REDUNDANCY; ++slot)
        {
            if (fences[slot] && listState)
                glDeleteSync(fences[slot]);
            fences[slot] = nullptr;
        }
        for (unsigned int kind = 0; kind < NR_OF_BATCHES; ++kind)
            releaseKind(kind);
        delete[] entries;
        entries = nullptr;
        delete[] hot;
        hot = nullptr;
        pending = std::vector<Pending>();
        keyNext = std::vector<unsigned int>();
        keyFirst = std::vector<unsigned int>();
        keyMaterial = std::vector<const KxMaterial*>();
        for (std::vector<Group>& kindGroups : groups)
            kindGroups = std::vector<Group>();
        capacity = 0;
        nrOfInstances = nrOfLights = 0;
    }

    // parent: the world matrix of the node's parent, null at the top. It
    // is the parent's entry's own: nothing is copied down a chain.
    bool passNode(KxNode* node, const glm::mat4* parent)
    {
        if (!node)
            return KX_LOG(LEVEL_ERROR, "Invalid params");
        if (full())
            return KX_LOG(LEVEL_ERROR, "List full (max %u instance(s))", capacity);
        const kx::NodeAccess::Walk walk = kx::NodeAccess::walk(*node);
        const Hot described = Hot::of(node, walk);
        bool light = described.type == KxObject::TYPE_LIGHT;
        unsigned int index = light ? capacity - nrOfLights - 1 : nrOfInstances;
        // Chains cannot be fetched ahead from their links: each child is
        // known only once its parent is read. The last walk's order can.
        if (!light && index + WALK_AHEAD < capacity)
            kx::NodeAccess::prefetch(hot[index + WALK_AHEAD].lines);
        KxInstance& entry = entries[index];
        entry.setNode(node);
        entry.setMatrix(parent ? kx::multiply(*parent, *walk.matrix) : *walk.matrix);
        hot[index] = described;
        if (light)
            ++nrOfLights;
        else
            ++nrOfInstances;
        if (described.type == KxObject::TYPE_BONE)
            static_cast<KxBone*>(node)->updateSkeleton(&entry.getMatrix());

        if (walk.nrOfChildren == 0)
            return true;
        if (depth >= MAX_DEPTH)
        {
            KX_LOG(LEVEL_ERROR, "Stack overflow");
            return KX_LOG(LEVEL_ERROR, "Stack corrupted (max depth: %u)", MAX_DEPTH);
        }
        ++depth;
        bool passed = true;
        for (unsigned int i = 0; i < walk.nrOfChildren; ++i)
        {
            // Scene nodes live in separate blocks: fetch the objects of
            // later siblings, then their blocks, while this one is walked.
            if (i + 8 < walk.nrOfChildren)
                __builtin_prefetch(walk.children[i + 8]);
            if (i + 4 < walk.nrOfChildren)
                kx::NodeAccess::prefetch(*walk.children[i + 4]);
            if (passNode(walk.children[i], &entry.getMatrix()))
                continue;
            passed = false;
            // A full list refuses every further node: no point asking each.
            if (full())
                break;
        }
        --depth;
        return passed;
    }
};

bool KxList::init()
{
    if (listState)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    listState = new ListState;
    return true;
}

bool KxList::free()
{
    if (!listState)
        return KX_LOG(LEVEL_DETAIL, "Redundant free"), false;
    delete listState;
    listState = nullptr;
    return true;
}

unsigned int KxList::getCurrentPass()
{
    return listState ? listState->currentPass : 0;
}

unsigned int KxList::getCurrentPassId()
{
    return listState ? listState->passCounter : 0;
}

KxList::KxList() : listReserved(new Private)
{
    setType(TYPE_LIST);
    char name[32];
    std::snprintf(name, sizeof(name), "[List%d]", getId());
    setName(name);
}

KxList::~KxList()
{
    listReserved->release();
    delete listReserved;
}

bool KxList::create(unsigned int capacity)
{
    Private& d = *listReserved;
    if (d.entries)
        return KX_LOG(LEVEL_ERROR, "List already created");
    if (capacity == 0 || capacity > std::numeric_limits<unsigned int>::max() / SIZEOF_RECORD)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!listState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    d.entries = new (std::nothrow) KxInstance[capacity];
    d.hot = new (std::nothrow) Private::Hot[capacity]();
    if (!d.entries || !d.hot)
    {
        d.release();
        return KX_LOG(LEVEL_ERROR, "Out of memory");
    }
    d.capacity = capacity;
    if (!kx::GlContext::capabilities().bindlessTextures)
    {
        // Reserved here: the list never allocates while it draws.
        try
        {
            d.pending.reserve(capacity);
            d.keyNext.assign(Private::GROUPED_KINDS * Private::NR_OF_KEYS, 0u);
            d.keyFirst.assign(Private::GROUPED_KINDS * Private::NR_OF_KEYS, 0u);
            d.keyMaterial.assign(Private::NR_OF_KEYS, nullptr);
            for (std::vector<Private::Group>& groups : d.groups)
                groups.reserve(std::min(capacity, Private::NR_OF_KEYS));
        }
        catch (const std::exception&)
        {
            d.release();
            return KX_LOG(LEVEL_ERROR, "Out of memory");
        }
    }

    // The GPU buffers of a batch kind are made when the kind is first filled:
    // most scenes use one or two of the six kinds.
    return true;
}

bool KxList::Private::allocateKind(unsigned int kind)
{
    // Written in place every frame: persistently and coherently mapped.
    bool mapped = true;
    for (unsigned int slot = 0; slot < MAX_REDUNDANCY && mapped; ++slot)
    {
        records[slot][kind] = new KxBuffer;
        commands[slot][kind] = new KxBuffer;
        records[slot][kind]->create(KxBuffer::TYPE_STORAGE_PERSISTENT_WRITE, capacity * SIZEOF_RECORD, nullptr);
        commands[slot][kind]->create(KxBuffer::TYPE_STORAGE_PERSISTENT_WRITE, capacity * SIZEOF_COMMAND, nullptr);
        recordData[slot][kind] = static_cast<unsigned char*>(records[slot][kind]->map(1));
        commandData[slot][kind] = static_cast<unsigned char*>(commands[slot][kind]->map(1));
        mapped = recordData[slot][kind] && commandData[slot][kind];
    }
    kx::GlContext::bindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
    if (mapped)
        return true;
    releaseKind(kind);
    return KX_LOG(LEVEL_ERROR, "Unable to map the list's buffers");
}

void KxList::reset()
{
    Private& d = *listReserved;
    d.nrOfInstances = 0;
    d.nrOfLights = 0;
    d.depth = 0;
}

bool KxList::pass(KxNode* root)
{
    // The scene-graph links are guarded by the registry's mutex: taken once
    // for the whole walk instead of once per child lookup.
    std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getStaticMutex()));
    return listReserved->passNode(root, nullptr);
}

bool KxList::setPass(unsigned int pass)
{
    if (pass > 3)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    listReserved->pass = pass;
    return true;
}

unsigned int KxList::getPass() const
{
    return listReserved->pass;
}

void KxList::setCulling(bool culling)
{
    listReserved->culling = culling;
}

bool KxList::isCulling() const
{
    return listReserved->culling;
}

void KxList::setCullingCamera(KxCamera* camera)
{
    listReserved->cullingCamera = camera;
}

KxCamera* KxList::getCullingCamera() const
{
    return listReserved->cullingCamera;
}

unsigned int KxList::getCapacity() const
{
    return listReserved->capacity;
}

unsigned int KxList::getNrOfInstances() const
{
    return listReserved->nrOfInstances;
}

unsigned int KxList::getNrOfLights() const
{
    return listReserved->nrOfLights;
}

KxInstance& KxList::getInstance(unsigned int index)
{
    static KxInstance none;
    Private& d = *listReserved;
    if (index >= d.capacity)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        none = KxInstance();
        return none;
    }
    return d.entries[index];
}

KxNode* KxList::getLightPtr(unsigned int index)
{
    Private& d = *listReserved;
    if (index >= d.nrOfLights)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), nullptr;
    return d.entries[d.capacity - index - 1].getNode();
}

glm::mat4& KxList::getLightMatrix(unsigned int index)
{
    static glm::mat4 none;
    Private& d = *listReserved;
    if (index >= d.nrOfLights)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        none = glm::mat4(1.0f);
        return none;
    }
    return d.entries[d.capacity - index - 1].getMatrix();
}

unsigned int KxList::getBatchCount(unsigned int kind) const
{
    return kind < NR_OF_BATCHES ? listReserved->counts[kind] : 0;
}

unsigned int KxList::getRedundancyIndex() const
{
    return listReserved->redundancy;
}

float KxList::sphereInFrustum(const KxFrustum* frustum, const glm::vec3& centre, float radius)
{
    if (!frustum)
        return KX_LOG(LEVEL_ERROR, "Invalid params"), 0.0f;
    // The planes are normalised: the plane equation is the signed distance.
    float distance = 0.0f;
    for (const glm::vec4& plane : frustum->planes)
    {
        distance = glm::dot(glm::vec3(plane), centre) + plane.w;
        if (distance <= -radius)
            return 0.0f;
    }
    return distance + radius;
}

bool KxList::update(const glm::mat4& view)
{
    if (!listState)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    Private& d = *listReserved;
    listState->passCounter++;
    listState->currentPass = d.pass;

    // Nothing stale may be assumed from before this list's draws.
    KxMaterial::update();
    KxShader::resetCache();
    KxMaterial::resetCache();
    KxLight::resetCache();
    KxMesh::resetCache();

    if (KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal())
        global->nrOfLights = d.nrOfLights;
    KxOpenGL::syncGlobal();

    if (d.pass == 0 || d.pass == 3)
        d.uploadLights(view);
    if (d.pass > 2 || !d.entries)
        return true;

    unsigned int slot = d.beginBatches();
    KxCamera* camera = KxCamera::getCurrent();
    const KxFrustum* frustum = camera ? camera->getFrustum() : nullptr;
    bool cull = d.culling && d.pass == 0 && frustum;
    KxMaterial* defaultMaterial = KxMaterial::getDefault();
    d.grouping = kx::MaterialMaps::isActive() && !d.keyNext.empty();
    d.pending.clear();

    MaterialRun run;
    for (unsigned int i = 0; i < d.nrOfInstances; ++i)
    {
        d.prefetch(i);
        KxInstance& entry = d.entries[i];
        if (!d.describe(i))
            continue;
        const Private::Drawn drawn = d.drawnBy(i);
        if (drawn.unhandled)
        {
            KX_LOG(LEVEL_ERROR, "Unhandled renderable type %d", static_cast<int>(d.hot[i].type));
            continue;
        }
        KxMesh* mesh = drawn.mesh;
        KxInstanced* instanced = drawn.instanced;
        int subtype = drawn.subtype;
        if (!mesh)
            continue;
        const kx::NodeAccess::MeshDraw draw = kx::NodeAccess::draw(*mesh);
        if (!draw.resident)
        {
            KX_LOG(LEVEL_ERROR, "Not resident mesh passed in the list");
            continue;
        }
        const glm::mat4& world = entry.getMatrix();
        if (cull && !instanced)
        {
            // The centre seen from the camera: the view times the world translation.
            glm::vec3 centre = glm::vec3(view * world[3]);
            if (sphereInFrustum(frustum, centre, draw.radius) == 0.0f)
                continue;
        }

        run.follow(draw.material ? draw.material : defaultMaterial, defaultMaterial, d.grouping);
        unsigned int kind = (subtype == KxMesh::KIND_TRIANGLES ? 0 : 2) + (run.transparent ? 1 : 0);
        if (instanced)
            kind = INSTANCED_KIND;
        uint32_t materialIds[2] = {run.shownId, instanced ? instanced->getFirstInstance() : 0};
        if (!d.recordData[slot][kind] && !d.allocateKind(kind))
            continue;
        unsigned int copies = instanced ? instanced->getNrOfInstances() : 1;
        DrawCommand command = {draw.nrOfFaces * 3, copies, draw.firstFace * 3, static_cast<int32_t>(draw.firstVertex), 0};
        d.add(slot, i, kind, view, command, materialIds, run);
    }
    if (d.grouping)
        d.writeGrouped(slot, view);
    return true;
}

void KxList::Private::writeGrouped(unsigned int slot, const glm::mat4& view)
{
    // A kind of one key was written during the walk: one group.
    for (unsigned int kind = 0; kind < GROUPED_KINDS; ++kind)
    {
        groups[kind].clear();
        if (mixed[kind] || counts[kind] == 0)
            continue;
        groups[kind].push_back(Group::of(0, counts[kind], firstKey[kind] ? keyMaterial[firstKey[kind]] : nullptr));
    }
    if (std::none_of(std::begin(mixed), std::end(mixed), [](bool m) { return m; }))
        return;

    // The other kinds are sorted by key: a counting sort over their draws.
    std::fill(keyNext.begin(), keyNext.end(), 0u);
    for (const Pending& p : pending)
        keyNext[p.kind * NR_OF_KEYS + p.key]++;
    // Each kind's groups in key order; keyNext becomes each group's next position.
    for (unsigned int kind = 0; kind < GROUPED_KINDS; ++kind)
    {
        if (!mixed[kind])
            continue;
        unsigned int first = 0;
        for (unsigned int key = 0; key < NR_OF_KEYS; ++key)
        {
            unsigned int& next = keyNext[kind * NR_OF_KEYS + key];
            if (!next)
                continue;
            groups[kind].push_back(Group::of(first, next, key ? keyMaterial[key] : nullptr));
            keyFirst[kind * NR_OF_KEYS + key] = first;
            first += next;
            next = keyFirst[kind * NR_OF_KEYS + key];
        }
        counts[kind] = first;
    }
    const uint32_t noInstances = 0;
    for (const Pending& p : pending)
    {
        if (!mixed[p.kind])
            continue;
        const glm::mat4& world = entries[p.entry].getMatrix();
        uint32_t materialIds[2] = {p.materialId, noInstances};
        unsigned int key = p.kind * NR_OF_KEYS + p.key;
        unsigned int n = keyNext[key]++;
        write(slot, p.kind, n, n - keyFirst[key], world, kx::multiply(view, world), p.command, materialIds);
    }
}

bool KxList::renderByType(int what, bool fence)
{
    Private& d = *listReserved;
    if (!d.entries)
        return KX_LOG(LEVEL_ERROR, "List not created");
    static const unsigned int OPAQUE[] = {0, 2, 5};
    static const unsigned int TRANSPARENT[] = {1, 3};
    static const unsigned int ALL[] = {0, 1, 2, 3, 4, 5};
    const unsigned int* kinds = nullptr;
    unsigned int nrOfKinds = 0;
    unsigned int single = 0;
    switch (what)
    {
    case 7:
        kinds = OPAQUE;
        nrOfKinds = 3;
        break;
    case 8:
        kinds = TRANSPARENT;
        nrOfKinds = 2;
        break;
    case 9:
        kinds = ALL;
        nrOfKinds = 6;
        break;
    default:
        if (what < 0 || what >= static_cast<int>(NR_OF_BATCHES))
            return KX_LOG(LEVEL_ERROR, "Invalid params");
        single = static_cast<unsigned int>(what);
        kinds = &single;
        nrOfKinds = 1;
        break;
    }

    unsigned int slot = d.redundancy;
    bool drawn = true;
    for (unsigned int i = 0; i < nrOfKinds; ++i)
    {
        unsigned int kind = kinds[i];
        if (d.counts[kind] == 0 || kind == RESERVED_KIND)
            continue;
        KxOpenGL::culling(BATCHES[kind].culling);
        if (d.grouping && kind < Private::GROUPED_KINDS)
        {
            drawn = d.renderGroups(slot, kind) && drawn;
            continue;
        }
        d.records[slot][kind]->render(reinterpret_cast<void*>(uintptr_t{kx::binding::LIST}));
        bool batchDrawn = kind == INSTANCED_KIND
                              ? KxInstanced::renderBatch(d.counts[kind], d.commands[slot][kind], TYPE_INSTANCED,
                                                         BATCHES[kind].subtype, BATCHES[kind].flags)
                              : KxMesh::renderBatch(d.counts[kind], d.commands[slot][kind], TYPE_MESH,
                                                    BATCHES[kind].subtype, BATCHES[kind].flags);
        if (batchDrawn)
            KxStats::add(KxStats::TRIANGLE, d.triangles[kind]);
        drawn = batchDrawn && drawn;
    }
    if (fence)
    {
        if (d.fences[slot])
            glDeleteSync(d.fences[slot]);
        d.fences[slot] = static_cast<GLsync>(KxOpenGL::putFence());
        d.redundancy = (slot + 1) % MAX_REDUNDANCY;
    }
    return drawn;
}

bool KxList::render(void* data)
{
    const glm::mat4* view = static_cast<const glm::mat4*>(data);
    if (!view)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!update(*view))
        return false;
    return renderByType(9, true);
}
