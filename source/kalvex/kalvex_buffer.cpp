// KxBuffer: one OpenGL buffer object of a kind chosen by a type code.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

namespace
{
struct BufferKind
{
    GLenum target;
    bool immutable;
    GLbitfield storageFlags;
};

// Indexed by type code. Immutable storage also gets GL_DYNAMIC_STORAGE_BIT,
// without which glBufferSubData (upload) is an error on such buffers.
const BufferKind KINDS[] = {
    {0, false, 0},
    {GL_UNIFORM_BUFFER, false, 0},
    {GL_SHADER_STORAGE_BUFFER, true, GL_MAP_WRITE_BIT | GL_DYNAMIC_STORAGE_BIT},
    {GL_SHADER_STORAGE_BUFFER, true,
     GL_MAP_READ_BIT | GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT | GL_DYNAMIC_STORAGE_BIT},
    {GL_SHADER_STORAGE_BUFFER, true,
     GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT | GL_DYNAMIC_STORAGE_BIT},
    {GL_SHADER_STORAGE_BUFFER, true,
     GL_MAP_READ_BIT | GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT | GL_DYNAMIC_STORAGE_BIT},
    {GL_ARRAY_BUFFER, false, 0},
    {GL_ELEMENT_ARRAY_BUFFER, false, 0},
};
const unsigned int NR_OF_KINDS = sizeof(KINDS) / sizeof(KINDS[0]);
}

struct KxBuffer::Private
{
    unsigned int size = 0;
    GLuint name = 0;
    GLenum target = 0;
};

KxBuffer::KxBuffer() : bufferReserved(new Private)
{
    setType(TYPE_BUFFER);
    glGenBuffers(1, &bufferReserved->name);
}

KxBuffer::~KxBuffer()
{
    if (bufferReserved->name)
        kx::GlContext::deleteBuffers(1, &bufferReserved->name);
    delete bufferReserved;
}

bool KxBuffer::create(unsigned int type, unsigned int size, const void* data)
{
    if (type >= NR_OF_KINDS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    // Checked before the old storage goes, so a refusal leaves it in place.
    if (KINDS[type].target == 0)
        return KX_LOG(LEVEL_ERROR, "Unexpected buffer type");
    const BufferKind& kind = KINDS[type];

    // Immutable storage cannot be redefined: always start from a fresh name.
    kx::GlContext::deleteBuffers(1, &bufferReserved->name);
    glGenBuffers(1, &bufferReserved->name);
    kx::GlContext::bindBuffer(kind.target, bufferReserved->name);
    if (kind.immutable)
        glBufferStorage(kind.target, size, data, kind.storageFlags);
    else
        glBufferData(kind.target, size, data, GL_STATIC_DRAW);
    bufferReserved->size = size;
    bufferReserved->target = kind.target;
    setSubtype(static_cast<int>(type));
    return true;
}

bool KxBuffer::upload(const void* data, unsigned int offset, unsigned int size)
{
    if (!data || size > bufferReserved->size ||
        static_cast<uint64_t>(offset) + size > static_cast<uint64_t>(bufferReserved->size))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    // Named upload: correct whatever is bound to the target right now.
    glNamedBufferSubData(bufferReserved->name, offset, size, data);
    return true;
}

void* KxBuffer::map(unsigned int access)
{
    if (!bufferReserved->target)
    {
        KX_LOG(LEVEL_ERROR, "Buffer not created");
        return nullptr;
    }
    kx::GlContext::bindBuffer(bufferReserved->target, bufferReserved->name);
    if (getSubtype() == 4)
    {
        GLbitfield flags = (access == 0 ? GL_MAP_READ_BIT : GL_MAP_WRITE_BIT) | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT;
        return glMapBufferRange(bufferReserved->target, 0, bufferReserved->size, flags);
    }
    return glMapBuffer(bufferReserved->target, access == 0 ? GL_READ_ONLY : GL_WRITE_ONLY);
}

bool KxBuffer::unmap()
{
    glUnmapNamedBuffer(bufferReserved->name);
    return true;
}

bool KxBuffer::render(void* index)
{
    GLenum target = bufferReserved->target;
    if (target == GL_UNIFORM_BUFFER || target == GL_SHADER_STORAGE_BUFFER)
        kx::GlContext::bindBufferBase(target, static_cast<GLuint>(reinterpret_cast<uintptr_t>(index)),
                                      bufferReserved->name);
    else if (target)
        kx::GlContext::bindBuffer(target, bufferReserved->name);
    KxStats::inc(KxStats::BUFFER_RENDER);
    return true;
}

bool KxBuffer::waitFor()
{
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);
    return true;
}

unsigned int KxBuffer::getHandle() const
{
    return bufferReserved->name;
}

unsigned int KxBuffer::getSize() const
{
    return bufferReserved->size;
}
