// Frames side by side with OpenSceneGraph 3.6, used through its public API as
// an outside peer: the same generated scenes (empty; 1,000, 10,000 and 50,000
// cubes, each its own mesh; a textured sphere of 1,392 triangles with one
// map), the same camera (45 degrees, planes 1 and 1024, at the origin looking
// down -z), one point light, no shadows, no post-processing, no multisampling,
// at 1024 x 768 and 64 x 64. A frame is the scene walk, the draw and the
// buffer swap, on each side. Kalvex runs with the quality preset it chooses
// itself; the peer with its defaults, culling only against the frustum (as
// Kalvex does) and with the same texture anisotropy.
//
// Before the frames, two child processes (one per engine) build the 50,000
// cubes, draw two frames and report their resident memory (--memory: only
// that).
//
// Run it under tests/with_display.sh. Built only where the peer's development
// package (libopenscenegraph-dev) is installed.
#include <benchmark/benchmark.h>
#include <kalvex.h>

#include "../bench_common.h"

#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <glm/gtc/matrix_transform.hpp>

#include <osg/Geode>
#include <osg/Geometry>
#include <osg/Image>
#include <osg/Light>
#include <osg/MatrixTransform>
#include <osg/Texture2D>
#include <osgViewer/Viewer>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
const float PI = 3.14159265f;
const glm::vec3 LIGHT_POSITION(0.0f, 0.0f, 2.0f);
const int TEXTURE_SIZE = 512;

enum SceneKind
{
    EMPTY,
    CUBES_1K,
    CUBES_10K,
    CUBES_50K,
    TEXTURED_SPHERE,
};

unsigned int cubeCount(int kind)
{
    switch (kind)
    {
    case CUBES_1K:
        return 1000;
    case CUBES_10K:
        return 10000;
    case CUBES_50K:
        return 50000;
    default:
        return 0;
    }
}

// Geometry both engines are given, vertex for vertex.
struct Geometry
{
    std::vector<glm::vec3> positions;
    std::vector<glm::vec3> normals;
    std::vector<glm::vec2> uvs;
    std::vector<uint32_t> indices;
};

// A cube of half size 0.4: 24 vertices, 12 triangles.
Geometry cubeGeometry()
{
    Geometry g;
    const glm::vec3 normals[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (const glm::vec3& n : normals)
    {
        glm::vec3 u = std::fabs(n.x) > 0.5f ? glm::vec3(0, 1, 0) : glm::vec3(1, 0, 0);
        glm::vec3 v = glm::cross(n, u);
        uint32_t first = static_cast<uint32_t>(g.positions.size());
        for (glm::vec2 c : {glm::vec2(-1, -1), glm::vec2(1, -1), glm::vec2(1, 1), glm::vec2(-1, 1)})
        {
            g.positions.push_back(0.4f * (n + c.x * u + c.y * v));
            g.normals.push_back(n);
            g.uvs.push_back((c + 1.0f) * 0.5f);
        }
        // Counter-clockwise seen from outside: u x v = n.
        g.indices.insert(g.indices.end(), {first, first + 1, first + 2, first, first + 2, first + 3});
    }
    return g;
}

// A UV sphere of 24 x 30 segments: 1,392 triangles.
Geometry sphereGeometry()
{
    Geometry g;
    const unsigned int rings = 24, segments = 30;
    for (unsigned int r = 0; r <= rings; ++r)
        for (unsigned int s = 0; s <= segments; ++s)
        {
            float theta = PI * r / rings, phi = 2.0f * PI * s / segments;
            glm::vec3 n(std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi));
            g.positions.push_back(n);
            g.normals.push_back(n);
            g.uvs.push_back(glm::vec2(4.0f * s / segments, 2.0f * r / rings));
        }
    for (unsigned int r = 0; r < rings; ++r)
        for (unsigned int s = 0; s < segments; ++s)
        {
            uint32_t a = r * (segments + 1) + s, b = a + segments + 1;
            if (r > 0)
                g.indices.insert(g.indices.end(), {a, a + 1, b});
            if (r + 1 < rings)
                g.indices.insert(g.indices.end(), {a + 1, b + 1, b});
        }
    return g;
}

// Where cube i of count stands: a square grid facing the camera.
glm::mat4 cubePlacement(unsigned int i, unsigned int count)
{
    unsigned int side = static_cast<unsigned int>(std::ceil(std::sqrt(static_cast<double>(count))));
    float x = static_cast<float>(i % side) - side / 2.0f;
    float y = static_cast<float>(i / side) - side / 2.0f;
    glm::mat4 m = glm::translate(glm::mat4(1.0f), glm::vec3(x, y, -1.2f * side));
    return glm::rotate(m, glm::radians(static_cast<float>(i % 90)), glm::vec3(0, 1, 0));
}

glm::mat4 spherePlacement()
{
    glm::mat4 m = glm::translate(glm::mat4(1.0f), glm::vec3(0.0f, 0.0f, -2.6f));
    return glm::rotate(m, glm::radians(-60.0f), glm::vec3(1, 0, 0));
}

// RGB stripes, the same texels for both engines.
std::vector<unsigned char> stripes()
{
    std::vector<unsigned char> texels(TEXTURE_SIZE * TEXTURE_SIZE * 3);
    for (int y = 0; y < TEXTURE_SIZE; ++y)
        for (int x = 0; x < TEXTURE_SIZE; ++x)
        {
            unsigned char value = ((x / 8 + y / 8) % 2) ? 230 : 40;
            unsigned char* p = &texels[(y * TEXTURE_SIZE + x) * 3];
            p[0] = value;
            p[1] = static_cast<unsigned char>(255 - value / 2);
            p[2] = static_cast<unsigned char>(value / 3);
        }
    return texels;
}

//////////////////////////////////////////////////////////////////////////////
// Kalvex

KxMesh* kalvexMesh(const Geometry& g)
{
    std::vector<KxMesh::kxMeshVertex> vertices(g.positions.size());
    for (size_t i = 0; i < vertices.size(); ++i)
    {
        KxMesh::kxMeshVertex& v = vertices[i];
        v = {};
        v.position[0] = g.positions[i].x;
        v.position[1] = g.positions[i].y;
        v.position[2] = g.positions[i].z;
        v.normal = KxMesh::packNormal(glm::vec4(g.normals[i], 0.0f));
        v.uv[0] = KxMesh::packHalf(g.uvs[i].x);
        v.uv[1] = KxMesh::packHalf(g.uvs[i].y);
    }
    std::vector<KxMesh::kxMeshFace> faces(g.indices.size() / 3);
    for (size_t i = 0; i < faces.size(); ++i)
        faces[i] = {{g.indices[i * 3], g.indices[i * 3 + 1], g.indices[i * 3 + 2]}};
    KxMesh* mesh = new KxMesh;
    mesh->create(static_cast<unsigned int>(vertices.size()), vertices.data(), static_cast<unsigned int>(faces.size()),
                 faces.data());
    return mesh;
}

struct KalvexScene
{
    int kind = -1;
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxList* list = nullptr;
    std::vector<KxObject*> owned; // deleted in reverse

    ~KalvexScene()
    {
        delete list;
        for (auto object = owned.rbegin(); object != owned.rend(); ++object)
            delete *object;
        delete root;
        delete camera;
    }
};

KxTexture* kalvexStripes()
{
    return kxbench::loadTexels("/tmp/kx_peer_stripes.ppm", TEXTURE_SIZE, stripes());
}

KalvexScene* kalvexScene(int kind)
{
    KalvexScene* scene = new KalvexScene;
    scene->kind = kind;
    scene->camera = new KxCamera;
    scene->camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    scene->root = new KxNode;
    KxLight* light = new KxLight;
    light->setTranslation(LIGHT_POSITION);
    light->setRadius(1000.0f);
    light->setCastShadows(false);
    light->link(scene->root);
    scene->owned.push_back(light);
    unsigned int count = cubeCount(kind);
    if (count)
    {
        Geometry cube = cubeGeometry();
        for (unsigned int i = 0; i < count; ++i)
        {
            KxMesh* mesh = kalvexMesh(cube);
            mesh->setMatrix(cubePlacement(i, count));
            mesh->link(scene->root);
            scene->owned.push_back(mesh);
        }
    }
    if (kind == TEXTURED_SPHERE)
    {
        KxTexture* texture = kalvexStripes();
        KxMaterial* material = new KxMaterial;
        material->setAlbedo(1.0f, 1.0f, 1.0f);
        if (texture)
            material->setTexture(texture, KxMaterial::SLOT_ALBEDO);
        KxMesh* mesh = kalvexMesh(sphereGeometry());
        mesh->setMaterial(material);
        mesh->setMatrix(spherePlacement());
        mesh->link(scene->root);
        scene->owned.push_back(texture);
        scene->owned.push_back(material);
        scene->owned.push_back(mesh);
    }
    KxMesh::optimizeMemory();
    scene->list = new KxList;
    scene->list->create(count + 8);
    return scene;
}

void kalvexFrame(KalvexScene* scene)
{
    scene->list->reset();
    scene->list->pass(scene->root);
    Kalvex::render(scene->camera, scene->list, nullptr);
    Kalvex::swap();
}

bool kalvexStart(int width, int height)
{
    KxConfig config;
    config.setWindowSizeX(width);
    config.setWindowSizeY(height);
    config.setPreset(KxConfig::PRESET_AUTO);
    if (!Kalvex::init(config, true))
        return false;
    KxPipeline* forward = Kalvex::getPipeline(2);
    forward->postProc(false);
    forward->setAntiAliasing(false);
    return true;
}

// The window and the engine's targets at a size.
void kalvexResize(int width, int height)
{
    GLFWwindow* window = static_cast<GLFWwindow*>(Kalvex::getWindow());
    glfwMakeContextCurrent(window);
    if (Kalvex::getWindowSizeX() == width && Kalvex::getWindowSizeY() == height)
        return;
    glfwSetWindowSize(window, width, height);
    Kalvex::resize(width, height);
}

//////////////////////////////////////////////////////////////////////////////
// The peer

osg::ref_ptr<osg::Geometry> peerGeometry(const Geometry& g, osg::Texture2D* texture)
{
    osg::ref_ptr<osg::Vec3Array> positions = new osg::Vec3Array;
    osg::ref_ptr<osg::Vec3Array> normals = new osg::Vec3Array;
    osg::ref_ptr<osg::Vec2Array> uvs = new osg::Vec2Array;
    for (size_t i = 0; i < g.positions.size(); ++i)
    {
        positions->push_back(osg::Vec3(g.positions[i].x, g.positions[i].y, g.positions[i].z));
        normals->push_back(osg::Vec3(g.normals[i].x, g.normals[i].y, g.normals[i].z));
        uvs->push_back(osg::Vec2(g.uvs[i].x, g.uvs[i].y));
    }
    osg::ref_ptr<osg::Geometry> geometry = new osg::Geometry;
    geometry->setVertexArray(positions);
    geometry->setNormalArray(normals, osg::Array::BIND_PER_VERTEX);
    if (texture)
    {
        geometry->setTexCoordArray(0, uvs);
        geometry->getOrCreateStateSet()->setTextureAttributeAndModes(0, texture, osg::StateAttribute::ON);
    }
    osg::ref_ptr<osg::DrawElementsUInt> triangles = new osg::DrawElementsUInt(GL_TRIANGLES);
    triangles->insert(triangles->end(), g.indices.begin(), g.indices.end());
    geometry->addPrimitiveSet(triangles);
    return geometry;
}

osg::Matrix peerMatrix(const glm::mat4& m)
{
    return osg::Matrix(&m[0][0]); // both column vectors in memory order
}

osg::ref_ptr<osg::Texture2D> peerStripes(int anisotropy)
{
    std::vector<unsigned char> texels = stripes();
    osg::ref_ptr<osg::Image> image = new osg::Image;
    image->allocateImage(TEXTURE_SIZE, TEXTURE_SIZE, 1, GL_RGB, GL_UNSIGNED_BYTE);
    std::memcpy(image->data(), texels.data(), texels.size());
    osg::ref_ptr<osg::Texture2D> texture = new osg::Texture2D(image);
    texture->setWrap(osg::Texture::WRAP_S, osg::Texture::REPEAT);
    texture->setWrap(osg::Texture::WRAP_T, osg::Texture::REPEAT);
    texture->setFilter(osg::Texture::MIN_FILTER, osg::Texture::LINEAR_MIPMAP_LINEAR);
    texture->setFilter(osg::Texture::MAG_FILTER, osg::Texture::LINEAR);
    texture->setMaxAnisotropy(static_cast<float>(anisotropy));
    return texture;
}

osg::ref_ptr<osg::Group> peerScene(int kind, int anisotropy)
{
    osg::ref_ptr<osg::Group> root = new osg::Group;
    // Back faces culled, as Kalvex culls them in its opaque batches.
    root->getOrCreateStateSet()->setMode(GL_CULL_FACE, osg::StateAttribute::ON);
    unsigned int count = cubeCount(kind);
    if (count)
    {
        Geometry cube = cubeGeometry();
        for (unsigned int i = 0; i < count; ++i)
        {
            // Each cube its own geometry, as each Kalvex cube is its own mesh.
            osg::ref_ptr<osg::Geode> geode = new osg::Geode;
            geode->addDrawable(peerGeometry(cube, nullptr));
            osg::ref_ptr<osg::MatrixTransform> transform = new osg::MatrixTransform(peerMatrix(cubePlacement(i, count)));
            transform->addChild(geode);
            root->addChild(transform);
        }
    }
    if (kind == TEXTURED_SPHERE)
    {
        osg::ref_ptr<osg::Geode> geode = new osg::Geode;
        geode->addDrawable(peerGeometry(sphereGeometry(), peerStripes(anisotropy)));
        osg::ref_ptr<osg::MatrixTransform> transform = new osg::MatrixTransform(peerMatrix(spherePlacement()));
        transform->addChild(geode);
        root->addChild(transform);
    }
    return root;
}

std::unique_ptr<osgViewer::Viewer> peerViewer(int width, int height)
{
    osg::ref_ptr<osg::GraphicsContext::Traits> traits = new osg::GraphicsContext::Traits;
    traits->readDISPLAY(); // the display Kalvex opens, not display 0
    traits->x = 0;
    traits->y = 0;
    traits->width = width;
    traits->height = height;
    traits->windowDecoration = false;
    traits->doubleBuffer = true;
    traits->vsync = false;
    traits->samples = 0;
    osg::ref_ptr<osg::GraphicsContext> context = osg::GraphicsContext::createGraphicsContext(traits);
    if (!context)
        return nullptr;
    std::unique_ptr<osgViewer::Viewer> viewer(new osgViewer::Viewer);
    viewer->setThreadingModel(osgViewer::ViewerBase::SingleThreaded);
    osg::Camera* camera = viewer->getCamera();
    camera->setGraphicsContext(context);
    camera->setViewport(new osg::Viewport(0, 0, width, height));
    camera->setClearColor(osg::Vec4(0.0f, 0.0f, 0.0f, 1.0f));
    camera->setProjectionMatrixAsPerspective(45.0, static_cast<double>(width) / height, 1.0, 1024.0);
    camera->setComputeNearFarMode(osg::CullSettings::DO_NOT_COMPUTE_NEAR_FAR);
    camera->setCullingMode(osg::CullSettings::VIEW_FRUSTUM_CULLING);
    camera->setViewMatrix(osg::Matrix::identity());
    // One light, in world space.
    viewer->setLightingMode(osg::View::SKY_LIGHT);
    viewer->getLight()->setPosition(osg::Vec4(LIGHT_POSITION.x, LIGHT_POSITION.y, LIGHT_POSITION.z, 1.0f));
    viewer->getLight()->setDiffuse(osg::Vec4(1.0f, 1.0f, 1.0f, 1.0f));
    viewer->getLight()->setAmbient(osg::Vec4(0.0f, 0.0f, 0.0f, 1.0f));
    viewer->realize();
    return viewer;
}

//////////////////////////////////////////////////////////////////////////////
// Resident memory, measured in child processes

long residentKiB()
{
    FILE* file = std::fopen("/proc/self/status", "r");
    if (!file)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof(line), file))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(file);
    return kib;
}

struct Memory
{
    long emptyKiB = -1;
    long cubesKiB = -1;
};

Memory kalvexMemory()
{
    Memory memory;
    if (!kalvexStart(1024, 768))
        return memory;
    KalvexScene* empty = kalvexScene(EMPTY);
    kalvexFrame(empty);
    memory.emptyKiB = residentKiB();
    KalvexScene* cubes = kalvexScene(CUBES_50K);
    kalvexFrame(cubes);
    kalvexFrame(cubes);
    if (std::getenv("KX_TRIM"))
        malloc_trim(0);
    memory.cubesKiB = residentKiB();
    return memory;
}

Memory peerMemory()
{
    Memory memory;
    std::unique_ptr<osgViewer::Viewer> viewer = peerViewer(1024, 768);
    if (!viewer)
        return memory;
    viewer->setSceneData(peerScene(EMPTY, 1));
    viewer->frame();
    memory.emptyKiB = residentKiB();
    viewer->setSceneData(peerScene(CUBES_50K, 1));
    viewer->frame();
    viewer->frame();
    memory.cubesKiB = residentKiB();
    return memory;
}

// Runs measure in a child process: nothing of one engine stays in the other's figure.
Memory inChild(Memory (*measure)())
{
    int fds[2];
    Memory memory;
    if (pipe(fds) != 0)
        return memory;
    pid_t child = fork();
    if (child == 0)
    {
        close(fds[0]);
        Memory measured = measure();
        ssize_t written = write(fds[1], &measured, sizeof(measured));
        _exit(written == static_cast<ssize_t>(sizeof(measured)) ? 0 : 1);
    }
    close(fds[1]);
    if (child > 0)
    {
        if (read(fds[0], &memory, sizeof(memory)) != static_cast<ssize_t>(sizeof(memory)))
            memory = Memory();
        waitpid(child, nullptr, 0);
    }
    close(fds[0]);
    return memory;
}

Memory kalvexResident, peerResident;

void BM_ResidentMemory50kCubes(benchmark::State& state)
{
    const Memory& memory = state.range(0) ? peerResident : kalvexResident;
    for (auto _ : state)
    {
    }
    state.counters["rss_MiB"] = memory.cubesKiB / 1024.0;
    state.counters["over_empty_MiB"] = (memory.cubesKiB - memory.emptyKiB) / 1024.0;
    state.SetLabel(state.range(0) ? "peer" : "kalvex");
}

//////////////////////////////////////////////////////////////////////////////
// Frames

struct Peer
{
    int width = 0, height = 0;
    std::unique_ptr<osgViewer::Viewer> viewer;
    int kind = -1;
    osg::ref_ptr<osg::Group> scene;
};
KalvexScene* kalvexCurrent = nullptr;
Peer peers[2];

const char* const SCENE_NAMES[] = {"empty", "1k_cubes", "10k_cubes", "50k_cubes", "textured_sphere"};

// Arguments: scene kind, size (0: 1024 x 768, 1: 64 x 64).
void BM_Kalvex(benchmark::State& state)
{
    int kind = static_cast<int>(state.range(0));
    int width = state.range(1) ? 64 : 1024, height = state.range(1) ? 64 : 768;
    kalvexResize(width, height);
    if (!kalvexCurrent || kalvexCurrent->kind != kind)
    {
        delete kalvexCurrent;
        kalvexCurrent = kalvexScene(kind);
    }
    kalvexCurrent->camera->setViewport(0, 0, width, height);
    kalvexFrame(kalvexCurrent); // untimed: first-use work of the driver
    for (auto _ : state)
        kalvexFrame(kalvexCurrent);
    glFinish();
    state.SetLabel(std::string(SCENE_NAMES[kind]) + (state.range(1) ? " 64x64" : " 1024x768"));
}

void BM_Peer(benchmark::State& state)
{
    int kind = static_cast<int>(state.range(0));
    Peer& peer = peers[state.range(1) ? 1 : 0];
    if (!peer.viewer)
    {
        peer.width = state.range(1) ? 64 : 1024;
        peer.height = state.range(1) ? 64 : 768;
        peer.viewer = peerViewer(peer.width, peer.height);
        if (!peer.viewer)
        {
            state.SkipWithError("no peer window");
            return;
        }
    }
    if (peer.kind != kind)
    {
        // One scene graph for both sizes: built once per kind.
        Peer& other = peers[state.range(1) ? 0 : 1];
        peer.scene = other.kind == kind ? other.scene : peerScene(kind, Kalvex::getAnisotropy());
        peer.kind = kind;
        peer.viewer->setSceneData(peer.scene);
    }
    peer.viewer->frame(); // untimed: display lists and textures made
    for (auto _ : state)
        peer.viewer->frame();
    state.SetLabel(std::string(SCENE_NAMES[kind]) + (state.range(1) ? " 64x64" : " 1024x768"));
}

// Interleaved by scene and size, the cubes' frame counts fixed and small.
void registerFrames()
{
    for (int kind = EMPTY; kind <= TEXTURED_SPHERE; ++kind)
        for (int size = 0; size < 2; ++size)
        {
            int iterations = kind == CUBES_50K ? 5 : kind == CUBES_10K ? 10 : 20;
            benchmark::RegisterBenchmark("BM_Kalvex", BM_Kalvex)
                ->Args({kind, size})
                ->Iterations(iterations)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            benchmark::RegisterBenchmark("BM_Peer", BM_Peer)
                ->Args({kind, size})
                ->Iterations(iterations)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
}
}

void writePpm(const std::string& path, int width, int height, const std::vector<unsigned char>& rgba, bool bottomUp)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return;
    std::fprintf(file, "P6\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; ++y)
    {
        int row = bottomUp ? height - 1 - y : y;
        for (int x = 0; x < width; ++x)
            std::fwrite(&rgba[(static_cast<size_t>(row) * width + x) * 4], 1, 3, file);
    }
    std::fclose(file);
}

// Reads the peer's back buffer at the end of its draw, before the swap.
struct PeerCapture : public osg::Camera::DrawCallback
{
    std::vector<unsigned char>* rgba = nullptr;
    int width = 0, height = 0;
    void operator()(osg::RenderInfo&) const override
    {
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba->data());
    }
};

// --snapshots: one frame of every scene from each engine at 1024 x 768, as
// /tmp/peer_<engine>_<scene>.ppm, to check that both draw the same picture.
void snapshots()
{
    const int width = 1024, height = 768;
    std::unique_ptr<osgViewer::Viewer> viewer = peerViewer(width, height);
    std::vector<unsigned char> rgba(static_cast<size_t>(width) * height * 4);
    for (int kind = EMPTY; kind <= TEXTURED_SPHERE; ++kind)
    {
        if (kind == CUBES_50K)
            continue;
        kalvexResize(width, height);
        KalvexScene* scene = kalvexScene(kind);
        scene->list->reset();
        scene->list->pass(scene->root);
        Kalvex::render(scene->camera, scene->list, nullptr);
        Kalvex::readWindowPixels(0, 0, width, height, rgba.data());
        writePpm(std::string("/tmp/peer_kalvex_") + SCENE_NAMES[kind] + ".ppm", width, height, rgba, false);
        Kalvex::swap();
        delete scene;

        osg::ref_ptr<PeerCapture> capture = new PeerCapture;
        capture->rgba = &rgba;
        capture->width = width;
        capture->height = height;
        viewer->getCamera()->setFinalDrawCallback(capture);
        viewer->setSceneData(peerScene(kind, Kalvex::getAnisotropy()));
        viewer->frame();
        viewer->getCamera()->setFinalDrawCallback(nullptr);
        writePpm(std::string("/tmp/peer_osg_") + SCENE_NAMES[kind] + ".ppm", width, height, rgba, true);
    }
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0)
    {
        // The resident memory alone.
        Memory kalvex = inChild(kalvexMemory), peer = inChild(peerMemory);
        std::printf("50,000 cubes resident: Kalvex %.1f MiB (%.1f over empty), peer %.1f MiB (%.1f over empty)\n",
                    kalvex.cubesKiB / 1024.0, (kalvex.cubesKiB - kalvex.emptyKiB) / 1024.0, peer.cubesKiB / 1024.0,
                    (peer.cubesKiB - peer.emptyKiB) / 1024.0);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--snapshots") == 0)
    {
        if (!kalvexStart(1024, 768))
            return 1;
        snapshots();
        glfwMakeContextCurrent(static_cast<GLFWwindow*>(Kalvex::getWindow()));
        Kalvex::free();
        return 0;
    }

    // Before either engine touches the display in this process.
    kalvexResident = inChild(kalvexMemory);
    peerResident = inChild(peerMemory);

    if (!kalvexStart(1024, 768))
        return 1;
    std::printf("Kalvex preset: %s, anisotropy %d\n", Kalvex::usesSoftwarePreset() ? "software" : "default",
                Kalvex::getAnisotropy());
    benchmark::RegisterBenchmark("BM_ResidentMemory50kCubes", BM_ResidentMemory50kCubes)->Arg(0)->Arg(1)->Iterations(1);
    registerFrames();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete kalvexCurrent;
    kalvexCurrent = nullptr;
    for (Peer& peer : peers)
        peer.viewer.reset();
    glfwMakeContextCurrent(static_cast<GLFWwindow*>(Kalvex::getWindow()));
    Kalvex::free();
    return 0;
}
