// Particle emitters: the compute update against a CPU simulation of the same
// rules, the restart at the end of life, and what the forward pipeline draws.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

#include <cstdlib>

namespace
{
std::vector<glm::vec4> readBack(KxBuffer* buffer, unsigned int count)
{
    std::vector<glm::vec4> values(count);
    glGetNamedBufferSubData(buffer->getHandle(), 0, count * sizeof(glm::vec4), values.data());
    return values;
}

// The update rule, one step.
void step(std::vector<glm::vec4>& positions, const std::vector<glm::vec4>& velocities, const glm::vec3& gravity,
          float speed)
{
    for (size_t i = 0; i < positions.size(); ++i)
    {
        glm::vec4& p = positions[i];
        glm::vec3 acceleration = glm::vec3(velocities[i]) + gravity * p.w;
        p = glm::vec4(glm::vec3(p) + speed * acceleration, p.w + velocities[i].w);
        if (p.w > 1.0f)
            p = glm::vec4(0.0f);
    }
}

class Particles : public kxscene::SceneTest
{
};
}

TEST_F(Particles, UpdatesFollowACpuSimulation)
{
    const unsigned int COUNT = 300; // not a whole number of work groups
    KxEmitter* emitter = new KxEmitter;
    EXPECT_EQ(emitter->getType(), KxObject::TYPE_EMITTER);
    EXPECT_TRUE(emitter->isCastingShadows());
    EXPECT_FLOAT_EQ(emitter->getSpeed(), 0.01f);
    EXPECT_FALSE(emitter->create(0));
    ASSERT_TRUE(emitter->create(COUNT));
    emitter->setGravity(0.0f, -1.0f, 0.0f);

    // reset draws w, z, y, x per particle from rand().
    std::srand(1234);
    ASSERT_TRUE(emitter->reset());
    std::srand(1234);
    std::vector<glm::vec4> velocities(COUNT);
    for (glm::vec4& v : velocities)
    {
        v.w = static_cast<float>(std::rand() % 1000) / 100000.0f;
        v.z = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
        v.y = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
        v.x = static_cast<float>(std::rand() % 2000 - 1000) / 10000.0f;
    }
    EXPECT_EQ(readBack(emitter->getVelocityBuffer(), COUNT), velocities);
    EXPECT_EQ(readBack(emitter->getB(), COUNT), std::vector<glm::vec4>(COUNT, glm::vec4(0.0f)));

    // Particle 0 steps its life by 0.25 and stands still but for gravity;
    // the others start late in life, so that many restart during the run.
    velocities[0] = glm::vec4(0.0f, 0.0f, 0.0f, 0.25f);
    ASSERT_TRUE(emitter->getVelocityBuffer()->upload(&velocities[0], 0, sizeof(glm::vec4)));
    std::vector<glm::vec4> positions(COUNT, glm::vec4(0.0f));
    for (unsigned int i = 1; i < COUNT; ++i)
        positions[i].w = 0.9f + 0.1f * static_cast<float>(i % 17) / 17.0f;
    ASSERT_TRUE(emitter->getB()->upload(positions.data(), 0, COUNT * sizeof(glm::vec4)));

    glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, &identity};
    int restarts = 0;
    for (int update = 1; update <= 12; ++update)
    {
        ASSERT_TRUE(emitter->render(&record));
        step(positions, velocities, emitter->getGravity(), emitter->getSpeed());
        std::vector<glm::vec4> got = readBack(emitter->getB(), COUNT);
        for (unsigned int i = 0; i < COUNT; ++i)
        {
            restarts += i && got[i] == glm::vec4(0.0f);
            for (int c = 0; c < 4; ++c)
                ASSERT_NEAR(got[i][c], positions[i][c], 1e-5f) << "particle " << i << " update " << update;
        }
        // 0.25 per update: life exactly 1 after four updates, not yet past it;
        // the fifth restarts the particle at the origin.
        if (update == 4)
        {
            EXPECT_EQ(got[0].w, 1.0f);
            EXPECT_NEAR(got[0].y, -0.01f * (0.0f + 0.25f + 0.5f + 0.75f), 1e-6f);
        }
        if (update == 5)
        {
            EXPECT_EQ(got[0], glm::vec4(0.0f));
        }
    }
    EXPECT_GE(restarts, 100);
    EXPECT_EQ(KxStats::get(KxStats::EMITTER_RENDER) >= 12u, true);
}

// Through the forward pipeline a particle is drawn once per frame, after the
// lit scene, whatever the number of lights: one step, one additive quad.
TEST_F(Particles, ForwardPipelineDrawsEachParticleOnce)
{
    KxPipeline* forward = Kalvex::getPipeline(2);
    forward->postProc(false);
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setTranslation(0.0f, 0.0f, 6.0f);
    KxNode* root = new KxNode;
    for (float x : {-3.0f, 3.0f})
    {
        KxLight* light = new KxLight;
        light->setTranslation(x, 3.0f, 3.0f);
        light->link(root);
    }
    KxEmitter* emitter = new KxEmitter;
    ASSERT_TRUE(emitter->create(1));
    std::srand(99);
    ASSERT_TRUE(emitter->reset());
    std::srand(99);
    float life = static_cast<float>(std::rand() % 1000) / 100000.0f; // after one step
    emitter->setParticleSize(1.0f);
    emitter->link(root);
    KxList* list = new KxList;
    ASSERT_TRUE(list->create(8));

    list->reset();
    ASSERT_TRUE(list->pass(root));
    ASSERT_TRUE(Kalvex::render(camera, list, nullptr));
    std::vector<unsigned char> pixels = kxscene::window();
    forward->postProc(true);
    const int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    // Colour (1 - life) x (0.5, 0.2, 0.05), weighted by its alpha 1 - life.
    const unsigned char* centre = kxscene::pixel(pixels, w / 2, h / 2);
    float fade = (1.0f - life) * (1.0f - life);
    EXPECT_NEAR(centre[0], 255.0f * 0.5f * fade, 1.0f);
    EXPECT_NEAR(centre[1], 255.0f * 0.2f * fade, 1.0f);
    EXPECT_NEAR(centre[2], 255.0f * 0.05f * fade, 1.0f);
    // A unit quad at distance 6 spans less than a sixth of the height.
    EXPECT_GT(kxscene::pixel(pixels, w / 2, h / 2 - h / 20)[0], 0);
    EXPECT_EQ(kxscene::pixel(pixels, w / 2, h / 2 - h / 6)[0], 0);
    EXPECT_EQ(emitter->getLastUpdate(), KxList::getCurrentPassId());
    EXPECT_EQ(readBack(emitter->getB(), 1)[0].w, life);
    if (HasFailure())
        kxscene::savePng("particles_once", pixels);
}
