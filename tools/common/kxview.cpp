#include "kxview.h"

#include <cfloat>
#include <cmath>

namespace kxtool
{
SceneBox measureScene()
{
    SceneBox box;
    glm::vec3 boxMin(FLT_MAX), boxMax(-FLT_MAX);
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
    {
        if (object->getType() != KxObject::TYPE_MESH && object->getType() != KxObject::TYPE_SKINNED)
            continue;
        KxMesh* mesh = static_cast<KxMesh*>(object);
        glm::vec3 position = glm::vec3(mesh->getFinalMatrix(nullptr)[3]);
        boxMin = glm::min(boxMin, position - glm::vec3(mesh->getRadius()));
        boxMax = glm::max(boxMax, position + glm::vec3(mesh->getRadius()));
        ++box.nrOfMeshes;
    }
    if (box.nrOfMeshes)
    {
        box.min = boxMin;
        box.max = boxMax;
    }
    box.zRange = std::fabs(box.max.z - box.min.z);
    // A scene flat in z still needs a camera in front of it.
    if (!(box.zRange > 1e-6f) || !std::isfinite(box.zRange))
        box.zRange = 1.0f;
    return box;
}

ViewRig makeViewRig(const SceneBox& box, bool defaultLight)
{
    ViewRig rig;
    rig.camera = new KxCamera;
    rig.camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    rig.camera->setNearPlane(1.0f);
    rig.camera->setFarPlane(box.zRange * 20.0f + 1.0f);
    rig.camera->setTranslation(0.0f, 0.0f, box.zRange);
    if (defaultLight)
    {
        rig.light = new KxLight;
        rig.light->setColor(1.0f, 1.0f, 1.0f);
        rig.light->setRadius(box.zRange, 1.0f);
        rig.light->setCastShadows(false);
        rig.light->link(rig.camera);
    }
    return rig;
}

void poseRoot(KxNode* root)
{
    root->setIdentity();
    root->translate(glm::vec3(0.0f));
    root->rotateX(20.0f);
    root->rotateY(0.0f);
}
}
