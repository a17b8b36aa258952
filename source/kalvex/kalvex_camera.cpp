// KxCamera: viewport, projection and frustum of a scene node.
#include "kalvex.h"
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cmath>
#include <cstdio>
#include <mutex>

struct KxCamera::Private
{
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;
    float nearPlane = 1.0f;
    float farPlane = 1024.0f;
    float angleOfView = 45.0f;
    glm::mat4 projMatrix = glm::mat4(1.0f);
    KxFrustum frustum = {};
    bool useProjMatrix = false;
    KxSkybox* skybox = nullptr; // not owned
};

namespace
{
KxCamera* currentCamera = nullptr;

glm::mat4 perspective(float angleOfView, float width, float height, float nearPlane, float farPlane)
{
    float f = std::tan(angleOfView * 3.14159265358979f / 180.0f * 0.5f);
    glm::mat4 m(0.0f);
    m[0][0] = 1.0f / (f * width / height);
    m[1][1] = 1.0f / f;
    m[2][2] = -(farPlane + nearPlane) / (farPlane - nearPlane);
    m[2][3] = -1.0f;
    m[3][2] = -(2.0f * farPlane * nearPlane) / (farPlane - nearPlane);
    return m;
}

// Pixels, origin at the top left, no depth range.
glm::mat4 orthographic(float width, float height)
{
    glm::mat4 m(0.0f);
    m[0][0] = 2.0f / width;
    m[1][1] = -2.0f / height;
    m[2][2] = -1.0f;
    m[3] = glm::vec4(-1.0f, 1.0f, 0.0f, 1.0f);
    return m;
}
}

KxCamera::KxCamera() : cameraReserved(new Private)
{
    setType(TYPE_CAMERA);
    setSubtype(PROJECTION_ORTHOGRAPHIC);
    char defaultName[32];
    std::snprintf(defaultName, sizeof(defaultName), "[Camera%d]", getId());
    setName(defaultName);
    cameraReserved->x1 = kx::GlContext::capabilities().windowSizeX;
    cameraReserved->y1 = kx::GlContext::capabilities().windowSizeY;
}

KxCamera::~KxCamera()
{
    if (currentCamera == this)
        currentCamera = nullptr;
    delete cameraReserved;
    cameraReserved = nullptr;
}

bool KxCamera::setViewport(int x0, int y0, int x1, int y1)
{
    cameraReserved->x0 = x0;
    cameraReserved->y0 = y0;
    cameraReserved->x1 = x1;
    cameraReserved->y1 = y1;
    return true;
}

bool KxCamera::setViewportFromFbo(KxFbo* fbo)
{
    if (!fbo)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    return setViewport(0, 0, static_cast<int>(fbo->getSizeX()), static_cast<int>(fbo->getSizeY()));
}

int KxCamera::getViewportSizeX() const
{
    return cameraReserved->x1 - cameraReserved->x0;
}

int KxCamera::getViewportSizeY() const
{
    return cameraReserved->y1 - cameraReserved->y0;
}

void KxCamera::setAngleOfView(float degrees)
{
    cameraReserved->angleOfView = degrees;
}

float KxCamera::getAngleOfView() const
{
    return cameraReserved->angleOfView;
}

void KxCamera::setNearPlane(float nearPlane)
{
    cameraReserved->nearPlane = nearPlane;
}

float KxCamera::getNearPlane() const
{
    return cameraReserved->nearPlane;
}

void KxCamera::setFarPlane(float farPlane)
{
    cameraReserved->farPlane = farPlane;
}

float KxCamera::getFarPlane() const
{
    return cameraReserved->farPlane;
}

void KxCamera::setUseProjMatrix(bool use)
{
    cameraReserved->useProjMatrix = use;
}

bool KxCamera::getUseProjMatrix() const
{
    return cameraReserved->useProjMatrix;
}

void KxCamera::setProjMatrix(const glm::mat4& matrix)
{
    cameraReserved->projMatrix = matrix;
}

glm::mat4 KxCamera::getProjMatrix() const
{
    return cameraReserved->projMatrix;
}

bool KxCamera::setSkybox(KxSkybox* skybox)
{
    cameraReserved->skybox = skybox;
    return true;
}

KxSkybox* KxCamera::getSkybox() const
{
    return cameraReserved->skybox;
}

KxFrustum* KxCamera::getFrustum()
{
    return &cameraReserved->frustum;
}

void KxCamera::computeFrustum()
{
    const glm::mat4& p = cameraReserved->projMatrix;
    glm::vec4 row[4];
    for (int i = 0; i < 4; ++i)
        row[i] = glm::vec4(p[0][i], p[1][i], p[2][i], p[3][i]);
    glm::vec4* planes = cameraReserved->frustum.planes;
    planes[0] = row[3] - row[0]; // right
    planes[1] = row[3] + row[0]; // left
    planes[2] = row[3] + row[1]; // bottom
    planes[3] = row[3] - row[1]; // top
    planes[4] = row[3] - row[2]; // far
    planes[5] = row[3] + row[2]; // near
    // Scaled by the normal's length alone, so that dot(normal, p) + w is the
    // true eye-space distance that sphere tests compare with the radius.
    for (int i = 0; i < 6; ++i)
    {
        float length = glm::length(glm::vec3(planes[i]));
        if (length > 0.0f)
            planes[i] /= length;
    }
}

void KxCamera::move(float x, float y, float z)
{
    std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
    glm::mat4 world = getFinalMatrix();
    glm::mat4 local = getMatrix();
    glm::vec3 offset = x * glm::vec3(world[0]) + y * glm::vec3(world[1]) + z * glm::vec3(world[2]);
    local[3] += glm::vec4(offset, 0.0f);
    setMatrix(local);
}

glm::vec3 KxCamera::unproject(const glm::vec3& windowPosition)
{
    float width = static_cast<float>(getViewportSizeX());
    float height = static_cast<float>(getViewportSizeY());
    glm::vec4 ndc(windowPosition.x / width * 2.0f - 1.0f, windowPosition.y / height * 2.0f - 1.0f,
                  windowPosition.z * 2.0f - 1.0f, 1.0f);
    glm::mat4 inverse = glm::inverse(cameraReserved->projMatrix * glm::inverse(getFinalMatrix()));
    glm::vec4 world = inverse * ndc;
    return glm::vec3(world) / world.w;
}

KxCamera* KxCamera::getCurrent()
{
    return currentCamera;
}

bool KxCamera::render(void*)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for camera %d invoked", getId());
    Private& camera = *cameraReserved;
    float width = static_cast<float>(camera.x1 - camera.x0);
    float height = static_cast<float>(camera.y1 - camera.y0);

    switch (getSubtype())
    {
    case PROJECTION_PERSPECTIVE:
        kx::GlContext::viewport(camera.x0, camera.y0, camera.x1 - camera.x0, camera.y1 - camera.y0);
        if (!camera.useProjMatrix)
            camera.projMatrix = perspective(camera.angleOfView, width, height, camera.nearPlane, camera.farPlane);
        KxOpenGL::depthTest(true);
        computeFrustum();
        break;
    case PROJECTION_ORTHOGRAPHIC:
        kx::GlContext::viewport(camera.x0, camera.y0, camera.x1 - camera.x0, camera.y1 - camera.y0);
        if (!camera.useProjMatrix)
            camera.projMatrix = orthographic(width, height);
        KxOpenGL::depthTest(false);
        break;
    default:
        break;
    }

    KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal();
    KxBuffer* globalUbo = KxOpenGL::getGlobalUbo();
    if (!global || !globalUbo)
        return KX_LOG(LEVEL_ERROR, "Global uniform block not available");
    glm::mat4 world = getFinalMatrix();
    global->projMatrix = camera.projMatrix;
    global->viewMatrix = world;
    global->invViewMatrix = glm::inverse(world);
    global->viewportSizeX = width;
    global->viewportSizeY = height;
    globalUbo->render(nullptr); // binding 0
    globalUbo->upload(global, 0, KxOpenGL::SIZEOF_GLOBAL);

    currentCamera = this;
    KxStats::inc(KxStats::CAMERA_RENDER);
    return true;
}
