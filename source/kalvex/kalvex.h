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
// standard output. Levels 4 to 6 are formatted but not written.
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

    static const unsigned int MAX_LENGTH = 4096;

    // printf-style. Returns false for LEVEL_ERROR, true otherwise, so a failing
    // operation can end with "return KX_LOG(LEVEL_ERROR, ...)".
    static bool log(Level level, const char* file, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

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
    static const int MAX_ID = 65536;

    static void init();
    static void free();
    static int getId();
    static bool releaseId(int id);

private:
    KxIdGenerator() = delete;
};

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

    static void* operator new(std::size_t size);
    static void* operator new[](std::size_t size);
    static void operator delete(void* pointer);
    static void operator delete[](void* pointer);

protected:
    void* getReserved() const;

private:
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
        TEXTURE_BIND = 6,
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
    static const int NR_OF_COUNTERS = 21;

    static void init();
    static void free();
    static void reset();
    static bool inc(int index);
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

    // Reads the settings found in an XML file whose top element is "kalvex".
    bool load(const std::string& fileName);

private:
    struct Private;
    Private* reserved;
};

//////////////////////////////////////////////////////////////////////////////
// The engine facade: start and stop, window, frame services.
class KX_API Kalvex
{
public:
    static const unsigned int KXO_VERSION = 7;

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

    // Reads the window's back buffer as tightly packed RGBA rows, top row first.
    static bool readWindowPixels(int x, int y, int width, int height, unsigned char* rgba);

private:
    Kalvex() = delete;
    ~Kalvex() = delete;
    static bool splashScreen();

    struct Service;
    // The engine's static services in start order; they stop in reverse.
    static const Service* getServices(size_t& count);
};

#endif // KALVEX_H
