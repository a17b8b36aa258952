// Helpers shared by the content tools: a private X server when there is no
// display, quiet engine start-up, paths, PNG output and unique object names.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace kxtool
{
// Starts a private Xvfb and points DISPLAY at it when no display is set, so
// that the engine's window and GL context can exist on a headless machine.
// The server is stopped when the object goes away.
class PrivateDisplay
{
public:
    PrivateDisplay() = default;
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // True when a display is usable: the existing one, or a new private one
    // with a screen of at least width x height.
    bool ensure(int width, int height, std::string& error);
    bool isPrivate() const { return server > 0; }
    pid_t serverPid() const { return server; }

private:
    pid_t server = -1;
};

// While alive, the engine's log mirror on standard output goes to /dev/null
// (kalvex.log keeps every line).
class QuietStdout
{
public:
    explicit QuietStdout(bool enabled);
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved = -1;
};

// The error lines ("[!]") of a log file, from line index `from` on.
std::vector<std::string> logErrors(const std::string& logPath, size_t from = 0);
size_t logLineCount(const std::string& logPath);

// Paths. Absolute paths are made lexically normal ("a/./b/../c" is "a/c").
std::string absolutePath(const std::string& path);
std::string directoryOf(const std::string& path); // "." when the path has no directory
std::string fileNameOf(const std::string& path);
std::string stemOf(const std::string& path); // file name without its last extension
std::string extensionOf(const std::string& path); // lower case, with the dot, "" when none
// The path of `to` as seen from the directory `from`; both absolute.
std::string relativePath(const std::string& from, const std::string& to);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
bool changeDirectory(const std::string& path);
bool readFile(const std::string& path, std::vector<unsigned char>& bytes);
bool writeFile(const std::string& path, const void* data, size_t size);
bool sameFile(const std::string& a, const std::string& b);
// Letters, digits, '.', '-' and '_' kept, anything else becomes '_'.
std::string safeFileName(const std::string& name);

// Tightly packed RGBA rows, top row first.
bool writePng(const std::string& path, int width, int height, const unsigned char* rgba);

// Scene files resolve materials, targets and bones by name, and names are
// shorter than 256 characters: this hands out names that are unique within
// one scene and short enough.
class NameTable
{
public:
    static constexpr size_t MAX_LENGTH = 255;

    // Names no object may take: the scene file's markers and the engine's defaults.
    NameTable();
    // A unique name as close to `wanted` as possible; `fallback` stands in
    // for an empty name. Counts a rename when a given name had to change,
    // unless `counted` is false.
    std::string make(const std::string& wanted, const std::string& fallback, bool counted = true);
    void reserve(const std::string& name);
    bool contains(const std::string& name) const;
    unsigned int getRenamed() const { return renamed; }

    // Cuts a name to at most `length` bytes without splitting a UTF-8 character.
    static std::string shorten(const std::string& name, size_t length);

private:
    std::set<std::string> taken;
    unsigned int renamed = 0;
};
}
