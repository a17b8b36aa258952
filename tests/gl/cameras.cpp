// Cameras: projections, the global uniform block, frustum planes, moving and unprojecting.
#include "kxtest.h"

#include <GL/glew.h>

#include <cmath>
#include <cstring>

#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

namespace
{
const float PI = 3.14159265358979f;

void expectMatrixNear(const glm::mat4& actual, const glm::mat4& expected, float tolerance)
{
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 4; ++row)
            EXPECT_NEAR(actual[column][row], expected[column][row], tolerance)
                << "column " << column << " row " << row;
}

void expectVectorNear(const glm::vec4& actual, const glm::vec4& expected, float tolerance)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

void expectVectorNear(const glm::vec3& actual, const glm::vec3& expected, float tolerance)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

// The render list's test: a sphere is culled when it lies wholly outside one plane.
bool sphereVisible(const KxFrustum& frustum, const glm::vec3& centre, float radius)
{
    for (const glm::vec4& plane : frustum.planes)
        if (glm::dot(glm::vec3(plane), centre) + plane.w < -radius)
            return false;
    return true;
}

KxCamera* perspectiveCamera(int sizeX, int sizeY)
{
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setViewport(0, 0, sizeX, sizeY);
    return camera;
}
}

class Cameras : public kxtest::EngineTest
{
protected:
    void SetUp() override
    {
        kxtest::EngineTest::SetUp();
        while (glGetError() != GL_NO_ERROR)
        {
        }
    }
    void TearDown() override
    {
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        kxtest::EngineTest::TearDown();
    }
};

TEST_F(Cameras, NewCameraDefaults)
{
    KxCamera* camera = new KxCamera;
    EXPECT_EQ(camera->getType(), KxObject::TYPE_CAMERA);
    EXPECT_EQ(camera->getSubtype(), KxCamera::PROJECTION_ORTHOGRAPHIC);
    EXPECT_EQ(camera->getName(), "[Camera" + std::to_string(camera->getId()) + "]");
    EXPECT_EQ(KxObject::findByName(camera->getName()), camera);
    EXPECT_EQ(camera->getViewportSizeX(), 320);
    EXPECT_EQ(camera->getViewportSizeY(), 240);
    EXPECT_FLOAT_EQ(camera->getNearPlane(), 1.0f);
    EXPECT_FLOAT_EQ(camera->getFarPlane(), 1024.0f);
    EXPECT_FLOAT_EQ(camera->getAngleOfView(), 45.0f);
    EXPECT_FALSE(camera->getUseProjMatrix());
    expectMatrixNear(camera->getProjMatrix(), glm::mat4(1.0f), 0.0f);
    EXPECT_EQ(camera->getSkybox(), nullptr);
    for (const glm::vec4& plane : camera->getFrustum()->planes)
        expectVectorNear(plane, glm::vec4(0.0f), 0.0f);
    // A camera is a node: it links into a scene like one.
    KxNode* parent = new KxNode;
    EXPECT_TRUE(camera->link(parent));
    EXPECT_EQ(parent->getChild(0), camera);
    delete camera;
    EXPECT_EQ(parent->getNrOfChildren(), 0u);
    delete parent;
}

TEST_F(Cameras, PlainSettersAndSkybox)
{
    KxCamera* camera = new KxCamera;
    camera->setNearPlane(0.5f);
    camera->setFarPlane(300.0f);
    camera->setAngleOfView(60.0f);
    EXPECT_FLOAT_EQ(camera->getNearPlane(), 0.5f);
    EXPECT_FLOAT_EQ(camera->getFarPlane(), 300.0f);
    EXPECT_FLOAT_EQ(camera->getAngleOfView(), 60.0f);
    EXPECT_TRUE(camera->setViewport(10, 20, 110, 70));
    EXPECT_EQ(camera->getViewportSizeX(), 100);
    EXPECT_EQ(camera->getViewportSizeY(), 50);
    // The sky box is only remembered, never dereferenced by the camera.
    KxSkybox* skybox = reinterpret_cast<KxSkybox*>(static_cast<uintptr_t>(0x1000));
    EXPECT_TRUE(camera->setSkybox(skybox));
    EXPECT_EQ(camera->getSkybox(), skybox);
    EXPECT_TRUE(camera->setSkybox(nullptr));
    EXPECT_EQ(camera->getSkybox(), nullptr);
    delete camera;
}

TEST_F(Cameras, ViewportFromFramebuffer)
{
    KxCamera* camera = new KxCamera;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(camera->setViewportFromFbo(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("[!]", mark), 1);
    EXPECT_EQ(camera->getViewportSizeX(), 320);

    KxFbo* fbo = new KxFbo;
    ASSERT_TRUE(fbo->bindRenderBuffer(0, KxFbo::OP_DEPTH_RENDERBUFFER, 96, 48));
    KxFbo::resetCache();
    EXPECT_TRUE(camera->setViewport(5, 5, 10, 10));
    EXPECT_TRUE(camera->setViewportFromFbo(fbo));
    EXPECT_EQ(camera->getViewportSizeX(), 96);
    EXPECT_EQ(camera->getViewportSizeY(), 48);
    // The corners start at the origin.
    camera->render();
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 0);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], 96);
    EXPECT_EQ(viewport[3], 48);
    delete fbo;
    delete camera;
}

TEST_F(Cameras, PerspectiveMatrixOf1280x720)
{
    KxCamera* camera = perspectiveCamera(1280, 720);
    EXPECT_TRUE(camera->render());
    glm::mat4 p = camera->getProjMatrix();
    EXPECT_NEAR(p[1][1], 2.4142f, 1e-4f);
    EXPECT_NEAR(p[0][0], 1.3580f, 1e-4f);
    EXPECT_NEAR(p[2][2], -1.00196f, 1e-5f);
    EXPECT_NEAR(p[3][2], -2.00196f, 1e-5f);
    EXPECT_FLOAT_EQ(p[2][3], -1.0f);
    EXPECT_FLOAT_EQ(p[3][3], 0.0f);
    // Independently: the standard right-handed OpenGL projection.
    expectMatrixNear(p, glm::perspective(45.0f * PI / 180.0f, 1280.0f / 720.0f, 1.0f, 1024.0f), 1e-5f);

    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 1280);
    EXPECT_EQ(viewport[3], 720);

    // Changed settings take effect at the next render.
    camera->setAngleOfView(90.0f);
    camera->setNearPlane(2.0f);
    camera->setFarPlane(50.0f);
    camera->setViewport(0, 0, 100, 100);
    EXPECT_FLOAT_EQ(camera->getProjMatrix()[1][1], p[1][1]);
    EXPECT_TRUE(camera->render());
    expectMatrixNear(camera->getProjMatrix(), glm::perspective(PI / 2.0f, 1.0f, 2.0f, 50.0f), 1e-5f);
    delete camera;
}

TEST_F(Cameras, OrthographicMapsPixelsFromTheTopLeft)
{
    KxCamera* camera = new KxCamera;
    camera->setViewport(10, 20, 110, 70); // 100 x 50, away from the origin
    EXPECT_TRUE(camera->render());
    glm::mat4 p = camera->getProjMatrix();
    glm::vec4 topLeft = p * glm::vec4(0.0f, 0.0f, 0.0f, 1.0f);
    glm::vec4 bottomRight = p * glm::vec4(100.0f, 50.0f, 0.0f, 1.0f);
    glm::vec4 centre = p * glm::vec4(50.0f, 25.0f, 0.0f, 1.0f);
    expectVectorNear(topLeft, glm::vec4(-1.0f, 1.0f, 0.0f, 1.0f), 1e-6f);
    expectVectorNear(bottomRight, glm::vec4(1.0f, -1.0f, 0.0f, 1.0f), 1e-6f);
    expectVectorNear(centre, glm::vec4(0.0f, 0.0f, 0.0f, 1.0f), 1e-6f);
    // No depth range: z is negated and kept.
    expectVectorNear(p * glm::vec4(0.0f, 0.0f, 0.5f, 1.0f), glm::vec4(-1.0f, 1.0f, -0.5f, 1.0f), 1e-6f);
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 10);
    EXPECT_EQ(viewport[1], 20);
    EXPECT_EQ(viewport[2], 100);
    EXPECT_EQ(viewport[3], 50);
    delete camera;
}

TEST_F(Cameras, DepthTestFollowsTheProjection)
{
    KxCamera* perspective = perspectiveCamera(320, 240);
    KxCamera* orthographic = new KxCamera;
    EXPECT_TRUE(orthographic->render());
    EXPECT_FALSE(KxOpenGL::isDepthTest());
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(perspective->render());
    EXPECT_TRUE(KxOpenGL::isDepthTest());
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(orthographic->render());
    EXPECT_FALSE(KxOpenGL::isDepthTest());
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    delete perspective;
    delete orthographic;
}

TEST_F(Cameras, RenderWritesTheGlobalBlock)
{
    KxNode* parent = new KxNode;
    parent->setTranslation(0.0f, 5.0f, 0.0f);
    parent->rotateY(30.0f);
    KxCamera* camera = perspectiveCamera(200, 100);
    camera->setTranslation(1.0f, 2.0f, 3.0f);
    camera->rotateX(-20.0f);
    ASSERT_TRUE(camera->link(parent));

    uint64_t renders = KxStats::get(KxStats::CAMERA_RENDER);
    EXPECT_TRUE(camera->render());
    EXPECT_EQ(KxStats::get(KxStats::CAMERA_RENDER), renders + 1);
    EXPECT_EQ(KxCamera::getCurrent(), camera);

    // Expected values built without the engine's node code.
    glm::mat4 world = glm::translate(glm::mat4(1.0f), glm::vec3(0.0f, 5.0f, 0.0f)) *
                      glm::rotate(glm::mat4(1.0f), 30.0f * PI / 180.0f, glm::vec3(0.0f, 1.0f, 0.0f)) *
                      glm::translate(glm::mat4(1.0f), glm::vec3(1.0f, 2.0f, 3.0f)) *
                      glm::rotate(glm::mat4(1.0f), -20.0f * PI / 180.0f, glm::vec3(1.0f, 0.0f, 0.0f));
    glm::mat4 projection = glm::perspective(45.0f * PI / 180.0f, 2.0f, 1.0f, 1024.0f);

    KxBuffer* ubo = KxOpenGL::getGlobalUbo();
    ASSERT_NE(ubo, nullptr);
    GLint bound = 0;
    glGetIntegeri_v(GL_UNIFORM_BUFFER_BINDING, 0, &bound);
    EXPECT_EQ(bound, static_cast<GLint>(ubo->getHandle()));

    unsigned char bytes[KxOpenGL::SIZEOF_GLOBAL];
    glGetNamedBufferSubData(ubo->getHandle(), 0, sizeof(bytes), bytes);
    float matrices[48];
    std::memcpy(matrices, bytes, sizeof(matrices));
    glm::mat4 proj = glm::make_mat4(matrices);
    glm::mat4 view = glm::make_mat4(matrices + 16);
    glm::mat4 invView = glm::make_mat4(matrices + 32);
    expectMatrixNear(proj, projection, 1e-5f);
    expectMatrixNear(view, world, 1e-5f);
    expectMatrixNear(invView, glm::inverse(world), 1e-5f);
    // The eye position is the view matrix's translation.
    expectVectorNear(glm::vec3(view[3]), glm::vec3(world * glm::vec4(0.0f, 0.0f, 0.0f, 1.0f)), 1e-5f);
    float viewport[2];
    std::memcpy(viewport, bytes + 192, sizeof(viewport));
    EXPECT_FLOAT_EQ(viewport[0], 200.0f);
    EXPECT_FLOAT_EQ(viewport[1], 100.0f);
    // The rest of the block is uploaded as its owners left it.
    const KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal();
    EXPECT_EQ(std::memcmp(bytes + 200, reinterpret_cast<const unsigned char*>(global) + 200, 40), 0);
    expectMatrixNear(global->viewMatrix, world, 1e-5f);

    delete camera;
    EXPECT_EQ(KxCamera::getCurrent(), nullptr);
    delete parent;
}

TEST_F(Cameras, ApplicationMatrixIsKept)
{
    glm::mat4 custom = glm::ortho(-4.0f, 4.0f, -3.0f, 3.0f, 0.5f, 20.0f);
    KxCamera* camera = new KxCamera;
    camera->setUseProjMatrix(true);
    EXPECT_TRUE(camera->getUseProjMatrix());
    camera->setProjMatrix(custom);
    EXPECT_TRUE(camera->render());
    expectMatrixNear(camera->getProjMatrix(), custom, 0.0f);
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    EXPECT_TRUE(camera->render());
    expectMatrixNear(camera->getProjMatrix(), custom, 0.0f);
    // Any other subtype changes neither the projection nor the viewport.
    camera->setUseProjMatrix(false);
    camera->setSubtype(0);
    camera->setViewport(0, 0, 17, 19);
    GLint before[4] = {}, after[4] = {};
    glGetIntegerv(GL_VIEWPORT, before);
    EXPECT_TRUE(camera->render());
    glGetIntegerv(GL_VIEWPORT, after);
    expectMatrixNear(camera->getProjMatrix(), custom, 0.0f);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(after[i], before[i]);
    delete camera;
}

TEST_F(Cameras, FrustumPlanesOfKnownProjections)
{
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setUseProjMatrix(true);
    // 90 degrees, square: the side planes are at 45 degrees.
    camera->setProjMatrix(glm::perspective(PI / 2.0f, 1.0f, 2.0f, 100.0f));
    EXPECT_TRUE(camera->render());
    const KxFrustum& frustum = *camera->getFrustum();
    float s = 1.0f / std::sqrt(2.0f);
    expectVectorNear(frustum.planes[0], glm::vec4(-s, 0.0f, -s, 0.0f), 1e-5f); // right
    expectVectorNear(frustum.planes[1], glm::vec4(s, 0.0f, -s, 0.0f), 1e-5f);  // left
    expectVectorNear(frustum.planes[2], glm::vec4(0.0f, s, -s, 0.0f), 1e-5f);  // bottom
    expectVectorNear(frustum.planes[3], glm::vec4(0.0f, -s, -s, 0.0f), 1e-5f); // top
    expectVectorNear(frustum.planes[4], glm::vec4(0.0f, 0.0f, 1.0f, 100.0f), 1e-3f); // far: z >= -100
    expectVectorNear(frustum.planes[5], glm::vec4(0.0f, 0.0f, -1.0f, -2.0f), 1e-4f); // near: z <= -2

    // A box-shaped projection: every plane is a distance from an axis.
    camera->setProjMatrix(glm::ortho(-10.0f, 10.0f, -5.0f, 5.0f, 1.0f, 100.0f));
    EXPECT_TRUE(camera->render());
    expectVectorNear(frustum.planes[0], glm::vec4(-1.0f, 0.0f, 0.0f, 10.0f), 1e-4f);
    expectVectorNear(frustum.planes[1], glm::vec4(1.0f, 0.0f, 0.0f, 10.0f), 1e-4f);
    expectVectorNear(frustum.planes[2], glm::vec4(0.0f, 1.0f, 0.0f, 5.0f), 1e-4f);
    expectVectorNear(frustum.planes[3], glm::vec4(0.0f, -1.0f, 0.0f, 5.0f), 1e-4f);
    expectVectorNear(frustum.planes[4], glm::vec4(0.0f, 0.0f, 1.0f, 100.0f), 1e-3f);
    expectVectorNear(frustum.planes[5], glm::vec4(0.0f, 0.0f, -1.0f, -1.0f), 1e-4f);

    // Rendering as orthographic leaves the planes alone.
    glm::vec4 before = frustum.planes[0];
    camera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    camera->setUseProjMatrix(false);
    EXPECT_TRUE(camera->render());
    expectVectorNear(frustum.planes[0], before, 0.0f);
    delete camera;
}

TEST_F(Cameras, SphereTestsUseTrueDistances)
{
    KxCamera* camera = perspectiveCamera(1280, 720);
    EXPECT_TRUE(camera->render());
    const KxFrustum& frustum = *camera->getFrustum();
    const float radius = 1.0f;
    const float eps = 0.01f;

    // Near plane at z = -1, far plane at z = -1024 (eye space looks down -z).
    EXPECT_TRUE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -1.0f + radius - eps), radius));
    EXPECT_FALSE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -1.0f + radius + eps), radius));
    EXPECT_TRUE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -1024.0f - radius + 0.05f), radius));
    EXPECT_FALSE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -1024.0f - radius - 0.05f), radius));
    EXPECT_FALSE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -1030.0f), radius));

    // Right plane: through the origin and the point (tan(h) * 10, 0, -10),
    // where h is half the horizontal field of view.
    float tanHalfY = std::tan(22.5f * PI / 180.0f);
    float tanHalfX = tanHalfY * 1280.0f / 720.0f;
    glm::vec3 onPlane(tanHalfX * 10.0f, 0.0f, -10.0f);
    glm::vec3 outward = glm::normalize(glm::vec3(1.0f, 0.0f, tanHalfX));
    EXPECT_NEAR(glm::dot(outward, onPlane), 0.0f, 1e-5f);
    EXPECT_TRUE(sphereVisible(frustum, onPlane + outward * (radius - eps), radius));
    EXPECT_FALSE(sphereVisible(frustum, onPlane + outward * (radius + eps), radius));
    // Top plane likewise.
    glm::vec3 onTop(0.0f, tanHalfY * 50.0f, -50.0f);
    glm::vec3 up = glm::normalize(glm::vec3(0.0f, 1.0f, tanHalfY));
    EXPECT_TRUE(sphereVisible(frustum, onTop + up * (radius - eps), radius));
    EXPECT_FALSE(sphereVisible(frustum, onTop + up * (radius + eps), radius));
    EXPECT_TRUE(sphereVisible(frustum, glm::vec3(0.0f, 0.0f, -500.0f), 0.1f));

    // Every plane's signed distance matches the geometric one.
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(glm::length(glm::vec3(frustum.planes[i])), 1.0f, 1e-5f) << "plane " << i;
    delete camera;
}

TEST_F(Cameras, MoveFollowsTheCameraAxes)
{
    KxCamera* camera = new KxCamera;
    camera->setTranslation(1.0f, 2.0f, 3.0f);
    camera->rotateY(90.0f);
    camera->rotateX(30.0f);
    glm::mat4 rotation = glm::rotate(glm::mat4(1.0f), PI / 2.0f, glm::vec3(0.0f, 1.0f, 0.0f)) *
                         glm::rotate(glm::mat4(1.0f), PI / 6.0f, glm::vec3(1.0f, 0.0f, 0.0f));
    glm::vec3 localZ = glm::vec3(rotation * glm::vec4(0.0f, 0.0f, 1.0f, 0.0f));
    glm::vec3 localX = glm::vec3(rotation * glm::vec4(1.0f, 0.0f, 0.0f, 0.0f));
    glm::vec3 localY = glm::vec3(rotation * glm::vec4(0.0f, 1.0f, 0.0f, 0.0f));

    camera->move(0.0f, 0.0f, 1.0f);
    expectVectorNear(glm::vec3(camera->getMatrix()[3]), glm::vec3(1.0f, 2.0f, 3.0f) + localZ, 1e-5f);
    camera->move(2.0f, -1.0f, 0.0f);
    expectVectorNear(glm::vec3(camera->getMatrix()[3]), glm::vec3(1.0f, 2.0f, 3.0f) + localZ + 2.0f * localX - localY,
                     1e-5f);
    EXPECT_FLOAT_EQ(camera->getMatrix()[3][3], 1.0f);
    // The orientation is untouched.
    glm::mat4 orientation = camera->getMatrix();
    orientation[3] = glm::vec4(0.0f, 0.0f, 0.0f, 1.0f);
    expectMatrixNear(orientation, rotation, 1e-5f);

    // Under a rotated parent the world axes are used.
    KxNode* parent = new KxNode;
    parent->rotateZ(90.0f);
    KxCamera* child = new KxCamera;
    ASSERT_TRUE(child->link(parent));
    child->move(1.0f, 0.0f, 0.0f);
    expectVectorNear(glm::vec3(child->getMatrix()[3]), glm::vec3(0.0f, 1.0f, 0.0f), 1e-5f);
    delete child;
    delete parent;
    delete camera;
}

TEST_F(Cameras, UnprojectInvertsTheProjection)
{
    KxCamera* camera = perspectiveCamera(320, 240);
    camera->setTranslation(2.0f, 1.0f, 10.0f);
    camera->rotateY(20.0f);
    camera->rotateX(-10.0f);
    EXPECT_TRUE(camera->render());
    glm::mat4 projection = glm::perspective(45.0f * PI / 180.0f, 320.0f / 240.0f, 1.0f, 1024.0f);
    glm::mat4 view = glm::inverse(camera->getFinalMatrix());

    const glm::vec3 points[] = {{0.0f, 0.0f, 0.0f}, {1.5f, -0.5f, -3.0f}, {-2.0f, 2.5f, 1.0f}};
    for (const glm::vec3& point : points)
    {
        glm::vec3 window = glm::project(point, view, projection, glm::vec4(0.0f, 0.0f, 320.0f, 240.0f));
        ASSERT_GT(window.z, 0.0f);
        ASSERT_LT(window.z, 1.0f);
        expectVectorNear(camera->unproject(window), point, 2e-3f);
    }
    // The centre of the near plane lies one unit in front of the eye.
    glm::vec3 near = camera->unproject(glm::vec3(160.0f, 120.0f, 0.0f));
    glm::vec3 eye = glm::vec3(camera->getFinalMatrix()[3]);
    glm::vec3 forward = -glm::vec3(camera->getFinalMatrix()[2]);
    expectVectorNear(near, eye + forward, 1e-4f);

    // The viewport origin is not subtracted: only its size matters.
    camera->setViewport(100, 50, 420, 290);
    EXPECT_TRUE(camera->render());
    expectVectorNear(camera->unproject(glm::vec3(160.0f, 120.0f, 0.0f)), eye + forward, 1e-4f);
    delete camera;
}
