// A frame of the demo scene at 1024 x 768 through the forward (2), deferred
// (3) and hybrid (4) pipelines with 1, 8 and 32 omni lights, shadows and
// post-processing off. The forward pipeline redraws the scene per light, the
// other two shade one screen quad per light.
//
//   bench_pipeline_frame [SCENE.kxo] [benchmark options]   (default build/scenes/demo.kxo)
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include "bench_common.h"

#include <GL/glew.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{
std::string scenePath = "build/scenes/demo.kxo";

struct Scene
{
    KxNode* root = nullptr;
    KxNode* demo = nullptr;
    KxCamera* camera = nullptr;
    std::vector<KxLight*> lights;
    KxList* list = nullptr;
};

Scene* build(unsigned int nrOfLights)
{
    Scene* scene = new Scene;
    scene->demo = Kalvex::load(scenePath);
    if (!scene->demo)
    {
        delete scene;
        return nullptr;
    }
    // Only the lights made here count.
    for (const char* name : {"omni_light", "spot_light"})
        if (KxNode* light = scene->demo->findByName(name))
            light->unlink();
    scene->root = new KxNode;
    scene->demo->link(scene->root);
    for (unsigned int i = 0; i < nrOfLights; ++i)
    {
        float angle = 6.2831853f * static_cast<float>(i) / static_cast<float>(nrOfLights);
        KxLight* light = new KxLight;
        light->setTranslation(4.0f * std::cos(angle), 3.0f, 4.0f * std::sin(angle));
        light->setColor(2.0f / std::sqrt(static_cast<float>(nrOfLights)), 1.8f / std::sqrt(static_cast<float>(nrOfLights)),
                        1.6f / std::sqrt(static_cast<float>(nrOfLights)));
        light->setRadius(12.0f);
        light->setCastShadows(false);
        light->link(scene->root);
        scene->lights.push_back(light);
    }
    scene->camera = new KxCamera;
    scene->camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    scene->camera->setTranslation(0.0f, 1.0f, 8.0f);
    scene->list = new KxList;
    scene->list->create(1024);
    return scene;
}

void destroy(Scene* scene)
{
    delete scene->list;
    for (KxLight* light : scene->lights)
        delete light;
    delete scene->camera;
    delete scene->root;
    delete scene;
    // The loaded tree and its materials stay until the engine stops.
}

void BM_Frame(benchmark::State& state)
{
    KxPipeline* pipeline = Kalvex::getPipeline(static_cast<int>(state.range(0)));
    Scene* scene = build(static_cast<unsigned int>(state.range(1)));
    if (!pipeline || !scene)
    {
        state.SkipWithError("pipeline or demo scene missing");
        return;
    }
    KxPipeline::setCurrent(pipeline);
    pipeline->postProc(false);
    pipeline->setAntiAliasing(false);
    if (KxDeferredRendering* deferred = dynamic_cast<KxDeferredRendering*>(pipeline))
        deferred->setUseSsao(false);
    if (KxHybridRendering* hybrid = dynamic_cast<KxHybridRendering*>(pipeline))
        hybrid->setUseSsao(false);
    for (auto _ : state)
    {
        scene->list->reset();
        scene->list->pass(scene->root);
        Kalvex::render(scene->camera, scene->list, nullptr);
        glFinish();
    }
    state.counters["lights"] = static_cast<double>(scene->lights.size());
    destroy(scene);
    KxPipeline::setCurrent(Kalvex::getPipeline(2));
}

BENCHMARK(BM_Frame)
    ->ArgsProduct({{2, 3, 4}, {1, 8, 32}})
    ->ArgNames({"pipeline", "lights"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
}

int main(int argc, char** argv)
{
    // Textures are found next to the scene.
    if (!kxbench::takeScenePath(argc, argv, scenePath))
        return 1;
    KxConfig config;
    config.setWindowSizeX(1024);
    config.setWindowSizeY(768);
    // The reduced start leaves the shadow pass unloaded: no shadows anywhere.
    if (!Kalvex::init(config, true))
        return 1;
    if (!Kalvex::getPipeline(3)->load(nullptr) || !Kalvex::getPipeline(4)->load(nullptr))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Kalvex::free();
    return 0;
}
