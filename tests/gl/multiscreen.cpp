// Off-axis projections for display walls: matrices against an independent
// construction, refusals, and a line drawn across three displays.
#include "kxtest.h"

#include <GL/glew.h>
#include <glm/gtc/matrix_transform.hpp>

#include <cmath>

namespace
{
// The view through a display built another way: a look-at along the display's
// normal, and the frustum through the corners as seen in that eye space.
glm::mat4 expectedProjection(glm::vec3 pa, glm::vec3 pb, glm::vec3 pc, glm::vec3 eye, float n, float f)
{
    glm::vec3 normal = glm::normalize(glm::cross(pb - pa, pc - pa));
    glm::mat4 view = glm::lookAt(eye, eye - normal, glm::normalize(pc - pa));
    glm::vec3 a = glm::vec3(view * glm::vec4(pa, 1.0f));
    glm::vec3 b = glm::vec3(view * glm::vec4(pb, 1.0f));
    glm::vec3 c = glm::vec3(view * glm::vec4(pc, 1.0f));
    float scale = n / -a.z;
    return glm::frustum(a.x * scale, b.x * scale, a.y * scale, c.y * scale, n, f) * view;
}

void expectNear(const glm::mat4& actual, const glm::mat4& expected)
{
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 4; ++row)
            EXPECT_NEAR(actual[column][row], expected[column][row], 1e-5f) << "element " << column << ", " << row;
}

class Multiscreen : public kxtest::EngineTest
{
};
}

TEST_F(Multiscreen, MatricesMatchTheCornersAndBadIndicesAreRefused)
{
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setNearPlane(1.0f);
    camera->setFarPlane(50.0f);
    KxMultiscreen wall;
    const glm::vec3 pa(-1, -1, -1), pb(1, -1, -1), pc(-1, 1, -1);
    ASSERT_TRUE(wall.addDisplay(pa, pb, pc));
    // A side wall of a cave, facing +x, and a tilted display.
    ASSERT_TRUE(wall.addDisplay({-2, -1, 1}, {-2, -1, -2}, {-2, 1.5f, 1}));
    ASSERT_TRUE(wall.addDisplay({-1, -1, -3}, {1, -0.5f, -2.5f}, {-1.2f, 1, -3.5f}));
    EXPECT_EQ(wall.getNrOfDisplays(), 3);

    // Centred: the ordinary symmetric frustum of a 90 degree view.
    ASSERT_TRUE(wall.update(0, camera));
    EXPECT_TRUE(camera->getUseProjMatrix());
    expectNear(camera->getProjMatrix(), glm::perspective(glm::radians(90.0f), 1.0f, 1.0f, 50.0f));
    // The eye moved right: l = -1.5, r = 0.5.
    wall.setEyePosition(0.5f, 0.0f, 0.0f);
    ASSERT_TRUE(wall.update(0, camera));
    expectNear(camera->getProjMatrix(),
               glm::frustum(-1.5f, 0.5f, -1.0f, 1.0f, 1.0f, 50.0f) * glm::translate(glm::mat4(1.0f), {-0.5f, 0, 0}));
    wall.setEyePosition(0.3f, -0.2f, 0.4f);
    ASSERT_TRUE(wall.update(1, camera));
    expectNear(camera->getProjMatrix(), expectedProjection({-2, -1, 1}, {-2, -1, -2}, {-2, 1.5f, 1},
                                                           wall.getEyePosition(), 1.0f, 50.0f));
    // The tilted display's sides are not square: the given bottom edge and up
    // direction define it, as the engine reads them.
    glm::vec3 ta(-1, -1, -3), tb(1, -0.5f, -2.5f), tc(-1.2f, 1, -3.5f);
    glm::vec3 right = glm::normalize(tb - ta);
    tc = ta + glm::normalize(tc - ta - right * glm::dot(tc - ta, right)) * 2.0f;
    KxMultiscreen tilted;
    tilted.setEyePosition(wall.getEyePosition());
    ASSERT_TRUE(tilted.addDisplay(ta, tb, tc));
    ASSERT_TRUE(tilted.update(0, camera));
    expectNear(camera->getProjMatrix(), expectedProjection(ta, tb, tc, wall.getEyePosition(), 1.0f, 50.0f));

    const glm::mat4 before = camera->getProjMatrix();
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(wall.update(3, camera));
    EXPECT_FALSE(wall.update(-1, camera));
    EXPECT_FALSE(wall.update(0, nullptr));
    wall.reset();
    EXPECT_EQ(wall.getNrOfDisplays(), 0);
    EXPECT_FALSE(wall.update(0, camera));
    // Corners that span no rectangle.
    EXPECT_FALSE(wall.addDisplay(pa, pa, pc));
    EXPECT_FALSE(wall.addDisplay(pa, pb, pa + 2.0f * (pb - pa)));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 6);
    // An eye behind the display sees nothing through it.
    ASSERT_TRUE(wall.addDisplay(pa, pb, pc));
    wall.setEyePosition(0.0f, 0.0f, -2.0f);
    EXPECT_FALSE(wall.update(0, camera));
    EXPECT_EQ(camera->getProjMatrix(), before);
}

TEST_F(Multiscreen, ALineCrossesThreeDisplaysStraight)
{
    const char* vertex = "@include kx_global;\n"
                         "uniform mat4 modelViewMatrix;\n"
                         "void main() { gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0); }\n";
    const char* fragment = "out vec4 outputColor;\nvoid main() { outputColor = vec4(1.0); }\n";
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    ASSERT_TRUE(vs->loadFromMemory(KxShader::KIND_VERTEX, vertex));
    ASSERT_TRUE(fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment));
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(vs, nullptr, fs));

    KxFbo::resetCache();
    glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);
    KxOpenGL::clear(true, true, false);

    // Three 2 x 2 displays side by side at distance 2, seen from slightly
    // off the middle one's centre; 100 x 100 pixels each.
    KxMultiscreen wall;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(wall.addDisplay({-3.0f + 2 * i, -1, -2}, {-1.0f + 2 * i, -1, -2}, {-3.0f + 2 * i, 1, -2}));
    wall.setEyePosition(0.2f, 0.1f, 0.0f);
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setNearPlane(0.5f);
    camera->setFarPlane(20.0f);
    // A thin bar, tilted, far behind the wall and across all three displays.
    glm::mat4 model = glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, -6));
    model = glm::rotate(model, glm::radians(12.0f), glm::vec3(0, 0, 1));
    model = glm::scale(model, glm::vec3(12.0f, 0.06f, 0.06f));
    KxDrawRecord record = {&model, nullptr, nullptr};
    KxBox* bar = new KxBox;
    const int size = 100, bottom = 70;
    for (int i = 0; i < 3; ++i)
    {
        camera->setViewport(i * size, bottom, (i + 1) * size, bottom + size);
        ASSERT_TRUE(wall.update(i, camera));
        ASSERT_TRUE(camera->render());
        program->render();
        ASSERT_TRUE(bar->render(&record));
    }
    KxOpenGL::depthTest(false);

    // The bar's centre row in every column must lie on one straight line.
    const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    ASSERT_TRUE(Kalvex::readWindowPixels(0, 0, width, height, pixels.data()));
    std::vector<double> xs, ys;
    for (int x = 0; x < 3 * size; ++x)
    {
        double sum = 0.0, count = 0.0;
        for (int y = 0; y < height; ++y)
            if (pixels[(static_cast<size_t>(y) * width + x) * 4] > 128)
            {
                sum += y;
                count += 1.0;
            }
        if (count == 0.0)
            continue;
        xs.push_back(x);
        ys.push_back(sum / count);
    }
    ASSERT_GT(xs.size(), 280u) << "the bar must cross the whole wall";
    double mx = 0, my = 0;
    for (size_t i = 0; i < xs.size(); ++i)
    {
        mx += xs[i] / xs.size();
        my += ys[i] / xs.size();
    }
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < xs.size(); ++i)
    {
        sxy += (xs[i] - mx) * (ys[i] - my);
        sxx += (xs[i] - mx) * (xs[i] - mx);
    }
    double slope = sxy / sxx, worst = 0.0;
    for (size_t i = 0; i < xs.size(); ++i)
        worst = std::max(worst, std::fabs(ys[i] - (my + slope * (xs[i] - mx))));
    EXPECT_LT(worst, 0.75);
    EXPECT_NEAR(slope, -std::tan(glm::radians(12.0)), 0.02); // rows grow downwards
    if (::testing::Test::HasFailure())
        kxtest::writePng("multiscreen_line.png", width, height, pixels);
}
