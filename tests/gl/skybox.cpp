// Sky boxes: each face in its own direction, behind whatever was drawn, the
// depth buffer untouched; a broken cube map refused with the sky kept.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

#include <cstring>

namespace
{
// One colour per face, in GL's face order +X, -X, +Y, -Y, +Z, -Z.
const unsigned char FACES[6][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};

KxTexture* faceColours()
{
    KxTexture* texture = new KxTexture;
    std::vector<unsigned char> bytes;
    for (const auto& face : FACES)
        for (int i = 0; i < 4 * 4; ++i)
            bytes.insert(bytes.end(), face, face + 3);
    EXPECT_TRUE(texture->create(17, 4, 4, 1, 1, 0));
    EXPECT_TRUE(texture->write(bytes.data()));
    return texture;
}

template <typename T>
std::vector<T> readTexture(KxTexture* texture, GLenum format, GLenum type, size_t components)
{
    std::vector<T> values(static_cast<size_t>(texture->getSizeX()) * texture->getSizeY() * components);
    glGetTextureImage(texture->getHandle(), 0, format, type, static_cast<GLsizei>(values.size() * sizeof(T)),
                      values.data());
    return values;
}

class Skybox : public kxscene::SceneTest
{
protected:
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxList* list = nullptr;
    KxSkybox* skybox = nullptr;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        Kalvex::getPipeline(2)->postProc(false);
        Kalvex::getPipeline(2)->setAntiAliasing(false);
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        camera->setAngleOfView(60.0f);
        root = new KxNode;
        list = new KxList;
        ASSERT_TRUE(list->create(8));
        skybox = new KxSkybox;
        camera->setSkybox(skybox);
    }

    void TearDown() override
    {
        Kalvex::getPipeline(2)->postProc(true);
        kxscene::SceneTest::TearDown();
    }

    std::vector<unsigned char> frame()
    {
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, nullptr));
        return kxscene::window();
    }

    const unsigned char* centre(const std::vector<unsigned char>& pixels)
    {
        return kxscene::pixel(pixels, Kalvex::getWindowSizeX() / 2, Kalvex::getWindowSizeY() / 2);
    }
};
}

TEST_F(Skybox, EachFaceInItsDirection)
{
    EXPECT_EQ(skybox->getType(), KxObject::TYPE_SKYBOX);
    // Without a texture: white, scaled by the intensity.
    skybox->setHdrIntensity(0.5f);
    EXPECT_NEAR(centre(frame())[0], 128, 1);
    skybox->setHdrIntensity(1.0f);

    ASSERT_TRUE(skybox->setTexture(faceColours()));
    const glm::vec3 directions[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    const glm::vec3 ups[6] = {{0, 1, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}, {0, 1, 0}, {0, 1, 0}};
    for (int face = 0; face < 6; ++face)
    {
        // Wherever the camera stands, only its direction counts.
        glm::vec3 eye(3.0f, -2.0f, 7.0f);
        camera->setMatrix(glm::inverse(glm::lookAt(eye, eye + directions[face], ups[face])));
        std::vector<unsigned char> pixels = frame();
        const unsigned char* got = centre(pixels);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[c], FACES[face][c], 1) << "face " << face << " channel " << c;
        if (HasFailure())
            kxscene::savePng("skybox_face" + std::to_string(face), pixels);
    }
    EXPECT_GE(KxStats::get(KxStats::SKYBOX_RENDER), 7u);
}

// Drawn over a finished frame, the sky fills exactly the pixels at the far
// plane and changes neither the geometry's colours nor any depth.
TEST_F(Skybox, NeverCoversGeometryNorWritesDepth)
{
    // Post-processing keeps the frame in the pipeline's own target, where its
    // colours and depths can be read back; without it the frame goes straight
    // to the window.
    Kalvex::getPipeline(2)->postProc(true);
    ASSERT_TRUE(skybox->setTexture(faceColours()));
    camera->setSkybox(nullptr);
    KxMesh* sphere = kxscene::makeSphere(12, 16);
    sphere->setTranslation(0.0f, 0.0f, -4.0f);
    sphere->link(root);
    KxLight* light = new KxLight;
    light->setTranslation(2.0f, 2.0f, 0.0f);
    light->setRadius(20.0f);
    light->link(root);
    frame();

    KxFbo* target = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2))->getFramebuffer();
    KxTexture* colourTexture = target->getTexture(0);
    KxTexture* depthTexture = target->getTexture(1);
    ASSERT_NE(depthTexture, nullptr);
    std::vector<float> colourBefore = readTexture<float>(colourTexture, GL_RGBA, GL_FLOAT, 4);
    std::vector<float> depthBefore = readTexture<float>(depthTexture, GL_DEPTH_COMPONENT, GL_FLOAT, 1);

    target->render();
    camera->render(nullptr);
    glm::mat4 view = glm::inverse(camera->getFinalMatrix());
    view[3] = glm::vec4(0, 0, 0, 1);
    KxDrawRecord record = {&view, nullptr, nullptr};
    ASSERT_TRUE(skybox->render(&record));
    std::vector<float> colourAfter = readTexture<float>(colourTexture, GL_RGBA, GL_FLOAT, 4);
    std::vector<float> depthAfter = readTexture<float>(depthTexture, GL_DEPTH_COMPONENT, GL_FLOAT, 1);
    KxFbo::resetCache();

    EXPECT_EQ(std::memcmp(depthBefore.data(), depthAfter.data(), depthBefore.size() * sizeof(float)), 0);
    int geometry = 0, sky = 0;
    for (size_t i = 0; i < depthBefore.size(); ++i)
    {
        bool far = depthBefore[i] == 1.0f;
        (far ? sky : geometry)++;
        // Looking along -z: the sky there is the -Z face.
        for (int c = 0; c < 3; ++c)
        {
            float want = far ? FACES[5][c] / 255.0f : colourBefore[i * 4 + c];
            ASSERT_NEAR(colourAfter[i * 4 + c], want, far ? 0.01f : 0.0f) << "pixel " << i;
        }
    }
    EXPECT_GT(geometry, 2000);
    EXPECT_GT(sky, 20000);
}

// A cube map with a face missing is refused when read; the sky box refuses
// the texture it leaves behind and keeps drawing the one it has.
TEST_F(Skybox, IncompleteCubeMapKeepsThePreviousSky)
{
    KxTexture* good = faceColours();
    ASSERT_TRUE(skybox->setTexture(good));
    camera->setMatrix(glm::inverse(glm::lookAt(glm::vec3(0), glm::vec3(1, 0, 0), glm::vec3(0, 1, 0))));

    // A DXT1 cube map header that lists five faces (no -Z), with five faces of data.
    std::string bytes(128, '\0');
    auto put32 = [&](size_t offset, uint32_t value) { std::memcpy(&bytes[offset], &value, 4); };
    std::memcpy(&bytes[0], "DDS ", 4);
    put32(4, 124);
    put32(8, 0x1 | 0x2 | 0x4 | 0x1000);
    put32(12, 4);
    put32(16, 4);
    put32(28, 1);
    put32(76, 32);
    put32(80, 0x4);
    std::memcpy(&bytes[84], "DXT1", 4);
    put32(108, 0x1000 | 0x8);
    put32(112, 0x200 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000);
    bytes += std::string(5 * 8, '\0');
    ASSERT_TRUE(kxtest::writeFile("five_faces.dds", bytes));

    size_t mark = kxtest::readLog().size();
    KxTexture* broken = new KxTexture;
    EXPECT_FALSE(broken->load("five_faces.dds"));
    EXPECT_EQ(kxtest::countLogLines("File 'five_faces.dds' is an incomplete cubemap", mark), 1);
    EXPECT_FALSE(skybox->setTexture(broken));
    EXPECT_EQ(skybox->getTexture(), good);
    std::vector<unsigned char> pixels = frame();
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(centre(pixels)[c], FACES[0][c], 1);
    // A plain 2D texture is no sky either.
    EXPECT_FALSE(skybox->setTexture(KxTexture::getDefault()));
    EXPECT_TRUE(skybox->setTexture(nullptr));
}
