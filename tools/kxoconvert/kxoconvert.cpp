// kxoconvert: imports a model through assimp and writes it as a KXO scene.
//
//   kxoconvert INPUT OUTPUT.kxo [--textures copy|reference] [--light-radius R]
//              [--progress|--no-progress] [--verbose] [--physics [PATTERN=]static|dynamic[:MASS]]...
//
// The source's first animation is written as OUTPUT.kxa beside OUTPUT.kxo.
//
// Exit codes: 0 written, 1 bad arguments, 2 the input cannot be read, 3 no
// display or the engine did not start, 4 the output cannot be written, 5 the
// input holds what a scene file cannot.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "kxtool.h"

namespace
{
const char* const USAGE =
    "usage: kxoconvert INPUT OUTPUT.kxo [--textures copy|reference] [--light-radius R]\n"
    "                  [--progress|--no-progress] [--verbose]\n"
    "                  [--physics [PATTERN=]static|dynamic[:MASS]]...\n"
    "  INPUT                   any format assimp reads (glTF, OBJ, FBX, Collada, DirectX .x, ...)\n"
    "  --textures copy         copy texture files next to OUTPUT (the default)\n"
    "  --textures reference    refer to texture files where they are, by a path relative to OUTPUT\n"
    "                          (embedded textures are always written next to OUTPUT)\n"
    "  --light-radius R        reach of every light; by default from its attenuation\n"
    "  --progress              always show the progress line (by default for inputs over\n"
    "                          4 MiB or of a thousand meshes); --no-progress never\n"
    "  --verbose               show the engine's log lines\n"
    "  --physics RULE          give meshes physics properties: static (their triangles collide)\n"
    "                          or dynamic with a mass (default 1; they move as their convex hull);\n"
    "                          PATTERN= limits a rule to node or mesh names matching a shell\n"
    "                          pattern; later rules win\n"
    "  An animation of INPUT is written as OUTPUT.kxa (its first one, sampled at whole frames).\n";

int parseArguments(int argc, char** argv, kxoconvert::Options& options)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i)
    {
        std::string argument = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (argument == "--help" || argument == "-h")
        {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        else if (argument == "--textures")
        {
            const char* mode = value();
            if (mode && std::strcmp(mode, "copy") == 0)
                options.textures = kxoconvert::TextureMode::COPY;
            else if (mode && std::strcmp(mode, "reference") == 0)
                options.textures = kxoconvert::TextureMode::REFERENCE;
            else
            {
                std::fprintf(stderr, "kxoconvert: --textures takes copy or reference\n");
                return kxoconvert::BAD_ARGUMENTS;
            }
        }
        else if (argument == "--light-radius")
        {
            const char* text = value();
            char* end = nullptr;
            double radius = text ? std::strtod(text, &end) : 0.0;
            if (!text || end == text || *end || !(radius > 0.0) || radius > 1e30)
            {
                std::fprintf(stderr, "kxoconvert: --light-radius takes a positive number\n");
                return kxoconvert::BAD_ARGUMENTS;
            }
            options.lightRadius = static_cast<float>(radius);
        }
        else if (argument == "--progress")
            options.progress = 1;
        else if (argument == "--no-progress")
            options.progress = 0;
        else if (argument == "--physics")
        {
            const char* text = value();
            kxoconvert::PhysicsRule rule;
            if (!text || !kxoconvert::parsePhysicsRule(text, rule))
            {
                std::fprintf(stderr, "kxoconvert: --physics takes [PATTERN=]static or [PATTERN=]dynamic[:MASS]\n");
                return kxoconvert::BAD_ARGUMENTS;
            }
            options.physics.push_back(rule);
        }
        else if (argument == "--verbose")
            options.verbose = true;
        else if (argument.size() > 1 && argument[0] == '-')
        {
            std::fprintf(stderr, "kxoconvert: unknown option '%s'\n%s", argument.c_str(), USAGE);
            return kxoconvert::BAD_ARGUMENTS;
        }
        else
            positional.push_back(argument);
    }
    if (positional.size() != 2)
    {
        std::fputs(USAGE, stderr);
        return kxoconvert::BAD_ARGUMENTS;
    }
    options.input = positional[0];
    options.output = positional[1];
    if (kxtool::extensionOf(options.output) != ".kxo")
    {
        std::fprintf(stderr, "kxoconvert: the output must be a .kxo file\n");
        return kxoconvert::BAD_ARGUMENTS;
    }
    return kxoconvert::OK;
}
}

int main(int argc, char** argv)
{
    kxoconvert::Options options;
    if (int status = parseArguments(argc, argv, options))
        return status;

    kxoconvert::Summary summary;
    std::string error;
    kxoconvert::Status status = kxoconvert::convert(options, summary, error);
    if (status != kxoconvert::OK)
    {
        std::fprintf(stderr, "kxoconvert: %s\n", error.c_str());
        return status;
    }
    std::printf("kxoconvert: %s -> %s\n", options.input.c_str(), options.output.c_str());
    std::printf("  nodes %u (from %u source nodes), meshes %u (%u skinned), vertices %llu, faces %llu,\n"
                "  materials %u, textures %u, lights %u, bones %u\n",
                summary.nodes, summary.sourceNodes, summary.meshes, summary.skinnedMeshes, summary.vertices,
                summary.faces, summary.materials, summary.textures, summary.lights, summary.bones);
    if (summary.renamed)
        std::printf("  note: %u name%s made unique or shortened (scene files find objects by name)\n",
                    summary.renamed, summary.renamed == 1 ? "" : "s");
    if (summary.bodies)
        std::printf("  physics: %u mesh%s with a body\n", summary.bodies, summary.bodies == 1 ? "" : "es");
    if (!summary.animationFile.empty())
        std::printf("  animation: %u animated node%s -> %s\n", summary.animatedNodes,
                    summary.animatedNodes == 1 ? "" : "s", summary.animationFile.c_str());
    for (const std::string& note : summary.notes)
        std::printf("  note: %s\n", note.c_str());
    return 0;
}
