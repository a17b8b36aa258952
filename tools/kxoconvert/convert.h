// kxoconvert's conversion of one assimp scene into engine objects, written
// with Kalvex::save.
#pragma once

#include <string>
#include <vector>

namespace kxoconvert
{
enum class TextureMode
{
    COPY,      // every texture file is copied (or written) next to the output
    REFERENCE, // files on disk are referenced where they are; embedded ones are written
};

// Physics properties given to the meshes whose node or mesh name matches a
// shell pattern ("*" for all): static ones collide with their triangles,
// dynamic ones move as the convex hull of their vertices.
struct PhysicsRule
{
    std::string pattern = "*";
    bool dynamic = false;
    float mass = 1.0f;
};

struct Options
{
    std::string input;
    std::string output;
    TextureMode textures = TextureMode::COPY;
    float lightRadius = 0.0f; // 0: from the light's attenuation
    bool verbose = false;
    int progress = -1; // -1: for large inputs only, 0 never, 1 always
    std::vector<PhysicsRule> physics; // later rules win
};

// Reads "[PATTERN=]static|dynamic[:MASS]"; false when it is not that.
bool parsePhysicsRule(const std::string& text, PhysicsRule& rule);

struct Summary
{
    unsigned int sourceNodes = 0;
    unsigned int nodes = 0;
    unsigned int meshes = 0;
    unsigned int skinnedMeshes = 0;
    unsigned long long vertices = 0;
    unsigned long long faces = 0;
    unsigned int materials = 0;
    unsigned int textures = 0;
    unsigned int lights = 0;
    unsigned int bones = 0; // bone nodes
    unsigned int renamed = 0;
    unsigned int bodies = 0;        // meshes given physics properties
    unsigned int animatedNodes = 0; // tracks of the animation file written beside the scene
    std::string animationFile;
    std::vector<std::string> notes;
};

// Exit codes of kxoconvert.
enum Status : int
{
    OK = 0,
    BAD_ARGUMENTS = 1,
    BAD_INPUT = 2,
    NO_ENGINE = 3,
    CANNOT_WRITE = 4,
    REFUSED = 5,
};

// Converts options.input into options.output. On failure, error says why.
Status convert(const Options& options, Summary& summary, std::string& error);
}
