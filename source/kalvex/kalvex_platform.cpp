// The platform layer: GLFW window and context, input, frame timing and the
// splash screen.
#include "kalvex_internal.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"

#include <GLFW/glfw3.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kalvex_resources.h"

namespace kx
{
Engine* engine = nullptr;
}
using kx::engine;

namespace
{
const int MIN_UNIFORM_BLOCK_SIZE = 24576;
const int MIN_VERTEX_UNIFORM_VECTORS = 512;

void glfwErrorCallback(int code, const char* description)
{
    KX_LOG(LEVEL_ERROR, "[GLFW] code: %d, %s", code, description ? description : "");
}

bool hasExtension(const char* name)
{
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i)
    {
        const char* extension = reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, static_cast<GLuint>(i)));
        if (extension && std::strcmp(extension, name) == 0)
            return true;
    }
    return false;
}

const char* glString(GLenum name)
{
    const char* text = reinterpret_cast<const char*>(glGetString(name));
    return text ? text : "";
}

GLint glInteger(GLenum name)
{
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}

// Colour bits of the window by the configured depth, and the context the
// engine needs.
void windowHints(const KxConfig& config)
{
    glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
    glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
    glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_API);
    glfwWindowHint(GLFW_CONTEXT_CREATION_API, GLFW_NATIVE_CONTEXT_API);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_DEBUG_CONTEXT, GLFW_FALSE);
    switch (config.getColorDepth())
    {
    case 16:
        glfwWindowHint(GLFW_RED_BITS, 5);
        glfwWindowHint(GLFW_GREEN_BITS, 6);
        glfwWindowHint(GLFW_BLUE_BITS, 5);
        glfwWindowHint(GLFW_ALPHA_BITS, 0);
        break;
    case 24:
        glfwWindowHint(GLFW_RED_BITS, 8);
        glfwWindowHint(GLFW_GREEN_BITS, 8);
        glfwWindowHint(GLFW_BLUE_BITS, 8);
        glfwWindowHint(GLFW_ALPHA_BITS, 0);
        break;
    default:
        glfwWindowHint(GLFW_RED_BITS, 8);
        glfwWindowHint(GLFW_GREEN_BITS, 8);
        glfwWindowHint(GLFW_BLUE_BITS, 8);
        glfwWindowHint(GLFW_ALPHA_BITS, 8);
        break;
    }
    glfwWindowHint(GLFW_DEPTH_BITS, config.getZetaDepth());
    glfwWindowHint(GLFW_STENCIL_BITS, config.getStencilDepth());
}

// Reads a bottom-up 24-bit BMP held in memory. False on anything malformed.
bool parseBmp24(const unsigned char* data, size_t size, int& width, int& height, const unsigned char*& pixels)
{
    auto read32 = [&](size_t offset) {
        return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
               static_cast<uint32_t>(data[offset + 2]) << 16 | static_cast<uint32_t>(data[offset + 3]) << 24;
    };
    if (size < 54 || data[0] != 'B' || data[1] != 'M')
        return false;
    uint32_t offset = read32(10);
    int32_t w = static_cast<int32_t>(read32(18));
    int32_t h = static_cast<int32_t>(read32(22));
    uint16_t bits = static_cast<uint16_t>(data[28] | data[29] << 8);
    if (bits != 24 || w <= 0 || h <= 0 || w > 8192 || h > 8192)
        return false;
    size_t rowBytes = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
    if (offset > size || rowBytes * static_cast<size_t>(h) > size - offset)
        return false;
    width = w;
    height = h;
    pixels = data + offset;
    return true;
}
}

namespace kx
{
namespace platform
{
const char* openWindow(const KxConfig& config)
{
    glfwSetErrorCallback(glfwErrorCallback);
    if (!glfwInit())
        return "Unable to init GLFW";
    int major = 0, minor = 0, revision = 0;
    glfwGetVersion(&major, &minor, &revision);
    KX_LOG(LEVEL_PLAIN, "   Using GLFW v%d.%d.%d", major, minor, revision);

    windowHints(config);

    int monitorCount = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&monitorCount);
    KX_LOG(LEVEL_PLAIN, "%d display(s) found:", monitorCount);
    for (int i = 0; i < monitorCount; ++i)
    {
        const char* name = glfwGetMonitorName(monitors[i]);
        KX_LOG(LEVEL_PLAIN, "   %d) %s", i, name ? name : "");
    }

    GLFWmonitor* monitor = nullptr;
    if (config.isFullscreen())
    {
        int display = config.getDisplay();
        if (display != -1 && (display < 0 || display >= monitorCount))
        {
            KX_LOG(LEVEL_WARNING, "Display %d not found, using the primary display", display);
            display = -1;
        }
        monitor = display == -1 ? glfwGetPrimaryMonitor() : monitors[display];
    }
    int requestedX = config.getWindowSizeX() > 0 ? config.getWindowSizeX() : 640;
    int requestedY = config.getWindowSizeY() > 0 ? config.getWindowSizeY() : 480;
    engine->window = glfwCreateWindow(requestedX, requestedY, config.getWindowTitle().c_str(), monitor, nullptr);
    if (!engine->window)
        return "Unable to create window";
    glfwMakeContextCurrent(engine->window);
    return nullptr;
}

const char* startContext(const KxConfig& config)
{
    GLint glMajor = 0, glMinor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &glMajor);
    glGetIntegerv(GL_MINOR_VERSION, &glMinor);
    KX_LOG(LEVEL_PLAIN, "OpenGL properties:");
    KX_LOG(LEVEL_PLAIN, "   Vendor . . . :  %s", glString(GL_VENDOR));
    KX_LOG(LEVEL_PLAIN, "   Driver . . . :  %s", glString(GL_RENDERER));
    KX_LOG(LEVEL_PLAIN, "   Version  . . :  %s [%d.%d]", glString(GL_VERSION), glMajor, glMinor);
    KX_LOG(LEVEL_PLAIN, "   GLSL . . . . :  %s", glString(GL_SHADING_LANGUAGE_VERSION));
    KX_LOG(LEVEL_PLAIN, "   Extensions . :  %d", glInteger(GL_NUM_EXTENSIONS));
    GLint blockSize = glInteger(GL_MAX_UNIFORM_BLOCK_SIZE);
    KX_LOG(LEVEL_PLAIN, "   Block size . :  %d", blockSize);
    if (blockSize < MIN_UNIFORM_BLOCK_SIZE)
        return "Insufficient UBO size";
    KX_LOG(LEVEL_PLAIN, "   Max blocks . :  %d", glInteger(GL_MAX_FRAGMENT_UNIFORM_BLOCKS));
    GLint uniformVectors = glInteger(GL_MAX_VERTEX_UNIFORM_VECTORS);
    KX_LOG(LEVEL_PLAIN, "   Max uniforms :  %d", uniformVectors);
    if (uniformVectors < MIN_VERTEX_UNIFORM_VECTORS)
        return "Insufficient uniform vector size";

    glfwGetFramebufferSize(engine->window, &engine->windowSizeX, &engine->windowSizeY);
    glfwSetFramebufferSizeCallback(engine->window, [](GLFWwindow*, int sizeX, int sizeY) {
        if (!engine)
            return;
        engine->resizedX = sizeX;
        engine->resizedY = sizeY;
    });
    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK)
        return "Unable to init GLEW";
    // glewInit may leave a harmless GL_INVALID_ENUM behind on core contexts.
    while (glGetError() != GL_NO_ERROR)
    {
    }
    KX_LOG(LEVEL_PLAIN, "   Using GLEW v%s.%s.%s", reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MAJOR)),
           reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MINOR)),
           reinterpret_cast<const char*>(glewGetString(GLEW_VERSION_MICRO)));

    // Capabilities come from the context's own list: GLEW's experimental mode
    // reports extensions that the driver does not have.
    if (glMajor < 4 || (glMajor == 4 && glMinor < 5))
        return "OpenGL 4.5 core not supported";
    kx::GlContext::init(config.getNrOfAASamples(), engine->windowSizeX, engine->windowSizeY);
    return nullptr;
}

const char* checkExtensions()
{
    if (!hasExtension("GL_EXT_texture_compression_s3tc"))
        return "GL_EXT_texture_compression_s3tc not supported";
    KX_LOG(LEVEL_PLAIN, "   Ready for OpenGL 4.5 core");
    return nullptr;
}

void closeWindow()
{
    if (engine && engine->window)
        glfwDestroyWindow(engine->window);
    if (engine)
        engine->window = nullptr;
    glfwTerminate();
}

// The image as a clamped, linearly filtered RGB texture.
GLuint splashTexture(const unsigned char* pixels, int width, int height)
{
    GLuint texture = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    kx::GlContext::bindTexture(GL_TEXTURE_2D, 0, texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4); // BMP rows are padded to four bytes
    glTextureParameteri(texture, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTextureParameteri(texture, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTextureStorage2D(texture, 1, GL_RGB8, width, height);
    glTextureSubImage2D(texture, 0, 0, 0, width, height, GL_BGR, GL_UNSIGNED_BYTE, pixels);
    return texture;
}

// A strip that places an image of width x height centred at its native size
// in a window of W x H; positions and texture coordinates in two buffers.
GLuint splashQuad(int W, int H, int width, int height, GLuint buffers[2])
{
    int left = W / 2 - width / 2;
    int bottom = H / 2 - height / 2;
    float x0 = 2.0f * left / W - 1.0f, x1 = 2.0f * (left + width) / W - 1.0f;
    float y0 = 2.0f * bottom / H - 1.0f, y1 = 2.0f * (bottom + height) / H - 1.0f;
    const float positions[] = {x0, y0, 0.0f, x1, y0, 0.0f, x0, y1, 0.0f, x1, y1, 0.0f};
    const float texCoords[] = {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};

    glCreateBuffers(2, buffers);
    glNamedBufferStorage(buffers[0], sizeof(positions), positions, 0);
    glNamedBufferStorage(buffers[1], sizeof(texCoords), texCoords, 0);
    GLuint vertexArray = 0;
    glCreateVertexArrays(1, &vertexArray);
    glVertexArrayVertexBuffer(vertexArray, 0, buffers[0], 0, 3 * sizeof(float));
    glVertexArrayVertexBuffer(vertexArray, 1, buffers[1], 0, 2 * sizeof(float));
    glVertexArrayAttribFormat(vertexArray, 0, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribFormat(vertexArray, 1, 2, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(vertexArray, 0, 0);
    glVertexArrayAttribBinding(vertexArray, 1, 1);
    glEnableVertexArrayAttrib(vertexArray, 0);
    glEnableVertexArrayAttrib(vertexArray, 1);
    return vertexArray;
}

// A minimal program that shows the texture of unit 0.
GLuint splashProgram(GLuint stages[2])
{
    const char* vertexSource = "#version 450 core\n"
                               "layout(location = 0) in vec3 position;\n"
                               "layout(location = 1) in vec2 texCoord;\n"
                               "out vec2 uv;\n"
                               "void main() { uv = texCoord; gl_Position = vec4(position, 1.0); }\n";
    const char* fragmentSource = "#version 450 core\n"
                                 "layout(binding = 0) uniform sampler2D image;\n"
                                 "in vec2 uv;\n"
                                 "out vec4 outputColor;\n"
                                 "void main() { outputColor = texture(image, uv); }\n";
    GLuint program = glCreateProgram();
    stages[0] = glCreateShader(GL_VERTEX_SHADER);
    stages[1] = glCreateShader(GL_FRAGMENT_SHADER);
    glShaderSource(stages[0], 1, &vertexSource, nullptr);
    glShaderSource(stages[1], 1, &fragmentSource, nullptr);
    for (int stage = 0; stage < 2; ++stage)
    {
        glCompileShader(stages[stage]);
        glAttachShader(program, stages[stage]);
    }
    glLinkProgram(program);
    return program;
}

bool splashScreen()
{
    int width = 0, height = 0;
    const unsigned char* pixels = nullptr;
    if (!parseBmp24(kx_resource_splash_bmp, kx_resource_splash_bmp_size, width, height, pixels))
        return KX_LOG(LEVEL_ERROR, "Invalid splash bitmap");

    GLuint texture = splashTexture(pixels, width, height);
    GLuint buffers[2];
    GLuint vertexArray = splashQuad(engine->windowSizeX, engine->windowSizeY, width, height, buffers);
    GLuint stages[2];
    GLuint program = splashProgram(stages);

    kx::GlContext::bindFramebuffer(0);
    kx::GlContext::viewport(0, 0, engine->windowSizeX, engine->windowSizeY);
    glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    kx::GlContext::depthTest(false);
    kx::GlContext::useProgram(program);
    kx::GlContext::bindVertexArray(vertexArray);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glfwSwapBuffers(engine->window);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    glfwPollEvents();

    kx::GlContext::bindVertexArray(0);
    kx::GlContext::useProgram(0);
    kx::GlContext::deleteVertexArrays(1, &vertexArray);
    kx::GlContext::deleteBuffers(2, buffers);
    for (GLuint stage : stages)
        glDeleteShader(stage);
    kx::GlContext::deleteProgram(program);
    kx::GlContext::deleteTextures(1, &texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    return true;
}
}
}

bool Kalvex::swap(bool pumpEvents)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    glfwSwapBuffers(engine->window);

    uint64_t now = KxTimer::getCounter();
    double milliseconds = KxTimer::getCounterDiff(engine->lastCounter, now);
    engine->lastCounter = now;
    engine->lastFrameTime = static_cast<float>(milliseconds / 1000.0);
    // Two swaps within the same microsecond have no meaningful rate.
    engine->fps = engine->lastFrameTime > 0.0f ? 1.0f / engine->lastFrameTime : 0.0f;

    if (!pumpEvents)
        return true;
    return processEvents();
}

bool Kalvex::processEvents()
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    glfwPollEvents();
    // A minimised window has no size: keep the last one.
    if (engine->resizedX > 0 && engine->resizedY > 0)
        resize(engine->resizedX, engine->resizedY);
    engine->resizedX = engine->resizedY = 0;
    return !glfwWindowShouldClose(engine->window);
}

bool Kalvex::setKeyboardCallback(void (*callback)(int, int, int, int))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->keyboardCallback = callback;
    glfwSetKeyCallback(engine->window, [](GLFWwindow*, int key, int scancode, int action, int mods) {
        if (engine && engine->keyboardCallback)
            engine->keyboardCallback(key, scancode, action, mods);
    });
    return true;
}

bool Kalvex::setMouseCursorCallback(void (*callback)(double, double))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseCursorCallback = callback;
    glfwSetCursorPosCallback(engine->window, [](GLFWwindow*, double x, double y) {
        if (engine && engine->mouseCursorCallback)
            engine->mouseCursorCallback(x, y);
    });
    return true;
}

bool Kalvex::setMouseButtonCallback(void (*callback)(int, int, int))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseButtonCallback = callback;
    glfwSetMouseButtonCallback(engine->window, [](GLFWwindow*, int button, int action, int mods) {
        if (engine && engine->mouseButtonCallback)
            engine->mouseButtonCallback(button, action, mods);
    });
    return true;
}

bool Kalvex::setMouseScrollCallback(void (*callback)(double, double))
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->mouseScrollCallback = callback;
    glfwSetScrollCallback(engine->window, [](GLFWwindow*, double x, double y) {
        if (engine && engine->mouseScrollCallback)
            engine->mouseScrollCallback(x, y);
    });
    return true;
}

bool Kalvex::setGamingMode(bool on)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    engine->gamingMode = on;
    glfwSetInputMode(engine->window, GLFW_CURSOR, on ? GLFW_CURSOR_DISABLED : GLFW_CURSOR_NORMAL);
    glfwSetInputMode(engine->window, GLFW_STICKY_KEYS, on ? GLFW_TRUE : GLFW_FALSE);
    return true;
}

void* Kalvex::getWindow()
{
    return engine ? engine->window : nullptr;
}

bool Kalvex::getGamingMode()
{
    return engine && engine->gamingMode;
}

bool Kalvex::readWindowPixels(int x, int y, int width, int height, unsigned char* rgba)
{
    if (!engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (!rgba || width <= 0 || height <= 0 || x < 0 || y < 0 || x + width > engine->windowSizeX ||
        y + height > engine->windowSizeY)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    std::vector<unsigned char> rows(static_cast<size_t>(width) * height * 4);
    kx::GlContext::bindReadFramebuffer(0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    // GL rows run bottom-up; callers get the top row first, with y counted from the top.
    glReadPixels(x, engine->windowSizeY - y - height, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rows.data());
    size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int row = 0; row < height; ++row)
        std::memcpy(rgba + row * rowBytes, rows.data() + (height - 1 - row) * rowBytes, rowBytes);
    return true;
}

