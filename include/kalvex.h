// Kalvex 3D Graphics Engine: the public interface.
//
// Every exported class of the library is declared here. Classes keep their data
// in private heap blocks behind one pointer per class level, so that the layouts
// seen by clients never change when the engine's internals do.
//
// Threading: every engine call is made from the thread that called Kalvex::init,
// which owns the OpenGL context.
#ifndef KALVEX_H
#define KALVEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/quaternion.hpp>

#if defined(KALVEX_BUILDING_LIBRARY)
#define KX_API [[gnu::visibility("default")]]
#else
#define KX_API
#endif

// Logs through KxLog with the caller's location filled in.
#define KX_LOG(level, ...) KxLog::log(KxLog::level, __FILE__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

class Kalvex;
class KxConfig;
class KxObject;
class KxNode;

//////////////////////////////////////////////////////////////////////////////
// Log: one line per message, to "kalvex.log" in the working directory and to
// standard output, or to a sink of the client's. Levels above the verbosity
// (LEVEL_PLAIN unless set) are formatted but not written.
class KX_API KxLog
{
public:
    enum Level : int32_t
    {
        LEVEL_ERROR = 1,
        LEVEL_WARNING = 2,
        LEVEL_PLAIN = 3,
        LEVEL_DETAIL = 4,
        LEVEL_DEBUG = 5,
        LEVEL_DEBUG_FRAME = 6,
    };

    static constexpr unsigned int MAX_LENGTH = 4096;

    // printf-style. Returns false for LEVEL_ERROR, true otherwise, so a failing
    // operation can end with "return KX_LOG(LEVEL_ERROR, ...)".
    static bool log(Level level, const char* file, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // A client's receiver of log lines: the level and the whole line as it
    // would be written (prefix included, no newline).
    using Sink = void (*)(Level level, const char* line, void* userData);
    // Routes every line written from now on to sink instead of the log file
    // and standard output; null routes them back there.
    static void setSink(Sink sink, void* userData = nullptr);
    // Lines of this level and below are written; LEVEL_PLAIN by default.
    static void setVerbosity(Level level);
    static Level getVerbosity();

private:
    KxLog() = delete;
    static void init();
    static void free();
};

//////////////////////////////////////////////////////////////////////////////
// Identifier allocator: 65536 identifiers, lowest free first.
class KX_API KxIdGenerator
{
public:
    static constexpr int MAX_ID = 65536;

    static void init();
    static void free();
    static int getId();
    static bool releaseId(int id);

private:
    KxIdGenerator() = delete;
};

namespace kx
{
struct NodeAccess; // the render list's unlocked walk (engine-internal)
}

//////////////////////////////////////////////////////////////////////////////
// Base of every engine object: identifier, type, subtype, name and membership
// in the engine-wide registry of live objects.
class KX_API alignas(16) KxObject
{
public:
    enum Type : int32_t
    {
        TYPE_NONE = 0,
        TYPE_NODE = 1,
        TYPE_LIST = 4,
        TYPE_BUFFER = 5,
        TYPE_SHADER = 6,
        TYPE_TEXTURE = 7,
        TYPE_FILTER = 8,
        TYPE_MATERIAL = 9,
        TYPE_FBO = 10,
        TYPE_QUAD = 11,
        TYPE_BOX = 12,
        TYPE_SKYBOX = 13,
        TYPE_FONT = 14,
        TYPE_CAMERA = 15,
        TYPE_LIGHT = 16,
        TYPE_BONE = 17,
        TYPE_MESH = 18,
        TYPE_SKINNED = 19,
        TYPE_INSTANCED = 20,
        TYPE_PIPELINE = 21,
        TYPE_EMITTER = 22,
        TYPE_ANIM = 23,
        TYPE_PHYSICS = 24,
    };

    KxObject();
    virtual ~KxObject();
    KxObject(const KxObject&) = delete;
    KxObject& operator=(const KxObject&) = delete;

    // Drawables override this; the argument's meaning is the overriding class's.
    virtual bool render(void* data);

    int getId() const;
    Type getType() const;
    void setSubtype(int subtype);
    int getSubtype() const;
    void setLastUpdate(unsigned int frame);
    unsigned int getLastUpdate() const;

    // Names longer than 255 characters are refused and the old name kept.
    bool setName(const std::string& name);
    const std::string& getName() const;

    KxObject* getPrev() const;
    KxObject* getNext() const;

    static KxObject* getFirst();
    static int getNrOf(Type type);
    static KxObject* findByName(const std::string& name);
    // Deletes every live object, oldest first. False when the count does not
    // come back to zero.
    static bool cleanUp();

    // Engine objects hold 16-byte aligned vector and matrix members.
    static void* operator new(std::size_t size);
    static void* operator new[](std::size_t size);
    static void operator delete(void* pointer);
    static void operator delete[](void* pointer);

protected:
    void setType(Type type);
    void* getReserved() const;
    void* getMutex() const;
    static void* getStaticMutex();

private:
    friend class Kalvex;
    friend struct kx::NodeAccess;
    static void init();
    static void free();

    struct Private;
    Private* reserved;
};

//////////////////////////////////////////////////////////////////////////////
// Scene graph node: local transform, parent, ordered children, visibility,
// shadow casting and an optional target node. Nodes do not own their children.
class KX_API KxNode : public KxObject
{
public:
    KxNode();
    ~KxNode() override;

    bool link(KxNode* parent);
    bool unlink();
    KxNode* getParent() const;
    unsigned int getNrOfChildren() const;
    KxNode* getChild(unsigned int index) const;
    unsigned int getGraphDepth() const;
    // Depth-first search of this subtree, this node first.
    KxNode* findByName(const std::string& name);
    // Logs the subtree of node (of this node when null), one line per node.
    bool printTree(KxNode* node = nullptr, unsigned int depth = 0);

    void setMatrix(const glm::mat4& matrix);
    // Replaces the upper-left 3x3 block only.
    void setMatrix(const glm::mat3& matrix);
    const glm::mat4& getMatrix() const;
    void setIdentity();
    // Product of local matrices from the top down to this node, stopping below
    // stopNode (the world matrix when stopNode is null).
    glm::mat4 getFinalMatrix(KxNode* stopNode = nullptr) const;

    void translate(float x, float y);
    void translate(float x, float y, float z);
    void translate(const glm::vec2& v);
    void translate(const glm::vec3& v);
    void setTranslation(float x, float y);
    void setTranslation(float x, float y, float z);
    void setTranslation(const glm::vec2& v);
    void setTranslation(const glm::vec3& v);
    // Angles in degrees. rotate* multiplies the local matrix; setRotation*
    // replaces it with a pure rotation.
    void rotateX(float degrees);
    void rotateY(float degrees);
    void rotateZ(float degrees);
    void setRotationX(float degrees);
    void setRotationY(float degrees);
    void setRotationZ(float degrees);

    void setVisible(bool visible);
    bool isVisible() const;
    void setCastShadows(bool castShadows);
    bool isCastingShadows() const;
    void setTargetNode(KxNode* target);
    KxNode* getTargetNode() const;
    const std::string& getTargetNodeName() const;

    // The node part of a scene-file chunk. load reads at most size bytes and
    // returns the bytes consumed (0 when the part is malformed), with the child
    // count in nrOfChildren; save returns a new[] block and its size.
    unsigned int load(const unsigned char* data, unsigned int size, unsigned int* nrOfChildren);
    unsigned char* save(unsigned int& size);

    static void* operator new(std::size_t size);
    static void* operator new[](std::size_t size);
    static void operator delete(void* pointer);
    static void operator delete[](void* pointer);

protected:
    void* getReserved() const;

private:
    friend struct kx::NodeAccess;
    struct Private;
    Private* nodeReserved;
};

//////////////////////////////////////////////////////////////////////////////
// High-resolution timer: a monotonic nanosecond counter.
class KX_API KxTimer
{
public:
    static void init();
    static void free();
    static uint64_t getCounter();
    static uint64_t getFrequency();
    // Milliseconds from start to end, in whole microseconds.
    static double getCounterDiff(uint64_t start, uint64_t end);
    static uint64_t getRdtsc();

private:
    KxTimer() = delete;
};

//////////////////////////////////////////////////////////////////////////////
// Per-frame statistics: 21 atomic counters.
class KX_API KxStats
{
public:
    enum Counter : int
    {
        SHADER_BIND = 0,
        SHADER_CACHED = 1,
        CAMERA_RENDER = 2,
        MATERIAL_BIND = 3,
        MATERIAL_CACHED = 4,
        DRAW_CALL = 5, // every draw submitted (a multi-draw counts once)
        TEXTURE_BIND = 6,
        TRIANGLE = 7, // triangles submitted
        BUFFER_RENDER = 8,
        FBO_BIND = 9,
        FBO_CACHED = 10,
        BONE_RENDER = 11,
        MESH_RENDER = 12,
        SKINNED_RENDER = 13,
        INSTANCED_RENDER = 14,
        LIGHT_RENDER = 15,
        BOX_RENDER = 16,
        FILTER_RENDER = 17,
        SKYBOX_RENDER = 18,
        EMITTER_RENDER = 19,
        PHYSICS_RENDER = 20,
    };
    static constexpr int NR_OF_COUNTERS = 21;

    static void init();
    static void free();
    static void reset();
    static bool inc(int index);
    static bool add(int index, uint64_t amount);
    // All bits set for an index out of range.
    static uint64_t get(int index);

private:
    KxStats() = delete;
};

//////////////////////////////////////////////////////////////////////////////
// Start-up settings handed to Kalvex::init, optionally read from an XML file.
class KX_API KxConfig
{
public:
    KxConfig();
    ~KxConfig();
    KxConfig(const KxConfig& other);
    KxConfig& operator=(const KxConfig& other);

    void setWindowTitle(const std::string& title);
    const std::string& getWindowTitle() const;
    void setWindowSizeX(int sizeX);
    int getWindowSizeX() const;
    void setWindowSizeY(int sizeY);
    int getWindowSizeY() const;
    void setShadowMapSize(int size);
    int getShadowMapSize() const;
    void setDisplay(int displayId);
    int getDisplay() const;
    void setFullscreen(bool fullscreen);
    bool isFullscreen() const;
    void setNrOfAASamples(int samples);
    int getNrOfAASamples() const;
    void setPhysWorldScale(float scale);
    float getPhysWorldScale() const;
    int getColorDepth() const;
    int getZetaDepth() const;
    int getStencilDepth() const;

    // Quality settings. Anisotropy of material textures, 1 to 16 (clamped to
    // the driver's limit at start); shadow filter taps, 1, 4 or 20.
    void setAnisotropy(int anisotropy);
    int getAnisotropy() const;
    void setShadowFilter(int taps);
    int getShadowFilter() const;

    // Which quality preset the engine applies at start: PRESET_AUTO picks the
    // software one on a software rasteriser. A preset changes only settings
    // that were not given explicitly (by a setter or the file).
    enum Preset : int
    {
        PRESET_AUTO = 0,
        PRESET_DEFAULT = 1,
        PRESET_SOFTWARE = 2,
    };
    void setPreset(int preset);
    int getPreset() const;
    // Applies the software preset's cheaper values (4-tap shadows,
    // anisotropy 1, 512 shadow maps) to the settings not given explicitly.
    void applySoftwarePreset();

    // Reads the settings found in an XML file whose top element is "kalvex".
    bool load(const std::string& fileName);

private:
    struct Private;
    Private* reserved;
};

class KxBuffer;
class KxShader;
class KxTexture;
class KxFbo;
class KxCamera;
class KxMaterial;
class KxPipeline;
class KxLight;
class KxList;
class KxFilter;
class KxSkybox;
class KxQuad;

// The argument of a drawable's render: pointers to the matrices it is drawn
// with. Screen quads, boxes and sky boxes read only the first.
struct KxDrawRecord
{
    const glm::mat4* modelViewMatrix;
    const glm::mat3* normalMatrix;
    const glm::mat4* modelMatrix;
};

//////////////////////////////////////////////////////////////////////////////
// One shader stage or one linked program. Sources go through the engine's
// preprocessor: "@include name;" pastes a registered text, "@name@" a
// registered constant. Uniforms are addressed by slot number.
class KX_API KxShader : public KxObject
{
public:
    enum Kind : int
    {
        KIND_UNDEFINED = 0,
        KIND_VERTEX = 1,
        KIND_TESS_CONTROL = 2,
        KIND_TESS_EVALUATION = 3,
        KIND_GEOMETRY = 4,
        KIND_FRAGMENT = 5,
        KIND_COMPUTE = 6,
        KIND_PROGRAM = 7,
        KIND_LAST = 8,
    };

    // Uniform slots, resolved once when a program is built.
    enum Slot : unsigned int
    {
        NORMAL_MATRIX = 1,
        MODEL_MATRIX = 2,
        VIEW_MATRIX = 3,
        MODELVIEW_MATRIX = 4,
        MODELVIEWPROJ_MATRIX = 5,
        INVERSE_PROJECTION_MATRIX = 6,
        TEXTURE_SAMPLER0 = 7, // ... TEXTURE_SAMPLER0 + 7
        CHAR_SIZE_X = 15,
        CHAR_SIZE_Y = 16,
        GAMMA = 17,
        MESH_ID = 18,
        NEAR_PLANE = 19,
        FAR_PLANE = 20,
        MATERIAL_ID = 21,
        LIGHT_ID = 22,
        LIGHT_POSITION = 23,
        LIGHT_DIRECTION = 24,
        LIGHT_AMBIENT = 25,
        LIGHT_DIFFUSE = 26,
        LIGHT_SPECULAR = 27,
        LIGHT_RADIUS = 28,
        TESS_LEVEL_INNER = 29,
        TESS_LEVEL_OUTER = 30,
        REAL_QUAT_ARRAY = 32,
        DUAL_QUAT_ARRAY = 33,
        SHADOW_OFFSET = 35,
        SHADOW_MAP_MATRIX_ARRAY = 36,
        SHADOW_SOFTNESS = 37,
        SHADOW_BIAS = 38,
        LAYER = 39,
        FILTER_KERNEL = 40,
        FILTER_THRESHOLD = 41,
        FILTER_OFFSET = 42,
        FILTER_BIAS = 43,
        FILTER_RADIUS = 44,
        FILTER_POWER = 45,
        BLOOM_INTENSITY = 46,
        TONE_MAPPING_TECHNIQUE = 47,
        NR_OF_STEPS = 48,
        SCATTERING = 49,
        EMITTER_GRAVITY = 50,
        EMITTER_SPEED = 51,
        EMITTER_PARTICLE_SIZE = 52,
        GENERIC0 = 53, // ... GENERIC0 + 9
        NR_OF_SLOTS = 63,
    };

    static constexpr unsigned int MAXLOGSIZE = 1024;

    KxShader();
    ~KxShader() override;

    static void init();
    static void free();
    // Registers a text under a name for "@include name;" and "@name@". The
    // first registration of a name wins. A null text removes the entry.
    static bool setHashmap(const char* name, const char* text);
    static char* getHashmap(const char* name);
    // The text every source is compiled behind: the GLSL version and the macros
    // of the texture-addressing mode (bindless handles or bound units); the
    // stage macro follows it. getHeader() is the active mode's.
    static const char* getHeader();
    static std::string getHeader(bool bindless);

    bool loadFromMemory(int kind, const char* text);
    bool loadFromFile(int kind, const std::string& path);
    bool compile();
    // Links this object as a program from the given stages (null: absent).
    bool build(KxShader* vertex, KxShader* geometry, KxShader* fragment, KxShader* compute = nullptr,
               KxShader* tessControl = nullptr, KxShader* tessEvaluation = nullptr);
    bool isCompiled() const;
    uint32_t getHash() const;
    // The preprocessed source, null when none is stored.
    const char* getSource() const;
    unsigned int getHandle() const;

    // Binds the program (a no-op when it is current already).
    bool render(void* data = nullptr) override;
    static KxShader* getCurrent();
    static void resetCache();

    int getParamLocation(const char* name);
    int getAttribLocation(const char* name);
    bool setAttribLocation(const char* name, int location);
    bool bindParam(unsigned int slot, const char* name, unsigned int buffer);
    bool dispatchCompute(unsigned int x, unsigned int y, unsigned int z);
    bool waitFor();

    bool setParamInt(unsigned int slot, int value);
    bool setParamDWord(unsigned int slot, unsigned int value);
    // A texture handle: bindless where available, else ignored (bound units).
    bool setParamQWord(unsigned int slot, uint64_t value);
    bool setParamFloat(unsigned int slot, float value);
    bool setParamFloatArray(unsigned int slot, unsigned int count, const float* values);
    bool setParamVector3(unsigned int slot, float x, float y, float z);
    bool setParamVector3(unsigned int slot, const glm::vec3& value);
    bool setParamVector4(unsigned int slot, float x, float y, float z, float w);
    bool setParamVector4(unsigned int slot, const glm::vec4& value);
    bool setParamVector2Array(unsigned int slot, unsigned int count, const glm::vec2* values);
    bool setParamVector3Array(unsigned int slot, unsigned int count, const glm::vec3* values);
    bool setParamQuaternionArray(unsigned int slot, unsigned int count, const glm::quat* values);
    bool setParamMatrix3(unsigned int slot, const glm::mat3& value);
    bool setParamMatrix4(unsigned int slot, const glm::mat4& value);
    bool setParamMatrix4Array(unsigned int slot, unsigned int count, const glm::mat4* values);

private:
    struct Private;
    Private* shaderReserved;
};

//////////////////////////////////////////////////////////////////////////////
// One OpenGL buffer object of a kind chosen by a type code.
class KX_API KxBuffer : public KxObject
{
public:
    enum BufferType : unsigned int
    {
        TYPE_UNIFORM = 1,
        TYPE_STORAGE_WRITE = 2,
        TYPE_STORAGE_PERSISTENT_READ_WRITE = 3,
        TYPE_STORAGE_PERSISTENT_WRITE = 4,
        TYPE_STORAGE_PERSISTENT = 5,
        TYPE_VERTEX = 6,
        TYPE_INDEX = 7,
    };

    KxBuffer();
    ~KxBuffer() override;

    bool create(unsigned int type, unsigned int size, const void* data);
    // The buffer must be bound to its target first (render).
    bool upload(const void* data, unsigned int offset, unsigned int size);
    // access 0 reads, 1 writes.
    void* map(unsigned int access);
    bool unmap();
    // Uniform and storage buffers: the argument is the binding index.
    bool render(void* index = nullptr) override;
    bool waitFor();
    unsigned int getHandle() const;
    unsigned int getSize() const;

private:
    struct Private;
    Private* bufferReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Engine-wide OpenGL state: cached switches, clear colour, fences and the
// global uniform block every built-in shader reads through "kx_global".
class KX_API KxOpenGL
{
public:
    // The uniform block GlobalData, std140, uploaded unchanged (240 bytes).
    struct kxGlobal
    {
        glm::mat4 projMatrix;
        glm::mat4 viewMatrix;    // the camera's world matrix
        glm::mat4 invViewMatrix; // world to eye
        float viewportSizeX;
        float viewportSizeY;
        uint32_t nrOfLights;
        float alphaThreshold;
        uint64_t shadowMap;
        uint64_t _pad0;
        glm::vec3 ambient;
        uint32_t _pad1;
    };
    static constexpr unsigned int SIZEOF_GLOBAL = 240;

    static void init();
    static void free();

    static void setBackgroundColor(const glm::vec4& color);
    static void setBackgroundColor(float r, float g, float b, float a);
    static void setBackgroundColor(const glm::vec3& color);
    static void setBackgroundColor(float r, float g, float b);
    static const glm::vec4& getBackgroundColor();
    static void clear(bool color, bool depth, bool stencil);

    static void depthTest(bool on);
    static void culling(bool on);
    static void blending(bool on);
    static bool isDepthTest();
    static bool isCulling();
    static bool isBlending();
    static void wireframe(bool on);
    static bool isWireframe();
    // Forgets every cached binding and switch of the engine (program, vertex
    // array, framebuffer, textures, buffers, depth, blending, culling, colour
    // mask, polygon mode, viewport), unbinding program, vertex array and
    // framebuffer. Call it after GL calls of your own, before the engine draws.
    static void resetCache();

    // 0 GL_BACK, 1 GL_NONE, 2 GL_BACK_LEFT, 3 GL_BACK_RIGHT.
    static bool setDrawBuffer(int code);
    static int getDrawBuffer();

    static void setAlphaThreshold(float threshold);
    static float getAlphaThreshold();
    static kxGlobal* getGlobal();
    static KxBuffer* getGlobalUbo();
    static bool syncGlobal();

    static int getNrOfBinFormats();
    static int* getBinFormatPtr();

    static void wait();
    static void waitFlush();
    static void waitFinish();
    static void* putFence();
    // Deletes the fence in every case.
    static bool waitForFence(void* fence);

private:
    KxOpenGL() = delete;
};

//////////////////////////////////////////////////////////////////////////////
// Image file contents in system memory: DDS decoded by the engine, other
// formats through stb_image. Rows are stored bottom-up, as OpenGL expects.
class KX_API KxBitmap
{
public:
    KxBitmap();
    ~KxBitmap();
    KxBitmap(const KxBitmap&) = delete;
    KxBitmap& operator=(const KxBitmap&) = delete;

    bool load(const std::string& path);
    // An image file held in memory, in any format but DDS; name stands for the
    // file in messages.
    bool loadFromMemory(const unsigned char* bytes, size_t size, const std::string& name);
    int getNrOfLevels() const;
    int getNrOfSides() const;
    // Components per pixel.
    int getDepth() const;
    // Components for plain images, the GL compressed format otherwise.
    int getType() const;
    int getNrOfBytes(int level) const;
    int getSizeX(int level) const;
    int getSizeY(int level) const;
    bool isLoaded() const;
    bool isCubemap() const;
    bool isCompressed() const;
    std::string getFilename() const;
    unsigned char* getData(int level, int side = 0) const;

private:
    // Textures of one image share its decoded pixels instead of copying them.
    friend class KxTexture;
    void share(const KxBitmap& other);

    struct Private;
    Private* reserved;
};

//////////////////////////////////////////////////////////////////////////////
// An OpenGL texture. Shaders address textures by bindless handles where the
// driver has them; elsewhere the engine binds them to texture units.
class KX_API KxTexture : public KxObject
{
public:
    static constexpr int MAX_ANISOTROPY = 16;
    static constexpr int MAX_LEVELS = 8;

    KxTexture();
    ~KxTexture() override;

    static void init();
    static void free();
    // A white 1 x 1 texture: what empty material slots sample.
    static KxTexture* getDefault();

    // An empty texture of a kind (1 to 19, 22, 23). filter: 0 default,
    // 1 nearest, 2 linear; wrap: 1 repeat, otherwise clamp to edge.
    bool create(int kind, unsigned int sizeX, unsigned int sizeY, unsigned int sizeZ, int filter = 0, int wrap = 0);
    // From an image file. filter 1: nearest, otherwise trilinear and
    // anisotropic; wrap 2: clamp to edge, otherwise repeat.
    bool load(const std::string& path, int filter = 0, int wrap = 0);
    // The same from an image file held in memory (any format but DDS); the
    // texture takes name as its own.
    bool loadFromMemory(const unsigned char* bytes, size_t size, const std::string& name, int filter = 0,
                        int wrap = 0);
    // Wraps a GL texture the engine does not own.
    bool createFromHandle(unsigned int glName);
    // Level 0 from tightly packed bytes; a cube map takes its six faces one
    // after the other (+X, -X, +Y, -Y, +Z, -Z).
    bool write(const unsigned char* data);
    bool writeRaw(const void* data);
    // Level 0 of a float RGBA texture, in a new[] array the caller deletes.
    bool getRawDataToSysMem(void** data);
    bool bindImage(unsigned int unit, bool layered);

    unsigned int getSizeX() const;
    unsigned int getSizeY() const;
    unsigned int getSizeZ() const;
    int getNrOfComponents() const;
    unsigned int getHandle() const;
    // The resident bindless handle (0 where bindless textures are missing).
    uint64_t getBindlessHandle() const;
    KxBitmap* getBitmap() const;

    // Binds the texture for the current program's textureSampler<unit>.
    bool render(void* unit) override;

private:
    // Uploads what the bitmap holds; path names it.
    bool uploadBitmap(const std::string& path, int filter, int wrap);
    struct Private;
    Private* textureReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A framebuffer object with up to eight colour attachments and one depth or
// stencil attachment.
class KX_API KxFbo : public KxObject
{
public:
    static constexpr unsigned int MAX_ATTACHMENTS = 8;

    enum Operation : unsigned int
    {
        OP_DEPTH_RENDERBUFFER = 0,
        OP_DEPTH_RENDERBUFFER_MULTISAMPLE = 1,
        OP_DEPTH_STENCIL_RENDERBUFFER = 2,
        OP_COLOR_TEXTURE = 3,
        OP_COLOR_TEXTURE_MULTISAMPLE = 4,
        OP_DEPTH_TEXTURE = 5,
        OP_DEPTH_TEXTURE_MULTISAMPLE = 6,
        OP_COLOR_TEXTURE_3D_LAYER = 7,
        OP_COLOR_TEXTURE_LAYER = 8,
        OP_DEPTH_TEXTURE_LAYER = 9,
        OP_COLOR_TEXTURE_LAYERED = 10,
        OP_DEPTH_TEXTURE_LAYERED = 11,
    };

    KxFbo();
    ~KxFbo() override;

    bool bindTexture(unsigned int slot, unsigned int operation, KxTexture* texture, int n = 0, int layer = 0);
    bool bindRenderBuffer(unsigned int slot, unsigned int operation, unsigned int sizeX, unsigned int sizeY);
    bool isOk();
    // Binds the framebuffer, its draw buffers and viewport (cached).
    bool render(void* data = nullptr) override;
    static KxFbo* getCurrent();
    // Binds the window's framebuffer and forgets the cached one.
    static void resetCache();
    KxTexture* getTexture(unsigned int slot) const;
    unsigned int getSizeX() const;
    unsigned int getSizeY() const;
    unsigned int getSizeZ() const;
    unsigned int getHandle() const;

private:
    friend class Kalvex;
    static void init();
    static void free();

    struct Private;
    Private* fboReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Six eye-space planes (right, left, bottom, top, far, near); a point p is
// inside a plane when dot(plane.xyz, p) + plane.w >= 0.
struct KxFrustum
{
    glm::vec4 planes[6];
};

// A camera node: viewport, projection and frustum. Rendering it writes its
// matrices into the global uniform block.
class KX_API KxCamera : public KxNode
{
public:
    enum Projection : int
    {
        PROJECTION_PERSPECTIVE = 1,
        PROJECTION_ORTHOGRAPHIC = 2, // in pixels, origin at the top-left corner
    };

    KxCamera();
    ~KxCamera() override;

    bool setViewport(int x0, int y0, int x1, int y1);
    bool setViewportFromFbo(KxFbo* fbo);
    int getViewportSizeX() const;
    int getViewportSizeY() const;
    void setAngleOfView(float degrees);
    float getAngleOfView() const;
    void setNearPlane(float nearPlane);
    float getNearPlane() const;
    void setFarPlane(float farPlane);
    float getFarPlane() const;
    void setUseProjMatrix(bool use);
    bool getUseProjMatrix() const;
    void setProjMatrix(const glm::mat4& matrix);
    glm::mat4 getProjMatrix() const;
    bool setSkybox(KxSkybox* skybox);
    KxSkybox* getSkybox() const;
    KxFrustum* getFrustum();

    // Moves along the camera's own axes.
    void move(float x, float y, float z);
    // Window position (pixels from the viewport origin, depth 0..1) to world.
    glm::vec3 unproject(const glm::vec3& windowPosition);

    static KxCamera* getCurrent();
    bool render(void* data = nullptr) override;

private:
    void computeFrustum();
    struct Private;
    Private* cameraReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A surface: emission, albedo, roughness, metalness, transparency and up to
// five texture maps, kept in one GPU table of MAX_NUMBER records.
class KX_API KxMaterial : public KxObject
{
public:
    static constexpr unsigned int MAX_NUMBER = 256;
    static constexpr unsigned int SIZEOF_UBODATA = 96;

    enum TextureSlot : unsigned int
    {
        SLOT_ALBEDO = 0,
        SLOT_NORMAL = 1,
        SLOT_HEIGHT = 2,
        SLOT_ROUGHNESS = 3,
        SLOT_METALNESS = 4,
        SLOT_UNUSED = 5,
    };

    KxMaterial();
    ~KxMaterial() override;

    static bool init();
    static bool free();
    static KxMaterial* getDefault();
    // Uploads every changed material.
    static bool update();
    static void resetCache();
    // The material table's uniform buffer.
    static KxBuffer* getBuffer();

    void setEmission(const glm::vec3& emission);
    void setEmission(float r, float g, float b);
    const glm::vec3& getEmission() const;
    void setAlbedo(const glm::vec3& albedo);
    void setAlbedo(float r, float g, float b);
    const glm::vec3& getAlbedo() const;
    void setTransparency(float transparency);
    float getTransparency() const;
    void setRoughness(float roughness);
    float getRoughness() const;
    void setMetalness(float metalness);
    float getMetalness() const;
    // MAX_NUMBER when the material has no table slot.
    unsigned int getListId() const;
    bool isTransparent() const;
    bool isAlpha() const;
    bool isDirty() const;

    bool setTexture(KxTexture* texture, unsigned int index);
    KxTexture* getTexture(unsigned int index) const;
    bool hasTexture(unsigned int index) const;
    // The handle stored in the GPU record for a slot.
    uint64_t getTextureHandle(unsigned int index) const;

    // The material part of a scene-file chunk (see KxNode::load).
    unsigned int load(const unsigned char* data, unsigned int size);
    unsigned char* save(unsigned int& size);

    // Makes this material current for the current program.
    bool render(void* data = nullptr) override;

private:
    struct Private;
    Private* materialReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Base of the screen-space effects: owns its render targets, sized once by
// create, run by render with its input.
class KX_API KxFilter : public KxObject
{
public:
    enum Kind : int
    {
        KIND_FILTER = 0,
        KIND_GAUSSIAN = 1,
        KIND_SSAO = 3,
        KIND_VOLUMETRIC = 4,
        KIND_POSTPROC = 5,
    };

    KxFilter();
    ~KxFilter() override;
    bool render(void* data) override;
    virtual bool create(int sizeX, int sizeY) = 0;
    // Targets of a new size, settings kept: made anew by create unless a
    // filter knows better.
    virtual bool resize(int sizeX, int sizeY);

private:
    struct Private;
    Private* filterReserved;
};

// The last stage of every pipeline: a four-level glow chain (optionally of
// bright pixels only), tone mapping and gamma.
class KX_API KxPostProc : public KxFilter
{
public:
    static constexpr unsigned int NROFPASSES = 4;

    enum ToneMapping : unsigned int
    {
        TONEMAPPING_NONE = 0,
        TONEMAPPING_LINEAR = 1,
        TONEMAPPING_REINHARD = 2,
        TONEMAPPING_ROMBINDAHOUSE = 3,
        TONEMAPPING_FILMIC = 4,
        TONEMAPPING_UNCHARTED2 = 5,
    };

    KxPostProc();
    ~KxPostProc() override;

    static bool init();
    static bool free();

    bool create(int sizeX, int sizeY) override;
    // data: the KxTexture to process; the result goes to getTexture().
    bool render(void* data) override;
    // The result goes to target, or to getTexture() when target is null.
    bool render(KxTexture* texture, KxFbo* target);

    void setBloom(bool bloom);
    bool isBloom() const;
    void setGamma(float gamma);
    float getGamma() const;
    bool setToneMappingTechnique(unsigned int technique);
    unsigned int getToneMappingTechnique() const;
    KxTexture* getTexture() const;
    KxFbo* getFbo() const;
    // Size of the targets of a glow level (0 to 7).
    unsigned int getLevelSizeX(unsigned int level) const;
    unsigned int getLevelSizeY(unsigned int level) const;

private:
    struct Private;
    Private* postProcReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Base of every way of drawing a frame. A pipeline maps (object type,
// subtype, draw flags) to the program that draws such objects.
class KX_API KxPipeline : public KxObject
{
public:
    static constexpr int MAX_NROFSUBTYPES = 4;
    static constexpr int NR_OF_TYPES = 25;
    static constexpr int NR_OF_FLAGS = 3;

    enum DrawFlags : int
    {
        FLAGS_ALONE = 0,
        FLAGS_OPAQUE_BATCH = 1,
        FLAGS_TRANSPARENT_BATCH = 2,
    };

    KxPipeline();
    ~KxPipeline() override;

    virtual bool load(void* data);
    virtual bool unload(void* data);
    virtual bool render(KxCamera* camera, KxList* list, KxFbo* fbo);
    using KxObject::render;
    // Follows a new window size: targets and filters of that size are made
    // anew. The base has none.
    virtual bool resize(int sizeX, int sizeY);

    static void init();
    static void free();
    static bool setCurrent(KxPipeline* pipeline);
    static KxPipeline* getCurrent();

    bool setShader(KxShader* shader, KxObject::Type type, int subtype, int flags);
    KxShader* getShader(KxObject::Type type, int subtype, int flags) const;
    void resetShaders();
    bool renderShaderForType(KxObject::Type type, int subtype, int flags);

    bool setPostProcFilter(KxFilter* filter);
    KxFilter* getPostProcFilter() const;
    void postProc(bool on);
    bool isPostProc() const;
    void setAntiAliasing(bool on);
    bool isAntiAliasing() const;
    void sRGB(bool on);
    bool isSRGB() const;

private:
    struct Private;
    Private* pipelineReserved;
};

//////////////////////////////////////////////////////////////////////////////
// The forward pipeline: one additive pass per light into a floating-point
// target, resolved and presented. Its textured-quad program presents images.
class KX_API KxDefaultRendering : public KxPipeline
{
public:
    static constexpr int MAX_WINDOWSIZEX = 4096;
    static constexpr int MAX_WINDOWSIZEY = 4096;

    KxDefaultRendering();
    ~KxDefaultRendering() override;

    // data: a KxConfig* whose window size is used, or null for the window's.
    bool load(void* data) override;
    bool unload(void* data) override;
    bool render(KxCamera* camera, KxList* list, KxFbo* fbo) override;
    using KxPipeline::render;
    bool resize(int sizeX, int sizeY) override;

    KxShader* getQuadProgram() const;
    KxFbo* getFramebuffer() const;
    KxTexture* getColorTexture() const;

    // Taps of the soft-shadow lookup: 1, 4 or 20 (the engine's setting at
    // construction). Programs for a filter are built when it is first chosen.
    bool setShadowFilter(unsigned int taps);
    unsigned int getShadowFilter() const;
    // The lit program for a drawable kind: with the current shadow filter, or
    // the one that looks no shadow up (lights without a shadow map).
    KxShader* getLitProgram(KxObject::Type type, int subtype, bool shadowed) const;
    // True when a frame for fbo (the window when null) is lit straight into
    // it: post-processing, multisampling and sRGB output all off.
    bool drawsDirectly(KxFbo* fbo) const;
    // With more than one light, a depth-only pass first, so that each light's
    // pass shades every pixel once (same pictures). Off by default.
    bool setDepthPrePass(bool on);
    bool isDepthPrePass() const;

private:
    struct Private;
    Private* forwardReserved;
};

//////////////////////////////////////////////////////////////////////////////
// The omnidirectional shadow pass: one light's depth cube map, all six faces
// drawn in one pass through a geometry shader. The lit pipelines run it per
// light and sample the map with depth comparison.
class KX_API KxShadowPass : public KxPipeline
{
public:
    KxShadowPass();
    ~KxShadowPass() override;

    // data: a KxConfig* whose shadow-map size is used, or null for 1024.
    bool load(void* data) override;
    bool unload(void* data) override;
    // Renders the map of the light set by setLightId: the light's own map when
    // it has one (at most once per its update interval), else the shared one.
    // fbo is ignored.
    bool render(KxCamera* camera, KxList* list, KxFbo* fbo) override;
    using KxPipeline::render;

    // The light's index in the list (KxList::getLightPtr order).
    void setLightId(unsigned int lightId);
    unsigned int getLightId() const;
    // Front faces culled while drawing depth (default on).
    void setUseCulling(bool useCulling);
    bool isUseCulling() const;
    KxTexture* getShadowMapTexture() const;
    // A 1 x 1 cube map at depth 1.0: reads as unshadowed everywhere.
    KxTexture* getEmptyShadowMapTexture() const;
    unsigned int getShadowMapSize() const;

private:
    struct Private;
    Private* shadowReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A stand-alone glow: the four-level blur chain of the post-processing filter
// (optionally of the channels above 1.0 only) added at a quarter strength to
// the input, without tone mapping or gamma.
class KX_API KxGaussian : public KxFilter
{
public:
    static constexpr unsigned int NROFPASSES = 4;

    KxGaussian();
    ~KxGaussian() override;

    bool create(int sizeX, int sizeY) override;
    // data: the KxTexture to blur; the result is in getTexture().
    bool render(void* data) override;

    void setBloom(bool bloom);
    bool isBloom() const;
    // Stored only: the output is never gamma corrected.
    void setGamma(float gamma);
    float getGamma() const;
    KxTexture* getTexture() const;
    KxFbo* getFbo() const;

private:
    struct Private;
    Private* gaussianReserved;
};

// Screen-space ambient occlusion: a hemisphere kernel around each pixel's
// view-space position, tested against the depth buffer, box-blurred into a
// single-channel factor (1 open, 0 occluded).
class KX_API KxSsao : public KxFilter
{
public:
    static constexpr unsigned int MAX_KERNELS = 64;
    static constexpr unsigned int NOISE_SIZE = 16;

    KxSsao();
    ~KxSsao() override;

    bool create(int sizeX, int sizeY) override;
    // data: a KxFbo whose colour attachment 0 holds world normals and whose
    // depth attachment holds the scene depth, both of the filter's size.
    bool render(void* data) override;

    void setInvCameraProjMatrix(glm::mat4& matrix);
    void setM33(float m33);
    void setM43(float m43);
    void setPower(float power);
    float getPower() const;
    void setRadius(float radius);
    float getRadius() const;
    void setBias(float bias);
    float getBias() const;
    // At most MAX_KERNELS; a larger count is refused.
    void setNrOfKernels(unsigned int count);
    unsigned int getNrOfKernels() const;
    const glm::vec3& getKernel(unsigned int index) const;
    const glm::vec3& getNoise(unsigned int index) const;
    // The blurred occlusion factor.
    KxTexture* getTexture() const;
    // The factor before the blur.
    KxTexture* getRawTexture() const;

private:
    struct Private;
    Private* ssaoReserved;
};

// Light shafts of one light: a ray march from the eye to each surface at half
// resolution through the light's shadow map with Henyey-Greenstein scattering,
// blurred with depth awareness, upsampled and added to the output.
class KX_API KxVolLighting : public KxFilter
{
public:
    static constexpr unsigned int SCALING_FACTOR = 2;

    KxVolLighting();
    ~KxVolLighting() override;

    bool create(int sizeX, int sizeY) override;
    // data: a KxFbo whose depth buffer holds the full-resolution scene depth.
    bool render(void* data) override;

    // Where the result is added, and the full-resolution depth used to upsample.
    void setOutput(KxFbo* fbo, KxTexture* sceneDepth);
    void setInvCameraProjMatrix(glm::mat4& matrix);
    void setCameraMatrix(const glm::mat4& matrix);
    void setM33(float m33);
    void setM43(float m43);
    void setCamera(KxCamera* camera);
    void setLight(KxLight* light, unsigned int index);
    // At least 1; 0 is refused and stored as 1.
    void setNrOfSteps(unsigned int steps);
    unsigned int getNrOfSteps() const;
    // Above 0; anything else is refused and stored as 0.001.
    void setScattering(float scattering);
    float getScattering() const;
    // The half-resolution blurred in-scattering.
    KxTexture* getTexture() const;
    // The Henyey-Greenstein phase function the shader uses, for a cosine mu.
    static float phase(float scattering, float mu);

private:
    void renderBlur(KxFbo* target, KxTexture* input, const glm::vec2& direction);
    struct Private;
    Private* volReserved;
};

//////////////////////////////////////////////////////////////////////////////
// The deferred pipeline: surface attributes of up to four depth-peeled layers
// in layered G-buffer arrays, then one full-screen lighting quad per light that
// walks the layers front to back, into the engine framebuffer.
class KX_API KxDeferredRendering : public KxPipeline
{
public:
    static constexpr unsigned int MAX_LAYERS = 4;
    static constexpr int MAX_WINDOWSIZEX = 4096;
    static constexpr int MAX_WINDOWSIZEY = 4096;

    KxDeferredRendering();
    ~KxDeferredRendering() override;

    // data: a KxConfig* whose window size is used, or null for the window's.
    bool load(void* data) override;
    bool unload(void* data) override;
    bool render(void* data) override;
    // fbo: when given, the image (post-processed when switched on) goes there
    // instead of to the window, as with the forward pipeline.
    bool render(KxCamera* camera, KxList* list, KxFbo* fbo) override;

    // Layer 0 of the G-buffer.
    KxFbo* getFbo() const;
    KxTexture* getNormalArray() const;
    KxTexture* getSurfaceArray() const;
    KxTexture* getDepthArray() const;
    void setUseSsao(bool on);
    bool isUseSsao() const;
    KxSsao* getSsao() const;
    KxVolLighting* getVolLighting() const;

private:
    bool buildPrograms();
    void renderGeometry(KxCamera* camera, KxList* list, glm::mat4 view);
    struct Private;
    Private* deferredReserved;
};

// The hybrid pipeline: the deferred pipeline's two stages on a single G-buffer
// layer of plain 2D textures, lit into its own HDR target.
class KX_API KxHybridRendering : public KxPipeline
{
public:
    static constexpr int MAX_WINDOWSIZEX = 4096;
    static constexpr int MAX_WINDOWSIZEY = 4096;

    KxHybridRendering();
    ~KxHybridRendering() override;

    // data: a KxConfig* whose window size is used, or null for the window's.
    bool load(void* data) override;
    bool unload(void* data) override;
    bool render(void* data) override;
    bool render(KxCamera* camera, KxList* list, KxFbo* fbo) override;

    KxFbo* getFbo() const;
    KxTexture* getDisplayTexture() const;
    void setUseSsao(bool on);
    bool isUseSsao() const;
    KxSsao* getSsao() const;
    KxVolLighting* getVolLighting() const;

private:
    bool buildPrograms();
    struct Private;
    Private* hybridReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A pixel-sized screen rectangle with up to eight textures, drawn under a 2D
// camera (one unit per pixel, origin at the top left).
class KX_API KxQuad : public KxNode
{
public:
    explicit KxQuad(bool flipped = false);
    ~KxQuad() override;

    bool resize(int sizeX, int sizeY);
    int getSizeX() const;
    int getSizeY() const;
    void setColor(const glm::vec4& color);
    void setColor(float r, float g, float b);
    void setColor(float r, float g, float b, float a);
    const glm::vec4& getColor() const;
    bool setTexture(KxTexture* texture, unsigned int slot);
    KxTexture* getTexture(unsigned int slot) const;
    bool setShader(KxShader* shader);
    KxShader* getShader() const;

    // data: a KxDrawRecord whose model-view matrix places the quad.
    bool render(void* data) override;

private:
    struct Private;
    Private* quadReserved;
};

// A cube [-1, 1]^3 with normals and texture coordinates, drawn with the
// current program.
class KX_API KxBox : public KxNode
{
public:
    KxBox();
    ~KxBox() override;
    // data: a KxDrawRecord whose model-view matrix places the box.
    bool render(void* data) override;

private:
    struct Private;
    Private* boxReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A cube-mapped environment around the camera. A camera holds at most one
// (KxCamera::setSkybox); the pipelines draw it first, centred on the eye, on
// the far plane and without writing depth, so it stays behind everything.
class KX_API KxSkybox : public KxObject
{
public:
    KxSkybox();
    ~KxSkybox() override;

    // A cube map; anything else is refused and the texture in use kept. Null
    // (and the start): a 1 x 1 white cube map of the sky box's own.
    bool setTexture(KxTexture* texture);
    KxTexture* getTexture() const;
    // Multiplier of the sampled colour.
    void setHdrIntensity(float intensity);
    float getHdrIntensity() const;
    // An own projection in place of the camera's.
    void setUseProjMatrix(bool use);
    bool getUseProjMatrix() const;
    void setProjMatrix(const glm::mat4& matrix);
    const glm::mat4& getProjMatrix() const;

    // data: a KxDrawRecord whose model-view matrix is the view without its translation.
    bool render(void* data) override;

private:
    struct Private;
    Private* skyboxReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A node that owns a GPU particle system: three storage buffers of per-particle
// state, advanced by a compute shader each time the emitter is rendered and
// drawn as camera-facing quads, blended additively. Particles start at the
// emitter's origin and restart there when their life passes 1.
class KX_API KxEmitter : public KxNode
{
public:
    KxEmitter();
    ~KxEmitter() override;

    static bool init();
    static bool free();

    // Storage for count particles (contents undefined: call reset).
    bool create(unsigned int count);
    // Every particle at the origin with life 0 and a random velocity and
    // life step (std::rand).
    bool reset();
    unsigned int getNrOfParticles() const;

    // Null: the engine's default texture.
    void setTexture(KxTexture* texture);
    KxTexture* getTexture() const;
    void setGravity(const glm::vec3& gravity);
    void setGravity(float x, float y, float z);
    glm::vec3 getGravity() const;
    void setSpeed(float speed);
    float getSpeed() const;
    void setParticleSize(float size);
    float getParticleSize() const;
    // Position (xyz) and life (w) of every particle.
    KxBuffer* getB() const;
    // Velocity (xyz) and life step (w) of every particle.
    KxBuffer* getVelocityBuffer() const;

    // data: a KxDrawRecord of the emitter's list entry. Advances the particles
    // one step, then draws them.
    bool render(void* data) override;

private:
    struct Private;
    Private* emitterReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A node and its world matrix: one entry of a render list.
class KX_API KxInstance
{
public:
    KxInstance() = default;
    void setNode(KxNode* node) { this->node = node; }
    KxNode* getNode() const { return node; }
    void setMatrix(const glm::mat4& matrix) { this->matrix = matrix; }
    const glm::mat4& getMatrix() const { return matrix; }
    glm::mat4& getMatrix() { return matrix; }

private:
    KxNode* node = nullptr;
    glm::mat4 matrix = glm::mat4(1.0f);
};

class KxMesh;

//////////////////////////////////////////////////////////////////////////////
// Rigid-body physics: the physical properties of one mesh and, once built
// from it, a Bullet body that drives the mesh's node. One world per engine;
// engine units times the world scale are physics units.
class KX_API KxPhysics : public KxObject
{
public:
    // 48 bytes, as in the mesh chunk of a scene file.
    struct kxProps
    {
        uint8_t bodyKind; // 1, 2 dynamic; 0, 3 static (3 may use the triangle mesh hull)
        uint8_t unused0[2];
        uint8_t hullKind; // 1 sphere, 2 box, 3 capsule, 4 convex hull, 5 triangle mesh
        uint8_t unused1[12];
        float mass;
        float friction;
        float rollingFriction;
        float restitution;
        float linearDamping;
        float angularDamping;
        uint64_t reserved; // a run-time reference: ignored when read, written as zero
    };

    enum Hull : uint8_t
    {
        HULL_SPHERE = 1,
        HULL_BOX = 2,
        HULL_CAPSULE = 3,
        HULL_CONVEX = 4,
        HULL_TRIANGLES = 5,
    };

    KxPhysics();
    ~KxPhysics() override;

    static bool init(float worldScale);
    static bool free();
    static float getWorldScale();
    // The world's gravity in physics units.
    static glm::vec3 getWorldGravity();
    // Steps the world by the last frame time times timeScale, then writes every
    // body's transform into its node.
    static bool update(float timeScale, int maxSubSteps, float fixedTimeStep);
    // update with an explicit time in seconds instead of the last frame time.
    static bool step(float seconds, int maxSubSteps, float fixedTimeStep);
    // Logs one line per touching pair; returns the number of lines.
    static int checkCollisions();
    // Closest body hit by the segment from-to (engine units), or null.
    static KxNode* pick(const glm::vec3& from, const glm::vec3& to, glm::vec3* hitPoint = nullptr,
                        glm::vec3* hitNormal = nullptr);

    // Copies the 48-byte record; returns 48 (0 when fewer bytes are given).
    unsigned int load(const unsigned char* data, unsigned int size);
    kxProps& getProps();
    const kxProps& getProps() const;
    // False, with the reason logged, when a value is not finite or the mass is negative.
    static bool checkProps(const kxProps& props, const std::string& meshName);

    bool buildHull();
    // Builds the body for the mesh that holds this object (KxMesh::setPhysics).
    bool getFromMesh(KxMesh* mesh);
    KxMesh* getNode() const;
    bool hasBody() const;
    // The body's origin in physics units.
    glm::vec3 getBodyOrigin() const;

    // The body's transform in engine units, relative to the node's parent space
    // as the tree's root sees it (the node's local matrix for root children).
    glm::mat4 getMatrix() const;
    // Places node and body at a local matrix and stops the body.
    void setMatrix(const glm::mat4& matrix);
    // Teleports the body to wherever the application has put the node.
    bool render(void* data) override;

    bool applyCentralImpulse(float x, float y, float z);
    bool applyCentralImpulse(const glm::vec3& impulse);
    bool setLinearVelocity(float x, float y, float z);
    bool setLinearVelocity(const glm::vec3& velocity);
    bool setLinearFactor(float x, float y, float z);
    bool setLinearFactor(const glm::vec3& factor);
    bool setAngularVelocity(float x, float y, float z);
    bool setAngularVelocity(const glm::vec3& velocity);
    bool setAngularFactor(float x, float y, float z);
    bool setAngularFactor(const glm::vec3& factor);
    glm::vec3 getLinearVelocity() const;
    glm::vec3 getAngularVelocity() const;
    bool setMass(float mass);
    bool setGravity(float gravity);
    bool setFriction(float friction);
    bool resetForces();
    bool setActivation(bool active);

private:
    friend class KxMesh;
    // Called by the mesh that takes or gives up this object.
    void setOwner(KxMesh* mesh);

    struct Private;
    Private* physicsReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Triangle geometry in the engine's 24-byte vertex, with a material and
// bounds. All meshes are also packed into merged buffers for batched drawing.
class KX_API KxMesh : public KxNode
{
public:
    static constexpr unsigned int MAX_NUMBER = 65536;
    static constexpr unsigned int SIZEOF_SSBODATA = 64;

    enum Kind : int
    {
        KIND_TRIANGLES = 0,
        KIND_NORMAL_MAPPED = 1,
        KIND_TESSELLATED = 2,
    };

    // 24 bytes: position, packed signed 2-10-10-10 normal, half-float uv,
    // packed tangent (w: handedness).
    struct kxMeshVertex
    {
        float position[3];
        uint32_t normal;
        uint16_t uv[2];
        uint32_t tangent;
    };
    struct kxMeshFace
    {
        uint32_t index[3];
    };

    KxMesh();
    ~KxMesh() override;

    static bool init();
    static bool free();
    // Rebuilds the merged buffers from every mesh in the registry.
    static bool optimizeMemory();
    static bool bindOptimizedMemory();
    static void resetCache();
    // One multi-draw of count indirect commands from buffer over the merged geometry.
    static bool renderBatch(unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype, int flags);

    bool create(unsigned int nrOfVertices, const kxMeshVertex* vertices, unsigned int nrOfFaces, const kxMeshFace* faces);
    bool update(unsigned int nrOfVertices, const kxMeshVertex* vertices, unsigned int nrOfFaces, const kxMeshFace* faces);
    bool getRawVertexData(kxMeshVertex* vertices);
    bool getRawFaceData(kxMeshFace* faces);

    unsigned int getNrOfVertices() const;
    unsigned int getNrOfFaces() const;
    float getRadius() const;
    void setRadius(float radius);
    glm::vec3& getBBoxMin();
    glm::vec3& getBBoxMax();
    unsigned int getVaoHandle() const;
    bool isMemoryOptimized() const;
    unsigned int getFirstVertexIndex() const;
    unsigned int getFirstFaceIndex() const;
    bool setMaterial(KxMaterial* material);
    KxMaterial* getMaterial() const;
    bool setShader(KxShader* shader);
    KxShader* getShader() const;
    // The mesh owns its physics object and deletes it with itself; a replaced
    // one is released, not deleted.
    bool setPhysics(KxPhysics* physics);
    KxPhysics* getPhysics() const;

    // The mesh part of a scene-file chunk (after the node part).
    virtual unsigned int load(const unsigned char* data, unsigned int size);
    virtual unsigned char* save(unsigned int& size);
    using KxNode::load;
    using KxNode::save;

    // data: a KxDrawRecord.
    bool render(void* data) override;

    // Packing helpers for kxMeshVertex.
    static uint32_t packNormal(const glm::vec4& value);
    static glm::vec4 unpackNormal(uint32_t packed);
    static uint16_t packHalf(float value);
    static float unpackHalf(uint16_t half);

protected:
    void* getMeshReserved() const;

private:
    friend struct kx::NodeAccess;
    struct Private;
    Private* meshReserved;
};

class KxBone;

//////////////////////////////////////////////////////////////////////////////
// A mesh deformed by a skeleton of KxBone nodes through dual-quaternion
// skinning: up to 4 bones per vertex, 128 per skeleton.
class KX_API KxSkinned : public KxMesh
{
public:
    static constexpr unsigned int NROFVERTEXBONES = 4;
    static constexpr unsigned int NROFSKELETONBONES = 128;

    struct kxBone
    {
        std::string name;
        KxBone* node = nullptr;
        glm::mat4 offsetMatrix = glm::mat4(1.0f);
        glm::mat4 currentMatrix = glm::mat4(1.0f);
    };
    // Per-vertex skinning record, 24 bytes: four bone indices, four half weights.
    struct kxSkinningVertex
    {
        uint32_t boneIndex[4];
        uint16_t boneWeight[4];
    };

    KxSkinned();
    ~KxSkinned() override;

    static bool init();
    static bool free();

    unsigned int getNrOfBones() const;
    kxBone* getBone(unsigned int index);
    // Defines the skeleton and the per-vertex skinning data of a created mesh.
    bool setSkeleton(const glm::mat4& poseMatrix, unsigned int nrOfBones, const std::string* names,
                     const glm::mat4* offsetMatrices, const kxSkinningVertex* skinning);
    const glm::mat4& getPoseMatrix() const;
    // Attaches every bone record to the KxBone of its name below root.
    bool resetBones(KxNode* root);
    // The quaternion pairs of the last render (nrOfBones entries each).
    const glm::vec4* getRealQuaternions() const;
    const glm::vec4* getDualQuaternions() const;
    // Computes the quaternion pairs from the bones' current matrices.
    void computeSkinning();

    // load reads the mesh part and then the skinned part; save writes the
    // skinned part alone (the mesh part comes from KxMesh::save).
    unsigned int load(const unsigned char* data, unsigned int size) override;
    unsigned char* save(unsigned int& size) override;

    bool render(void* data) override;

private:
    struct Private;
    Private* skinnedReserved;
};

// A skeleton joint: a node whose world matrix drives a skinned mesh's bone.
class KX_API KxBone : public KxNode
{
public:
    KxBone();
    ~KxBone() override;

    static bool init();
    static bool free();
    static void showBox(bool show);

    void setBonePtr(KxSkinned::kxBone* bone);
    KxSkinned::kxBone* getBonePtr() const;
    bool updateSkeleton(const glm::mat4* world);
    void setBox(const glm::vec3& min, const glm::vec3& max);
    const glm::vec3& getBoxMin() const;
    const glm::vec3& getBoxMax() const;

    // The bone part of a scene-file chunk (after the node part): 24 bytes.
    unsigned int load(const unsigned char* data, unsigned int size);
    unsigned char* save(unsigned int& size);
    using KxNode::load;
    using KxNode::save;

    bool render(void* data) override;

private:
    struct Private;
    Private* boneReserved;
};

//////////////////////////////////////////////////////////////////////////////
// One mesh drawn many times in a single call: a node with one record per
// instance (material and transform). All instanced nodes are also packed into
// one engine-wide instance buffer, so that a render list draws every instanced
// node of a scene with one multi-draw.
class KX_API KxInstanced : public KxNode
{
public:
    // One instance, 144 bytes, as the shaders read it (std430).
    struct kxInstanceData
    {
        uint32_t materialId; // KxMaterial::getListId of the instance's material
        uint32_t padding[3];
        glm::mat4 worldMatrix;      // applied before the node's own world matrix
        glm::mat4 inverseTranspose; // its inverse transpose, for normals
    };
    static constexpr unsigned int SIZEOF_INSTANCEDATA = 144;

    KxInstanced();
    ~KxInstanced() override;

    static bool init();
    static bool free();
    // Rebuilds the engine-wide instance buffer from every instanced node.
    static bool optimizeMemory();
    // Binds the engine-wide instance buffer at its storage binding.
    static bool bindOptimizedMemory();
    // One multi-draw of count indirect commands from buffer, over the merged
    // geometry and the engine-wide instance buffer.
    static bool renderBatch(unsigned int count, KxBuffer* buffer, KxObject::Type type, int subtype, int flags);

    // Storage for nrOfInstances records (contents undefined until written
    // through map and unmap); 0 is refused and the old storage kept.
    bool create(unsigned int nrOfInstances);
    bool setMesh(KxMesh* mesh);
    KxMesh* getMesh() const;
    unsigned int getNrOfInstances() const;
    // The node's first record in the engine-wide buffer.
    unsigned int getFirstInstance() const;
    bool isMemoryOptimized() const;
    // access 1 writes (the only mode the storage allows).
    kxInstanceData* map(unsigned int access);
    // Ends writing and merges the new records into the engine-wide buffer.
    bool unmap();

    // data: a KxDrawRecord; draws this node alone from its own records.
    bool render(void* data) override;

private:
    struct Private;
    Private* instancedReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A light node: omni (0), directional (1) or spot (2), optionally with its
// own cube shadow map. Lights are uploaded into one table per pass.
class KX_API KxLight : public KxNode
{
public:
    static constexpr unsigned int MAX_NUMBER = 256;
    static constexpr unsigned int SIZEOF_UBODATA = 64;

    enum Kind : int
    {
        KIND_OMNI = 0,
        KIND_DIRECTIONAL = 1,
        KIND_SPOT = 2,
    };

    KxLight();
    ~KxLight() override;

    static bool init();
    static bool free();
    // Empties the slots of the pass.
    static void resetCache();
    static unsigned int getNrOfLightsInPass();
    static KxBuffer* getBuffer();

    void setColor(const glm::vec3& color);
    void setColor(float r, float g, float b);
    glm::vec3 getColor() const;
    void setCutoff(float degrees);
    float getCutoff() const;
    void setSpotExponent(float exponent);
    float getSpotExponent() const;
    void setDirection(const glm::vec3& direction);
    const glm::vec3& getDirection() const;
    void setRadius(float radius, float nearPlane = 1.0f);
    float getRadius() const;
    float getNearPlane() const;
    void setShadowSoftness(float softness);
    float getShadowSoftness() const;
    void setShadowBias(float bias);
    float getShadowBias() const;
    void setVolumetric(bool volumetric);
    bool isVolumetric() const;
    // The slot this light took in the current pass.
    unsigned int getSlot() const;

    bool useOwnShadowMap(bool enable, unsigned int size, unsigned int updateInterval);
    KxFbo* getShadowMapFbo() const;
    KxTexture* getShadowMapTexture() const;
    unsigned int getUpdateInterval() const;

    // The light part of a scene-file chunk (after the node part): 39 bytes.
    unsigned int load(const unsigned char* data, unsigned int size);
    unsigned char* save(unsigned int& size);
    using KxNode::load;
    using KxNode::save;

    // data: a KxDrawRecord whose model matrix is the light's world matrix.
    bool render(void* data) override;

private:
    struct Private;
    Private* lightReserved;
};

//////////////////////////////////////////////////////////////////////////////
// A scene graph flattened into entries with world matrices, turned every
// frame into GPU records and indirect commands drawn in batches.
class KX_API KxList : public KxObject
{
public:
    static constexpr unsigned int MAX_DEPTH = 32;
    static constexpr unsigned int MAX_REDUNDANCY = 3;
    static constexpr unsigned int NR_OF_BATCHES = 6;
    static constexpr unsigned int SIZEOF_RECORD = 208;
    static constexpr unsigned int SIZEOF_COMMAND = 20;

    KxList();
    ~KxList() override;

    static bool init();
    static bool free();
    static unsigned int getCurrentPass();
    static unsigned int getCurrentPassId();

    bool create(unsigned int capacity);
    void reset();
    bool pass(KxNode* root);
    bool setPass(unsigned int pass);
    unsigned int getPass() const;
    void setCulling(bool culling);
    bool isCulling() const;
    void setCullingCamera(KxCamera* camera);
    KxCamera* getCullingCamera() const;
    unsigned int getCapacity() const;
    unsigned int getNrOfInstances() const;
    unsigned int getNrOfLights() const;
    KxInstance& getInstance(unsigned int index);
    KxNode* getLightPtr(unsigned int index);
    glm::mat4& getLightMatrix(unsigned int index);
    // The draws written by the last update for a batch kind (0 to 5).
    unsigned int getBatchCount(unsigned int kind) const;
    // The buffer slot the next update writes (0 to MAX_REDUNDANCY - 1).
    unsigned int getRedundancyIndex() const;
    static float sphereInFrustum(const KxFrustum* frustum, const glm::vec3& centre, float radius);

    bool update(const glm::mat4& view);
    // what: 7 opaque batches, 8 transparent ones, 9 all, else one kind.
    bool renderByType(int what, bool fence);
    // data: a const glm::mat4* view matrix.
    bool render(void* data) override;

private:
    struct Private;
    Private* listReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Keyframe animation of nodes by name: per node a track of translation,
// rotation and scale keys at integer frames, posed at fractional frames.
class KX_API KxAnim : public KxObject
{
public:
    // 40 bytes, as in animation files: rotation is x, y, z, w.
    struct kxKey
    {
        float position[3];
        float rotation[4];
        float scale[3];
    };
    // One track: frame numbers (from 1) and their keys, in the same order.
    struct kxKeyframes
    {
        std::vector<int32_t> frames;
        std::vector<kxKey> keys;
    };

    KxAnim();
    ~KxAnim() override;

    // Milliseconds of the high-resolution clock.
    static uint64_t getClock();

    // Stores a copy of the track, replacing one of the same name.
    void addKeyframe(const std::string& nodeName, const kxKeyframes& track);
    const kxKeyframes* getKeyframes(const std::string& nodeName) const;
    std::vector<std::string> getTrackNames() const;
    // Binds the tracks to the nodes of the same names under root; warns once
    // per track name that no node carries.
    bool apply(KxNode* root);
    unsigned int getNrOfBoundNodes() const;

    // Refused (false) at 0 or below.
    bool setFps(int fps);
    int getFps() const;
    float getFrameTime() const;
    void setNrOfFrames(int nrOfFrames);
    int getNrOfFrames() const;
    void setStartTime(uint64_t milliseconds);
    uint64_t getStartTime() const;
    bool isAnimating() const;

    void setKeyframe(float keyframe);
    float getKeyframe() const;
    bool playAnimation();
    void pauseAnimation();
    // Back to frame 1 and playing.
    bool replayAnimation();
    // Advances by the clock since the last advance.
    void update();
    // Advances by the given milliseconds.
    void advance(double milliseconds);
    void nextFrame();
    void previousFrame();
    void resetPose();
    void interpolateFrame();

private:
    void endOfAnimation();

    struct Private;
    Private* animReserved;
};

//////////////////////////////////////////////////////////////////////////////
// Off-axis projections for physically arranged displays (a wall or cave of
// screens, a head-tracked window). Each display is given by three corners in
// the camera's own space (bottom-left, bottom-right, top-left); update writes
// into a camera the view through one display from the eye position. A plain
// utility: no engine object, no GPU resources.
class KX_API KxMultiscreen
{
public:
    KxMultiscreen();
    ~KxMultiscreen();
    KxMultiscreen(const KxMultiscreen&) = delete;
    KxMultiscreen& operator=(const KxMultiscreen&) = delete;

    // Refuses corners that do not span a rectangle's two sides.
    bool addDisplay(const glm::vec3& bottomLeft, const glm::vec3& bottomRight, const glm::vec3& topLeft);
    int getNrOfDisplays() const;
    // Removes every display; the eye stays where it is.
    void reset();
    void setEyePosition(const glm::vec3& eye);
    void setEyePosition(float x, float y, float z);
    const glm::vec3& getEyePosition() const;
    // The camera's projection becomes the view through display from the eye,
    // with the camera's near and far planes. The eye must be in front of the
    // display (on the side its corners turn counter-clockwise towards).
    bool update(int display, KxCamera* camera);

private:
    struct Private;
    Private* reserved;
};

//////////////////////////////////////////////////////////////////////////////
// Text from a bitmap font: a glyph sheet of 16 x 16 cells, one per byte code,
// measured for proportional spacing. putString draws at window pixels under
// the current 2D camera; (x, y) is the left end of the text's baseline (the
// lowest row of 'A'). Inline escapes: "^Crgba" sets the colour, each digit d
// giving d * 28.34 (0 to 255; blending is on below full alpha), "^Xnnnn" and
// "^Ynnnn" move the pen by atoi(nnnn) pixels, '\n' starts a new line; '^'
// before any other character is dropped.
class KX_API KxFont : public KxObject
{
public:
    // Formatted text longer than this (the terminator included) is cut there.
    static constexpr unsigned int MAX_LENGTH = 4096;

    KxFont();
    ~KxFont() override;

    static bool init();
    static bool free();
    // The engine's own glyph sheet (256 x 256), null when it could not be read.
    static KxTexture* getDefaultTexture();

    void setTexture(KxTexture* texture);
    KxTexture* getTexture() const;
    // Measures the glyphs of a sheet whose bitmap still holds its pixels
    // (null: the texture set before). minWidth is added to every advance.
    bool build(KxTexture* texture, int minWidth);
    bool isBuilt() const;
    int getCellSizeX() const;
    int getCellSizeY() const;
    // Advance of a glyph without the one-pixel gap putString adds.
    int getCharWidth(unsigned char code) const;
    int getVerticalOffset() const;

    bool putString(int x, int y, const char* format, ...) __attribute__((format(printf, 4, 5)));
    // Makes the font's program, colour, blending and sheet current.
    bool render(void* data = nullptr) override;

private:
    void putChar(int x, int y, char c);
    void setColor(const unsigned char rgba[4]);
    struct Private;
    Private* fontReserved;
};

//////////////////////////////////////////////////////////////////////////////
// The engine facade: start and stop, window, frame services.
class KX_API Kalvex
{
public:
    static constexpr unsigned int KXO_VERSION = 7;

    static bool init(const KxConfig& config, bool reduced = false);
    static bool init();
    static bool free();
    static bool isInitialized();

    // False where the driver lacks GL_ARB_bindless_texture: textures are then
    // bound to texture units by the engine instead of addressed by handles.
    static bool usesBindlessTextures();

    static int getWindowSizeX();
    static int getWindowSizeY();
    static int getNrOfAASamples();
    // The quality settings in effect (after the preset and the driver's limit).
    static int getAnisotropy();
    static unsigned int getShadowFilter();
    static bool usesSoftwarePreset();
    static float getFps();
    static float getLastFrameTime();

    // Presents the window's back buffer; pumps events when asked and then
    // returns false once the window should close.
    static bool swap(bool pumpEvents = false);
    static bool processEvents();

    static bool setKeyboardCallback(void (*callback)(int key, int scancode, int action, int mods));
    static bool setMouseCursorCallback(void (*callback)(double x, double y));
    static bool setMouseButtonCallback(void (*callback)(int button, int action, int mods));
    static bool setMouseScrollCallback(void (*callback)(double x, double y));
    static bool setGamingMode(bool on);
    static bool getGamingMode();
    // The GLFW window (a GLFWwindow*), for clients that drive a GUI toolkit on it.
    static void* getWindow();

    // Built-in pipelines: 1 shadow pass, 2 forward, 3 deferred, 4 hybrid.
    static KxPipeline* getPipeline(int id);
    // Draws a list as seen by a camera through the current pipeline.
    static bool render(KxCamera* camera, KxList* list, KxFbo* fbo = nullptr);
    // Draws a texture (the main colour texture when null) over the window, upright.
    static bool renderFramebuffer(KxTexture* texture);
    // Copies a framebuffer's colour into the window.
    static bool renderFramebuffer(KxFbo* fbo);
    // The main off-screen framebuffer, of window size.
    static KxFbo* getFramebuffer();

    // Reads a scene file into a new node tree; null on failure.
    static KxNode* load(const std::string& fileName);
    // Writes a node tree and the materials it uses; an existing file is only
    // replaced once the whole new file is written.
    static bool save(KxNode* root, const std::string& fileName);
    // Reads an animation file into a new animation (the caller's); null on failure.
    static KxAnim* loadAnimation(const std::string& fileName);
    // Writes an animation file: tracks in name order; loads back byte for byte.
    static bool saveAnimation(KxAnim* animation, const std::string& fileName);

    // Reads the window's back buffer as tightly packed RGBA rows, top row first.
    static bool readWindowPixels(int x, int y, int width, int height, unsigned char* rgba);
    // Makes the main framebuffer, the screen camera and every pipeline's
    // targets of a new size. The window follows its user's resizing by
    // itself: processEvents calls this when the window's size has changed.
    static bool resize(int sizeX, int sizeY);

private:
    Kalvex() = delete;
    ~Kalvex() = delete;
    static bool splashScreen();
    // The failure message, or null when every pipeline started.
    static const char* startPipelines(const KxConfig& config, bool reduced);
    // Applies the quality preset that fits the renderer; records the settings in effect.
    static void chooseQuality(KxConfig& settings);
    static void stopPipelines();
    static bool startPresentation();
    static void stopPresentation();

    struct Service;
    // The engine's static services in start order; they stop in reverse.
    static const Service* getServices(size_t& count);
};

#endif // KALVEX_H
