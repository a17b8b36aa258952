// Pipelines' shader tables, screen quads and boxes, and presenting images in the window.
#include "kxtest.h"

#include <GL/glew.h>
#include <glm/gtc/matrix_transform.hpp>
#include <stb_image_write.h>

#include <cstdio>

class Presentation : public kxtest::EngineTest
{
protected:
    // The window's pixels, top row first.
    static std::vector<unsigned char> window()
    {
        std::vector<unsigned char> pixels(static_cast<size_t>(Kalvex::getWindowSizeX()) * Kalvex::getWindowSizeY() * 4);
        EXPECT_TRUE(Kalvex::readWindowPixels(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels.data()));
        return pixels;
    }

    static void clearWindow()
    {
        KxFbo::resetCache();
        glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
        KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);
        KxOpenGL::clear(true, true, false);
    }

    static void saveOnFailure(const std::string& name, const std::vector<unsigned char>& pixels)
    {
        if (::testing::Test::HasFailure())
            kxtest::writePng(name + ".png", Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels);
    }
};

TEST_F(Presentation, PipelineRegistryAndShaderTable)
{
    EXPECT_EQ(Kalvex::getPipeline(0), nullptr);
    EXPECT_EQ(Kalvex::getPipeline(5), nullptr);
    EXPECT_EQ(Kalvex::getPipeline(-1), nullptr);
    KxPipeline* forward = Kalvex::getPipeline(2);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(forward->getName(), "DefaultPipeline");
    EXPECT_EQ(forward->getType(), KxObject::TYPE_PIPELINE);
    EXPECT_EQ(forward->getSubtype(), 2);
    EXPECT_EQ(KxPipeline::getCurrent(), forward);
    EXPECT_NE(forward->getShader(KxObject::TYPE_QUAD, 0, 0), nullptr);

    KxPipeline* pipeline = new KxPipeline;
    pipeline->setName("TestPipeline");
    KxShader* s = new KxShader;
    KxShader* t = new KxShader;
    EXPECT_TRUE(pipeline->setShader(s, KxObject::TYPE_MESH, 0, 0));
    for (int flags = 0; flags < 3; ++flags)
        EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 0, flags), s);
    EXPECT_TRUE(pipeline->setShader(t, KxObject::TYPE_MESH, 0, 2));
    EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 0, 1), s);
    EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 0, 2), t);
    EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 1, 0), nullptr);

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(pipeline->setShader(s, KxObject::TYPE_MESH, 4, 0));
    EXPECT_FALSE(pipeline->setShader(s, KxObject::TYPE_MESH, 0, 3));
    EXPECT_FALSE(pipeline->setShader(s, KxObject::TYPE_MESH, -1, 0));
    EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 4, 0), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 4);
    EXPECT_FALSE(pipeline->renderShaderForType(KxObject::TYPE_LIGHT, 0, 0));
    EXPECT_EQ(kxtest::countLogLines("No shader specified for object type 16 in pipeline TestPipeline", mark), 1);
    pipeline->resetShaders();
    EXPECT_EQ(pipeline->getShader(KxObject::TYPE_MESH, 0, 2), nullptr);

    EXPECT_TRUE(pipeline->isPostProc());
    EXPECT_FALSE(pipeline->isAntiAliasing());
    EXPECT_FALSE(pipeline->isSRGB());
    EXPECT_TRUE(KxPipeline::setCurrent(pipeline));
    EXPECT_EQ(KxPipeline::getCurrent(), pipeline);
    delete pipeline; // a deleted pipeline is not left current
    EXPECT_EQ(KxPipeline::getCurrent(), nullptr);
    KxPipeline::setCurrent(forward);
}

TEST_F(Presentation, QuadProperties)
{
    KxQuad* quad = new KxQuad;
    EXPECT_EQ(quad->getType(), KxObject::TYPE_QUAD);
    EXPECT_EQ(quad->getSizeX(), 128);
    EXPECT_EQ(quad->getSizeY(), 128);
    EXPECT_EQ(quad->getColor(), glm::vec4(1.0f));
    for (unsigned int slot = 0; slot < 8; ++slot)
        EXPECT_EQ(quad->getTexture(slot), nullptr);
    EXPECT_TRUE(quad->resize(0, 0));
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(quad->resize(-1, 5));
    EXPECT_EQ(quad->getSizeX(), 0);
    quad->setColor(1, 1, 1, 0.25f);
    quad->setColor(0.5f, 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(quad->getColor().a, 0.25f);
    EXPECT_FALSE(quad->setTexture(KxTexture::getDefault(), 8));
    EXPECT_EQ(quad->getTexture(8), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 3);
    EXPECT_FALSE(quad->render(nullptr));
}

TEST_F(Presentation, QuadCoversExactlyItsPixelRectangle)
{
    clearWindow();
    KxCamera* camera = new KxCamera; // 2D, window-sized viewport
    ASSERT_TRUE(camera->render());
    KxQuad* quad = new KxQuad;
    quad->setTexture(KxTexture::getDefault(), 0);
    quad->setColor(0.0f, 1.0f, 0.0f, 1.0f);
    const int x = 37, y = 21, w = 50, h = 33;
    ASSERT_TRUE(quad->resize(w, h));
    glm::mat4 modelView = glm::translate(glm::mat4(1.0f), glm::vec3(x, y, 0));
    KxDrawRecord record = {&modelView, nullptr, nullptr};
    ASSERT_TRUE(quad->render(&record));

    std::vector<unsigned char> pixels = window();
    const int width = Kalvex::getWindowSizeX();
    int wrong = 0;
    for (int row = 0; row < Kalvex::getWindowSizeY(); ++row)
        for (int column = 0; column < width; ++column)
        {
            bool inside = column >= x && column < x + w && row >= y && row < y + h;
            unsigned char green = pixels[(static_cast<size_t>(row) * width + column) * 4 + 1];
            if (green != (inside ? 255 : 0))
                ++wrong;
        }
    EXPECT_EQ(wrong, 0);
    saveOnFailure("quad_rectangle", pixels);
}

TEST_F(Presentation, LoadedImageShowsUprightAndExact)
{
    // An image of the window's size whose every pixel is distinct.
    const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    std::vector<unsigned char> image(static_cast<size_t>(width) * height * 4);
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column)
        {
            unsigned char* p = &image[(static_cast<size_t>(row) * width + column) * 4];
            p[0] = static_cast<unsigned char>(column);
            p[1] = static_cast<unsigned char>(row);
            p[2] = static_cast<unsigned char>((column * 7 + row * 13) & 0xff);
            p[3] = 255;
        }
    ASSERT_TRUE(stbi_write_png("upright.png", width, height, 4, image.data(), width * 4));
    KxTexture* texture = new KxTexture;
    ASSERT_TRUE(texture->load("upright.png", 1, 2)); // nearest, clamped
    clearWindow();
    ASSERT_TRUE(Kalvex::renderFramebuffer(texture));
    std::vector<unsigned char> pixels = window();
    int wrong = 0;
    for (size_t i = 0; i < pixels.size(); ++i)
        if (pixels[i] != image[i])
            ++wrong;
    EXPECT_EQ(wrong, 0) << "the PNG's top-left pixel must show at the window's top-left";
    EXPECT_EQ(pixels[0], 0);
    EXPECT_EQ(pixels[1], 0);
    saveOnFailure("upright", pixels);
}

TEST_F(Presentation, FramebufferBlitsIntoTheWindow)
{
    KxFbo* main = Kalvex::getFramebuffer();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->getSizeX(), static_cast<unsigned int>(Kalvex::getWindowSizeX()));
    ASSERT_TRUE(main->render());
    // Bottom half red, top half blue, in the framebuffer's own rows.
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY() / 2);
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glScissor(0, Kalvex::getWindowSizeY() / 2, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY() / 2);
    glClearColor(0, 0, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);

    clearWindow();
    ASSERT_TRUE(Kalvex::renderFramebuffer(main));
    EXPECT_EQ(KxFbo::getCurrent(), nullptr);
    std::vector<unsigned char> pixels = window();
    const size_t last = pixels.size() - 4;
    EXPECT_EQ(pixels[2], 255); // top row: blue
    EXPECT_EQ(pixels[0], 0);
    EXPECT_EQ(pixels[last], 255); // bottom row: red
    EXPECT_EQ(pixels[last + 2], 0);

    // The same image through the screen quad shows the same way up.
    clearWindow();
    ASSERT_TRUE(Kalvex::renderFramebuffer(static_cast<KxTexture*>(nullptr)));
    std::vector<unsigned char> quadPixels = window();
    EXPECT_EQ(quadPixels, pixels);
    saveOnFailure("blit", quadPixels);
}

TEST_F(Presentation, BoxDrawsWithTheCurrentProgram)
{
    const char* vertex = "@include kx_global;\n"
                         "uniform mat4 modelViewMatrix;\n"
                         "void main() { gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0); }\n";
    const char* fragment = "out vec4 outputColor;\nvoid main() { outputColor = vec4(1.0, 1.0, 0.0, 1.0); }\n";
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    ASSERT_TRUE(vs->loadFromMemory(KxShader::KIND_VERTEX, vertex));
    ASSERT_TRUE(fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment));
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(vs, nullptr, fs));

    clearWindow();
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    ASSERT_TRUE(camera->render());
    glm::mat4 modelView = glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, -5));
    KxDrawRecord record = {&modelView, nullptr, nullptr};
    uint64_t boxes = KxStats::get(KxStats::BOX_RENDER);
    KxBox* box = new KxBox;
    EXPECT_FALSE(box->render(nullptr));
    ASSERT_TRUE(box->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::BOX_RENDER), boxes + 1);
    std::vector<unsigned char> pixels = window();
    const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    const unsigned char* centre = &pixels[(static_cast<size_t>(height / 2) * width + width / 2) * 4];
    EXPECT_EQ(centre[0], 255);
    EXPECT_EQ(centre[1], 255);
    EXPECT_EQ(centre[2], 0);
    // The cube at distance 5 spans tan-projected +-1 unit: the corners stay clear.
    EXPECT_EQ(pixels[0], 0);
    KxOpenGL::depthTest(false);
    saveOnFailure("box", pixels);
}
