// kxoconvert: node animations sampled at whole frames into an engine animation.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <assimp/scene.h>

#include <kalvex.h>

namespace kxoconvert
{
struct AnimationSample
{
    aiVector3D position;
    aiQuaternion rotation;
    aiVector3D scale;
};

// A channel at a time in ticks, interpolated as assimp does; components
// without keys keep the node's rest transform.
AnimationSample sampleChannel(const aiNodeAnim* channel, const aiMatrix4x4& rest, double ticks);
double ticksPerSecond(const aiAnimation* animation);
int framesPerSecond(const aiAnimation* animation);
// The source time of a frame of the sampled animation (frame 1 is time 0).
double frameToTicks(const aiAnimation* animation, int frame);

// The scene's first animation with one key per frame and node, or null when
// there is none; nameOf gives the engine name of a source node.
KxAnim* sampleAnimation(const aiScene* scene, const std::function<std::string(const aiNode*)>& nameOf,
                        std::vector<std::string>& notes);
}
