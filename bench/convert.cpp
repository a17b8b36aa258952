// kxoconvert on an OBJ file of 10,000 small meshes, against assimp alone
// reading the same file with the converter's settings: the conversion should
// cost a small multiple of the import. Run under tests/with_display.sh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <assimp/scene.h>

#include "convert.h"
#include "kxoimport.h"

namespace
{
const char* const INPUT = "bench_meshes.obj";
const char* const OUTPUT = "bench_meshes.kxo";
const int NR_OF_MESHES = 10000;

// A grid of boxes, each its own object.
void writeInput()
{
    std::FILE* file = std::fopen(INPUT, "w");
    if (!file)
        return;
    for (int m = 0; m < NR_OF_MESHES; ++m)
    {
        float x = static_cast<float>(m % 100) * 2.0f, y = static_cast<float>(m / 100) * 2.0f;
        std::fprintf(file, "o box%d\n", m);
        for (int corner = 0; corner < 8; ++corner)
            std::fprintf(file, "v %g %g %g\n", x + (corner & 1), y + ((corner >> 1) & 1), static_cast<float>((corner >> 2) & 1));
        int b = m * 8;
        const int faces[12][3] = {{1, 3, 4}, {1, 4, 2}, {5, 6, 8}, {5, 8, 7}, {1, 2, 6}, {1, 6, 5},
                                  {3, 7, 8}, {3, 8, 4}, {1, 5, 7}, {1, 7, 3}, {2, 4, 8}, {2, 8, 6}};
        for (const auto& face : faces)
            std::fprintf(file, "f %d %d %d\n", b + face[0], b + face[1], b + face[2]);
    }
    std::fclose(file);
}

void BM_AssimpRead(benchmark::State& state)
{
    writeInput();
    for (auto _ : state)
    {
        Assimp::Importer importer;
        kxoimport::configure(importer);
        const aiScene* scene = importer.ReadFile(INPUT, kxoimport::flags());
        if (!scene || scene->mNumMeshes != NR_OF_MESHES)
            state.SkipWithError("assimp did not read the input");
        benchmark::DoNotOptimize(scene);
    }
}
BENCHMARK(BM_AssimpRead)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Convert(benchmark::State& state)
{
    writeInput();
    kxoconvert::Options options;
    options.input = INPUT;
    options.output = OUTPUT;
    options.progress = 0;
    for (auto _ : state)
    {
        kxoconvert::Summary summary;
        std::string error;
        if (kxoconvert::convert(options, summary, error) != kxoconvert::OK || summary.meshes != NR_OF_MESHES)
            state.SkipWithError(("conversion failed: " + error).c_str());
    }
}
BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond)->Iterations(3);
}

BENCHMARK_MAIN();
