// A loaded scene inside a sky box whose cube map is painted in code: a sky
// that brightens towards the horizon over a dark ground.
//
//   skybox_scene SCENE.kxo [--png FILE] [--size WxH]
#include "example_common.h"

#include <algorithm>
#include <cmath>

#include <glm/gtc/matrix_transform.hpp>

namespace
{
// The direction a texel of a cube face looks in (GL's face order and axes).
glm::vec3 direction(int face, float s, float t)
{
    switch (face)
    {
    case 0: return {1, -t, -s};
    case 1: return {-1, -t, s};
    case 2: return {s, 1, t};
    case 3: return {s, -1, -t};
    case 4: return {s, -t, 1};
    default: return {-s, -t, -1};
    }
}

KxTexture* paintSky()
{
    const int SIZE = 128;
    std::vector<unsigned char> texels;
    for (int face = 0; face < 6; ++face)
        for (int y = 0; y < SIZE; ++y)
            for (int x = 0; x < SIZE; ++x)
            {
                glm::vec3 d = glm::normalize(direction(face, (x + 0.5f) / SIZE * 2 - 1, (y + 0.5f) / SIZE * 2 - 1));
                glm::vec3 colour = d.y > 0.0f ? glm::mix(glm::vec3(0.85f, 0.9f, 1.0f), glm::vec3(0.2f, 0.4f, 0.85f), d.y)
                                              : glm::mix(glm::vec3(0.4f, 0.37f, 0.33f), glm::vec3(0.15f, 0.13f, 0.1f),
                                                         std::min(1.0f, -d.y * 4.0f));
                for (int c = 0; c < 3; ++c)
                    texels.push_back(static_cast<unsigned char>(colour[c] * 255.0f));
            }
    KxTexture* sky = new KxTexture;
    sky->create(17, SIZE, SIZE, 1, 2, 0); // kind 17: an RGB cube map
    sky->write(texels.data());
    return sky;
}

// The centre and radius of the scene's meshes, for placing the camera.
void measure(KxNode* node, glm::vec3& low, glm::vec3& high)
{
    if (node->getType() == KxObject::TYPE_MESH || node->getType() == KxObject::TYPE_SKINNED)
    {
        glm::vec3 centre(node->getFinalMatrix()[3]);
        float radius = static_cast<KxMesh*>(node)->getRadius();
        low = glm::min(low, centre - radius);
        high = glm::max(high, centre + radius);
    }
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        measure(node->getChild(i), low, high);
}
}

int main(int argc, char** argv)
{
    example::Options options = example::parse(argc, argv);
    if (options.rest.empty())
    {
        std::fprintf(stderr, "usage: skybox_scene SCENE.kxo [--png FILE] [--size WxH]\n");
        return 2;
    }
    KxConfig config;
    config.setWindowTitle("Kalvex: sky box");
    config.setWindowSizeX(options.width);
    config.setWindowSizeY(options.height);
    if (!Kalvex::init(config))
        return 1;
    KxNode* scene = Kalvex::load(options.rest[0]);
    if (!scene)
    {
        Kalvex::free();
        return 1;
    }

    KxSkybox* skybox = new KxSkybox;
    skybox->setTexture(paintSky());

    glm::vec3 low(1e30f), high(-1e30f);
    measure(scene, low, high);
    glm::vec3 centre = low.x <= high.x ? (low + high) * 0.5f : glm::vec3(0.0f);
    float size = low.x <= high.x ? glm::length(high - low) : 4.0f;

    KxNode* root = new KxNode;
    scene->link(root);
    KxLight* light = new KxLight;
    light->setTranslation(centre + glm::vec3(size, size, size));
    light->setRadius(size * 4.0f);
    light->link(root);
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setFarPlane(size * 20.0f);
    camera->setSkybox(skybox);
    KxList* list = new KxList;
    list->create(4096);

    for (int frame = 0;; ++frame)
    {
        // Circling the scene, looking slightly up so that the sky shows.
        float angle = 0.6f + frame * 0.004f;
        glm::vec3 eye = centre + glm::vec3(std::sin(angle), 0.25f, std::cos(angle)) * size;
        camera->setMatrix(glm::inverse(glm::lookAt(eye, centre + glm::vec3(0, size * 0.15f, 0), glm::vec3(0, 1, 0))));
        list->reset();
        list->pass(root);
        Kalvex::render(camera, list);
        if (options.png)
        {
            bool written = example::writePng(options.png);
            Kalvex::free();
            return written ? 0 : 1;
        }
        if (!Kalvex::swap(true))
            break;
    }
    return Kalvex::free() ? 0 : 1;
}
