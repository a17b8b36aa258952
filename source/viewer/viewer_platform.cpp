#include "viewer_platform.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <cerrno>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace viewer
{
namespace
{
bool dialogsAllowed()
{
    const char* setting = std::getenv("KXOVIEWER_DIALOGS");
    if (setting && std::string(setting) == "0")
        return false;
    return std::getenv("DISPLAY") != nullptr;
}

bool installed(const char* program)
{
    std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Runs a program without a shell in between; its standard output goes to output.
int run(const char* const* arguments, std::string* output)
{
    int pipeEnds[2];
    if (output && pipe(pipeEnds) != 0)
        return -1;
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
    {
        if (output)
        {
            dup2(pipeEnds[1], STDOUT_FILENO);
            close(pipeEnds[0]);
            close(pipeEnds[1]);
        }
        execvp(arguments[0], const_cast<char* const*>(arguments));
        _exit(127);
    }
    if (output)
    {
        close(pipeEnds[1]);
        char buffer[512];
        ssize_t count;
        while ((count = read(pipeEnds[0], buffer, sizeof(buffer))) > 0)
            output->append(buffer, static_cast<size_t>(count));
        close(pipeEnds[0]);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void trimNewline(std::string& text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
}
}

bool chooseFile(std::string& path)
{
    const std::string title = std::string(CAPTION) + " open file";
    if (dialogsAllowed() && installed("zenity"))
    {
        // The first filter is the one selected.
        const char* arguments[] = {"zenity", "--file-selection", "--title", title.c_str(),
                                   "--file-filter=KXO file | *.kxo *.KXO", "--file-filter=All | *", nullptr};
        std::string chosen;
        if (run(arguments, &chosen) != 0)
            return false;
        trimNewline(chosen);
        path = chosen;
        return !path.empty();
    }
    if (dialogsAllowed() && installed("kdialog"))
    {
        const char* arguments[] = {"kdialog", "--title", title.c_str(), "--getopenfilename", ".",
                                   "KXO file (*.kxo *.KXO)\nAll (*)", nullptr};
        std::string chosen;
        if (run(arguments, &chosen) != 0)
            return false;
        trimNewline(chosen);
        path = chosen;
        return !path.empty();
    }
    std::cout << title << " (KXO file, *.kxo): " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line))
        return false;
    trimNewline(line);
    path = line;
    return !path.empty();
}

void messageBox(const std::string& text)
{
    std::cerr << CAPTION << ": " << text << std::endl;
    if (!dialogsAllowed() || !installed("zenity"))
        return;
    bool error = text.find("[!]") != std::string::npos;
    const char* kind = error ? "--error" : text.find("[?]") != std::string::npos ? "--question" : "--info";
    const char* arguments[] = {"zenity", kind, "--title", CAPTION, "--text", text.c_str(), nullptr};
    if (error)
    {
        run(arguments, nullptr);
        return;
    }
    // A notice must not hold up the start: show it from a child of its own.
    if (fork() == 0)
    {
        setsid();
        execvp(arguments[0], const_cast<char* const*>(arguments));
        _exit(127);
    }
}

void splitPath(const std::string& path, std::string& directory, std::string& fileName)
{
    size_t separator = path.find_last_of("/\\");
    if (separator == std::string::npos)
    {
        directory = ".";
        fileName = path;
        return;
    }
    directory = path.substr(0, separator);
    fileName = path.substr(separator + 1);
    if (directory.empty())
        directory = "/";
}

bool changeDirectory(const std::string& directory)
{
    return chdir(directory.c_str()) == 0;
}

std::string whyUnreadable(const std::string& path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
    {
        switch (errno)
        {
        case ELOOP:
            return "symbolic link loop";
        case EACCES:
            return "permission denied";
        case ENAMETOOLONG:
            return "name too long";
        default:
            return "no such file";
        }
    }
    if (!S_ISREG(status.st_mode))
        return "not a regular file";
    if (::access(path.c_str(), R_OK) != 0)
        return "permission denied";
    return "";
}
}
