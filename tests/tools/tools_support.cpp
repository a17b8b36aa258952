#include "tools_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <set>

#include <stb_image.h>

namespace toolstest
{
Run run(const std::string& program, const std::vector<std::string>& arguments)
{
    std::string command = "'" + program + "'";
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    command += " 2>&1";
    Run result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        result.output.append(buffer, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<KxNode*> preOrder(KxNode* root)
{
    std::vector<KxNode*> nodes;
    if (!root)
        return nodes;
    nodes.push_back(root);
    for (unsigned int i = 0; i < root->getNrOfChildren(); ++i)
        for (KxNode* node : preOrder(root->getChild(i)))
            nodes.push_back(node);
    return nodes;
}

InDirectory::InDirectory(const std::string& path)
{
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof(buffer)))
        previous = buffer;
    entered = chdir(path.c_str()) == 0;
}

InDirectory::~InDirectory()
{
    if (entered && !previous.empty() && chdir(previous.c_str()) != 0)
        std::perror("chdir");
}

bool Image::load(const std::string& path)
{
    int components = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &width, &height, &components, 4);
    if (!pixels)
        return false;
    rgba.assign(pixels, pixels + static_cast<size_t>(width) * height * 4);
    stbi_image_free(pixels);
    return true;
}

Coverage coverage(const Image& image)
{
    Coverage result;
    if (image.rgba.empty())
        return result;
    size_t covered = 0;
    double brightness = 0.0;
    std::set<int> colours;
    for (size_t i = 0; i + 3 < image.rgba.size(); i += 4)
    {
        const unsigned char* p = &image.rgba[i];
        int high = std::max({p[0], p[1], p[2]});
        if (high == 0)
            continue;
        ++covered;
        brightness += high / 255.0;
        // Chromaticity, so that shading alone does not count as colour.
        if (high >= 16)
            colours.insert((p[0] * 7 / high) << 6 | (p[1] * 7 / high) << 3 | p[2] * 7 / high);
    }
    result.share = static_cast<double>(covered) / (static_cast<double>(image.width) * image.height);
    result.brightness = covered ? brightness / static_cast<double>(covered) : 0.0;
    result.colours = static_cast<int>(colours.size());
    return result;
}
}
