// Instanced meshes against the same number of separate mesh nodes, both
// through the render list's batches: the engine's CPU time of a frame (reset,
// pass, update: entries, records and commands). The draw calls and the
// finished frame are kept out of the timed part: on a software driver the
// calling thread also shades the vertices, which costs the same on both paths.
//
// Engine identifiers are limited to 65536, so the mesh side passes a pool of
// 16384 distinct nodes repeatedly; the work per entry is the same.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include <GL/glew.h>

#include <vector>

namespace
{
const unsigned int POOL = 16384;

struct Scene
{
    KxMesh* triangle = nullptr; // the instanced nodes' mesh
    std::vector<KxMesh*> meshes;
};
Scene* scene = nullptr;

void append(std::vector<unsigned char>& bytes, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

// The scene-file part of a small one-triangle mesh: loading it does not merge,
// unlike create, so that thousands of meshes are merged once.
std::vector<unsigned char> trianglePart()
{
    std::vector<unsigned char> bytes;
    uint8_t kind = 0, hasPhysics = 0;
    uint32_t nrOfVertices = 3, nrOfFaces = 1;
    float radius = 0.01f, box[6] = {0, 0, 0, 0.01f, 0.01f, 0};
    append(bytes, &kind, 1);
    append(bytes, &nrOfVertices, 4);
    append(bytes, &nrOfFaces, 4);
    append(bytes, "[none]", 7);
    append(bytes, &radius, 4);
    append(bytes, box, 24);
    append(bytes, &hasPhysics, 1);
    KxMesh::kxMeshVertex vertices[3] = {};
    for (int i = 0; i < 3; ++i)
    {
        vertices[i].position[0] = 0.01f * static_cast<float>(i == 1);
        vertices[i].position[1] = 0.01f * static_cast<float>(i == 2);
        vertices[i].normal = KxMesh::packNormal(glm::vec4(0, 0, 1, 0));
    }
    uint32_t face[3] = {0, 1, 2};
    append(bytes, vertices, sizeof(vertices));
    append(bytes, face, sizeof(face));
    return bytes;
}

glm::mat4 placement(unsigned int i)
{
    glm::mat4 m(1.0f);
    m[3] = glm::vec4(0.002f * static_cast<float>(i % 500) - 0.5f, 0.002f * static_cast<float>(i / 500 % 500) - 0.5f,
                     -2.0f, 1.0f);
    return m;
}

void buildScene()
{
    scene = new Scene;
    std::vector<unsigned char> part = trianglePart();
    scene->triangle = new KxMesh;
    scene->triangle->load(part.data(), static_cast<unsigned int>(part.size()));
    for (unsigned int i = 0; i < POOL; ++i)
    {
        KxMesh* mesh = new KxMesh;
        mesh->load(part.data(), static_cast<unsigned int>(part.size()));
        mesh->setMatrix(placement(i));
        scene->meshes.push_back(mesh);
    }
    KxMesh::optimizeMemory();
}

void drawFrame(benchmark::State& state, KxList* list)
{
    state.PauseTiming();
    list->renderByType(9, true);
    glFinish();
    state.ResumeTiming();
}

void BM_MeshNodes(benchmark::State& state)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    KxList* list = new KxList;
    list->create(count);
    glm::mat4 view(1.0f);
    for (auto _ : state)
    {
        list->reset();
        for (unsigned int i = 0; i < count; ++i)
            list->pass(scene->meshes[i % POOL]);
        list->update(view);
        drawFrame(state, list);
    }
    if (list->getBatchCount(0) != count)
        state.SkipWithError("not every mesh reached the batch");
    delete list;
}

void BM_Instanced(benchmark::State& state)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    KxInstanced* node = new KxInstanced;
    node->setMesh(scene->triangle);
    node->create(count);
    KxInstanced::kxInstanceData* data = node->map(1);
    for (unsigned int i = 0; i < count; ++i)
    {
        data[i] = KxInstanced::kxInstanceData{};
        data[i].worldMatrix = placement(i);
        data[i].inverseTranspose = glm::transpose(glm::inverse(data[i].worldMatrix));
    }
    node->unmap();
    KxList* list = new KxList;
    list->create(16);
    glm::mat4 view(1.0f);
    for (auto _ : state)
    {
        list->reset();
        list->pass(node);
        list->update(view);
        drawFrame(state, list);
    }
    if (list->getBatchCount(5) != 1)
        state.SkipWithError("the instanced node did not reach its batch");
    delete list;
    delete node;
}

BENCHMARK(BM_MeshNodes)->Arg(10000)->Arg(100000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Instanced)->Arg(10000)->Arg(100000)->Iterations(20)->Unit(benchmark::kMicrosecond);
}

int main(int argc, char** argv)
{
    KxConfig config;
    config.setWindowSizeX(320);
    config.setWindowSizeY(240);
    if (!Kalvex::init(config, true))
        return 1;
    buildScene();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Kalvex::free();
    return 0;
}
