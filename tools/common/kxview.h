// The viewer's way of looking at a scene, for programs that show a scene
// without a user: the scene box from the meshes, a camera in front of it, a
// light at the camera, and the root tilted towards the camera.
#pragma once

#include <kalvex.h>

namespace kxtool
{
struct SceneBox
{
    glm::vec3 min = glm::vec3(-1.0f);
    glm::vec3 max = glm::vec3(1.0f);
    float zRange = 2.0f;
    unsigned int nrOfMeshes = 0;
};

// Grows the box by each mesh's bounding sphere around its world position.
// Skinned meshes count too, so that a scene of only skinned meshes is framed.
SceneBox measureScene();

struct ViewRig
{
    KxCamera* camera = nullptr;
    KxLight* light = nullptr; // null without the default light
};

// The viewer's start view: a perspective camera at (0, 0, zRange), near 1,
// far zRange * 20 + 1; the default light white, radius zRange, on the camera.
ViewRig makeViewRig(const SceneBox& box, bool defaultLight);

// The viewer's root transform at its reset values: identity, then 20 degrees
// about X.
void poseRoot(KxNode* root);
}
