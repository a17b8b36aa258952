// Loading a scene file of about 100 MB, against the floor no loader can beat:
// reading the same bytes and uploading them raw into one GPU buffer; and
// scene files of 1,000, 10,000 and 50,000 small meshes, per mesh. Starts the
// engine itself; run under tests/with_display.sh.
#include <benchmark/benchmark.h>

#include <GL/glew.h>
#include <kalvex.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
const char* const SCENE_FILE = "bench_scene.kxo";
const unsigned int NR_OF_MESHES = 4;
const unsigned int VERTICES_PER_MESH = 700000; // 16.8 MB of vertices and 8.4 MB of faces each

size_t sceneSize = 0;

struct Writer
{
    std::FILE* file;
    void bytes(const void* data, size_t size) { std::fwrite(data, 1, size, file); }
    void u8(uint8_t value) { bytes(&value, 1); }
    void u32(uint32_t value) { bytes(&value, 4); }
    void f32(float value) { bytes(&value, 4); }
    void str(const std::string& text) { bytes(text.c_str(), text.size() + 1); }
    void identity()
    {
        for (int i = 0; i < 16; ++i)
            f32(i % 5 == 0 ? 1.0f : 0.0f);
    }
    // name, matrix, children, target
    size_t nodePart(const std::string& name, uint32_t children)
    {
        str(name);
        identity();
        u32(children);
        str("[none]");
        return name.size() + 1 + 64 + 4 + 7;
    }
};

// Written directly in the file format, so the figure depends on the reader only.
bool writeScene()
{
    std::FILE* file = std::fopen(SCENE_FILE, "wb");
    if (!file)
        return false;
    Writer out{file};
    out.u32(KxObject::TYPE_NONE);
    out.u32(4);
    out.u32(Kalvex::KXO_VERSION);

    const std::string material = "benchMaterial";
    out.u32(KxObject::TYPE_MATERIAL);
    out.u32(static_cast<uint32_t>(material.size() + 1 + 36 + 5 * 7));
    out.str(material);
    for (int i = 0; i < 9; ++i)
        out.f32(0.5f);
    for (int slot = 0; slot < 5; ++slot)
        out.str("[none]");

    out.u32(KxObject::TYPE_NODE);
    out.u32(static_cast<uint32_t>(4 + 1 + 64 + 4 + 7));
    out.nodePart("root", NR_OF_MESHES);

    const uint32_t nrOfVertices = VERTICES_PER_MESH;
    const uint32_t nrOfFaces = VERTICES_PER_MESH - 2;
    std::unique_ptr<KxMesh::kxMeshVertex[]> vertices(new KxMesh::kxMeshVertex[nrOfVertices]);
    std::unique_ptr<KxMesh::kxMeshFace[]> faces(new KxMesh::kxMeshFace[nrOfFaces]);
    for (uint32_t v = 0; v < nrOfVertices; ++v)
    {
        KxMesh::kxMeshVertex& vertex = vertices[v];
        vertex.position[0] = static_cast<float>(v % 1000);
        vertex.position[1] = static_cast<float>(v / 1000);
        vertex.position[2] = static_cast<float>(v % 7);
        vertex.normal = 0x1FF00000u; // +z
        vertex.uv[0] = vertex.uv[1] = 0;
        vertex.tangent = 0x400001FFu; // +x, w = 1
    }
    for (uint32_t f = 0; f < nrOfFaces; ++f)
        faces[f] = {{f, f + 1, f + 2}};

    for (unsigned int mesh = 0; mesh < NR_OF_MESHES; ++mesh)
    {
        std::string name = "mesh" + std::to_string(mesh);
        uint64_t meshPart = 1 + 4 + 4 + material.size() + 1 + 4 + 24 + 1 + 24ull * nrOfVertices + 12ull * nrOfFaces;
        out.u32(KxObject::TYPE_MESH);
        out.u32(static_cast<uint32_t>(name.size() + 1 + 64 + 4 + 7 + meshPart));
        out.nodePart(name, 0);
        out.u8(0);
        out.u32(nrOfVertices);
        out.u32(nrOfFaces);
        out.str(material);
        out.f32(1000.0f);
        for (float corner : {0.0f, 0.0f, 0.0f, 1000.0f, 1000.0f, 7.0f})
            out.f32(corner);
        out.u8(0);
        out.bytes(vertices.get(), 24ull * nrOfVertices);
        out.bytes(faces.get(), 12ull * nrOfFaces);
    }
    bool written = std::ferror(file) == 0;
    sceneSize = static_cast<size_t>(std::ftell(file));
    return std::fclose(file) == 0 && written;
}

// root with count cube meshes (24 vertices, 12 triangles each) below it.
bool writeManyMeshes(const std::string& path, unsigned int count)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    Writer out{file};
    out.u32(KxObject::TYPE_NONE);
    out.u32(4);
    out.u32(Kalvex::KXO_VERSION);
    out.u32(KxObject::TYPE_NODE);
    out.u32(static_cast<uint32_t>(4 + 1 + 64 + 4 + 7));
    out.nodePart("root", count);
    KxMesh::kxMeshVertex vertices[24] = {};
    KxMesh::kxMeshFace faces[12];
    for (uint32_t v = 0; v < 24; ++v)
    {
        vertices[v].position[0] = static_cast<float>(v % 2);
        vertices[v].position[1] = static_cast<float>((v / 2) % 2);
        vertices[v].position[2] = static_cast<float>(v / 4) / 6.0f;
        vertices[v].normal = 0x1FF00000u; // +z
    }
    for (uint32_t f = 0; f < 12; ++f)
        faces[f] = {{f * 2, f * 2 + 1, (f * 2 + 2) % 24}};
    for (unsigned int mesh = 0; mesh < count; ++mesh)
    {
        std::string name = "cube" + std::to_string(mesh);
        uint64_t meshPart = 1 + 4 + 4 + 7 + 4 + 24 + 1 + sizeof(vertices) + sizeof(faces);
        out.u32(KxObject::TYPE_MESH);
        out.u32(static_cast<uint32_t>(name.size() + 1 + 64 + 4 + 7 + meshPart));
        out.nodePart(name, 0);
        out.u8(0);
        out.u32(24);
        out.u32(12);
        out.str("[none]");
        out.f32(1.0f);
        for (float corner : {0.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f})
            out.f32(corner);
        out.u8(0);
        out.bytes(vertices, sizeof(vertices));
        out.bytes(faces, sizeof(faces));
    }
    bool written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
}

KxObject* lastObject()
{
    KxObject* last = KxObject::getFirst();
    while (last && last->getNext())
        last = last->getNext();
    return last;
}

// Deletes what a load created: materials first, then the rest oldest first,
// parents before their children (a child deleted first searches its parent's
// child list). One walk of the registry: walking it again for every deletion
// made the clean-up quadratic and longer than the loads it sits between.
void deleteObjectsAfter(KxObject* mark)
{
    std::vector<KxObject*> created;
    for (KxObject* object = mark ? mark->getNext() : KxObject::getFirst(); object; object = object->getNext())
        created.push_back(object);
    for (KxObject*& object : created)
        if (object->getType() == KxObject::TYPE_MATERIAL)
        {
            delete object;
            object = nullptr;
        }
    for (KxObject* object : created)
        delete object;
}

// Each iteration loads the file (timed) and deletes what it made (not timed).
void timeLoads(benchmark::State& state, const std::string& path)
{
    KxObject* mark = lastObject();
    for (auto _ : state)
    {
        KxNode* root = Kalvex::load(path);
        glFinish();
        if (!root)
        {
            state.SkipWithError("Kalvex::load failed");
            break;
        }
        state.PauseTiming();
        deleteObjectsAfter(mark);
        glFinish();
        state.ResumeTiming();
    }
}

void kxoLoad(benchmark::State& state)
{
    timeLoads(state, SCENE_FILE);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sceneSize));
}

// Argument: number of meshes. The figure to read is per_mesh (seconds).
void kxoLoadMeshes(benchmark::State& state)
{
    unsigned int count = static_cast<unsigned int>(state.range(0));
    std::string path = "bench_meshes_" + std::to_string(count) + ".kxo";
    if (!writeManyMeshes(path, count))
    {
        state.SkipWithError("cannot write the scene file");
        return;
    }
    timeLoads(state, path);
    std::remove(path.c_str());
    state.counters["per_mesh"] = benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void readAndUploadRaw(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::FILE* file = std::fopen(SCENE_FILE, "rb");
        if (!file)
        {
            state.SkipWithError("cannot open the scene file");
            break;
        }
        std::fseek(file, 0, SEEK_END);
        size_t size = static_cast<size_t>(std::ftell(file));
        std::fseek(file, 0, SEEK_SET);
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
        size_t read = std::fread(buffer.get(), 1, size, file);
        std::fclose(file);
        GLuint name = 0;
        glGenBuffers(1, &name);
        glBindBuffer(GL_ARRAY_BUFFER, name);
        glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(read), buffer.get(), GL_STATIC_DRAW);
        glFinish();
        state.PauseTiming();
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glDeleteBuffers(1, &name);
        glFinish();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sceneSize));
}

BENCHMARK(readAndUploadRaw)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(kxoLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(kxoLoadMeshes)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    KxConfig config;
    config.setWindowSizeX(320);
    config.setWindowSizeY(240);
    if (!Kalvex::init(config, true))
        return 1;
    int status = 0;
    if (writeScene())
    {
        std::printf("Scene file: %.1f MB, %u meshes of %u vertices\n", sceneSize / 1048576.0, NR_OF_MESHES,
                    VERTICES_PER_MESH);
        benchmark::RunSpecifiedBenchmarks();
    }
    else
        status = 1;
    std::remove(SCENE_FILE);
    Kalvex::free();
    benchmark::Shutdown();
    return status;
}
