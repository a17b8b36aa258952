// GPU buffers, cached GL switches, fences and the global uniform block.
#include "kxtest.h"

#include <GL/glew.h>

#include <cstring>

class GlState : public kxtest::EngineTest
{
};

TEST_F(GlState, BufferCreateAndUploadBounds)
{
    KxBuffer* buffer = new KxBuffer;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(buffer->create(8, 16, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_FALSE(buffer->create(0, 16, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Unexpected buffer type", mark), 1);

    for (unsigned int type = 1; type <= 7; ++type)
    {
        ASSERT_TRUE(buffer->create(type, 240, nullptr)) << type;
        EXPECT_EQ(buffer->getSubtype(), static_cast<int>(type));
        unsigned char bytes[16];
        for (int i = 0; i < 16; ++i)
            bytes[i] = static_cast<unsigned char>(i + type);
        mark = kxtest::readLog().size();
        EXPECT_FALSE(buffer->upload(bytes, 232, 16)) << type;
        EXPECT_FALSE(buffer->upload(bytes, 0xfffffff8u, 16)) << type; // offset + size wraps in 32 bits
        EXPECT_FALSE(buffer->upload(nullptr, 0, 16)) << type;
        EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 3);
        EXPECT_TRUE(buffer->upload(bytes, 224, 16)) << type;
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)) << type;
        unsigned char readBack[16] = {};
        glGetNamedBufferSubData(buffer->getHandle(), 224, 16, readBack);
        EXPECT_EQ(std::memcmp(bytes, readBack, 16), 0) << type;
    }
    // A refused create leaves the old storage alone.
    GLuint name = buffer->getHandle();
    EXPECT_FALSE(buffer->create(0, 16, nullptr));
    EXPECT_EQ(buffer->getHandle(), name);
    EXPECT_EQ(buffer->getSize(), 240u);
}

TEST_F(GlState, PersistentMappingWritesThrough)
{
    KxBuffer* buffer = new KxBuffer;
    ASSERT_TRUE(buffer->create(KxBuffer::TYPE_STORAGE_PERSISTENT_WRITE, 64, nullptr));
    float* mapped = static_cast<float*>(buffer->map(1));
    ASSERT_NE(mapped, nullptr);
    for (int i = 0; i < 16; ++i)
        mapped[i] = static_cast<float>(i) * 0.5f;
    glFinish();
    float readBack[16] = {};
    glGetNamedBufferSubData(buffer->getHandle(), 0, sizeof(readBack), readBack);
    EXPECT_FLOAT_EQ(readBack[15], 7.5f);
    EXPECT_TRUE(buffer->unmap());
    uint64_t renders = KxStats::get(KxStats::BUFFER_RENDER);
    EXPECT_TRUE(buffer->render(reinterpret_cast<void*>(5)));
    GLint bound = 0;
    glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 5, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), buffer->getHandle());
    EXPECT_EQ(KxStats::get(KxStats::BUFFER_RENDER), renders + 1);
}

TEST_F(GlState, CachedSwitchesAndDrawBuffer)
{
    EXPECT_EQ(KxOpenGL::getDrawBuffer(), 0);
    EXPECT_TRUE(KxOpenGL::setDrawBuffer(1));
    EXPECT_EQ(KxOpenGL::getDrawBuffer(), 1);
    GLint drawBuffer = 0;
    glGetIntegerv(GL_DRAW_BUFFER, &drawBuffer);
    EXPECT_EQ(drawBuffer, GL_NONE);
    EXPECT_FALSE(KxOpenGL::setDrawBuffer(4));
    EXPECT_EQ(KxOpenGL::getDrawBuffer(), 1);
    EXPECT_TRUE(KxOpenGL::setDrawBuffer(0));

    KxOpenGL::depthTest(true);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    // The cache trusts itself: a change behind its back is not undone by a redundant call.
    glDisable(GL_DEPTH_TEST);
    KxOpenGL::depthTest(true);
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    KxOpenGL::depthTest(false);
    KxOpenGL::depthTest(true);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    KxOpenGL::depthTest(false);
    KxOpenGL::culling(true);
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    KxOpenGL::culling(false);
    KxOpenGL::blending(true);
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    KxOpenGL::blending(false);
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    KxOpenGL::wireframe(true);
    EXPECT_TRUE(KxOpenGL::isWireframe());
    KxOpenGL::wireframe(false);

    KxOpenGL::setBackgroundColor(0.2f, 0.3f, 0.4f);
    EXPECT_FLOAT_EQ(KxOpenGL::getBackgroundColor().a, 1.0f);
    GLfloat clearColor[4] = {};
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clearColor);
    EXPECT_FLOAT_EQ(clearColor[1], 0.3f);
    KxOpenGL::clear(false, false, false);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);
}

// GL calls of a client's own leave the engine's caches stale until the client
// says so with resetCache; afterwards every request reaches GL again.
TEST_F(GlState, ResetCacheForgetsStateChangedBehindTheEngine)
{
    KxShader* program = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2))->getQuadProgram();
    ASSERT_NE(program, nullptr);
    KxOpenGL::depthTest(true);
    KxOpenGL::blending(true);
    ASSERT_TRUE(program->render());

    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glUseProgram(0);
    KxOpenGL::resetCache();
    EXPECT_EQ(KxShader::getCurrent(), nullptr);
    KxOpenGL::depthTest(true);
    KxOpenGL::blending(true);
    ASSERT_TRUE(program->render());
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(static_cast<GLuint>(current), program->getHandle());
    KxOpenGL::blending(false);
    KxOpenGL::depthTest(false);
}

TEST_F(GlState, Fences)
{
    void* fence = KxOpenGL::putFence();
    ASSERT_NE(fence, nullptr);
    KxOpenGL::waitFinish();
    EXPECT_TRUE(KxOpenGL::waitForFence(fence));
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(KxOpenGL::waitForFence(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_TRUE(KxOpenGL::waitForFence(KxOpenGL::putFence()));
}

TEST_F(GlState, GlobalBlockMatchesItsInclude)
{
    const KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal();
    ASSERT_NE(global, nullptr);
    EXPECT_FLOAT_EQ(KxOpenGL::getAlphaThreshold(), 0.5f);
    EXPECT_FLOAT_EQ(global->ambient.g, 0.05f);

    const char* include = KxShader::getHashmap("kx_global");
    ASSERT_NE(include, nullptr);
    std::string text(include);
    EXPECT_NE(text.find("layout(std140, binding=0) uniform GlobalData"), std::string::npos);
    EXPECT_NE(text.find("layout(location = 4) in vec4 a_tangent;"), std::string::npos);
    EXPECT_NE(text.find("layout(location = 2) in vec2 a_uv;"), std::string::npos);
    EXPECT_NE(text.find("#ifndef KX_GLOBAL_INCLUDED"), std::string::npos);

    // A shader reads what the CPU wrote, at the offsets the CPU uses: write
    // values, draw one point that copies them into a storage buffer.
    KxOpenGL::setAlphaThreshold(0.25f);
    KxOpenGL::getGlobal()->viewportSizeY = 123.0f;
    KxOpenGL::getGlobal()->nrOfLights = 7;
    KxOpenGL::getGlobal()->ambient = glm::vec3(0.1f, 0.2f, 0.3f);
    KxOpenGL::getGlobal()->viewMatrix[3] = glm::vec4(4, 5, 6, 1);
    ASSERT_TRUE(KxOpenGL::syncGlobal());

    const char* compute = "@include kx_global;\n"
                          "layout(local_size_x = 1) in;\n"
                          "layout(std430, binding = 3) buffer Out { vec4 values[3]; };\n"
                          "void main() {\n"
                          "  values[0] = vec4(global.viewportSizeY, float(global.nrOfLights), global.alphaThreshold, 0.0);\n"
                          "  values[1] = vec4(global.ambient, 0.0);\n"
                          "  values[2] = global.viewMatrix[3];\n"
                          "}\n";
    KxShader* stage = new KxShader;
    ASSERT_TRUE(stage->loadFromMemory(KxShader::KIND_COMPUTE, compute));
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(nullptr, nullptr, nullptr, stage));
    KxBuffer* output = new KxBuffer;
    ASSERT_TRUE(output->create(KxBuffer::TYPE_STORAGE_PERSISTENT, 48, nullptr));
    output->render(reinterpret_cast<void*>(3));
    ASSERT_TRUE(program->dispatchCompute(1, 1, 1));
    program->waitFor();
    float values[12] = {};
    glGetNamedBufferSubData(output->getHandle(), 0, sizeof(values), values);
    EXPECT_FLOAT_EQ(values[0], 123.0f);
    EXPECT_FLOAT_EQ(values[1], 7.0f);
    EXPECT_FLOAT_EQ(values[2], 0.25f);
    EXPECT_FLOAT_EQ(values[4], 0.1f);
    EXPECT_FLOAT_EQ(values[6], 0.3f);
    EXPECT_FLOAT_EQ(values[8], 4.0f);
    EXPECT_FLOAT_EQ(values[10], 6.0f);

    KxOpenGL::setAlphaThreshold(0.5f);
    *KxOpenGL::getGlobal() = KxOpenGL::kxGlobal();
    KxOpenGL::getGlobal()->alphaThreshold = 0.5f;
    KxOpenGL::getGlobal()->ambient = glm::vec3(0.05f);
    KxOpenGL::syncGlobal();
}
