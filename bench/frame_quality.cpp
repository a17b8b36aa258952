// Forward frames at 1024 x 768, one light, no post-processing, no
// multisampling, for the quality settings: 1,000 cubes lit by a light without
// shadows (the shadow-free programs) and with 20-, 4- and 1-tap shadows; a
// textured sphere of about 1,400 triangles with three maps at anisotropy 16
// and 1, with its maps read from their own units (bound per material) or, as
// before, through the per-pixel switch over the texture pool; 1,000 cubes
// lit by two and four lights without and with the depth pre-pass. Run it under
// tests/with_display.sh.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include "kalvex_internal.h"
#include "bench_common.h"

#include <GL/glew.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace
{
const int WIDTH = 1024;
const int HEIGHT = 768;
const float PI = 3.14159265f;

KxMesh* cube()
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;
    kxbench::cubeGeometry(vertices, faces);
    KxMesh* mesh = new KxMesh;
    mesh->create(static_cast<unsigned int>(vertices.size()), vertices.data(), static_cast<unsigned int>(faces.size()),
                 faces.data());
    return mesh;
}

// A UV sphere of 24 x 30 segments: 1,392 triangles.
KxMesh* sphere()
{
    const unsigned int rings = 24, segments = 30;
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;
    for (unsigned int r = 0; r <= rings; ++r)
        for (unsigned int s = 0; s <= segments; ++s)
        {
            float theta = PI * r / rings, phi = 2.0f * PI * s / segments;
            glm::vec3 n(std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi));
            vertices.push_back(kxbench::vertex(n, n, glm::vec2(4.0f * s / segments, 2.0f * r / rings)));
        }
    for (unsigned int r = 0; r < rings; ++r)
        for (unsigned int s = 0; s < segments; ++s)
        {
            uint32_t a = r * (segments + 1) + s, b = a + segments + 1;
            if (r > 0)
                faces.push_back({{a, a + 1, b}});
            if (r + 1 < rings)
                faces.push_back({{a + 1, b + 1, b}});
        }
    KxMesh* mesh = new KxMesh;
    mesh->create(static_cast<unsigned int>(vertices.size()), vertices.data(), static_cast<unsigned int>(faces.size()),
                 faces.data());
    return mesh;
}

// A 512 x 512 binary PPM of stripes, loaded as a mipmapped, repeating texture.
KxTexture* stripes(const std::string& name, int period, unsigned char low, unsigned char high)
{
    const int size = 512;
    std::vector<unsigned char> rgb(size * size * 3);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
        {
            unsigned char value = ((x / period + y / period) % 2) ? high : low;
            unsigned char* texel = &rgb[(y * size + x) * 3];
            texel[0] = value;
            texel[1] = static_cast<unsigned char>(255 - value / 2);
            texel[2] = static_cast<unsigned char>(value / 3);
        }
    return kxbench::loadTexels("/tmp/kx_bench_" + name + ".ppm", size, rgb);
}

struct Scene
{
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxLight* light = nullptr;
    std::vector<KxObject*> owned;
    KxList* list = nullptr;
    std::vector<KxTexture*> textures;
};

Scene* begin()
{
    Scene* scene = new Scene;
    scene->camera = new KxCamera;
    scene->camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    scene->camera->setViewport(0, 0, WIDTH, HEIGHT);
    scene->root = new KxNode;
    scene->light = new KxLight;
    scene->light->setRadius(100.0f);
    scene->light->link(scene->root);
    return scene;
}

void finish(Scene* scene, unsigned int capacity)
{
    KxMesh::optimizeMemory();
    scene->list = new KxList;
    scene->list->create(capacity + 8);
}

void destroy(Scene* scene)
{
    delete scene->list;
    for (KxObject* object : scene->owned)
        delete object;
    for (KxTexture* texture : scene->textures)
        delete texture;
    delete scene->light;
    delete scene->root;
    delete scene->camera;
    delete scene;
}

Scene* cubes(unsigned int count)
{
    Scene* scene = begin();
    scene->light->setTranslation(0.0f, 0.0f, 2.0f);
    unsigned int side = static_cast<unsigned int>(std::ceil(std::sqrt(static_cast<double>(count))));
    for (unsigned int i = 0; i < count; ++i)
    {
        KxMesh* mesh = cube();
        float x = (static_cast<float>(i % side) - side / 2.0f) * 1.0f;
        float y = (static_cast<float>(i / side) - side / 2.0f) * 1.0f;
        mesh->setTranslation(x, y, -1.2f * side);
        mesh->rotateY(static_cast<float>(i % 90));
        mesh->link(scene->root);
        scene->owned.push_back(mesh);
    }
    finish(scene, count);
    return scene;
}

Scene* texturedSphere()
{
    Scene* scene = begin();
    scene->light->setTranslation(2.0f, 2.0f, 1.0f);
    scene->light->setCastShadows(false);
    KxMaterial* material = new KxMaterial;
    scene->owned.push_back(material);
    const unsigned int slots[3] = {0, 3, 4}; // albedo, roughness, metalness
    for (unsigned int i = 0; i < 3; ++i)
    {
        KxTexture* texture = stripes("map" + std::to_string(i), 8 + 8 * static_cast<int>(i), 40, 230);
        if (!texture)
            continue;
        scene->textures.push_back(texture);
        material->setTexture(texture, slots[i]);
    }
    KxMesh* mesh = sphere();
    mesh->setMaterial(material);
    mesh->setTranslation(0.0f, 0.0f, -2.6f);
    mesh->rotateX(-60.0f);
    mesh->link(scene->root);
    scene->owned.push_back(mesh);
    finish(scene, 1);
    return scene;
}

// CPU time of the whole process (the rasteriser's threads too): steadier
// than wall time on a shared machine.
double processMilliseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

void frames(benchmark::State& state, Scene* scene)
{
    KxPipeline* forward = Kalvex::getPipeline(2);
    forward->postProc(false);
    forward->setAntiAliasing(false);
    // One untimed frame: the driver compiles its shader variants on first use.
    scene->list->reset();
    scene->list->pass(scene->root);
    Kalvex::render(scene->camera, scene->list, nullptr);
    glFinish();
    double start = processMilliseconds();
    for (auto _ : state)
    {
        scene->list->reset();
        scene->list->pass(scene->root);
        Kalvex::render(scene->camera, scene->list, nullptr);
        glFinish();
    }
    state.counters["process_ms"] = (processMilliseconds() - start) / static_cast<double>(state.iterations());
}

// Argument: shadow taps, 0 for a light that casts none.
void BM_Cubes(benchmark::State& state)
{
    Scene* scene = cubes(1000);
    unsigned int taps = static_cast<unsigned int>(state.range(0));
    KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
    scene->light->setCastShadows(taps != 0);
    forward->setShadowFilter(taps ? taps : 20);
    frames(state, scene);
    forward->setShadowFilter(20);
    destroy(scene);
}

// Arguments: lights (without shadows), depth pre-pass off or on.
void BM_CubesLights(benchmark::State& state)
{
    Scene* scene = cubes(1000);
    scene->light->setCastShadows(false);
    for (int i = 1; i < state.range(0); ++i)
    {
        KxLight* light = new KxLight;
        light->setTranslation(i % 2 ? -4.0f : 4.0f, i > 1 ? 4.0f : -4.0f, 2.0f);
        light->setRadius(100.0f);
        light->setCastShadows(false);
        light->link(scene->root);
        scene->owned.push_back(light);
    }
    KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
    forward->setDepthPrePass(state.range(1) != 0);
    frames(state, scene);
    forward->setDepthPrePass(false);
    destroy(scene);
}

// Argument: anisotropy of the three maps.
void BM_TexturedSphere(benchmark::State& state)
{
    Scene* scene = texturedSphere();
    for (KxTexture* texture : scene->textures)
        glTextureParameterf(texture->getHandle(), GL_TEXTURE_MAX_ANISOTROPY, static_cast<float>(state.range(0)));
    frames(state, scene);
    destroy(scene);
}

// Arguments: maps from the pool (1) or their own units (0); anisotropy. In
// the bindless mode both read the maps through their handles.
void BM_TexturedSphereMaps(benchmark::State& state)
{
    kx::MaterialMaps::setFromPool(state.range(0) != 0);
    KxPipeline* forward = Kalvex::getPipeline(2);
    if (!forward->load(nullptr))
    {
        state.SkipWithError("pipeline reload failed");
        return;
    }
    Scene* scene = texturedSphere();
    for (KxTexture* texture : scene->textures)
        glTextureParameterf(texture->getHandle(), GL_TEXTURE_MAX_ANISOTROPY, static_cast<float>(state.range(1)));
    frames(state, scene);
    destroy(scene);
    kx::MaterialMaps::setFromPool(false);
}

BENCHMARK(BM_Cubes)->Arg(0)->Arg(20)->Arg(4)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CubesLights)
    ->ArgsProduct({{2, 4}, {0, 1}})
    ->ArgNames({"lights", "prepass"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_TexturedSphere)->Arg(16)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TexturedSphereMaps)
    ->Args({1, 16})
    ->Args({0, 16})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
}

int main(int argc, char** argv)
{
    KxConfig config;
    config.setWindowSizeX(WIDTH);
    config.setWindowSizeY(HEIGHT);
    config.setPreset(KxConfig::PRESET_DEFAULT);
    if (!Kalvex::init(config, true))
        return 1;
    // The reduced start leaves the shadow pass unloaded.
    if (!Kalvex::getPipeline(1)->load(&config))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Kalvex::free();
    return 0;
}
