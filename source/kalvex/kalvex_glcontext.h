// The GL context as the engine sees it: every binding and switch that the
// engine caches, and the capabilities read once when the context starts.
// Outside this layer (kalvex_glcontext.cpp, kalvex_opengl.cpp and the
// platform code that makes the context) no library file changes GL state
// directly; a test checks that.
#ifndef KALVEX_GLCONTEXT_H
#define KALVEX_GLCONTEXT_H

#include <GL/glew.h>

#include <cstdint>

namespace kx
{
// The fixed-function switches of one kind of pass, applied with one call.
struct RenderState
{
    bool depthTest = true;
    bool depthWrite = true;
    bool blending = false;
    GLenum blendSource = GL_ONE;
    GLenum blendDestination = GL_ZERO;
    bool culling = false;
    GLenum cullFace = GL_BACK;
    bool colorWrite = true;

    // Opaque geometry: depth tested and written, no blending, back faces culled.
    static RenderState opaque();
    // Later lights of the forward pipeline: added onto the first light's depth.
    static RenderState additive();
    // Depth only, into a shadow map: no colour, front faces culled when asked.
    static RenderState shadow(bool cullFrontFaces);
};

// What the context offers, read once at start.
struct Capabilities
{
    bool bindlessTextures = false;
    int maxSamples = 0;        // GL_MAX_SAMPLES
    int aaSamples = 0;         // samples of the engine's framebuffers: min(configured, maxSamples)
    int uniformBlockSize = 0;  // GL_MAX_UNIFORM_BLOCK_SIZE
    int textureUnits = 0;      // GL_MAX_TEXTURE_IMAGE_UNITS
    int storageOffsetAlignment = 0; // GL_SHADER_STORAGE_BUFFER_OFFSET_ALIGNMENT
    int windowSizeX = 0;       // the default framebuffer
    int windowSizeY = 0;
};

class GlContext
{
public:
    // Reads the capabilities of the current context and starts with the
    // state a new context has. configuredSamples: the requested
    // multisample count.
    static void init(int configuredSamples, int windowSizeX, int windowSizeY);
    static void free();
    static bool isStarted();
    static const Capabilities& capabilities();
    // The default framebuffer's new size, after the window was resized.
    static void windowResized(int sizeX, int sizeY);

    // Forgets every cached binding and switch, so that the next request is
    // sent to GL whatever it is. For code that changed GL state itself.
    static void forget();

    // Unbind and send it even when the cache says so already: for the
    // classes' resetCache, which exist for code that bound behind the cache.
    static void resetProgram();
    static void resetVertexArray();
    static void resetFramebuffer();

    // Bindings.
    static void useProgram(GLuint program);
    static GLuint currentProgram();
    static void bindVertexArray(GLuint vertexArray);
    static void bindFramebuffer(GLuint framebuffer); // both read and draw
    static void bindReadFramebuffer(GLuint framebuffer);
    static void bindDrawFramebuffer(GLuint framebuffer);
    static void bindTexture(GLenum target, GLuint unit, GLuint texture); // by unit
    static void bindTextures(GLuint firstUnit, GLsizei count, const GLuint* textures);
    // For uploads through the non-DSA calls: unit 0 made active, texture bound.
    static void bindTextureForUpload(GLenum target, GLuint texture);
    static void bindBuffer(GLenum target, GLuint buffer);
    static void bindBufferBase(GLenum target, GLuint index, GLuint buffer);
    static void bindBufferRange(GLenum target, GLuint index, GLuint buffer, GLintptr offset, GLsizeiptr size);
    // The buffer and offset bound at a storage binding, whole or as a range
    // (GL is asked when the cache does not know).
    static void storageStart(GLuint index, GLuint& buffer, GLintptr& offset);

    // Deleting a bound object unbinds it: these delete and drop it from the
    // cache, so that a new object given the same name is bound again.
    static void deleteTextures(GLsizei count, const GLuint* textures);
    static void deleteBuffers(GLsizei count, const GLuint* buffers);
    static void deleteVertexArrays(GLsizei count, const GLuint* vertexArrays);
    static void deleteFramebuffers(GLsizei count, const GLuint* framebuffers);
    static void deleteProgram(GLuint program);

    // Switches.
    static void depthTest(bool on);
    static void depthWrite(bool on);
    static void blending(bool on);
    static void blendFunction(GLenum source, GLenum destination);
    static void culling(bool on);
    static void cullFace(GLenum face);
    static void colorWrite(bool on);
    static void polygonMode(GLenum mode);
    static void viewport(GLint x, GLint y, GLsizei width, GLsizei height);
    static void framebufferSrgb(bool on);
    static void apply(const RenderState& state);

    static bool isDepthTest();
    static bool isCulling();
    static bool isBlending();

    // Fixed settings of the engine's context, set once at start.
    static void setDefaults();
};
}

#endif // KALVEX_GLCONTEXT_H
