// The demo scene as the viewer shows it: 1024 x 768, the scene's two lights
// casting shadows, post-processing and multisampling on, through the forward
// pipeline. Once with the specified quality (20-tap shadows, anisotropy 16,
// configured shadow maps) and once with the software preset the engine picks
// on a software rasteriser; with the scene's two lights and with two more
// (without shadows), each without and with the depth pre-pass. Frames per
// second are the "fps" counter.
//
//   tests/with_display.sh bench_demo_fps [SCENE.kxo] [benchmark options]   (default build/scenes/demo.kxo)
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include "bench_common.h"

#include <GL/glew.h>

#include <string>
#include <vector>

namespace
{
std::string scenePath = "build/scenes/demo.kxo";

void BM_DemoFrame(benchmark::State& state)
{
    KxConfig config;
    config.setWindowSizeX(1024);
    config.setWindowSizeY(768);
    config.setPreset(static_cast<int>(state.range(0)));
    if (!Kalvex::init(config, false))
    {
        state.SkipWithError("the engine did not start");
        return;
    }
    KxNode* demo = Kalvex::load(scenePath);
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setTranslation(0.0f, 1.5f, 9.0f);
    KxList* list = new KxList;
    KxDefaultRendering* pipeline = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
    std::vector<KxLight*> extra;
    for (int i = 0; demo && i + 2 < state.range(1); ++i)
    {
        extra.push_back(new KxLight);
        extra[i]->setTranslation(i ? -3.0f : 3.0f, 3.0f, 2.0f);
        extra[i]->setRadius(20.0f);
        extra[i]->setCastShadows(false);
        extra[i]->link(demo);
    }
    if (!demo || !list->create(1024) || !pipeline)
        state.SkipWithError("demo scene missing");
    else
    {
        KxPipeline::setCurrent(pipeline);
        pipeline->setDepthPrePass(state.range(2) != 0);
        pipeline->postProc(true);
        pipeline->setAntiAliasing(true);
        // The first frame compiles what the scene's materials need: not timed.
        list->pass(demo);
        Kalvex::render(camera, list, nullptr);
        glFinish();
        for (auto _ : state)
        {
            list->reset();
            list->pass(demo);
            Kalvex::render(camera, list, nullptr);
            glFinish();
        }
        state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    }
    for (KxLight* light : extra)
    {
        light->unlink();
        delete light;
    }
    delete list;
    delete camera;
    Kalvex::free();
}

BENCHMARK(BM_DemoFrame)
    ->ArgsProduct({{KxConfig::PRESET_DEFAULT, KxConfig::PRESET_SOFTWARE}, {2, 4}, {0, 1}})
    ->ArgNames({"preset", "lights", "prepass"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
}

int main(int argc, char** argv)
{
    // Textures are found next to the scene.
    if (!kxbench::takeScenePath(argc, argv, scenePath))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
