// Fuzz target: a KXA animation file loaded, bound to a small tree whose node
// names the seeds use, and played: advanced by the clock, stepped frame by
// frame both ways and set to keyframes around its ends.
#include <kalvex.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::startEngine();
    kxfuzz::writeFile("fuzz_input.kxa", data, size);
    KxAnim* animation = Kalvex::loadAnimation("fuzz_input.kxa");
    if (!animation)
        return 0;
    KxNode* root = new KxNode;
    root->setName("root");
    for (const char* name : {"arm", "hand"})
    {
        KxNode* node = new KxNode;
        node->setName(name);
        node->link(root);
    }
    animation->apply(root);
    animation->playAnimation();
    for (double milliseconds : {0.0, 16.0, 1000.0, 1.0e7})
        animation->advance(milliseconds);
    for (int step = 0; step < 3; ++step)
        animation->nextFrame();
    for (int step = 0; step < 5; ++step)
        animation->previousFrame();
    const float frames = static_cast<float>(animation->getNrOfFrames());
    for (float keyframe : {0.0f, 1.0f, 1.5f, frames, frames + 0.5f, -3.0f})
    {
        animation->setKeyframe(keyframe);
        animation->interpolateFrame();
    }
    animation->resetPose();
    delete animation;
    while (root->getNrOfChildren() > 0)
        delete root->getChild(0);
    delete root;
    return 0;
}
