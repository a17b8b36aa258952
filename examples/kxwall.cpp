// A display wall in one window: a scene seen through three displays side by
// side, each view an off-axis projection from one eye (KxMultiscreen), each
// drawn into its third of the window. Lines that cross the wall continue
// across the seams.
//
//   kxwall SCENE.kxo [--png FILE] [--frames N]
//
// --png renders two frames, writes the window's picture and ends. Exit codes:
// 0 done, 1 bad arguments, 2 the engine did not start, 3 the scene did not
// load, 4 the picture could not be written.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <GL/glew.h>
#include <kalvex.h>
#include <stb_image_write.h>

namespace
{
const int DISPLAYS = 3;
const int VIEW_X = 320, VIEW_Y = 360; // pixels of one display
// One display in the camera's space: 1.6 x 1.8 units (the view's aspect), at
// distance 2 in front of the eye.
const float DISPLAY_X = 1.6f, DISPLAY_Y = 1.8f, DISTANCE = 2.0f;

struct Options
{
    const char* scene = nullptr;
    const char* png = nullptr;
    int frames = -1; // until the window closes
};

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--png") == 0 && i + 1 < argc)
            options.png = argv[++i];
        else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            options.frames = std::atoi(argv[++i]);
        else if (!options.scene && argv[i][0] != '-')
            options.scene = argv[i];
        else
            return false;
    }
    return options.scene != nullptr;
}

// Size of the scene along z, from its meshes' bounding spheres.
float zRange()
{
    float low = FLT_MAX, high = -FLT_MAX;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
    {
        if (object->getType() != KxObject::TYPE_MESH)
            continue;
        KxMesh* mesh = static_cast<KxMesh*>(object);
        float z = mesh->getFinalMatrix(nullptr)[3].z;
        low = std::fmin(low, z - mesh->getRadius());
        high = std::fmax(high, z + mesh->getRadius());
    }
    return high > low ? high - low : 2.0f;
}

// The window's picture, top row first, as a PNG.
bool writePicture(const char* path)
{
    int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    std::vector<unsigned char> rgba(static_cast<size_t>(width) * height * 4);
    if (!Kalvex::readWindowPixels(0, 0, width, height, rgba.data()))
        return false;
    return stbi_write_png(path, width, height, 4, rgba.data(), width * 4) != 0;
}
}

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options))
    {
        std::fprintf(stderr, "usage: kxwall SCENE.kxo [--png FILE] [--frames N]\n");
        return 1;
    }
    KxConfig config;
    config.setWindowTitle("Kalvex display wall");
    config.setWindowSizeX(DISPLAYS * VIEW_X);
    config.setWindowSizeY(VIEW_Y);
    if (!Kalvex::init(config, true))
        return 2;
    // Texture names in the scene are relative to its folder.
    std::string scene = options.scene, folder = ".";
    size_t slash = scene.rfind('/');
    if (slash != std::string::npos)
    {
        folder = scene.substr(0, slash + 1);
        scene = scene.substr(slash + 1);
    }
    // The picture's path stays relative to where we were started.
    std::string png = options.png ? options.png : "";
    char here[4096];
    if (!png.empty() && png[0] != '/' && getcwd(here, sizeof(here)))
        png = std::string(here) + "/" + png;
    KxNode* root = chdir(folder.c_str()) == 0 ? Kalvex::load(scene) : nullptr;
    if (!root)
    {
        Kalvex::free();
        return 3;
    }
    KxMesh::optimizeMemory();
    const float range = zRange();

    // The tracking space is the camera's: the eye at its origin, the wall in front.
    KxMultiscreen wall;
    for (int i = 0; i < DISPLAYS; ++i)
    {
        float left = (i - DISPLAYS / 2.0f) * DISPLAY_X;
        wall.addDisplay(glm::vec3(left, -DISPLAY_Y / 2, -DISTANCE), glm::vec3(left + DISPLAY_X, -DISPLAY_Y / 2, -DISTANCE),
                        glm::vec3(left, DISPLAY_Y / 2, -DISTANCE));
    }
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setNearPlane(1.0f);
    camera->setFarPlane(range * 20.0f + 1.0f);
    camera->setTranslation(0.0f, 0.0f, range * 0.6f);
    KxLight* light = new KxLight;
    light->setColor(1.0f, 1.0f, 1.0f);
    light->setRadius(range, 1.0f);
    light->setCastShadows(false);
    light->link(camera);
    KxList* list = new KxList;
    list->create(1024);

    // Each view is rendered whole into a scratch framebuffer and its third
    // copied into the window.
    KxTexture* color = new KxTexture;
    KxFbo* scratch = new KxFbo;
    color->create(4, static_cast<unsigned int>(Kalvex::getWindowSizeX()),
                  static_cast<unsigned int>(Kalvex::getWindowSizeY()), 1);
    scratch->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color);
    KxFbo::resetCache();

    int frames = options.png ? 2 : options.frames;
    int status = 0;
    for (int frame = 0; frames < 0 || frame < frames; ++frame)
    {
        KxPipeline::setCurrent(Kalvex::getPipeline(2));
        KxPipeline::getCurrent()->setAntiAliasing(true);
        root->setIdentity();
        root->rotateX(20.0f);
        root->rotateY(frame * 0.5f);
        list->reset();
        list->pass(root);
        list->pass(camera);
        for (int i = 0; i < DISPLAYS; ++i)
        {
            camera->setViewport(i * VIEW_X, 0, (i + 1) * VIEW_X, VIEW_Y);
            wall.update(i, camera);
            Kalvex::render(camera, list, scratch);
            glBlitNamedFramebuffer(scratch->getHandle(), 0, i * VIEW_X, 0, (i + 1) * VIEW_X, VIEW_Y, i * VIEW_X, 0,
                                   (i + 1) * VIEW_X, VIEW_Y, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        }
        KxFbo::resetCache();
        if (!png.empty() && frame == frames - 1 && !writePicture(png.c_str()))
            status = 4;
        if (!Kalvex::swap(true))
            break;
    }
    Kalvex::free();
    return status;
}
