// A field of 4,096 cubes drawn as one instanced mesh: one node, one draw call,
// shadows included.
//
//   instanced_field [--png FILE] [--size WxH]
#include "example_common.h"

#include <cmath>

#include <glm/gtc/matrix_transform.hpp>

int main(int argc, char** argv)
{
    example::Options options = example::parse(argc, argv);
    KxConfig config;
    config.setWindowTitle("Kalvex: instanced field");
    config.setWindowSizeX(options.width);
    config.setWindowSizeY(options.height);
    config.setShadowMapSize(1024);
    if (!Kalvex::init(config))
        return 1;

    KxNode* root = new KxNode;
    KxMaterial* ground = new KxMaterial;
    ground->setAlbedo(0.35f, 0.4f, 0.3f);
    KxMesh* floor = example::makeCube();
    floor->setMaterial(ground);
    floor->setMatrix(glm::scale(glm::translate(glm::mat4(1.0f), glm::vec3(0, -1, 0)), glm::vec3(40, 1, 40)));
    floor->link(root);

    // The mesh every instance shows; it is not linked into the scene itself.
    KxMesh* cube = example::makeCube();
    KxMaterial* colours[3] = {new KxMaterial, new KxMaterial, new KxMaterial};
    colours[0]->setAlbedo(0.9f, 0.3f, 0.2f);
    colours[1]->setAlbedo(0.9f, 0.8f, 0.3f);
    colours[2]->setAlbedo(0.3f, 0.5f, 0.9f);
    cube->setMaterial(colours[0]);

    // One record per instance: its material and its transform.
    const int SIDE = 64;
    KxInstanced* field = new KxInstanced;
    field->setMesh(cube);
    field->create(SIDE * SIDE);
    KxInstanced::kxInstanceData* instance = field->map(1);
    for (int z = 0; z < SIDE; ++z)
        for (int x = 0; x < SIDE; ++x, ++instance)
        {
            float height = 0.3f + 0.25f * (1.0f + std::sin(x * 0.35f) * std::cos(z * 0.3f));
            glm::mat4 m = glm::translate(glm::mat4(1.0f), glm::vec3((x - SIDE / 2) * 0.6f, height, (z - SIDE / 2) * 0.6f));
            m = glm::scale(glm::rotate(m, 0.2f * (x + z), glm::vec3(0, 1, 0)), glm::vec3(0.2f, height, 0.2f));
            *instance = KxInstanced::kxInstanceData{};
            instance->materialId = colours[(x / 8 + z / 8) % 3]->getListId();
            instance->worldMatrix = m;
            instance->inverseTranspose = glm::transpose(glm::inverse(m));
        }
    field->unmap();
    field->link(root);

    KxLight* sun = new KxLight;
    sun->setTranslation(6.0f, 12.0f, 4.0f);
    sun->setRadius(60.0f);
    sun->setColor(1.2f, 1.1f, 1.0f);
    sun->link(root);

    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setFarPlane(200.0f);
    KxList* list = new KxList;
    list->create(16);

    for (int frame = 0;; ++frame)
    {
        float angle = frame * 0.005f;
        glm::vec3 eye(22.0f * std::sin(angle), 12.0f, 22.0f * std::cos(angle));
        camera->setMatrix(glm::inverse(glm::lookAt(eye, glm::vec3(0.0f), glm::vec3(0, 1, 0))));
        list->reset();
        list->pass(root);
        Kalvex::render(camera, list);
        if (options.png)
        {
            bool written = example::writePng(options.png);
            Kalvex::free();
            return written ? 0 : 1;
        }
        if (!Kalvex::swap(true))
            break;
    }
    return Kalvex::free() ? 0 : 1;
}
