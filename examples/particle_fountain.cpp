// A particle fountain: 10,000 particles updated by a compute shader and
// drawn as glowing quads. reset() gives every particle a random velocity;
// the fountain replaces them with a cone pointing up.
//
//   particle_fountain [--png FILE] [--size WxH]
#include "example_common.h"

#include <cmath>
#include <cstdlib>

#include <glm/gtc/matrix_transform.hpp>

namespace
{
float random(float from, float to)
{
    return from + (to - from) * static_cast<float>(std::rand()) / static_cast<float>(RAND_MAX);
}

// A soft round spot: white, its alpha falling from the centre to the rim.
KxTexture* makeSpot()
{
    const int SIZE = 32;
    std::vector<unsigned char> texels;
    for (int y = 0; y < SIZE; ++y)
        for (int x = 0; x < SIZE; ++x)
        {
            float dx = (x + 0.5f) / SIZE * 2.0f - 1.0f, dy = (y + 0.5f) / SIZE * 2.0f - 1.0f;
            float alpha = std::fmax(0.0f, 1.0f - std::sqrt(dx * dx + dy * dy));
            texels.insert(texels.end(), {255, 255, 255, static_cast<unsigned char>(alpha * 255.0f)});
        }
    KxTexture* spot = new KxTexture;
    spot->create(4, SIZE, SIZE, 1, 2, 0);
    spot->write(texels.data());
    return spot;
}
}

int main(int argc, char** argv)
{
    example::Options options = example::parse(argc, argv);
    KxConfig config;
    config.setWindowTitle("Kalvex: particle fountain");
    config.setWindowSizeX(options.width);
    config.setWindowSizeY(options.height);
    if (!Kalvex::init(config))
        return 1;

    KxNode* root = new KxNode;
    KxMaterial* stone = new KxMaterial;
    stone->setAlbedo(0.25f, 0.25f, 0.3f);
    KxMesh* basin = example::makeCube();
    basin->setMaterial(stone);
    basin->setMatrix(glm::scale(glm::translate(glm::mat4(1.0f), glm::vec3(0, -0.2f, 0)), glm::vec3(3, 0.2f, 3)));
    basin->link(root);
    KxLight* light = new KxLight;
    light->setTranslation(2.0f, 6.0f, 4.0f);
    light->setRadius(30.0f);
    light->setCastShadows(false);
    light->link(root);

    // Each step moves a particle by speed x (velocity + gravity x life): up
    // while it is young, down as its life runs out, then back to the start.
    const unsigned int COUNT = 10000;
    KxEmitter* fountain = new KxEmitter;
    fountain->create(COUNT);
    fountain->reset();
    std::vector<glm::vec4> velocities(COUNT);
    for (glm::vec4& v : velocities)
    {
        // Sideways within a circle, so that the jet is round.
        float angle = random(0.0f, 6.2832f), spread = 0.2f * std::sqrt(random(0.0f, 1.0f));
        v = glm::vec4(spread * std::cos(angle), random(0.9f, 1.2f), spread * std::sin(angle), random(0.004f, 0.012f));
    }
    fountain->getVelocityBuffer()->upload(velocities.data(), 0, COUNT * sizeof(glm::vec4));
    fountain->setGravity(0.0f, -2.2f, 0.0f);
    fountain->setSpeed(0.05f);
    fountain->setParticleSize(0.12f);
    fountain->setTexture(makeSpot());
    fountain->setCastShadows(false);
    fountain->link(root);

    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setMatrix(glm::inverse(glm::lookAt(glm::vec3(0, 3, 9), glm::vec3(0, 2, 0), glm::vec3(0, 1, 0))));
    KxList* list = new KxList;
    list->create(16);

    // Let the fountain run a while before the first picture.
    const int WARM_UP = options.png ? 120 : 0;
    for (int frame = 0;; ++frame)
    {
        list->reset();
        list->pass(root);
        Kalvex::render(camera, list);
        if (options.png && frame >= WARM_UP)
        {
            bool written = example::writePng(options.png);
            Kalvex::free();
            return written ? 0 : 1;
        }
        if (!options.png && !Kalvex::swap(true))
            break;
    }
    return Kalvex::free() ? 0 : 1;
}
