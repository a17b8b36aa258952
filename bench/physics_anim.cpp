// Per-frame cost of physics and animation: one 60 Hz physics step with 1,000
// and 10,000 dynamic boxes resting on a floor (bodies never sleep), and one
// animation frame posing 10,000 nodes.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include <cmath>
#include <vector>

namespace
{
const float STEP = 1.0f / 60.0f;

KxMesh* boxBody(KxNode* root, glm::vec3 half, glm::vec3 position, bool dynamic)
{
    KxMesh* mesh = new KxMesh;
    mesh->getBBoxMin() = -half;
    mesh->getBBoxMax() = half;
    KxPhysics* physics = new KxPhysics;
    physics->getProps().bodyKind = dynamic ? 1 : 0;
    physics->getProps().hullKind = KxPhysics::HULL_BOX;
    physics->getProps().mass = dynamic ? 1.0f : 0.0f;
    physics->getProps().friction = 0.8f;
    mesh->setPhysics(physics);
    mesh->setTranslation(position);
    mesh->link(root);
    physics->getFromMesh(mesh);
    return mesh;
}

void PhysicsStepRestingBoxes(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    KxNode* root = new KxNode;
    const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    boxBody(root, glm::vec3(side * 1.5f + 5.0f, 0.5f, side * 1.5f + 5.0f), glm::vec3(0, -0.5f, 0), false);
    for (int i = 0; i < count; ++i)
        boxBody(root, glm::vec3(0.5f), glm::vec3((i % side) * 1.5f - side * 0.75f, 0.5f, (i / side) * 1.5f - side * 0.75f),
                true);
    for (int i = 0; i < 60; ++i) // settle
        KxPhysics::step(STEP, 1, STEP);
    for (auto _ : state)
        KxPhysics::step(STEP, 1, STEP);
    state.counters["bodies"] = count;
    KxPhysics::free(); // deletes the bodies' physics objects
    KxPhysics::init(1.0f);
    std::vector<KxObject*> nodes;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
        if (object->getType() == KxObject::TYPE_MESH || object == root)
            nodes.push_back(object);
    for (KxObject* object : nodes)
        delete object;
}
BENCHMARK(PhysicsStepRestingBoxes)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void AnimationFrame(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const int keys = 120;
    KxNode* root = new KxNode;
    std::vector<KxNode*> nodes;
    KxAnim* animation = new KxAnim;
    animation->setFps(60);
    animation->setNrOfFrames(1000000);
    for (int i = 0; i < count; ++i)
    {
        KxNode* node = new KxNode;
        node->setName("animated_" + std::to_string(i));
        node->link(root);
        nodes.push_back(node);
        KxAnim::kxKeyframes track;
        for (int k = 0; k < keys; ++k)
        {
            float angle = 0.05f * static_cast<float>(k + i);
            KxAnim::kxKey key = {{static_cast<float>(k), 0.0f, static_cast<float>(i)},
                                 {0.0f, std::sin(angle), 0.0f, std::cos(angle)},
                                 {1.0f, 1.0f, 1.0f}};
            track.frames.push_back(1 + 10 * k);
            track.keys.push_back(key);
        }
        animation->addKeyframe(node->getName(), track);
    }
    animation->apply(root);
    animation->resetPose();
    for (auto _ : state)
    {
        animation->advance(16.0); // one frame at 60 fps
        if (animation->getKeyframe() > 1000.0f)
            animation->resetPose();
    }
    state.counters["nodes"] = count;
    delete animation;
    for (KxNode* node : nodes)
        delete node;
    delete root;
}
BENCHMARK(AnimationFrame)->Arg(10000)->Unit(benchmark::kMillisecond);
}

int main(int argc, char** argv)
{
    KxConfig config;
    config.setWindowSizeX(64);
    config.setWindowSizeY(64);
    if (!Kalvex::init(config, true))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Kalvex::free();
    return 0;
}
