// kx::OutputFile: replacing a file safely. The new content goes to a fresh
// temporary file beside the target, created exclusively under a unique name
// (a link planted at a predictable name cannot redirect the write), with the
// target's permissions, and is renamed over the target once complete. A
// target that is a symbolic link is written through: the file it names is
// replaced and the link stays.
#include "kalvex_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names: links followed, even a dangling last one.
std::string resolveTarget(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops)
    {
        struct stat status;
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return current;
        char link[PATH_MAX];
        ssize_t length = ::readlink(current.c_str(), link, sizeof(link) - 1);
        if (length <= 0)
            return current;
        std::string next(link, static_cast<size_t>(length));
        current = next[0] == '/' ? next : directoryOf(current) + "/" + next;
    }
    return current;
}
}

namespace kx
{
OutputFile::~OutputFile()
{
    abandon();
}

FILE* OutputFile::open(const std::string& path, const char*& why)
{
    abandon();
    target = resolveTarget(path);
    temporary = directoryOf(target) + "/.kxtmp.XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
    {
        why = InputFile::describe(errno);
        temporary.clear();
        return nullptr;
    }
    temporary = name.data();
    // The permissions of the file replaced, or what a new file would get.
    struct stat status;
    mode_t mode;
    if (::stat(target.c_str(), &status) == 0)
        mode = status.st_mode & 07777;
    else
    {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    file = ::fdopen(fd, "wb");
    if (!file)
    {
        ::close(fd);
        abandon();
        why = "out of memory";
    }
    return file;
}

bool OutputFile::commit()
{
    if (!file)
        return false;
    bool ok = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    file = nullptr;
    ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
    if (ok)
        temporary.clear();
    else
        abandon();
    return ok;
}

void OutputFile::abandon()
{
    if (file)
        std::fclose(file);
    file = nullptr;
    if (!temporary.empty())
        ::unlink(temporary.c_str());
    temporary.clear();
}
}
