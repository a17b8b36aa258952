// How the viewer and the content tools look at a scene: the scene's box from
// its meshes, a camera that frames it whole for any window shape, clip planes
// from its size, and a default light placed and sized from it.
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

    glm::vec3 center() const { return (min + max) * 0.5f; }
    // The radius of the sphere around the box.
    float radius() const;
};

// The world box of every mesh (skinned ones too), as the scene stands now:
// each mesh's own box carried into world space, cut down to the sphere of
// its radius around its position where that is smaller (meshes made without
// a box keep the engine's stand-in one). A scene without meshes gets the box
// from -1 to 1.
SceneBox measureScene();

// Where the camera stands: the scene's centre is the pivot of the view, and
// the camera looks at it down its -z axis from `distance`.
struct Framing
{
    glm::vec3 center = glm::vec3(0.0f);
    float radius = 1.0f;
    float distance = 3.0f;
};

// The distance at which the box, turned by `turn` about its centre, fits in
// a perspective view of the vertical angle `angleOfView` (degrees) and the
// aspect `width` / `height`, in both directions, with `fill` of the picture
// (0 to 1) left for the scene's larger extent.
Framing frameScene(const SceneBox& box, const glm::mat3& turn, float angleOfView, int width, int height,
                   float fill = 0.9f);

// Near and far planes for a scene of `radius` whose centre is `distance` in
// front of the camera: close around it, never closer than a thousandth of its
// size, whatever its scale.
void clipPlanes(float distance, float radius, float& nearPlane, float& farPlane);

// The viewer's turn at its reset values: 20 degrees about X, none about Y.
glm::mat3 resetTurn();

struct ViewRig
{
    KxCamera* camera = nullptr;
    KxLight* light = nullptr; // null without the default light
    Framing framing;
};

// A perspective camera framing the box (turned as resetTurn says) in a view of
// width x height, with the default light on it when asked.
ViewRig makeViewRig(const SceneBox& box, bool defaultLight, int width, int height);

// Follows a change of the view: the viewport, the clip planes for a scene
// moved `zoom` towards the camera, and the default light for that distance.
void updateViewRig(ViewRig& rig, float zoom, int width, int height);

// The default light, as a product shot lights its subject: above and to the
// left of the camera, reaching well past the scene so that it falls off little
// across it, and bright enough that a white surface facing it at the scene's
// centre shows as bright as it can without glowing. `distance`: from the
// camera to the centre.
void placeDefaultLight(KxLight* light, float distance, float radius);

// The root's transform: translation, then the turn about X and Y, about the
// scene's centre.
void poseRoot(KxNode* root, const Framing& framing, const glm::vec3& translation = glm::vec3(0.0f),
              float rotationX = 20.0f, float rotationY = 0.0f);
}
