// KxOpenGL: cached GL switches, clear colour, fences and the global uniform block.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstddef>
#include <cstdio>
#include <vector>

#include "kalvex_bindings.h"

static_assert(sizeof(KxOpenGL::kxGlobal) == KxOpenGL::SIZEOF_GLOBAL, "global block must match its std140 layout");
static_assert(offsetof(KxOpenGL::kxGlobal, viewportSizeX) == 192, "std140 offset");
static_assert(offsetof(KxOpenGL::kxGlobal, shadowMap) == 208, "std140 offset");
static_assert(offsetof(KxOpenGL::kxGlobal, ambient) == 224, "std140 offset");

namespace
{
const GLenum DRAW_BUFFERS[] = {GL_BACK, GL_NONE, GL_BACK_LEFT, GL_BACK_RIGHT};

struct GlState
{
    KxOpenGL::kxGlobal global;
    KxBuffer* globalUbo = nullptr;
    std::vector<GLint> binFormats;
    GLenum drawBuffer = GL_BACK;
    glm::vec4 backgroundColor = glm::vec4(0, 0, 0, 1);
    bool wireframe = false; // read by the classes that draw geometry
};
GlState* state = nullptr;
}

void KxOpenGL::init()
{
    if (state)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    state = new GlState;

    GLint formats = 0;
    glGetIntegerv(GL_NUM_PROGRAM_BINARY_FORMATS, &formats);
    state->binFormats.assign(formats > 0 ? static_cast<size_t>(formats) : 0, 0);
    if (formats > 0)
        glGetIntegerv(GL_PROGRAM_BINARY_FORMATS, state->binFormats.data());
    KX_LOG(LEVEL_PLAIN, "   Bin. formats :  %d", formats);

    state->globalUbo = new KxBuffer;
    state->globalUbo->create(KxBuffer::TYPE_UNIFORM, SIZEOF_GLOBAL, nullptr);

    kx::GlContext::setDefaults();
    setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);

    state->global = kxGlobal();
    state->global.alphaThreshold = 0.5f;
    state->global.ambient = glm::vec3(0.05f);
    syncGlobal();
}

void KxOpenGL::free()
{
    if (!state)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete state->globalUbo;
    delete state;
    state = nullptr;
}

void KxOpenGL::setBackgroundColor(const glm::vec4& color)
{
    if (state)
        state->backgroundColor = color;
    glClearColor(color.r, color.g, color.b, color.a);
}

void KxOpenGL::setBackgroundColor(float r, float g, float b, float a)
{
    setBackgroundColor(glm::vec4(r, g, b, a));
}

void KxOpenGL::setBackgroundColor(const glm::vec3& color)
{
    setBackgroundColor(glm::vec4(color, 1.0f));
}

void KxOpenGL::setBackgroundColor(float r, float g, float b)
{
    setBackgroundColor(glm::vec4(r, g, b, 1.0f));
}

const glm::vec4& KxOpenGL::getBackgroundColor()
{
    static const glm::vec4 none(0.0f);
    return state ? state->backgroundColor : none;
}

void KxOpenGL::clear(bool color, bool depth, bool stencil)
{
    glClear((color ? GL_COLOR_BUFFER_BIT : 0) | (depth ? GL_DEPTH_BUFFER_BIT : 0) | (stencil ? GL_STENCIL_BUFFER_BIT : 0));
}

void KxOpenGL::depthTest(bool on)
{
    if (state)
        kx::GlContext::depthTest(on);
}

void KxOpenGL::culling(bool on)
{
    if (state)
        kx::GlContext::culling(on);
}

void KxOpenGL::blending(bool on)
{
    if (state)
        kx::GlContext::blending(on);
}

bool KxOpenGL::isDepthTest()
{
    return state && kx::GlContext::isDepthTest();
}

bool KxOpenGL::isCulling()
{
    return state && kx::GlContext::isCulling();
}

bool KxOpenGL::isBlending()
{
    return state && kx::GlContext::isBlending();
}

void KxOpenGL::resetCache()
{
    kx::GlContext::forget();
    KxShader::resetCache();
    KxFbo::resetCache();
    KxMesh::resetCache();
    KxMaterial::resetCache();
}

void KxOpenGL::wireframe(bool on)
{
    if (state)
        state->wireframe = on;
}

bool KxOpenGL::isWireframe()
{
    return state && state->wireframe;
}

bool KxOpenGL::setDrawBuffer(int code)
{
    if (!state || code < 0 || code > 3)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    state->drawBuffer = DRAW_BUFFERS[code];
    glDrawBuffer(state->drawBuffer);
    return true;
}

int KxOpenGL::getDrawBuffer()
{
    if (!state)
        return -1;
    for (int code = 0; code < 4; ++code)
        if (DRAW_BUFFERS[code] == state->drawBuffer)
            return code;
    return -1;
}

void KxOpenGL::setAlphaThreshold(float threshold)
{
    if (!state)
        return;
    state->global.alphaThreshold = threshold;
    syncGlobal();
}

float KxOpenGL::getAlphaThreshold()
{
    return state ? state->global.alphaThreshold : 0.0f;
}

KxOpenGL::kxGlobal* KxOpenGL::getGlobal()
{
    return state ? &state->global : nullptr;
}

KxBuffer* KxOpenGL::getGlobalUbo()
{
    return state ? state->globalUbo : nullptr;
}

bool KxOpenGL::syncGlobal()
{
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    state->globalUbo->render(reinterpret_cast<void*>(uintptr_t{kx::binding::GLOBAL}));
    return state->globalUbo->upload(&state->global, 0, SIZEOF_GLOBAL);
}

int KxOpenGL::getNrOfBinFormats()
{
    return state ? static_cast<int>(state->binFormats.size()) : 0;
}

int* KxOpenGL::getBinFormatPtr()
{
    return state && !state->binFormats.empty() ? state->binFormats.data() : nullptr;
}

void KxOpenGL::wait()
{
    glFlush();
    glFinish();
}

void KxOpenGL::waitFlush()
{
    glFlush();
}

void KxOpenGL::waitFinish()
{
    glFinish();
}

void* KxOpenGL::putFence()
{
    return glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
}

bool KxOpenGL::waitForFence(void* fence)
{
    if (!fence)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    GLsync sync = static_cast<GLsync>(fence);
    GLenum result = glClientWaitSync(sync, 0, 0);
    if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED)
    {
        glDeleteSync(sync);
        return true;
    }
    result = glClientWaitSync(sync, GL_SYNC_FLUSH_COMMANDS_BIT, 100000000);
    glDeleteSync(sync);
    if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED)
        return true;
    if (result == GL_TIMEOUT_EXPIRED)
        return KX_LOG(LEVEL_ERROR, "Timeout triggered by fence");
    return KX_LOG(LEVEL_ERROR, "Unhandled case");
}
