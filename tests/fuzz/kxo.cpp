// Fuzz target: a KXO scene file loaded, then drawn in one small frame through
// the forward pipeline, framed as kxorender frames it. Everything the scene
// made is deleted again.
#include <kalvex.h>

#include "fuzz_support.h"
#include "kxview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::startEngine();
    kxfuzz::writeFile("fuzz_input.kxo", data, size);
    KxObject* mark = KxObject::getFirst();
    while (mark->getNext())
        mark = mark->getNext();

    if (KxNode* root = Kalvex::load("fuzz_input.kxo"))
    {
        root->setIdentity();
        kxtool::ViewRig rig = kxtool::makeViewRig(kxtool::measureScene(), true, 32, 32);
        kxtool::poseRoot(root, rig.framing);
        KxPipeline::setCurrent(Kalvex::getPipeline(2));
        KxList* list = new KxList;
        if (list->create(1024))
        {
            list->pass(root);
            list->pass(rig.camera);
            KxOpenGL::clear(true, true, true);
            Kalvex::render(rig.camera, list, nullptr);
        }
    }
    // Owners are older than what they own and take it with them.
    while (KxObject* object = mark->getNext())
        delete object;
    KxMesh::optimizeMemory();
    return 0;
}
