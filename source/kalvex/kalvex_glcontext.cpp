// GlContext: the one owner of the engine's cached GL bindings and switches.
#include "kalvex_glcontext.h"

#include "kalvex_bindings.h"

#include <algorithm>
#include <cstring>

namespace
{
// A cached value that may be unknown (at start and after forget): then the
// next request is always sent.
template <typename T>
struct Cached
{
    T value{};
    bool known = false;

    // True when GL must be told: the value is unknown or differs.
    bool change(const T& wanted)
    {
        if (known && value == wanted)
            return false;
        value = wanted;
        known = true;
        return true;
    }
};

struct Viewport
{
    GLint x, y;
    GLsizei width, height;
    bool operator==(const Viewport& other) const
    {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

struct BlendFunction
{
    GLenum source, destination;
    bool operator==(const BlendFunction& other) const
    {
        return source == other.source && destination == other.destination;
    }
};

// Where a storage binding starts: a range's buffer and offset.
struct StorageStart
{
    GLuint buffer;
    GLintptr offset;
    bool operator==(const StorageStart& other) const { return buffer == other.buffer && offset == other.offset; }
};

// Indexed buffer binding points cached per target; enough for every binding
// of the bindings table.
const GLuint INDEXED_BINDINGS = 16;
const GLenum INDEXED_TARGETS[] = {GL_UNIFORM_BUFFER, GL_SHADER_STORAGE_BUFFER};
const GLenum PLAIN_TARGETS[] = {GL_ARRAY_BUFFER,         GL_ELEMENT_ARRAY_BUFFER, GL_UNIFORM_BUFFER,
                                GL_SHADER_STORAGE_BUFFER, GL_DRAW_INDIRECT_BUFFER, GL_PIXEL_PACK_BUFFER,
                                GL_PIXEL_UNPACK_BUFFER,   GL_COPY_READ_BUFFER,     GL_COPY_WRITE_BUFFER};
const size_t NR_OF_PLAIN_TARGETS = sizeof(PLAIN_TARGETS) / sizeof(PLAIN_TARGETS[0]);

struct ContextState
{
    kx::Capabilities capabilities;

    Cached<GLuint> program;
    Cached<GLuint> vertexArray;
    Cached<GLuint> readFramebuffer;
    Cached<GLuint> drawFramebuffer;
    Cached<GLuint> textures[kx::unit::TRACKED_COUNT];
    Cached<GLuint> plainBuffers[NR_OF_PLAIN_TARGETS];
    Cached<GLuint> indexedBuffers[2][INDEXED_BINDINGS];
    Cached<StorageStart> storageStarts[INDEXED_BINDINGS]; // ranges included

    Cached<bool> depthTest;
    Cached<bool> depthWrite;
    Cached<bool> blending;
    Cached<BlendFunction> blendFunction;
    Cached<bool> culling;
    Cached<GLenum> cullFace;
    Cached<bool> colorWrite;
    Cached<GLenum> polygonMode;
    Cached<Viewport> viewport;
    Cached<bool> framebufferSrgb;
};
ContextState* state = nullptr;

GLint integer(GLenum name)
{
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}

bool hasExtension(const char* name)
{
    GLint count = integer(GL_NUM_EXTENSIONS);
    for (GLint i = 0; i < count; ++i)
    {
        const char* extension = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, static_cast<GLuint>(i)));
        if (extension && std::strcmp(extension, name) == 0)
            return true;
    }
    return false;
}

void setCapability(Cached<bool>& cached, bool on, GLenum capability)
{
    if (!cached.change(on))
        return;
    if (on)
        glEnable(capability);
    else
        glDisable(capability);
}

Cached<GLuint>* plainBuffer(GLenum target)
{
    for (size_t i = 0; i < NR_OF_PLAIN_TARGETS; ++i)
        if (PLAIN_TARGETS[i] == target)
            return &state->plainBuffers[i];
    return nullptr;
}

Cached<GLuint>* indexedBuffer(GLenum target, GLuint index)
{
    for (size_t i = 0; i < 2; ++i)
        if (INDEXED_TARGETS[i] == target && index < INDEXED_BINDINGS)
            return &state->indexedBuffers[i][index];
    return nullptr;
}
}

namespace kx
{
RenderState RenderState::opaque()
{
    RenderState state;
    state.culling = true;
    return state;
}

RenderState RenderState::additive()
{
    RenderState state = opaque();
    state.depthWrite = false;
    state.blending = true;
    state.blendSource = GL_ONE;
    state.blendDestination = GL_ONE;
    return state;
}

RenderState RenderState::shadow(bool cullFrontFaces)
{
    RenderState state;
    state.culling = cullFrontFaces;
    state.cullFace = cullFrontFaces ? GL_FRONT : GL_BACK;
    state.colorWrite = false;
    return state;
}

void GlContext::init(int configuredSamples, int windowSizeX, int windowSizeY)
{
    delete state;
    state = new ContextState;
    Capabilities& c = state->capabilities;
    // From the context's own extension list: GLEW's flags claim more than
    // some drivers have.
    c.bindlessTextures = hasExtension("GL_ARB_bindless_texture");
    c.maxSamples = integer(GL_MAX_SAMPLES);
    c.aaSamples = std::min(c.maxSamples, configuredSamples);
    c.uniformBlockSize = integer(GL_MAX_UNIFORM_BLOCK_SIZE);
    c.textureUnits = integer(GL_MAX_TEXTURE_IMAGE_UNITS);
    c.storageOffsetAlignment = integer(GL_SHADER_STORAGE_BUFFER_OFFSET_ALIGNMENT);
    c.windowSizeX = windowSizeX;
    c.windowSizeY = windowSizeY;
}

void GlContext::windowResized(int sizeX, int sizeY)
{
    if (!state)
        return;
    state->capabilities.windowSizeX = sizeX;
    state->capabilities.windowSizeY = sizeY;
}

void GlContext::free()
{
    delete state;
    state = nullptr;
}

bool GlContext::isStarted()
{
    return state != nullptr;
}

const Capabilities& GlContext::capabilities()
{
    static const Capabilities none;
    return state ? state->capabilities : none;
}

void GlContext::forget()
{
    if (!state)
        return;
    Capabilities capabilities = state->capabilities;
    *state = ContextState();
    state->capabilities = capabilities;
}

void GlContext::resetProgram()
{
    if (state)
        state->program = Cached<GLuint>();
    useProgram(0);
}

void GlContext::resetVertexArray()
{
    if (state)
        state->vertexArray = Cached<GLuint>();
    bindVertexArray(0);
}

void GlContext::resetFramebuffer()
{
    if (state)
    {
        state->readFramebuffer = Cached<GLuint>();
        state->drawFramebuffer = Cached<GLuint>();
    }
    bindFramebuffer(0);
}

void GlContext::useProgram(GLuint program)
{
    if (!state || state->program.change(program))
        glUseProgram(program);
}

GLuint GlContext::currentProgram()
{
    return state && state->program.known ? state->program.value : 0;
}

void GlContext::bindVertexArray(GLuint vertexArray)
{
    if (state && !state->vertexArray.change(vertexArray))
        return;
    glBindVertexArray(vertexArray);
    // The element buffer binding belongs to the vertex array.
    if (Cached<GLuint>* elements = state ? plainBuffer(GL_ELEMENT_ARRAY_BUFFER) : nullptr)
        *elements = Cached<GLuint>();
}

void GlContext::bindFramebuffer(GLuint framebuffer)
{
    if (state && state->readFramebuffer.known && state->readFramebuffer.value == framebuffer &&
        state->drawFramebuffer.known && state->drawFramebuffer.value == framebuffer)
        return;
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    if (state)
    {
        state->readFramebuffer.change(framebuffer);
        state->drawFramebuffer.change(framebuffer);
    }
}

void GlContext::bindReadFramebuffer(GLuint framebuffer)
{
    if (!state || state->readFramebuffer.change(framebuffer))
        glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
}

void GlContext::bindDrawFramebuffer(GLuint framebuffer)
{
    if (!state || state->drawFramebuffer.change(framebuffer))
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
}

void GlContext::bindTexture(GLenum, GLuint unit, GLuint texture)
{
    if (!state || unit >= unit::TRACKED_COUNT || state->textures[unit].change(texture))
        glBindTextureUnit(unit, texture);
}

void GlContext::bindTextures(GLuint firstUnit, GLsizei count, const GLuint* textures)
{
    glBindTextures(firstUnit, count, textures);
    if (!state)
        return;
    for (GLsizei i = 0; i < count; ++i)
        if (firstUnit + static_cast<GLuint>(i) < unit::TRACKED_COUNT)
            state->textures[firstUnit + static_cast<GLuint>(i)].change(textures ? textures[i] : 0);
}

void GlContext::bindTextureForUpload(GLenum target, GLuint texture)
{
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(target, texture);
    // Unit 0 now holds it on this target only: the cache cannot say what the
    // unit's other targets hold.
    if (state)
        state->textures[0] = Cached<GLuint>();
}

void GlContext::bindBuffer(GLenum target, GLuint buffer)
{
    Cached<GLuint>* cached = state ? plainBuffer(target) : nullptr;
    if (!cached || cached->change(buffer))
        glBindBuffer(target, buffer);
}

void GlContext::bindBufferBase(GLenum target, GLuint index, GLuint buffer)
{
    glBindBufferBase(target, index, buffer);
    // Also binds the generic point of the target.
    if (Cached<GLuint>* generic = state ? plainBuffer(target) : nullptr)
        generic->change(buffer);
    if (Cached<GLuint>* cached = state ? indexedBuffer(target, index) : nullptr)
        cached->change(buffer);
    if (state && target == GL_SHADER_STORAGE_BUFFER && index < INDEXED_BINDINGS)
        state->storageStarts[index].change({buffer, 0});
}

void GlContext::bindBufferRange(GLenum target, GLuint index, GLuint buffer, GLintptr offset, GLsizeiptr size)
{
    glBindBufferRange(target, index, buffer, offset, size);
    if (Cached<GLuint>* generic = state ? plainBuffer(target) : nullptr)
        generic->change(buffer);
    // A range is not the whole buffer: the next whole binding is always sent.
    if (Cached<GLuint>* cached = state ? indexedBuffer(target, index) : nullptr)
        *cached = Cached<GLuint>();
    if (state && target == GL_SHADER_STORAGE_BUFFER && index < INDEXED_BINDINGS)
        state->storageStarts[index].change({buffer, offset});
}

void GlContext::storageStart(GLuint index, GLuint& buffer, GLintptr& offset)
{
    Cached<StorageStart>* cached = state && index < INDEXED_BINDINGS ? &state->storageStarts[index] : nullptr;
    if (!cached || !cached->known)
    {
        GLint name = 0;
        GLint64 start = 0;
        glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, index, &name);
        glGetInteger64i_v(GL_SHADER_STORAGE_BUFFER_START, index, &start);
        StorageStart asked = {static_cast<GLuint>(name), static_cast<GLintptr>(start)};
        if (cached)
            cached->change(asked);
        buffer = asked.buffer;
        offset = asked.offset;
        return;
    }
    buffer = cached->value.buffer;
    offset = cached->value.offset;
}

namespace
{
void drop(Cached<GLuint>& cached, GLuint name)
{
    if (cached.known && cached.value == name)
        cached = Cached<GLuint>();
}
}

void GlContext::deleteTextures(GLsizei count, const GLuint* textures)
{
    glDeleteTextures(count, textures);
    for (GLsizei i = 0; state && i < count; ++i)
        for (Cached<GLuint>& unit : state->textures)
            drop(unit, textures[i]);
}

void GlContext::deleteBuffers(GLsizei count, const GLuint* buffers)
{
    glDeleteBuffers(count, buffers);
    for (GLsizei i = 0; state && i < count; ++i)
    {
        for (Cached<GLuint>& plain : state->plainBuffers)
            drop(plain, buffers[i]);
        for (auto& target : state->indexedBuffers)
            for (Cached<GLuint>& indexed : target)
                drop(indexed, buffers[i]);
        for (Cached<StorageStart>& start : state->storageStarts)
            if (start.known && start.value.buffer == buffers[i])
                start = Cached<StorageStart>();
    }
}

void GlContext::deleteVertexArrays(GLsizei count, const GLuint* vertexArrays)
{
    glDeleteVertexArrays(count, vertexArrays);
    for (GLsizei i = 0; state && i < count; ++i)
        drop(state->vertexArray, vertexArrays[i]);
    // The element buffer binding belongs to the vertex array.
    if (state && count > 0)
        if (Cached<GLuint>* elements = plainBuffer(GL_ELEMENT_ARRAY_BUFFER))
            *elements = Cached<GLuint>();
}

void GlContext::deleteFramebuffers(GLsizei count, const GLuint* framebuffers)
{
    glDeleteFramebuffers(count, framebuffers);
    for (GLsizei i = 0; state && i < count; ++i)
    {
        drop(state->readFramebuffer, framebuffers[i]);
        drop(state->drawFramebuffer, framebuffers[i]);
    }
}

void GlContext::deleteProgram(GLuint program)
{
    glDeleteProgram(program);
    if (state)
        drop(state->program, program);
}

void GlContext::depthTest(bool on)
{
    if (state)
        setCapability(state->depthTest, on, GL_DEPTH_TEST);
}

void GlContext::depthWrite(bool on)
{
    if (!state || state->depthWrite.change(on))
        glDepthMask(on ? GL_TRUE : GL_FALSE);
}

void GlContext::blending(bool on)
{
    if (state)
        setCapability(state->blending, on, GL_BLEND);
}

void GlContext::blendFunction(GLenum source, GLenum destination)
{
    if (!state || state->blendFunction.change(BlendFunction{source, destination}))
        glBlendFunc(source, destination);
}

void GlContext::culling(bool on)
{
    if (state)
        setCapability(state->culling, on, GL_CULL_FACE);
}

void GlContext::cullFace(GLenum face)
{
    if (!state || state->cullFace.change(face))
        glCullFace(face);
}

void GlContext::colorWrite(bool on)
{
    if (!state || state->colorWrite.change(on))
    {
        GLboolean value = on ? GL_TRUE : GL_FALSE;
        glColorMask(value, value, value, value);
    }
}

void GlContext::polygonMode(GLenum mode)
{
    if (!state || state->polygonMode.change(mode))
        glPolygonMode(GL_FRONT_AND_BACK, mode);
}

void GlContext::viewport(GLint x, GLint y, GLsizei width, GLsizei height)
{
    // Always sent: clients and GUI toolkits set viewports freely, and one call
    // per pass or framebuffer bind costs nothing. Recorded all the same.
    if (state)
        state->viewport.change(Viewport{x, y, width, height});
    glViewport(x, y, width, height);
}

void GlContext::framebufferSrgb(bool on)
{
    if (state)
        setCapability(state->framebufferSrgb, on, GL_FRAMEBUFFER_SRGB);
}

void GlContext::apply(const RenderState& wanted)
{
    depthTest(wanted.depthTest);
    depthWrite(wanted.depthWrite);
    blending(wanted.blending);
    if (wanted.blending)
        blendFunction(wanted.blendSource, wanted.blendDestination);
    culling(wanted.culling);
    if (wanted.culling)
        cullFace(wanted.cullFace);
    colorWrite(wanted.colorWrite);
}

bool GlContext::isDepthTest()
{
    return state && state->depthTest.value;
}

bool GlContext::isCulling()
{
    return state && state->culling.value;
}

bool GlContext::isBlending()
{
    return state && state->blending.value;
}

void GlContext::setDefaults()
{
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    depthTest(false);
    culling(false);
    blending(false);
}
}
