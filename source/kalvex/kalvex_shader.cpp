// KxShader: stages and programs, the "@include" preprocessor and the uniform slot table.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"
#include "kalvex_shaderlib.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace
{
const char* const KIND_NAMES[] = {"UNDEFINED", "vertex", "tessellation control", "tessellation evaluator",
                                  "geometry", "fragment", "compute", "program", "LAST"};
const GLenum KIND_TARGETS[] = {0, GL_VERTEX_SHADER, GL_TESS_CONTROL_SHADER, GL_TESS_EVALUATION_SHADER,
                               GL_GEOMETRY_SHADER, GL_FRAGMENT_SHADER, GL_COMPUTE_SHADER};
const char* const STAGE_MACROS[] = {"", "#define KX_VERTEX_SHADER\n", "#define KX_TESSCTRL_SHADER\n",
                                    "#define KX_TESSEVAL_SHADER\n", "#define KX_GEOMETRY_SHADER\n",
                                    "#define KX_FRAGMENT_SHADER\n", "#define KX_COMPUTE_SHADER\n"};

// Uniform names of the slot table; null where build leaves the slot alone.
const char* const SLOT_NAMES[KxShader::NR_OF_SLOTS] = {
    nullptr, "normalMatrix", "modelMatrix", "viewMatrix", "modelViewMatrix", "modelViewProjMatrix",
    "inverseProjectionMatrix", "textureSampler0", "textureSampler1", "textureSampler2", "textureSampler3",
    "textureSampler4", "textureSampler5", "textureSampler6", "textureSampler7", "charSizeX", "charSizeY", "gamma",
    "meshId", "nearPlane", "farPlane", "materialId", "lightId", "lightPosition", "lightDirection", "lightAmbient",
    "lightDiffuse", "lightSpecular", "lightRadius", "tessLevelInner", "tessLevelOuter", nullptr, "realQuatArray",
    "dualQuatArray", nullptr, "shadowOffset", "shadowMapMatrixArray", "shadowSoftness", "shadowBias", "layer",
    "filterKernel", "filterThreshold", "filterOffset", "filterBias", "filterRadius", "filterPower",
    "bloomIntensity", "toneMappingTechnique", "nrOfSteps", "scattering", "emitterGravity", "emitterSpeed",
    "emitterParticleSize", "generic0", "generic1", "generic2", "generic3", "generic4", "generic5", "generic6",
    "generic7", "generic8", "generic9"};

// Program binaries larger than this are not a cache file of ours.
const long MAX_CACHE_FILE_SIZE = 64L * 1024 * 1024;

struct FnvHash
{
    size_t operator()(const std::string& name) const
    {
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char byte : name)
        {
            hash ^= byte;
            hash *= 1099511628211ull;
        }
        return static_cast<size_t>(hash);
    }
};

struct ShaderState
{
    std::recursive_mutex mutex;
    std::unordered_map<std::string, std::string, FnvHash> includes{8};
    KxShader* current = nullptr;
    std::string header; // built on first use, once a context exists
};
ShaderState* state = nullptr;

uint32_t djb2(const std::string& text)
{
    uint32_t hash = 5381;
    for (char c : text)
        hash = hash * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    return hash;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Includes may include others, down to this depth (which also stops cycles).
const int MAX_INCLUDE_DEPTH = 16;

// Repeated includes multiply; no real program comes near this.
const size_t MAX_SOURCE_SIZE = 16u << 20;

// Expands "@include name;" directives and "@name@" constants; included texts
// are expanded before they are inserted, then not scanned again. The output is
// built front to back, so the cost is linear in the text and its expansion.
// False (with a log line) on a malformed or unknown reference.
bool preprocess(const char* text, std::string& result, int depth = 0)
{
    if (!text)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (depth > MAX_INCLUDE_DEPTH)
        return KX_LOG(LEVEL_ERROR, "Include nesting deeper than %d", MAX_INCLUDE_DEPTH);
    const std::string source = text;
    result.clear();
    size_t copied = 0;
    size_t position = source.find('@');
    while (position != std::string::npos)
    {
        result.append(source, copied, position - copied);
        size_t nextAt = source.find('@', position + 1);
        // A directive's ';' counts only before the next '@': searching further
        // would rescan the rest of the text for every reference.
        size_t limit = nextAt == std::string::npos ? source.size() : nextAt;
        size_t semicolon = source.find(';', position + 1);
        if (semicolon != std::string::npos && semicolon >= limit)
            semicolon = std::string::npos;
        if (semicolon == std::string::npos && nextAt == std::string::npos)
            return KX_LOG(LEVEL_ERROR, "Invalid syntax: missing ';' or '@'");

        std::string inserted;
        if (semicolon != std::string::npos)
        {
            std::string directive = source.substr(position, semicolon - position);
            copied = semicolon + 1;
            if (directive.compare(0, 8, "@include") != 0)
                return KX_LOG(LEVEL_ERROR, "Unknown directive '%s'", directive.c_str());
            size_t begin = 8;
            while (begin < directive.size() && isBlank(directive[begin]))
                ++begin;
            size_t end = directive.size();
            while (end > begin && isBlank(directive[end - 1]))
                --end;
            std::string name = directive.substr(begin, end - begin);
            if (name.empty())
                return KX_LOG(LEVEL_ERROR, "Invalid param for @include");
            std::lock_guard<std::recursive_mutex> lock(state->mutex);
            auto entry = state->includes.find(name);
            if (entry == state->includes.end())
                return KX_LOG(LEVEL_ERROR, "Header not found '%s'", name.c_str());
            if (!preprocess(entry->second.c_str(), inserted, depth + 1))
                return false;
        }
        else
        {
            std::string name = source.substr(position + 1, nextAt - position - 1);
            copied = nextAt + 1;
            std::lock_guard<std::recursive_mutex> lock(state->mutex);
            auto entry = state->includes.find(name);
            if (entry == state->includes.end())
                return KX_LOG(LEVEL_ERROR, "Built-in constant not found '%s'", name.c_str());
            inserted = entry->second;
        }
        if (result.size() + inserted.size() > MAX_SOURCE_SIZE)
            return KX_LOG(LEVEL_ERROR, "Preprocessed source longer than %d bytes", static_cast<int>(MAX_SOURCE_SIZE));
        result += inserted;
        position = source.find('@', copied);
    }
    result.append(source, copied, std::string::npos);
    return true;
}

std::string infoLog(GLuint object, bool program)
{
    char log[KxShader::MAXLOGSIZE] = {0};
    GLsizei length = 0;
    if (program)
        glGetProgramInfoLog(object, sizeof(log), &length, log);
    else
        glGetShaderInfoLog(object, sizeof(log), &length, log);
    return std::string(log, length > 0 ? static_cast<size_t>(length) : 0);
}
}

struct KxShader::Private
{
    GLuint name = 0;
    GLint slots[NR_OF_SLOTS] = {};
    std::string source;
    bool hasSource = false;
    uint32_t hash = 0;
    bool compiled = false;
};

void KxShader::init()
{
    if (state)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    state = new ShaderState;
}

void KxShader::free()
{
    if (!state)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete state;
    state = nullptr;
}

bool KxShader::setHashmap(const char* name, const char* text)
{
    if (!name || !state)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    std::lock_guard<std::recursive_mutex> lock(state->mutex);
    if (text)
    {
        state->includes.emplace(name, text); // the first registration wins
        return true;
    }
    if (state->includes.erase(name) == 0)
        return KX_LOG(LEVEL_ERROR, "Hashmap entry not found");
    return true;
}

char* KxShader::getHashmap(const char* name)
{
    if (!name || !state)
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(state->mutex);
    auto entry = state->includes.find(name);
    if (entry == state->includes.end())
    {
        KX_LOG(LEVEL_ERROR, "Hashmap entry not found");
        return nullptr;
    }
    return &entry->second[0];
}

std::string KxShader::getHeader(bool bindless)
{
    return kx::stageHeader(bindless, kx::TexturePool::getSize());
}

const char* KxShader::getHeader()
{
    if (!state)
        return "";
    std::lock_guard<std::recursive_mutex> lock(state->mutex);
    if (state->header.empty())
        state->header = getHeader(kx::GlContext::capabilities().bindlessTextures);
    return state->header.c_str();
}

KxShader::KxShader() : shaderReserved(new Private)
{
    setType(TYPE_SHADER);
    for (GLint& slot : shaderReserved->slots)
        slot = 0;
}

KxShader::~KxShader()
{
    if (shaderReserved->name)
    {
        if (getSubtype() == KIND_PROGRAM)
            kx::GlContext::deleteProgram(shaderReserved->name);
        else
            glDeleteShader(shaderReserved->name);
    }
    if (state && state->current == this)
        state->current = nullptr;
    delete shaderReserved;
}

bool KxShader::loadFromMemory(int kind, const char* text)
{
    if (!text)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (kind < KIND_VERTEX || kind > KIND_COMPUTE)
        return KX_LOG(LEVEL_ERROR, "Invalid kind");
    if (shaderReserved->name)
    {
        if (getSubtype() == KIND_PROGRAM)
            return KX_LOG(LEVEL_ERROR, "Cannot reload a program as a shader");
        glDeleteShader(shaderReserved->name);
        shaderReserved->name = 0;
    }
    std::string preprocessed;
    if (!state || !preprocess(text, preprocessed))
        return KX_LOG(LEVEL_ERROR, "Cannot preprocess source code");
    if (shaderReserved->hasSource)
        KX_LOG(LEVEL_WARNING, "Source was already loaded");
    shaderReserved->source = std::move(preprocessed);
    shaderReserved->hasSource = true;
    shaderReserved->compiled = false; // a new source needs a new compile
    shaderReserved->hash = djb2(shaderReserved->source);
    KX_LOG(LEVEL_DEBUG_FRAME, "Shader hash: %x", shaderReserved->hash);
    setSubtype(kind);
    return true;
}

bool KxShader::loadFromFile(int kind, const std::string& path)
{
    if (path.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    const char* why = nullptr;
    FILE* file = kx::InputFile::open(path.c_str(), why);
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s' (%s)", path.c_str(), why);
    std::string text;
    char chunk[4096];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        text.append(chunk, count);
    std::fclose(file);
    // A source with an embedded zero ends there, as the compiler would see it.
    return loadFromMemory(kind, text.c_str());
}

bool KxShader::compile()
{
    if (!shaderReserved->hasSource)
        return KX_LOG(LEVEL_ERROR, "Source code not loaded");
    if (shaderReserved->compiled)
        KX_LOG(LEVEL_WARNING, "Shader already compiled");
    int kind = getSubtype();
    if (kind < KIND_VERTEX || kind > KIND_COMPUTE)
        return KX_LOG(LEVEL_ERROR, "Invalid kind");
    if (shaderReserved->name)
        glDeleteShader(shaderReserved->name);
    shaderReserved->name = glCreateShader(KIND_TARGETS[kind]);
    if (!shaderReserved->name)
    {
        shaderReserved->compiled = false;
        return KX_LOG(LEVEL_ERROR, "Unable to create shader object");
    }
    const char* strings[3] = {getHeader(), STAGE_MACROS[kind], shaderReserved->source.c_str()};
    glShaderSource(shaderReserved->name, 3, strings, nullptr);
    glCompileShader(shaderReserved->name);

    GLint status = GL_FALSE;
    glGetShaderiv(shaderReserved->name, GL_COMPILE_STATUS, &status);
    std::string log = status ? std::string() : infoLog(shaderReserved->name, false);
    if (status || log.empty())
    {
        KX_LOG(LEVEL_DEBUG, "Shader (%s) compiled", KIND_NAMES[kind]);
        shaderReserved->compiled = true;
        return true;
    }
    KX_LOG(LEVEL_ERROR, "Shader (%s) not compiled (%s)", KIND_NAMES[kind], log.c_str());
    shaderReserved->compiled = false;
    shaderReserved->source.clear();
    shaderReserved->hasSource = false;
    return false;
}

namespace
{
// Loads a program binary from a cache file. The file is untrusted: anything the
// driver refuses leaves the program unlinked and the caller compiles instead.
bool loadCachedBinary(GLuint program, const char* fileName)
{
    if (KxOpenGL::getNrOfBinFormats() <= 0 || !KxOpenGL::getBinFormatPtr())
        return false;
    const char* why = nullptr;
    FILE* file = kx::InputFile::open(fileName, why);
    if (!file)
        return false;
    KX_LOG(LEVEL_DETAIL, "Cache file found");
    std::vector<char> binary;
    if (std::fseek(file, 0, SEEK_END) == 0)
    {
        long size = std::ftell(file);
        if (size > 0 && size <= MAX_CACHE_FILE_SIZE && std::fseek(file, 0, SEEK_SET) == 0)
        {
            binary.resize(static_cast<size_t>(size));
            if (std::fread(binary.data(), 1, binary.size(), file) != binary.size())
                binary.clear();
        }
    }
    std::fclose(file);
    while (glGetError() != GL_NO_ERROR)
    {
    }
    GLint linked = GL_FALSE;
    if (!binary.empty())
    {
        glProgramBinary(program, static_cast<GLenum>(KxOpenGL::getBinFormatPtr()[0]), binary.data(),
                        static_cast<GLsizei>(binary.size()));
        if (glGetError() == GL_NO_ERROR)
            glGetProgramiv(program, GL_LINK_STATUS, &linked);
    }
    if (!linked)
    {
        KX_LOG(LEVEL_WARNING, "Binary loading problem: code regeneration required");
        return false;
    }
    return true;
}
}

bool KxShader::build(KxShader* vertex, KxShader* geometry, KxShader* fragment, KxShader* compute,
                     KxShader* tessControl, KxShader* tessEvaluation)
{
    struct Stage
    {
        KxShader* shader;
        int kind;
        const char* failure;
    };
    // Compile and attach order.
    const Stage stages[] = {
        {vertex, KIND_VERTEX, "Unable to compile program vertex shader"},
        {tessControl, KIND_TESS_CONTROL, "Unable to compile program tessellation control shader"},
        {tessEvaluation, KIND_TESS_EVALUATION, "Unable to compile program tessellation evaluation shader"},
        {geometry, KIND_GEOMETRY, "Unable to compile program geometry shader"},
        {fragment, KIND_FRAGMENT, "Unable to compile program fragment shader"},
        {compute, KIND_COMPUTE, "Unable to compile program compute shader"},
    };
    for (const Stage& stage : stages)
        if (stage.shader && stage.shader->getSubtype() != stage.kind)
            return KX_LOG(LEVEL_ERROR, "Invalid shader of kind %d passed", stage.kind);

    if (shaderReserved->name)
    {
        if (getSubtype() != KIND_PROGRAM)
            return KX_LOG(LEVEL_ERROR, "Cannot reload a shader as a program");
        if (state && state->current == this)
            resetCache();
        kx::GlContext::deleteProgram(shaderReserved->name);
        shaderReserved->name = 0;
    }
    GLuint program = glCreateProgram();
    if (!program)
        return KX_LOG(LEVEL_ERROR, "Unable to create program");
    shaderReserved->name = program;
    setSubtype(KIND_PROGRAM);

    // The cache name only identifies vertex, geometry and fragment stages, so
    // programs with other stages never use it.
    bool cached = false;
    if (!compute && !tessControl && !tessEvaluation)
    {
        char cacheName[64];
        std::snprintf(cacheName, sizeof(cacheName), "_kx_%x%x%x.cache", vertex ? vertex->getHash() : 0u,
                      geometry ? geometry->getHash() : 0u, fragment ? fragment->getHash() : 0u);
        cached = loadCachedBinary(program, cacheName);
    }

    if (!cached)
    {
        for (const Stage& stage : stages)
        {
            if (!stage.shader)
                continue;
            if (!stage.shader->isCompiled() && !stage.shader->compile())
                return KX_LOG(LEVEL_ERROR, "%s", stage.failure);
            glAttachShader(program, stage.shader->getHandle());
        }
        glProgramParameteri(program, GL_PROGRAM_BINARY_RETRIEVABLE_HINT, GL_TRUE);
        glLinkProgram(program);
        GLint linked = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        if (!linked)
        {
            std::string log = infoLog(program, true);
            KX_LOG(LEVEL_ERROR, "Program link status error, message:");
            return KX_LOG(LEVEL_ERROR, "%s", log.empty() ? "[none]" : log.c_str());
        }
        for (const Stage& stage : stages)
            if (stage.shader)
                glDetachShader(program, stage.shader->getHandle());
    }

    if (cached)
        KX_LOG(LEVEL_DETAIL, "Shader succesfully loaded from cache");
    else if (KxOpenGL::getNrOfBinFormats() > 0)
    {
        GLint length = 0;
        glGetProgramiv(program, GL_PROGRAM_BINARY_LENGTH, &length);
        KX_LOG(LEVEL_DETAIL, "Shader length : %d", length);
    }

    render(nullptr);
    for (unsigned int slot = 0; slot < NR_OF_SLOTS; ++slot)
        if (SLOT_NAMES[slot])
            shaderReserved->slots[slot] = glGetUniformLocation(program, SLOT_NAMES[slot]);
    for (unsigned int unit = 0; unit < 8; ++unit)
        if (shaderReserved->slots[TEXTURE_SAMPLER0 + unit] >= 0)
            glUniform1i(shaderReserved->slots[TEXTURE_SAMPLER0 + unit], static_cast<GLint>(unit));

    glValidateProgram(program);
    GLint valid = GL_FALSE;
    glGetProgramiv(program, GL_VALIDATE_STATUS, &valid);
    if (!valid)
    {
        KX_LOG(LEVEL_DEBUG, "Unable to validate program");
        std::string log = infoLog(program, true);
        if (!log.empty())
            KX_LOG(LEVEL_ERROR, "Program link error: %s", log.c_str());
        return false;
    }
    KX_LOG(LEVEL_DEBUG, "Program built");
    return true;
}

bool KxShader::isCompiled() const
{
    return shaderReserved->compiled;
}

uint32_t KxShader::getHash() const
{
    return shaderReserved->hash;
}

const char* KxShader::getSource() const
{
    return shaderReserved->hasSource ? shaderReserved->source.c_str() : nullptr;
}

unsigned int KxShader::getHandle() const
{
    return shaderReserved->name;
}

bool KxShader::render(void*)
{
    if (state && state->current == this)
    {
        KxStats::inc(KxStats::SHADER_CACHED);
        return true;
    }
    if (!shaderReserved->name || getSubtype() != KIND_PROGRAM)
        return KX_LOG(LEVEL_ERROR, "Invalid shader rendered");
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for shader %d invoked", getId());
    kx::GlContext::useProgram(shaderReserved->name);
    if (state)
        state->current = this;
    KxStats::inc(KxStats::SHADER_BIND);
    return true;
}

KxShader* KxShader::getCurrent()
{
    return state ? state->current : nullptr;
}

void KxShader::resetCache()
{
    if (state)
        state->current = nullptr;
    kx::GlContext::resetProgram();
}

int KxShader::getParamLocation(const char* name)
{
    if (!name)
        return KX_LOG(LEVEL_DEBUG, "Invalid param"), -1;
    if (!shaderReserved->name)
        return KX_LOG(LEVEL_DEBUG, "Shader not loaded"), -1;
    render(nullptr);
    return glGetUniformLocation(shaderReserved->name, name);
}

int KxShader::getAttribLocation(const char* name)
{
    if (!name)
        return KX_LOG(LEVEL_DEBUG, "Invalid param"), -1;
    if (!shaderReserved->name)
        return KX_LOG(LEVEL_DEBUG, "Shader not loaded"), -1;
    render(nullptr);
    return glGetAttribLocation(shaderReserved->name, name);
}

bool KxShader::setAttribLocation(const char* name, int location)
{
    if (!name)
        return KX_LOG(LEVEL_DEBUG, "Invalid param"), false;
    if (!shaderReserved->name)
        return KX_LOG(LEVEL_DEBUG, "Shader not loaded"), false;
    glBindAttribLocation(shaderReserved->name, static_cast<GLuint>(location), name);
    return true;
}

bool KxShader::bindParam(unsigned int slot, const char* name, unsigned int buffer)
{
    if (slot >= NR_OF_SLOTS || !name)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    render(nullptr);
    if (buffer == 0)
    {
        shaderReserved->slots[slot] = glGetUniformLocation(shaderReserved->name, name);
        return true;
    }
    KX_LOG(LEVEL_ERROR, "Very bad if you read this");
    GLuint blockIndex = glGetUniformBlockIndex(shaderReserved->name, name);
    shaderReserved->slots[slot] = static_cast<GLint>(blockIndex);
    glUniformBlockBinding(shaderReserved->name, blockIndex, slot);
    kx::GlContext::bindBufferRange(GL_UNIFORM_BUFFER, slot, buffer, 0, 128);
    return true;
}

bool KxShader::dispatchCompute(unsigned int x, unsigned int y, unsigned int z)
{
    if (!shaderReserved->name)
        return KX_LOG(LEVEL_ERROR, "Invalid shader dispatched");
    // Bound directly: dispatching does not change the current-program cache,
    // so the cache must not claim anything about what is bound now.
    kx::GlContext::useProgram(shaderReserved->name);
    if (state && state->current && state->current != this)
        state->current = nullptr;
    glDispatchCompute(x, y, z);
    return true;
}

bool KxShader::waitFor()
{
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT);
    glFinish();
    return true;
}

// Every setter validates the slot, binds the program and writes the location
// that this program's slot table holds.
#define KX_UNIFORM_PROLOGUE(slot)                                                                            \
    if ((slot) >= NR_OF_SLOTS)                                                                               \
        return KX_LOG(LEVEL_ERROR, "Invalid params");                                                        \
    if (!render(nullptr))                                                                                    \
        return false;                                                                                        \
    const GLint location = shaderReserved->slots[slot]

bool KxShader::setParamInt(unsigned int slot, int value)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform1i(location, value);
    return true;
}

bool KxShader::setParamDWord(unsigned int slot, unsigned int value)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform1ui(location, value);
    return true;
}

bool KxShader::setParamQWord(unsigned int slot, uint64_t value)
{
    KX_UNIFORM_PROLOGUE(slot);
    // Without bindless textures samplers are bound to units instead (KxTexture::render).
    if (kx::GlContext::capabilities().bindlessTextures)
        glUniformHandleui64ARB(location, value);
    return true;
}

bool KxShader::setParamFloat(unsigned int slot, float value)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform1f(location, value);
    return true;
}

bool KxShader::setParamFloatArray(unsigned int slot, unsigned int count, const float* values)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform1fv(location, static_cast<GLsizei>(count), values);
    return true;
}

bool KxShader::setParamVector3(unsigned int slot, float x, float y, float z)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform3f(location, x, y, z);
    return true;
}

bool KxShader::setParamVector3(unsigned int slot, const glm::vec3& value)
{
    return setParamVector3(slot, value.x, value.y, value.z);
}

bool KxShader::setParamVector4(unsigned int slot, float x, float y, float z, float w)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform4f(location, x, y, z, w);
    return true;
}

bool KxShader::setParamVector4(unsigned int slot, const glm::vec4& value)
{
    return setParamVector4(slot, value.x, value.y, value.z, value.w);
}

bool KxShader::setParamVector2Array(unsigned int slot, unsigned int count, const glm::vec2* values)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform2fv(location, static_cast<GLsizei>(count), reinterpret_cast<const GLfloat*>(values));
    return true;
}

bool KxShader::setParamVector3Array(unsigned int slot, unsigned int count, const glm::vec3* values)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform3fv(location, static_cast<GLsizei>(count), reinterpret_cast<const GLfloat*>(values));
    return true;
}

bool KxShader::setParamQuaternionArray(unsigned int slot, unsigned int count, const glm::quat* values)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniform4fv(location, static_cast<GLsizei>(count), reinterpret_cast<const GLfloat*>(values));
    return true;
}

bool KxShader::setParamMatrix3(unsigned int slot, const glm::mat3& value)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniformMatrix3fv(location, 1, GL_FALSE, &value[0][0]);
    return true;
}

bool KxShader::setParamMatrix4(unsigned int slot, const glm::mat4& value)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniformMatrix4fv(location, 1, GL_FALSE, &value[0][0]);
    return true;
}

bool KxShader::setParamMatrix4Array(unsigned int slot, unsigned int count, const glm::mat4* values)
{
    KX_UNIFORM_PROLOGUE(slot);
    glUniformMatrix4fv(location, static_cast<GLsizei>(count), GL_FALSE, reinterpret_cast<const GLfloat*>(values));
    return true;
}
