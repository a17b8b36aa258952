// Shader preprocessor, compilation, programs, uniform slots and the binary cache.
#include "kxtest.h"

#include <GL/glew.h>

#include <fstream>
#include <vector>

class Shaders : public kxtest::EngineTest
{
};

namespace
{
const char* const QUAD_VS = "@include kx_global;\n"
                            "uniform mat4 modelViewMatrix;\n"
                            "out vec2 uv;\n"
                            "void main() { uv = a_uv; gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0); }\n";
const char* const COLOR_FS = "uniform float generic9;\n"
                             "uniform vec4 generic0;\n"
                             "out vec4 outputColor;\n"
                             "void main() { outputColor = generic0 * generic9; }\n";

KxShader* stage(int kind, const char* source)
{
    KxShader* shader = new KxShader;
    EXPECT_TRUE(shader->loadFromMemory(kind, source));
    return shader;
}
}

TEST_F(Shaders, IncludeRegistryFirstRegistrationWins)
{
    EXPECT_TRUE(KxShader::setHashmap("kx_test_a", "first"));
    EXPECT_TRUE(KxShader::setHashmap("kx_test_a", "second"));
    EXPECT_STREQ(KxShader::getHashmap("kx_test_a"), "first");
    EXPECT_TRUE(KxShader::setHashmap("kx_test_a", nullptr));
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(KxShader::getHashmap("kx_test_a"), nullptr);
    EXPECT_FALSE(KxShader::setHashmap("kx_test_a", nullptr));
    EXPECT_FALSE(KxShader::setHashmap(nullptr, "x"));
    EXPECT_EQ(kxtest::countLogLines("Hashmap entry not found", mark), 2);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
}

TEST_F(Shaders, PreprocessorExpandsIncludesAndConstants)
{
    KxShader::setHashmap("kx_test_one", "ONE");
    KxShader::setHashmap("kx_test_two", "TWO");
    KxShader::setHashmap("kx_test_layers", "4");
    KxShader::setHashmap("kx_test_outer", "outer(@include kx_test_one;)");
    KxShader::setHashmap("kx_test_loop", "@include kx_test_loop;");

    KxShader* shader = new KxShader;
    ASSERT_TRUE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, "a\n@include kx_test_one;\n@include    kx_test_two  ;\nb"));
    EXPECT_STREQ(shader->getSource(), "a\nONE\nTWO\nb");
    ASSERT_TRUE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, "int n = @kx_test_layers@; int m = @kx_test_layers@;"));
    EXPECT_STREQ(shader->getSource(), "int n = 4; int m = 4;");
    // Included texts may include others.
    ASSERT_TRUE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, "[@include kx_test_outer;]"));
    EXPECT_STREQ(shader->getSource(), "[outer(ONE)]");
    // No '@' at all: unchanged.
    ASSERT_TRUE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, "void main() {}"));
    EXPECT_STREQ(shader->getSource(), "void main() {}");
    EXPECT_EQ(shader->getSubtype(), KxShader::KIND_FRAGMENT);

    struct Broken
    {
        const char* source;
        const char* message;
    };
    const Broken broken[] = {
        {"x @include ;", "Invalid param for @include"},
        {"x @include     ;", "Invalid param for @include"},
        {"x @include kx_test_missing;", "Header not found 'kx_test_missing'"},
        {"x @kx_test_missing@ y", "Built-in constant not found 'kx_test_missing'"},
        {"x @ y", "Invalid syntax: missing ';' or '@'"},
        {"x @define y;", "Unknown directive '@define y'"},
        {"@include kx_test_loop;", "Include nesting deeper than"},
    };
    for (const Broken& test : broken)
    {
        size_t mark = kxtest::readLog().size();
        EXPECT_FALSE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, test.source)) << test.source;
        EXPECT_EQ(kxtest::countLogLines(test.message, mark), 1) << test.source;
        EXPECT_EQ(kxtest::countLogLines("Cannot preprocess source code", mark), 1) << test.source;
    }
    // The last good source stays.
    EXPECT_STREQ(shader->getSource(), "void main() {}");

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(shader->loadFromMemory(KxShader::KIND_FRAGMENT, nullptr));
    EXPECT_FALSE(shader->loadFromMemory(0, "x"));
    EXPECT_FALSE(shader->loadFromMemory(7, "x"));
    EXPECT_EQ(kxtest::countLogLines("Invalid kind", mark), 2);
    EXPECT_FALSE(shader->loadFromFile(KxShader::KIND_FRAGMENT, "no_such_file.glsl"));
    EXPECT_EQ(kxtest::countLogLines("Unable to open file 'no_such_file.glsl'", mark), 1);
}

TEST_F(Shaders, HashIsDjb2OfThePreprocessedSource)
{
    KxShader* shader = stage(KxShader::KIND_VERTEX, "ab\xe9");
    // 5381 * 33 + 'a', then * 33 + 'b', then * 33 + (signed char)0xe9 = -23.
    uint32_t expected = 5381;
    expected = expected * 33 + 'a';
    expected = expected * 33 + 'b';
    expected = expected * 33 + static_cast<uint32_t>(-23);
    EXPECT_EQ(shader->getHash(), expected);
}

TEST_F(Shaders, CompileErrorsCarryTheDriverMessage)
{
    KxShader* shader = stage(KxShader::KIND_FRAGMENT, "void main() { this is not glsl; }");
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(shader->compile());
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_GT(lines.size(), mark);
    EXPECT_NE(lines[mark].find("Shader (fragment) not compiled ("), std::string::npos) << lines[mark];
    EXPECT_NE(lines[mark].find("error"), std::string::npos) << lines[mark];
    // The failed source is gone: a new load is needed.
    EXPECT_EQ(shader->getSource(), nullptr);
    EXPECT_FALSE(shader->compile());
    EXPECT_EQ(kxtest::countLogLines("Source code not loaded", mark), 1);

    KxShader* vertex = stage(KxShader::KIND_VERTEX, QUAD_VS);
    KxShader* brokenFragment = stage(KxShader::KIND_FRAGMENT, "void main() { nope(); }");
    KxShader* program = new KxShader;
    mark = kxtest::readLog().size();
    EXPECT_FALSE(program->build(vertex, nullptr, brokenFragment));
    EXPECT_EQ(kxtest::countLogLines("Unable to compile program fragment shader", mark), 1);
    EXPECT_FALSE(program->build(brokenFragment, nullptr, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid shader of kind 1 passed", mark), 1);
    EXPECT_FALSE(vertex->build(nullptr, nullptr, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Cannot reload a shader as a program", mark), 1);
}

TEST_F(Shaders, ProgramSlotsAndSetters)
{
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(stage(KxShader::KIND_VERTEX, QUAD_VS), nullptr, stage(KxShader::KIND_FRAGMENT, COLOR_FS)));
    EXPECT_EQ(program->getSubtype(), KxShader::KIND_PROGRAM);
    EXPECT_EQ(KxShader::getCurrent(), program);

    EXPECT_TRUE(program->setParamFloat(62, 0.75f));
    EXPECT_FALSE(program->setParamFloat(63, 1.0f));
    EXPECT_TRUE(program->setParamVector4(KxShader::GENERIC0, glm::vec4(1, 2, 3, 4)));
    GLfloat value = 0;
    glGetUniformfv(program->getHandle(), glGetUniformLocation(program->getHandle(), "generic9"), &value);
    EXPECT_FLOAT_EQ(value, 0.75f);
    GLfloat vector[4] = {};
    glGetUniformfv(program->getHandle(), glGetUniformLocation(program->getHandle(), "generic0"), vector);
    EXPECT_FLOAT_EQ(vector[2], 3.0f);
    glm::mat4 matrix(2.0f);
    EXPECT_TRUE(program->setParamMatrix4(KxShader::MODELVIEW_MATRIX, matrix));
    GLfloat readBack[16] = {};
    glGetUniformfv(program->getHandle(), glGetUniformLocation(program->getHandle(), "modelViewMatrix"), readBack);
    EXPECT_FLOAT_EQ(readBack[0], 2.0f);
    EXPECT_FLOAT_EQ(readBack[15], 2.0f);
    EXPECT_GE(program->getParamLocation("generic9"), 0);
    EXPECT_EQ(program->getParamLocation(nullptr), -1);
    EXPECT_EQ(program->getAttribLocation("a_vertex"), 0);
}

TEST_F(Shaders, BindingTheCurrentProgramIsCounted)
{
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(stage(KxShader::KIND_VERTEX, QUAD_VS), nullptr, stage(KxShader::KIND_FRAGMENT, COLOR_FS)));
    KxShader::resetCache();
    EXPECT_EQ(KxShader::getCurrent(), nullptr);
    uint64_t binds = KxStats::get(KxStats::SHADER_BIND);
    uint64_t cached = KxStats::get(KxStats::SHADER_CACHED);
    EXPECT_TRUE(program->render());
    EXPECT_TRUE(program->render());
    EXPECT_EQ(KxStats::get(KxStats::SHADER_BIND), binds + 1);
    EXPECT_EQ(KxStats::get(KxStats::SHADER_CACHED), cached + 1);
    GLint bound = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), program->getHandle());

    size_t mark = kxtest::readLog().size();
    KxShader unbuilt;
    EXPECT_FALSE(unbuilt.render());
    EXPECT_EQ(kxtest::countLogLines("Invalid shader rendered", mark), 1);
    delete program; // forgetting a deleted current program
    EXPECT_EQ(KxShader::getCurrent(), nullptr);
}

TEST_F(Shaders, BinaryCacheIsUntrustedInput)
{
    if (KxOpenGL::getNrOfBinFormats() == 0)
        GTEST_SKIP() << "the driver offers no program binary format";
    KxShader* vertex = stage(KxShader::KIND_VERTEX, QUAD_VS);
    KxShader* fragment = stage(KxShader::KIND_FRAGMENT, COLOR_FS);
    char cacheName[64];
    std::snprintf(cacheName, sizeof(cacheName), "_kx_%x%x%x.cache", vertex->getHash(), 0u, fragment->getHash());

    // A genuine binary, as a cache writer outside the engine would store it.
    KxShader* reference = new KxShader;
    std::remove(cacheName);
    ASSERT_TRUE(reference->build(vertex, nullptr, fragment));
    GLint length = 0;
    glGetProgramiv(reference->getHandle(), GL_PROGRAM_BINARY_LENGTH, &length);
    ASSERT_GT(length, 0);
    std::string binary(static_cast<size_t>(length), '\0');
    GLenum format = 0;
    glGetProgramBinary(reference->getHandle(), length, nullptr, &format, &binary[0]);

    const std::string caches[] = {
        binary,                                 // accepted
        binary.substr(0, binary.size() / 2),    // truncated
        std::string(4096, '\x5a'),              // garbage
        std::string(),                          // empty
        binary + std::string(1000, '\0'),       // trailing bytes
    };
    for (size_t i = 0; i < sizeof(caches) / sizeof(caches[0]); ++i)
    {
        ASSERT_TRUE(kxtest::writeFile(cacheName, caches[i]));
        KxShader* program = new KxShader;
        size_t mark = kxtest::readLog().size();
        EXPECT_TRUE(program->build(vertex, nullptr, fragment)) << "cache " << i;
        int warnings = kxtest::countLogLines("Binary loading problem: code regeneration required", mark);
        if (i == 0)
        {
            EXPECT_EQ(warnings, 0);
        }
        else if (i != 4)
        {
            EXPECT_EQ(warnings, 1) << "cache " << i;
        }
        // Whatever the cache held, the program works.
        EXPECT_TRUE(program->setParamFloat(KxShader::GENERIC0 + 9, 0.5f));
        GLfloat value = 0;
        glGetUniformfv(program->getHandle(), glGetUniformLocation(program->getHandle(), "generic9"), &value);
        EXPECT_FLOAT_EQ(value, 0.5f) << "cache " << i;
    }
    std::remove(cacheName);
}
