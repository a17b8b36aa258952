// Engine-internal helpers shared between the library's classes. Not installed;
// what is exported here is exported for the engine's own tests.
#ifndef KALVEX_INTERNAL_H
#define KALVEX_INTERNAL_H

#include "kalvex.h"
#include "kalvex_bindings.h"

#include <GL/glew.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace kx
{
// Builds the bodies of every mesh under root that carries physics properties,
// once the tree is linked, so that each body starts where its node is.
void buildPhysicsBodies(KxNode* root);

// Locks an engine object's own mutex (KxObject::getMutex hands out a block whose
// first member is a std::recursive_mutex).
inline std::recursive_mutex& objectMutex(void* block)
{
    return *static_cast<std::recursive_mutex*>(block);
}

// What the render list's walk reads of a node, without the per-call
// structure lock: the list holds the registry's lock for the whole walk.
struct NodeAccess
{
    struct Walk
    {
        const glm::mat4* matrix;
        KxNode* const* children;
        unsigned int nrOfChildren;
        bool visible;
        bool castShadows;
    };
    static Walk walk(const KxNode& node);
    // An object's type and subtype in one read.
    struct Kind
    {
        KxObject::Type type;
        int subtype;
    };
    static Kind kind(const KxObject& object);
    // Asks for what walk and kind will read of a node whose object is
    // already cached: siblings are fetched ahead while the walk works.
    static void prefetch(const KxNode& node);
    static void prefetchKind(const KxObject& object);
    // Where those bytes lie, noted by one walk so that the next can ask for
    // them ahead of time: only asked for, never read, so an address that
    // has since been freed is harmless.
    struct Lines
    {
        const void* object;
        const void* kind;
        const void* block;
        const void* children;
    };
    static Lines lines(const KxNode& node);
    static void prefetch(const Lines& lines);
    static const void* kindAddress(const KxObject& object);
    static void prefetchKindAt(const void* kind); // kind: a kindAddress
    // The same for what the list's update reads of a mesh.
    static void prefetch(const KxMesh& mesh);

    // What one draw of a merged mesh needs, in one read (a pending merge is
    // done first, as the mesh's own getters do).
    struct MeshDraw
    {
        bool resident;
        unsigned int nrOfFaces;
        unsigned int firstFace;
        unsigned int firstVertex;
        float radius;
        KxMaterial* material;
    };
    static MeshDraw draw(const KxMesh& mesh);
};

// a * b for the affine and projective matrices of the render list, four
// columns at a time; the same operations in the same order as glm's product,
// so the results are identical.
inline glm::mat4 multiply(const glm::mat4& a, const glm::mat4& b)
{
#if defined(__SSE__)
    const __m128 a0 = _mm_loadu_ps(&a[0][0]), a1 = _mm_loadu_ps(&a[1][0]);
    const __m128 a2 = _mm_loadu_ps(&a[2][0]), a3 = _mm_loadu_ps(&a[3][0]);
    glm::mat4 r;
    // Each column of b loaded once and its lanes spread in registers; written
    // out four times, as the compiler does not unroll the loop at -O2 and
    // its counter costs a quarter of the product.
    auto product = [&](int c) {
        const __m128 column = _mm_loadu_ps(&b[c][0]);
        __m128 sum = _mm_mul_ps(a0, _mm_shuffle_ps(column, column, 0x00));
        sum = _mm_add_ps(sum, _mm_mul_ps(a1, _mm_shuffle_ps(column, column, 0x55)));
        sum = _mm_add_ps(sum, _mm_mul_ps(a2, _mm_shuffle_ps(column, column, 0xaa)));
        sum = _mm_add_ps(sum, _mm_mul_ps(a3, _mm_shuffle_ps(column, column, 0xff)));
        _mm_storeu_ps(&r[c][0], sum);
    };
    product(0);
    product(1);
    product(2);
    product(3);
    return r;
#else
    return a * b;
#endif
}

// How shaders reach textures that are referenced from uniform blocks (the
// material maps). With GL_ARB_bindless_texture the handle is the texture's
// resident bindless handle. Without it ("bound mode") every such texture takes
// a slot in a pool of texture units above the eight sampler units; its handle is
// slot + 1 (0 means "no texture"), and the pool is bound with one
// glBindTextures before material draws. Shaders sample through KX_TEXTURE(),
// which resolves either form; see KxShader::getHeader().
class KX_API TexturePool
{
public:
    static const unsigned int FIRST_UNIT = kx::unit::TEXTURE_POOL_FIRST;

    // Called by KxTexture::init / free.
    static void init();
    static void free();
    // Number of pool units: 0 in bindless mode, else min(GL_MAX_TEXTURE_IMAGE_UNITS,
    // 32) - FIRST_UNIT, read from the current context (shaders are compiled with
    // it before the pool itself is started).
    static unsigned int getSize();
    // The handle to store for a texture; in bound mode takes a slot (counted
    // per texture: each acquire needs one release). A full pool falls back to
    // the default texture with one warning naming the texture.
    static uint64_t acquire(KxTexture* texture);
    static void release(KxTexture* texture);
    // Binds every pool slot to its unit (bound mode); nothing in bindless mode.
    static void bind();
};

// Bound mode: the maps of the material being drawn on fixed units
// (unit::MATERIAL_MAPS_FIRST on), which the lit mesh stages read with constant
// indices instead of switching over the pool per pixel. Single draws bind
// their material's maps (KxMaterial::render); the render list draws one
// multi-draw per material with maps. Nothing happens in bindless mode.
class KX_API MaterialMaps
{
public:
    using Names = GLuint[unit::MATERIAL_MAP_COUNT];
    // The GL names for a material's maps: the default texture where a slot
    // is empty or has no storage, all default for null.
    static void namesOf(const KxMaterial* material, Names& names);
    static void bind(const Names& names);
    static void bind(const KxMaterial* material);
    // Materials whose maps are all the default texture share key 0 (drawn
    // together); any other material with a table slot has key listId + 1.
    static const unsigned int NR_OF_KEYS = KxMaterial::MAX_NUMBER + 1;
    static unsigned int key(const KxMaterial* material);
    // Whether lit mesh programs read the maps the earlier way, through the
    // pool per pixel (for comparisons); programs built afterwards follow it.
    static void setFromPool(bool fromPool);
    static bool isFromPool();
    // Whether draws are split by material: bound mode, maps not from the pool.
    static bool isActive();

    // What the lit mesh stage reads of a material's maps (albedo, roughness,
    // metalness; the others belong to other stages): all that may be there,
    // the albedo map alone, or none. The lit mesh program has a variant for
    // the last two.
    enum Use : unsigned int
    {
        USE_ALL,
        USE_ALBEDO_ONLY,
        USE_NONE,
        NR_OF_USES
    };
    static Use use(const Names& names);
};

// Byte offsets in a render-list record (kx_list's ListInstanceStruct) of the
// fields that batches also read as instance attributes.
namespace listrecord
{
constexpr unsigned int MATERIAL_ID = 4;
constexpr unsigned int NORMAL_MATRIX = 80;
constexpr unsigned int MODEL_MATRIX = 144;
}

// KxMesh::renderBatch from command first on: count commands of buffer in
// one multi-draw (gl_DrawIDARB counts from 0, so the caller binds the
// matching records). The records bound at the list's storage binding are
// also the instance attributes of the draws. maps: what the drawn materials
// need of their maps, so that the program's variant for that may draw them.
KX_API bool renderMeshBatch(unsigned int first, unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype,
                            int flags, MaterialMaps::Use maps);

// Bound mode: a lit program may have variants that read fewer maps (a
// software rasteriser samples every map in the code on every pixel),
// registered by the pipeline that built them. The list draws its material
// groups with them while the pipeline's table names the program itself; a
// program the table no longer names (a client's own, say) is drawn as it is.
void setMapVariant(const KxShader* program, MaterialMaps::Use maps, KxShader* variant); // null: none
KxShader* mapVariantOf(const KxShader* program, MaterialMaps::Use maps);
// Off: every batch is drawn with the table's program (for comparisons).
KX_API void setMapVariantsEnabled(bool enabled);

// Who refers to whom, so that deleting an object clears every reference to it
// instead of leaving a dangling pointer for the next frame or save. A holder
// links each object it points at (once per target, whatever the number of its
// slots that name it) with the function that clears its slots; the deletion
// of the target calls that function with the dying object, the deletion of
// the holder drops its links. Costs are per link, not per scene.
class KX_API References
{
public:
    using Clear = void (*)(KxObject* holder, KxObject* gone);
    static void link(KxObject* target, KxObject* holder, Clear clear);
    static void unlink(KxObject* target, KxObject* holder);
    // Called by the base destructor of every object.
    static void forget(KxObject* dying);
    static void init();
    static void free();
};

// While one lives, mesh parts that name a material remember what the name
// found (the first material of that name among the objects): a scene file's
// meshes name the same few materials, and each look-up walked every object
// made before them. A deleted material is forgotten.
class MaterialNames
{
public:
    MaterialNames();
    ~MaterialNames();
    MaterialNames(const MaterialNames&) = delete;
    MaterialNames& operator=(const MaterialNames&) = delete;
    static void forget(KxMaterial* material);

private:
    bool owner = false;
};

// How many identifier requests found all identifiers taken, since start.
KX_API unsigned int refusedIds();

// Files from outside. Only regular files are opened (a named pipe would block
// and a device may never end); a failure leaves a short reason ("no such
// file", "symbolic link loop", "not a regular file", ...) in why.
class InputFile
{
public:
    static FILE* open(const char* path, const char*& why);
    // The whole file, refused when larger than maxSize bytes.
    static bool read(const char* path, std::vector<unsigned char>& bytes, uint64_t maxSize, const char*& why);
    static const char* describe(int error);
};

// Replaces a file atomically and safely: see kalvex_outputfile.cpp.
class OutputFile
{
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The stream to write the new content to; null (with a reason) on failure.
    FILE* open(const std::string& path, const char*& why);
    // Completes the replacement; false leaves the old file as it was.
    bool commit();
    // Drops the new content.
    void abandon();

private:
    std::string target;
    std::string temporary;
    FILE* file = nullptr;
};
}

#endif // KALVEX_INTERNAL_H
