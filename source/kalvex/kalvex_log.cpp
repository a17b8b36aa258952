// KxLog: one line per message to "kalvex.log" and standard output.
#include "kalvex.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const char* const LOG_FILE_NAME = "kalvex.log";

std::recursive_mutex& logMutex()
{
    // Constructed on first use, so logging works before anything else exists,
    // and never destroyed, so the exit hook can still lock it.
    static std::recursive_mutex* mutex = new std::recursive_mutex;
    return *mutex;
}

bool started = false;
FILE* outputFile = nullptr;
// Only levels up to this one reach the outputs.
KxLog::Level verbosity = KxLog::LEVEL_PLAIN;
KxLog::Sink sink = nullptr;
void* sinkData = nullptr;

void writeLine(KxLog::Level level, const char* prefix, const char* message)
{
    if (sink)
    {
        std::string line = std::string(prefix) + message;
        sink(level, line.c_str(), sinkData);
        return;
    }
    if (outputFile)
    {
        std::fprintf(outputFile, "%s%s\n", prefix, message);
        std::fflush(outputFile);
    }
    std::fprintf(stdout, "%s%s\n", prefix, message);
    std::fflush(stdout);
}

// Reduces a compiler signature such as "bool KxObject::setName(const string&)"
// to its qualified name "KxObject::setName".
void qualifiedName(const char* signature, char* out, size_t outSize)
{
    if (!signature)
        signature = "";
    const char* end = signature;
    int templateDepth = 0;
    while (*end && !(*end == '(' && templateDepth == 0))
    {
        if (*end == '<')
            ++templateDepth;
        else if (*end == '>' && templateDepth > 0)
            --templateDepth;
        ++end;
    }
    const char* begin = signature;
    templateDepth = 0;
    for (const char* c = signature; c < end; ++c)
    {
        if (*c == '<')
            ++templateDepth;
        else if (*c == '>' && templateDepth > 0)
            --templateDepth;
        else if (*c == ' ' && templateDepth == 0)
            begin = c + 1;
    }
    std::snprintf(out, outSize, "%.*s", static_cast<int>(end - begin), begin);
}
}

void KxLog::init()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    if (outputFile)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    // Never through a link (it could name anybody's file), never into a pipe.
    int fd = ::open(LOG_FILE_NAME, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat status;
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || ::ftruncate(fd, 0) != 0))
    {
        ::close(fd);
        fd = -1;
    }
    if (fd >= 0)
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        outputFile = ::fdopen(fd, "w");
        if (!outputFile)
            ::close(fd);
    }
    if (!outputFile)
        KX_LOG(LEVEL_ERROR, "Unable to open output log file");
    std::atexit(&KxLog::free);
}

void KxLog::free()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    if (!outputFile)
        return;
    KX_LOG(LEVEL_DEBUG, "[-] Logging completed");
    std::fclose(outputFile);
    outputFile = nullptr;
}

bool KxLog::log(Level level, const char* file, const char* function, int line, const char* format, ...)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    if (!started)
    {
        started = true;
        init();
        KX_LOG(LEVEL_DEBUG, "[+] Logging to file '%s' enabled", LOG_FILE_NAME);
    }

    if (level <= verbosity)
    {
        // vsnprintf never writes past the buffer: longer messages are cut.
        char message[MAX_LENGTH];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(message, sizeof(message), format ? format : "", arguments);
        va_end(arguments);

        char functionName[1024];
        qualifiedName(function, functionName, sizeof(functionName));
        char prefix[MAX_LENGTH];
        switch (level)
        {
        case LEVEL_ERROR:
            std::snprintf(prefix, sizeof(prefix), "%s [%s, %s:%d] ", "[!]", file ? file : "", functionName, line);
            break;
        case LEVEL_WARNING:
            std::snprintf(prefix, sizeof(prefix), "%s [%s] ", "[?]", functionName);
            break;
        default:
            prefix[0] = '\0';
            break;
        }

        writeLine(level, prefix, message);
    }
    return level != LEVEL_ERROR;
}

void KxLog::setSink(Sink newSink, void* userData)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    sink = newSink;
    sinkData = newSink ? userData : nullptr;
}

void KxLog::setVerbosity(Level level)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    verbosity = level;
}

KxLog::Level KxLog::getVerbosity()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex());
    return verbosity;
}
