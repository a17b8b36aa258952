// Keyframe animation: posing, frame stepping, binding by name and the
// animation file reader and writer.
#include "kxtest.h"

#include <glm/gtc/matrix_transform.hpp>

#include <cstring>
#include <random>

namespace
{
class Animation : public kxtest::EngineTest
{
};

KxAnim::kxKey key(glm::vec3 position, glm::quat rotation = glm::quat(1, 0, 0, 0), glm::vec3 scale = glm::vec3(1))
{
    KxAnim::kxKey k;
    std::memcpy(k.position, &position[0], 12);
    float r[4] = {rotation.x, rotation.y, rotation.z, rotation.w};
    std::memcpy(k.rotation, r, 16);
    std::memcpy(k.scale, &scale[0], 12);
    return k;
}

KxAnim::kxKeyframes track(std::vector<int32_t> frames, std::vector<KxAnim::kxKey> keys)
{
    KxAnim::kxKeyframes t;
    t.frames = std::move(frames);
    t.keys = std::move(keys);
    return t;
}

glm::vec3 translation(const KxNode* node)
{
    return glm::vec3(node->getMatrix()[3]);
}

void expectMatrixNear(const glm::mat4& a, const glm::mat4& b, float tolerance)
{
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_NEAR(a[c][r], b[c][r], tolerance) << "column " << c << " row " << r;
}

// An animation of two tracks with keys out of the ordinary.
KxAnim* sampleAnimation()
{
    KxAnim* anim = new KxAnim;
    anim->setFps(24);
    anim->setNrOfFrames(30);
    glm::quat turn = glm::angleAxis(glm::radians(75.0f), glm::normalize(glm::vec3(1, 2, 3)));
    anim->addKeyframe("Arm", track({1, 10, 30}, {key(glm::vec3(1, 2, 3)), key(glm::vec3(0), turn, glm::vec3(2)),
                                                 key(glm::vec3(-1), glm::quat(1, 0, 0, 0), glm::vec3(0.5f))}));
    anim->addKeyframe("Leg", track({5}, {key(glm::vec3(0, 7, 0))}));
    return anim;
}
}

// Translation, rotation (the short way round) and scale between keys; the
// last key holds after it.
TEST_F(Animation, InterpolatesBetweenKeysAndHoldsTheLast)
{
    KxNode* root = new KxNode;
    KxNode* mover = new KxNode;
    mover->setName("Mover");
    mover->link(root);
    KxNode* spinner = new KxNode;
    spinner->setName("Spinner");
    spinner->link(root);

    KxAnim* anim = new KxAnim;
    anim->setNrOfFrames(20);
    anim->addKeyframe("Mover", track({1, 11}, {key(glm::vec3(0), glm::quat(1, 0, 0, 0), glm::vec3(1)),
                                               key(glm::vec3(10, 0, 0), glm::quat(1, 0, 0, 0), glm::vec3(3))}));
    glm::vec3 up(0, 1, 0);
    anim->addKeyframe("Spinner", track({1, 11}, {key(glm::vec3(0), glm::angleAxis(glm::radians(170.0f), up)),
                                                 key(glm::vec3(0), glm::angleAxis(glm::radians(-170.0f), up))}));
    ASSERT_TRUE(anim->apply(root));
    EXPECT_EQ(anim->getNrOfBoundNodes(), 2u);

    anim->setKeyframe(6.0f);
    EXPECT_NEAR(glm::length(translation(mover) - glm::vec3(5, 0, 0)), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::length(glm::vec3(mover->getMatrix()[0])), 2.0f, 1e-6f);
    // Half-way from +170 to -170 degrees is 180, not 0.
    expectMatrixNear(spinner->getMatrix(), glm::rotate(glm::mat4(1.0f), glm::radians(180.0f), up), 1e-5f);
    anim->setKeyframe(1.0f);
    EXPECT_EQ(translation(mover), glm::vec3(0));
    anim->setKeyframe(11.0f);
    EXPECT_EQ(translation(mover), glm::vec3(10, 0, 0));
    anim->setKeyframe(15.5f);
    EXPECT_EQ(translation(mover), glm::vec3(10, 0, 0));
    EXPECT_NEAR(glm::length(glm::vec3(mover->getMatrix()[0])), 3.0f, 1e-6f);
}

// Frames advance with the clock at the set rate; the end of the animation
// returns to frame 1 and stops; play needs a bound scene.
TEST_F(Animation, StepsPlaysAndStops)
{
    KxNode* root = new KxNode;
    root->setName("Arm");
    KxAnim* anim = sampleAnimation();
    EXPECT_FALSE(anim->playAnimation());
    EXPECT_FALSE(anim->setFps(0));
    EXPECT_FALSE(anim->setFps(-3));
    EXPECT_EQ(anim->getFps(), 24);
    ASSERT_TRUE(anim->setFps(60));
    EXPECT_EQ(anim->getFrameTime(), 16.0f);

    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(anim->apply(root));
    EXPECT_EQ(kxtest::countLogLines("Animation track 'Leg' has no node of that name", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("has no node of that name", mark), 1);

    ASSERT_TRUE(anim->playAnimation());
    EXPECT_TRUE(anim->isAnimating());
    anim->resetPose();
    anim->advance(160.0);
    EXPECT_FLOAT_EQ(anim->getKeyframe(), 11.0f);
    anim->pauseAnimation();
    EXPECT_FALSE(anim->isAnimating());
    anim->setKeyframe(29.5f);
    ASSERT_TRUE(anim->replayAnimation());
    EXPECT_EQ(anim->getKeyframe(), 1.0f);
    EXPECT_TRUE(anim->isAnimating());

    anim->setNrOfFrames(100);
    anim->setKeyframe(99.5f);
    anim->nextFrame();
    EXPECT_EQ(anim->getKeyframe(), 1.0f);
    EXPECT_FALSE(anim->isAnimating());
    EXPECT_EQ(translation(root), glm::vec3(1, 2, 3)); // the first frame's pose
    anim->previousFrame();
    EXPECT_EQ(anim->getKeyframe(), 1.0f);
}

// Files: save-load-save is byte-identical; an 8-byte file has no tracks,
// empty tracks are dropped; every prefix loads exactly when it ends between
// tracks; corruptions never crash and bad headers are refused.
TEST_F(Animation, FilesRoundTripAndRefuseDamage)
{
    KxAnim* anim = sampleAnimation();
    anim->addKeyframe("Empty", track({}, {}));
    ASSERT_TRUE(Kalvex::saveAnimation(anim, "a.kxa"));
    KxAnim* loaded = Kalvex::loadAnimation("a.kxa");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->getFps(), 24);
    EXPECT_EQ(loaded->getNrOfFrames(), 30);
    EXPECT_EQ(loaded->getTrackNames(), (std::vector<std::string>{"Arm", "Leg"}));
    ASSERT_TRUE(Kalvex::saveAnimation(loaded, "b.kxa"));
    const std::string bytes = kxtest::readFile("a.kxa");
    ASSERT_EQ(bytes.size(), 8u + (4 + 4 + 3 * 44) + (4 + 4 + 44));
    EXPECT_EQ(kxtest::readFile("b.kxa"), bytes);

    const size_t boundaries[] = {8, 8 + 4 + 4 + 3 * 44, bytes.size()};
    for (size_t length = 0; length <= bytes.size(); ++length)
    {
        ASSERT_TRUE(kxtest::writeFile("prefix.kxa", bytes.substr(0, length)));
        KxAnim* prefix = Kalvex::loadAnimation("prefix.kxa");
        bool boundary = std::find(std::begin(boundaries), std::end(boundaries), length) != std::end(boundaries);
        EXPECT_EQ(prefix != nullptr, boundary) << "prefix of " << length << " bytes";
        delete prefix;
    }

    std::string header = bytes.substr(0, 8);
    int32_t zero = 0;
    std::memcpy(&header[0], &zero, 4);
    ASSERT_TRUE(kxtest::writeFile("zero.kxa", header));
    EXPECT_EQ(Kalvex::loadAnimation("zero.kxa"), nullptr);

    std::mt19937 random(14);
    for (int round = 0; round < 300; ++round)
    {
        std::string damaged = bytes;
        for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
            damaged[random() % damaged.size()] = static_cast<char>(random());
        ASSERT_TRUE(kxtest::writeFile("damaged.kxa", damaged));
        KxAnim* result = Kalvex::loadAnimation("damaged.kxa");
        if (result)
        {
            EXPECT_GT(result->getFps(), 0);
            KxNode node;
            node.setName("Arm");
            result->apply(&node);
            result->setKeyframe(7.5f);
        }
        delete result;
    }
    EXPECT_EQ(Kalvex::loadAnimation("missing.kxa"), nullptr);
}
