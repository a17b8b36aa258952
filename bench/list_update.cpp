// KxList: reset + pass + update per mesh, for flat and 32-deep trees, against
// a plain loop doing the same matrix products and stores.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include <cstring>
#include <vector>

namespace
{
// Engine identifiers are limited to 65536, so the scene holds pools of
// distinct meshes (1024 chains of 32; 32 flat groups of 500 under a plain
// node, and 384 single meshes) and larger lists pass them repeatedly; the
// work per entry is the same. A flat scene is passed as a client passes its
// root, one call per group: the call's structure lock is not a per-mesh cost.
const unsigned int CHAIN_LENGTH = 32;
const unsigned int NR_OF_CHAINS = 1024;
const unsigned int GROUP_SIZE = 500;
const unsigned int NR_OF_GROUPS = 32;
const unsigned int NR_OF_SINGLES = 384;

struct Scene
{
    std::vector<KxMesh*> meshes; // chain after chain
    std::vector<KxNode*> chainHeads;
    std::vector<KxNode*> groups; // plain nodes, GROUP_SIZE meshes each
    std::vector<KxMesh*> singles; // without parent or children
};
Scene* scene = nullptr;

void append(std::vector<unsigned char>& bytes, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

// The mesh part of a one-triangle mesh, loaded without merging each time.
std::vector<unsigned char> trianglePart()
{
    std::vector<unsigned char> bytes;
    uint8_t kind = 0, hasPhysics = 0;
    uint32_t nrOfVertices = 3, nrOfFaces = 1;
    float radius = 1.0f, box[6] = {-1, -1, -1, 1, 1, 1};
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
        vertices[i].position[0] = static_cast<float>(i == 1);
        vertices[i].position[1] = static_cast<float>(i == 2);
        vertices[i].normal = KxMesh::packNormal(glm::vec4(0, 0, 1, 0));
    }
    uint32_t face[3] = {0, 1, 2};
    append(bytes, vertices, sizeof(vertices));
    append(bytes, face, sizeof(face));
    return bytes;
}

void buildScene()
{
    scene = new Scene;
    std::vector<unsigned char> part = trianglePart();
    for (unsigned int chain = 0; chain < NR_OF_CHAINS; ++chain)
    {
        KxNode* parent = nullptr;
        for (unsigned int level = 0; level < CHAIN_LENGTH; ++level)
        {
            KxMesh* mesh = new KxMesh;
            mesh->load(part.data(), static_cast<unsigned int>(part.size()));
            mesh->setTranslation(0.01f * level, 0.02f * chain, -5.0f);
            mesh->rotateZ(3.0f * level);
            if (parent)
                mesh->link(parent);
            else
                scene->chainHeads.push_back(mesh);
            parent = mesh;
            scene->meshes.push_back(mesh);
        }
    }
    for (unsigned int i = 0; i < NR_OF_GROUPS * GROUP_SIZE + NR_OF_SINGLES; ++i)
    {
        KxMesh* mesh = new KxMesh;
        mesh->load(part.data(), static_cast<unsigned int>(part.size()));
        mesh->setTranslation(0.01f * (i % 128), 0.02f * (i / 128), -5.0f);
        mesh->rotateZ(0.1f * i);
        if (i % GROUP_SIZE == 0 && scene->groups.size() < NR_OF_GROUPS)
            scene->groups.push_back(new KxNode);
        if (i < NR_OF_GROUPS * GROUP_SIZE)
            mesh->link(scene->groups.back());
        else
            scene->singles.push_back(mesh);
    }
    KxMesh::optimizeMemory();
}

glm::mat4 viewMatrix()
{
    glm::mat4 view(1.0f);
    view[3] = glm::vec4(0.1f, -0.2f, 0.3f, 1.0f);
    return view;
}

void BM_ListFlat(benchmark::State& state)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    unsigned int groups = count / GROUP_SIZE, rest = count % GROUP_SIZE;
    if (rest > NR_OF_SINGLES)
        return state.SkipWithError("not enough single meshes");
    KxList* list = new KxList;
    list->create(count + groups); // the group nodes take entries too
    glm::mat4 view = viewMatrix();
    for (auto _ : state)
    {
        list->reset();
        for (unsigned int i = 0; i < groups; ++i)
            list->pass(scene->groups[i % NR_OF_GROUPS]);
        for (unsigned int i = 0; i < rest; ++i)
            list->pass(scene->singles[i]);
        list->update(view);
    }
    if (list->getBatchCount(0) != count)
        state.SkipWithError("not every mesh reached the batch");
    state.counters["ns_per_mesh"] =
        benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    delete list;
}

void BM_ListDeep(benchmark::State& state)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    KxList* list = new KxList;
    list->create(count);
    glm::mat4 view = viewMatrix();
    // Whole chains, then the rest as single meshes.
    unsigned int chains = count / CHAIN_LENGTH, rest = count % CHAIN_LENGTH;
    for (auto _ : state)
    {
        list->reset();
        for (unsigned int i = 0; i < chains; ++i)
            list->pass(scene->chainHeads[i % NR_OF_CHAINS]);
        for (unsigned int i = 0; i < rest; ++i)
            list->pass(scene->singles[i]);
        list->update(view);
    }
    if (list->getBatchCount(0) != count)
        state.SkipWithError("not every mesh reached the batch");
    state.counters["ns_per_mesh"] =
        benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    delete list;
}

// The same arithmetic and stores without the list: world = parent * local
// (in chains of 32), model-view, normal matrix, a 208-byte record and a
// 20-byte command. The normal matrix is glm's full 4 x 4 inverse (the list's
// reference since its first measurement) or, as the list computes it for
// affine matrices, the inverse of the 3 x 3 part with the translation
// carried (glm's, without the list's four-lane code): what a loop without a
// scene graph to walk costs for the list's own arithmetic.
glm::mat4 affineNormalMatrix(const glm::mat4& world)
{
    glm::mat3 inverse = glm::inverse(glm::mat3(world));
    glm::vec3 back = -(inverse * glm::vec3(world[3]));
    glm::mat3 it = glm::transpose(inverse);
    return glm::mat4(glm::vec4(it[0], back.x), glm::vec4(it[1], back.y), glm::vec4(it[2], back.z), glm::vec4(0, 0, 0, 1));
}

void BM_PlainLoop(benchmark::State& state, bool affine)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    std::vector<unsigned char> records(static_cast<size_t>(count) * 208), commands(static_cast<size_t>(count) * 20);
    std::vector<glm::mat4> locals(scene->meshes.size()), worlds(count);
    for (size_t i = 0; i < locals.size(); ++i)
        locals[i] = scene->meshes[i]->getMatrix();
    glm::mat4 view = viewMatrix();
    for (auto _ : state)
    {
        for (unsigned int i = 0; i < count; ++i)
        {
            const glm::mat4& parent = i % CHAIN_LENGTH ? worlds[i - 1] : glm::mat4(1.0f);
            worlds[i] = parent * locals[i % locals.size()];
            glm::mat4 modelView = view * worlds[i];
            glm::mat4 normal = affine ? affineNormalMatrix(worlds[i]) : glm::transpose(glm::inverse(worlds[i]));
            unsigned char* record = &records[static_cast<size_t>(i) * 208];
            uint32_t ids[2] = {0, 0};
            std::memcpy(record + 4, ids, 8);
            std::memcpy(record + 16, &modelView[0][0], 64);
            std::memcpy(record + 80, &normal[0][0], 64);
            std::memcpy(record + 144, &worlds[i][0][0], 64);
            uint32_t command[5] = {3, 1, i * 3, static_cast<uint32_t>(i * 3), 0};
            std::memcpy(&commands[static_cast<size_t>(i) * 20], command, 20);
        }
        benchmark::DoNotOptimize(records.data());
        benchmark::DoNotOptimize(commands.data());
    }
    state.counters["ns_per_mesh"] =
        benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ListFlat)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListDeep)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PlainLoop, full_inverse, false)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PlainLoop, affine, true)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMicrosecond);
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
