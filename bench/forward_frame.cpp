// A forward frame of a many-mesh scene at 640 x 480: the list's batches
// against the same meshes each drawn with its own render.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include "bench_common.h"

#include <GL/glew.h>

#include <cmath>
#include <vector>

namespace
{
struct Scene
{
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxLight* light = nullptr;
    std::vector<KxMesh*> meshes;
    KxList* list = nullptr;
    KxTexture* unshadowed = nullptr;
};

void append(std::vector<unsigned char>& bytes, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

// The cube as a scene-file mesh part: loading does not re-merge every mesh.
std::vector<unsigned char> cubePart()
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;
    kxbench::cubeGeometry(vertices, faces);
    std::vector<unsigned char> bytes;
    uint8_t kind = 0, hasPhysics = 0;
    uint32_t nrOfVertices = static_cast<uint32_t>(vertices.size()), nrOfFaces = static_cast<uint32_t>(faces.size());
    float radius = 0.7f, box[6] = {-0.4f, -0.4f, -0.4f, 0.4f, 0.4f, 0.4f};
    append(bytes, &kind, 1);
    append(bytes, &nrOfVertices, 4);
    append(bytes, &nrOfFaces, 4);
    append(bytes, "[none]", 7);
    append(bytes, &radius, 4);
    append(bytes, box, 24);
    append(bytes, &hasPhysics, 1);
    append(bytes, vertices.data(), vertices.size() * sizeof(KxMesh::kxMeshVertex));
    append(bytes, faces.data(), faces.size() * sizeof(KxMesh::kxMeshFace));
    return bytes;
}

Scene* build(unsigned int count)
{
    Scene* scene = new Scene;
    scene->camera = new KxCamera;
    scene->camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    scene->root = new KxNode;
    scene->light = new KxLight;
    scene->light->setTranslation(0.0f, 5.0f, 0.0f);
    scene->light->setRadius(100.0f);
    scene->light->link(scene->root);
    std::vector<unsigned char> part = cubePart();
    // Loaded without merging, then merged once.
    unsigned int side = static_cast<unsigned int>(std::ceil(std::sqrt(static_cast<double>(count))));
    for (unsigned int i = 0; i < count; ++i)
    {
        KxMesh* mesh = new KxMesh;
        mesh->load(part.data(), static_cast<unsigned int>(part.size()));
        float x = (static_cast<float>(i % side) - side / 2.0f) * 1.0f;
        float y = (static_cast<float>(i / side) - side / 2.0f) * 1.0f;
        mesh->setTranslation(x, y, -1.2f * side);
        mesh->rotateY(static_cast<float>(i % 90));
        mesh->link(scene->root);
        scene->meshes.push_back(mesh);
    }
    KxMesh::optimizeMemory();
    scene->list = new KxList;
    scene->list->create(count + 8);
    scene->unshadowed = new KxTexture;
    scene->unshadowed->create(19, 1, 1, 1);
    const float farthest = 1.0f;
    glClearTexImage(scene->unshadowed->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);
    return scene;
}

void destroy(Scene* scene)
{
    delete scene->list;
    delete scene->unshadowed;
    for (KxMesh* mesh : scene->meshes)
        delete mesh;
    delete scene->light;
    delete scene->root;
    delete scene->camera;
    delete scene;
}

void BM_FrameBatched(benchmark::State& state)
{
    Scene* scene = build(static_cast<unsigned int>(state.range(0)));
    for (auto _ : state)
    {
        scene->list->reset();
        scene->list->pass(scene->root);
        Kalvex::render(scene->camera, scene->list, nullptr);
        glFinish();
    }
    state.counters["meshes"] = static_cast<double>(scene->meshes.size());
    destroy(scene);
}

// The same frame, but every mesh drawn by its own render call: the list only
// uploads the light.
void BM_FrameOneByOne(benchmark::State& state)
{
    Scene* scene = build(static_cast<unsigned int>(state.range(0)));
    KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
    KxShader* program = forward->getShader(KxObject::TYPE_MESH, 0, 0);
    for (auto _ : state)
    {
        scene->list->reset();
        scene->list->pass(scene->root);
        glm::mat4 view = glm::inverse(scene->camera->getFinalMatrix());
        scene->camera->render();
        forward->getFramebuffer()->render();
        KxOpenGL::setBackgroundColor(0, 0, 0, 0);
        KxOpenGL::clear(true, true, true);
        scene->list->setPass(3); // lights only
        scene->list->update(view);
        program->render();
        program->setParamFloat(KxShader::NEAR_PLANE, 1.0f);
        program->setParamFloat(KxShader::FAR_PLANE, scene->light->getRadius());
        program->setParamFloat(KxShader::SHADOW_SOFTNESS, scene->light->getShadowSoftness());
        program->setParamFloat(KxShader::SHADOW_BIAS, scene->light->getShadowBias());
        program->setParamDWord(KxShader::LIGHT_ID, 0);
        scene->unshadowed->render(reinterpret_cast<void*>(6));
        KxOpenGL::culling(true);
        scene->camera->render();
        for (unsigned int i = 0; i < scene->list->getNrOfInstances(); ++i)
        {
            KxInstance& entry = scene->list->getInstance(i);
            if (entry.getNode()->getType() != KxObject::TYPE_MESH)
                continue;
            const glm::mat4& world = entry.getMatrix();
            glm::mat4 modelView = view * world;
            glm::mat3 normal = glm::transpose(glm::inverse(glm::mat3(world)));
            KxDrawRecord record = {&modelView, &normal, &world};
            entry.getNode()->render(&record);
        }
        KxOpenGL::culling(false);
        scene->list->setPass(0);
        Kalvex::renderFramebuffer(forward->getColorTexture());
        KxMesh::resetCache();
        glFinish();
    }
    state.counters["meshes"] = static_cast<double>(scene->meshes.size());
    destroy(scene);
}

BENCHMARK(BM_FrameBatched)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_FrameOneByOne)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
}

int main(int argc, char** argv)
{
    KxConfig config;
    config.setWindowSizeX(640);
    config.setWindowSizeY(480);
    if (!Kalvex::init(config, true))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Kalvex::free();
    return 0;
}
