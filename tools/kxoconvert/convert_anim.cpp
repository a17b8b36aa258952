// kxoconvert: node animations sampled at whole frames into an engine animation.
#include "convert_anim.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kxoconvert
{
namespace
{
// A value of a channel at a time, as assimp interpolates: linear between the
// keys around it, the first or last key outside them.
template <typename Key, typename Value, typename Blend>
Value sampleKeys(const Key* keys, unsigned int count, double time, const Value& fallback, Blend blend)
{
    if (!count)
        return fallback;
    if (time <= keys[0].mTime)
        return keys[0].mValue;
    for (unsigned int i = 0; i + 1 < count; ++i)
        if (time < keys[i + 1].mTime)
        {
            double span = keys[i + 1].mTime - keys[i].mTime;
            float factor = span > 0.0 ? static_cast<float>((time - keys[i].mTime) / span) : 0.0f;
            return blend(keys[i].mValue, keys[i + 1].mValue, factor);
        }
    return keys[count - 1].mValue;
}

aiVector3D lerp(const aiVector3D& a, const aiVector3D& b, float t)
{
    return a + (b - a) * t;
}

aiQuaternion slerp(const aiQuaternion& a, const aiQuaternion& b, float t)
{
    aiQuaternion out;
    aiQuaternion::Interpolate(out, a, b, t);
    return out;
}
}

AnimationSample sampleChannel(const aiNodeAnim* channel, const aiMatrix4x4& rest, double ticks)
{
    aiVector3D restScale, restPosition;
    aiQuaternion restRotation;
    rest.Decompose(restScale, restRotation, restPosition);
    AnimationSample sample;
    sample.position = sampleKeys(channel->mPositionKeys, channel->mNumPositionKeys, ticks, restPosition, lerp);
    sample.rotation = sampleKeys(channel->mRotationKeys, channel->mNumRotationKeys, ticks, restRotation, slerp);
    sample.scale = sampleKeys(channel->mScalingKeys, channel->mNumScalingKeys, ticks, restScale, lerp);
    return sample;
}

double ticksPerSecond(const aiAnimation* animation)
{
    // assimp leaves 0 where the format does not say; 25 is its own default.
    return animation->mTicksPerSecond > 0.0 ? animation->mTicksPerSecond : 25.0;
}

int framesPerSecond(const aiAnimation* animation)
{
    double tps = ticksPerSecond(animation);
    // Whole tick rates of video speed keep the source's keys on frames.
    if (tps >= 10.0 && tps <= 120.0 && std::floor(tps) == tps)
        return static_cast<int>(tps);
    return 30;
}

double frameToTicks(const aiAnimation* animation, int frame)
{
    return (frame - 1) / static_cast<double>(framesPerSecond(animation)) * ticksPerSecond(animation);
}

KxAnim* sampleAnimation(const aiScene* scene, const std::function<std::string(const aiNode*)>& nameOf,
                        std::vector<std::string>& notes)
{
    if (!scene->mNumAnimations)
        return nullptr;
    const aiAnimation* animation = scene->mAnimations[0];
    if (scene->mNumAnimations > 1)
        notes.push_back(std::to_string(scene->mNumAnimations - 1) + " further animation(s) left out (a KXA file holds one)");
    int fps = framesPerSecond(animation);
    double seconds = std::max(animation->mDuration, 0.0) / ticksPerSecond(animation);
    // Frame 1 is the start; the last frame the end of the animation.
    double lastFrame = std::ceil(seconds * fps - 1e-6) + 1.0;
    if (!std::isfinite(lastFrame) || lastFrame > 100000.0)
    {
        notes.push_back("animation too long to sample (over 100000 frames) and left out");
        return nullptr;
    }
    int frames = std::max(2, static_cast<int>(lastFrame));

    KxAnim* result = new KxAnim;
    result->setFps(fps);
    result->setNrOfFrames(frames);
    unsigned int missing = 0;
    for (unsigned int c = 0; c < animation->mNumChannels; ++c)
    {
        const aiNodeAnim* channel = animation->mChannels[c];
        const aiNode* node = scene->mRootNode->FindNode(channel->mNodeName);
        if (!node)
        {
            ++missing;
            continue;
        }
        KxAnim::kxKeyframes track;
        for (int frame = 1; frame <= frames; ++frame)
        {
            AnimationSample sample = sampleChannel(channel, node->mTransformation, frameToTicks(animation, frame));
            KxAnim::kxKey key;
            const float position[3] = {sample.position.x, sample.position.y, sample.position.z};
            const float rotation[4] = {sample.rotation.x, sample.rotation.y, sample.rotation.z, sample.rotation.w};
            const float scale[3] = {sample.scale.x, sample.scale.y, sample.scale.z};
            std::memcpy(key.position, position, sizeof(position));
            std::memcpy(key.rotation, rotation, sizeof(rotation));
            std::memcpy(key.scale, scale, sizeof(scale));
            track.frames.push_back(frame);
            track.keys.push_back(key);
        }
        result->addKeyframe(nameOf(node), track);
    }
    if (missing)
        notes.push_back(std::to_string(missing) + " animation channel(s) name no node and were left out");
    return result;
}
}
