#include "kxview.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include <glm/gtc/matrix_transform.hpp>

namespace kxtool
{
namespace
{
bool finite(const glm::vec3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The mesh's own box in world space, cut down to its bounding sphere.
bool worldBox(KxMesh* mesh, glm::vec3& low, glm::vec3& high)
{
    const glm::mat4 world = mesh->getFinalMatrix(nullptr);
    const glm::vec3 position = glm::vec3(world[3]);
    const glm::vec3 reach(mesh->getRadius());
    const glm::vec3 boxMin = mesh->getBBoxMin(), boxMax = mesh->getBBoxMax();
    low = glm::vec3(FLT_MAX);
    high = glm::vec3(-FLT_MAX);
    for (int corner = 0; corner < 8; ++corner)
    {
        glm::vec3 local((corner & 1) ? boxMax.x : boxMin.x, (corner & 2) ? boxMax.y : boxMin.y,
                        (corner & 4) ? boxMax.z : boxMin.z);
        glm::vec3 p = glm::vec3(world * glm::vec4(local, 1.0f));
        low = glm::min(low, p);
        high = glm::max(high, p);
    }
    glm::vec3 sphereLow = position - reach, sphereHigh = position + reach;
    glm::vec3 cutLow = glm::max(low, sphereLow), cutHigh = glm::min(high, sphereHigh);
    if (cutLow.x <= cutHigh.x && cutLow.y <= cutHigh.y && cutLow.z <= cutHigh.z)
    {
        low = cutLow;
        high = cutHigh;
    }
    else if (mesh->getRadius() > 0.0f && finite(sphereLow) && finite(sphereHigh))
    {
        // The box and the sphere disagree: the sphere is what culling uses.
        low = sphereLow;
        high = sphereHigh;
    }
    return finite(low) && finite(high);
}
}

float SceneBox::radius() const
{
    return 0.5f * glm::length(max - min);
}

SceneBox measureScene()
{
    SceneBox box;
    glm::vec3 boxMin(FLT_MAX), boxMax(-FLT_MAX);
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
    {
        if (object->getType() != KxObject::TYPE_MESH && object->getType() != KxObject::TYPE_SKINNED)
            continue;
        glm::vec3 low, high;
        if (!worldBox(static_cast<KxMesh*>(object), low, high))
            continue;
        boxMin = glm::min(boxMin, low);
        boxMax = glm::max(boxMax, high);
        ++box.nrOfMeshes;
    }
    if (box.nrOfMeshes)
    {
        box.min = boxMin;
        box.max = boxMax;
    }
    box.zRange = std::fabs(box.max.z - box.min.z);
    return box;
}

Framing frameScene(const SceneBox& box, const glm::mat3& turn, float angleOfView, int width, int height, float fill)
{
    Framing framing;
    framing.center = box.center();
    // A scene of one point still gets a size to look at.
    framing.radius = std::max(box.radius(), 1e-6f * std::max(1.0f, glm::length(framing.center)));
    const float tanY = std::tan(glm::radians(std::clamp(angleOfView, 1.0f, 179.0f)) * 0.5f) * fill;
    const float tanX = tanY * static_cast<float>(std::max(width, 1)) / static_cast<float>(std::max(height, 1));
    const glm::vec3 half = (box.max - box.min) * 0.5f;
    float distance = 0.0f;
    for (int corner = 0; corner < 8; ++corner)
    {
        glm::vec3 p = turn * glm::vec3((corner & 1) ? half.x : -half.x, (corner & 2) ? half.y : -half.y,
                                       (corner & 4) ? half.z : -half.z);
        // The camera at (0, 0, distance) sees the corner within both angles.
        distance = std::max(distance, p.z + std::fabs(p.x) / tanX);
        distance = std::max(distance, p.z + std::fabs(p.y) / tanY);
    }
    // Never inside the scene: the near plane would cut it.
    framing.distance = std::max(distance, framing.radius * 1.05f);
    return framing;
}

void clipPlanes(float distance, float radius, float& nearPlane, float& farPlane)
{
    distance = std::max(distance, 0.0f);
    nearPlane = std::max((distance - radius) * 0.9f, radius * 1e-3f);
    farPlane = std::max((distance + radius) * 1.5f, nearPlane * 2.0f);
}

glm::mat3 resetTurn()
{
    return glm::mat3(glm::rotate(glm::mat4(1.0f), glm::radians(20.0f), glm::vec3(1.0f, 0.0f, 0.0f)));
}

ViewRig makeViewRig(const SceneBox& box, bool defaultLight, int width, int height)
{
    ViewRig rig;
    rig.camera = new KxCamera;
    rig.camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    rig.framing = frameScene(box, resetTurn(), rig.camera->getAngleOfView(), width, height);
    rig.camera->setTranslation(0.0f, 0.0f, rig.framing.distance);
    if (defaultLight)
    {
        rig.light = new KxLight;
        rig.light->setCastShadows(false);
        rig.light->link(rig.camera);
    }
    updateViewRig(rig, 0.0f, width, height);
    return rig;
}

void updateViewRig(ViewRig& rig, float zoom, int width, int height)
{
    float distance = rig.framing.distance - zoom;
    float nearPlane, farPlane;
    clipPlanes(distance, rig.framing.radius, nearPlane, farPlane);
    rig.camera->setViewport(0, 0, width, height);
    rig.camera->setNearPlane(nearPlane);
    rig.camera->setFarPlane(farPlane);
    if (rig.light)
        placeDefaultLight(rig.light, distance, rig.framing.radius);
}

void placeDefaultLight(KxLight* light, float distance, float radius)
{
    distance = std::max(distance, radius);
    // In the camera's space: up and to the left, about 25 degrees off the view.
    const glm::vec3 offset(-0.3f * distance, 0.35f * distance, 0.0f);
    const float toCenter = glm::length(offset - glm::vec3(0.0f, 0.0f, distance));
    const float reach = 4.0f * (toCenter + radius);
    // Light falls off linearly to zero at its radius; the diffuse share of a
    // white surface is 1 / pi of the light's colour. Such a surface facing the
    // light comes out just below 1 before tone mapping, where glow starts:
    // as bright as it can be without white areas glowing.
    const float atCenter = 1.0f - toCenter / reach;
    const float intensity = 3.14159265f * 0.95f / atCenter;
    light->setTranslation(offset.x, offset.y, offset.z);
    light->setColor(intensity, intensity, intensity);
    light->setRadius(reach, reach * 1e-3f);
}

void poseRoot(KxNode* root, const Framing& framing, const glm::vec3& translation, float rotationX, float rotationY)
{
    root->setIdentity();
    root->translate(translation);
    root->rotateX(rotationX);
    root->rotateY(rotationY);
    root->translate(-framing.center);
}
}
