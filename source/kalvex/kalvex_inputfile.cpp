// kx::InputFile: opening files that come from outside (scenes, images,
// configuration, shader sources). Only regular files are read: a named pipe
// would block the engine forever and a device may never end.
#include "kalvex_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace kx
{
const char* InputFile::describe(int error)
{
    switch (error)
    {
    case ENOENT:
    case ENOTDIR:
        return "no such file";
    case ELOOP:
        return "symbolic link loop";
    case EACCES:
    case EPERM:
        return "permission denied";
    case EISDIR:
        return "is a directory";
    case ENAMETOOLONG:
        return "name too long";
    case ENOMEM:
        return "out of memory";
    default:
        return "cannot be opened";
    }
}

FILE* InputFile::open(const char* path, const char*& why)
{
    why = "invalid name";
    if (!path || !*path)
        return nullptr;
    // Non-blocking, so that opening a named pipe returns at once; the flag is
    // cleared again once the file is known to be regular.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
    {
        why = describe(errno);
        return nullptr;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        why = S_ISDIR(status.st_mode) ? "is a directory" : "not a regular file";
        ::close(fd);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* file = ::fdopen(fd, "rb");
    if (!file)
    {
        why = "out of memory";
        ::close(fd);
    }
    return file;
}

bool InputFile::read(const char* path, std::vector<unsigned char>& bytes, uint64_t maxSize, const char*& why)
{
    bytes.clear();
    FILE* file = open(path, why);
    if (!file)
        return false;
    struct stat status;
    bool ok = ::fstat(::fileno(file), &status) == 0 && status.st_size >= 0;
    if (ok && static_cast<uint64_t>(status.st_size) > maxSize)
    {
        why = "too large";
        ok = false;
    }
    if (ok)
    {
        try
        {
            bytes.resize(static_cast<size_t>(status.st_size));
        }
        catch (const std::exception&)
        {
            why = "out of memory";
            ok = false;
        }
    }
    // A file that shrank meanwhile is as damaged as a short one.
    if (ok && !bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size())
    {
        why = "read error";
        ok = false;
    }
    std::fclose(file);
    if (!ok)
        bytes.clear();
    return ok;
}
}
