// Helpers of the tool tests: running the tools, walking loaded trees, reading
// the images they write.
#pragma once

#include <string>
#include <vector>

#include <kalvex.h>

namespace toolstest
{
struct Run
{
    int status = -1; // the exit code, -1 when the program did not exit normally
    std::string output; // standard output and error together
};

// Runs a program with arguments (no shell quoting needed for plain paths).
Run run(const std::string& program, const std::vector<std::string>& arguments);

// Every node of a tree, depth-first, parents before children.
std::vector<KxNode*> preOrder(KxNode* root);

// Enters a directory for the lifetime of the object.
class InDirectory
{
public:
    explicit InDirectory(const std::string& path);
    ~InDirectory();
    bool ok() const { return entered; }

private:
    std::string previous;
    bool entered = false;
};

struct Image
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba; // top row first
    bool load(const std::string& path);
    const unsigned char* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

struct Coverage
{
    double share = 0.0;      // of the pixels, those not of the clear colour (black)
    double brightness = 0.0; // mean of their largest channel, 0 to 1
    int colours = 0;         // distinct hues and saturations among them
};
Coverage coverage(const Image& image);
}
