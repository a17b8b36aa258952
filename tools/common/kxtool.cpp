#include "kxtool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <stb_image_write.h>

namespace kxtool
{
//////////////////////////////////////////////////////////////////////////////
// Private display

PrivateDisplay::~PrivateDisplay()
{
    if (server <= 0)
        return;
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
}

bool PrivateDisplay::ensure(int width, int height, std::string& error)
{
    const char* display = std::getenv("DISPLAY");
    if (display && *display)
        return true;
    if (server > 0)
        return true;

    int fds[2];
    if (pipe(fds) != 0)
    {
        error = std::string("cannot start Xvfb: ") + std::strerror(errno);
        return false;
    }
    // GLX needs a 24-bit screen; the window must fit on it to be read back whole.
    char screen[64];
    std::snprintf(screen, sizeof(screen), "%dx%dx24", std::max(width, 1280), std::max(height, 1024));
    char fdText[16];
    std::snprintf(fdText, sizeof(fdText), "%d", fds[1]);

    pid_t child = fork();
    if (child < 0)
    {
        close(fds[0]);
        close(fds[1]);
        error = std::string("cannot start Xvfb: ") + std::strerror(errno);
        return false;
    }
    if (child == 0)
    {
        // The server goes when the tool goes, even when the tool is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0)
        {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        // -noreset: the server would otherwise reset when its last client leaves.
        unsetenv("LD_PRELOAD"); // a sanitizer runtime preloaded into the tool is not the server's
        execlp("Xvfb", "Xvfb", "-displayfd", fdText, "-screen", "0", screen, "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    server = child;

    // Xvfb writes the display number and a newline once it accepts clients.
    std::string number;
    pollfd poller = {fds[0], POLLIN, 0};
    for (int waited = 0; waited < 20000;)
    {
        int ready = poll(&poller, 1, 100);
        if (ready < 0 && errno == EINTR)
            continue;
        waited += 100;
        if (ready <= 0)
            continue;
        char buffer[32];
        ssize_t got = read(fds[0], buffer, sizeof(buffer));
        if (got <= 0)
            break;
        number.append(buffer, static_cast<size_t>(got));
        if (number.find('\n') != std::string::npos)
            break;
    }
    close(fds[0]);
    number.erase(std::remove_if(number.begin(), number.end(), [](char c) { return !std::isdigit(static_cast<unsigned char>(c)); }),
                 number.end());
    if (number.empty())
    {
        kill(server, SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
        server = -1;
        error = "no display is set and a private Xvfb did not start (is the xvfb package installed?)";
        return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
}

//////////////////////////////////////////////////////////////////////////////
// Quiet standard output

QuietStdout::QuietStdout(bool enabled)
{
    if (!enabled)
        return;
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        return;
    saved = dup(1);
    if (saved >= 0)
        dup2(null, 1);
    close(null);
}

QuietStdout::~QuietStdout()
{
    if (saved < 0)
        return;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

std::vector<std::string> logErrors(const std::string& logPath, size_t from)
{
    std::vector<std::string> errors;
    std::ifstream file(logPath);
    size_t index = 0;
    for (std::string line; std::getline(file, line); ++index)
        if (index >= from && line.compare(0, 3, "[!]") == 0)
            errors.push_back(line);
    return errors;
}

size_t logLineCount(const std::string& logPath)
{
    std::ifstream file(logPath);
    size_t count = 0;
    for (std::string line; std::getline(file, line);)
        ++count;
    return count;
}

//////////////////////////////////////////////////////////////////////////////
// Paths

namespace
{
std::vector<std::string> splitComponents(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == ".")
        {
        }
        else if (part == "..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

std::string joinComponents(const std::vector<std::string>& parts)
{
    std::string path;
    for (const std::string& part : parts)
        path += "/" + part;
    return path.empty() ? "/" : path;
}
}

std::string absolutePath(const std::string& path)
{
    std::string full = path;
    if (full.empty() || full[0] != '/')
    {
        char buffer[PATH_MAX];
        if (!getcwd(buffer, sizeof(buffer)))
            return path;
        full = std::string(buffer) + "/" + path;
    }
    return joinComponents(splitComponents(full));
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& path)
{
    std::string name = fileNameOf(path);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string extensionOf(const std::string& path)
{
    std::string name = fileNameOf(path);
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0)
        return "";
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

std::string relativePath(const std::string& from, const std::string& to)
{
    std::vector<std::string> a = splitComponents(from), b = splitComponents(to);
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    std::string result;
    for (size_t i = common; i < a.size(); ++i)
        result += "../";
    for (size_t i = common; i < b.size(); ++i)
        result += b[i] + (i + 1 < b.size() ? "/" : "");
    return result.empty() ? "." : result;
}

bool isDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool changeDirectory(const std::string& path)
{
    return chdir(path.c_str()) == 0;
}

bool readFile(const std::string& path, std::vector<unsigned char>& bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool writeFile(const std::string& path, const void* data, size_t size)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        return false;
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    file.close();
    return static_cast<bool>(file);
}

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat first, second;
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0)
        return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string safeFileName(const std::string& name)
{
    std::string safe = name;
    for (char& c : safe)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    if (safe.empty() || safe[0] == '.')
        safe = "_" + safe;
    return safe;
}

bool writePng(const std::string& path, int width, int height, const unsigned char* rgba)
{
    return stbi_write_png(path.c_str(), width, height, 4, rgba, width * 4) != 0;
}

//////////////////////////////////////////////////////////////////////////////
// Names

NameTable::NameTable()
{
    // "[none]" marks an absent reference in scene files; the engine's defaults
    // are found by name too.
    for (const char* name : {"[none]", "[default_material]", "[default_texture]"})
        taken.insert(name);
}

std::string NameTable::shorten(const std::string& name, size_t length)
{
    if (name.size() <= length)
        return name;
    size_t cut = length;
    // Step back over UTF-8 continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0u) == 0x80u)
        --cut;
    return name.substr(0, cut);
}

std::string NameTable::make(const std::string& wanted, const std::string& fallback, bool counted)
{
    std::string base = wanted.empty() ? fallback : wanted;
    std::string name = shorten(base, MAX_LENGTH);
    for (unsigned int n = 1; taken.count(name); ++n)
    {
        std::string suffix = "." + std::to_string(n);
        name = shorten(base, MAX_LENGTH - suffix.size()) + suffix;
    }
    taken.insert(name);
    if (counted && !wanted.empty() && name != wanted)
        ++renamed;
    return name;
}

void NameTable::reserve(const std::string& name)
{
    taken.insert(name);
}

bool NameTable::contains(const std::string& name) const
{
    return taken.count(name) != 0;
}
}
