// KxAnim: keyframe animation of nodes bound by name.
#include "kalvex_internal.h"

#include <glm/gtc/type_ptr.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

static_assert(sizeof(KxAnim::kxKey) == 40, "kxKey must match the animation file record");

namespace
{
const KxAnim::kxKey IDENTITY_KEY = {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 1.0f}, {1.0f, 1.0f, 1.0f}};

struct Track
{
    KxAnim::kxKeyframes keyframes;
    bool sorted = true; // frames ascending: keys are then found by binary search
};

struct Binding
{
    KxNode* node;
    const Track* track;
};

// The keys around frame f: next is the first key at or after f, previous the
// last one before it (the identity at frame 0 when there is none).
void findKeys(const Track& track, float f, const KxAnim::kxKey*& previous, float& previousFrame,
              const KxAnim::kxKey*& next, float& nextFrame)
{
    const std::vector<int32_t>& frames = track.keyframes.frames;
    const std::vector<KxAnim::kxKey>& keys = track.keyframes.keys;
    previous = &IDENTITY_KEY;
    previousFrame = 0.0f;
    next = nullptr;
    nextFrame = 0.0f;
    if (track.sorted)
    {
        auto at = std::lower_bound(frames.begin(), frames.end(), f,
                                   [](int32_t frame, float value) { return static_cast<float>(frame) < value; });
        size_t index = static_cast<size_t>(at - frames.begin());
        if (index > 0)
        {
            previous = &keys[index - 1];
            previousFrame = static_cast<float>(frames[index - 1]);
        }
        if (index < frames.size())
        {
            next = &keys[index];
            nextFrame = static_cast<float>(frames[index]);
        }
        return;
    }
    for (size_t i = 0; i < frames.size(); ++i)
    {
        float frame = static_cast<float>(frames[i]);
        if (frame >= f)
        {
            if (!next)
            {
                next = &keys[i];
                nextFrame = frame;
            }
        }
        else
        {
            previous = &keys[i];
            previousFrame = frame;
        }
    }
}

glm::quat interpolateRotation(const float* a, const float* b, float t)
{
    glm::quat p(a[3], a[0], a[1], a[2]);
    glm::quat q(b[3], b[0], b[1], b[2]);
    float c = p.x * q.x + p.y * q.y + p.z * q.z + p.w * q.w;
    if (c < 0.0f)
    {
        q = -q;
        c = -c;
    }
    if (c > 0.9999999f)
        return glm::quat((1.0f - t) * p.w + t * q.w, (1.0f - t) * p.x + t * q.x, (1.0f - t) * p.y + t * q.y,
                         (1.0f - t) * p.z + t * q.z);
    float theta = std::acos(c);
    float sine = std::sin(theta);
    float wp = std::sin((1.0f - t) * theta) / sine, wq = std::sin(t * theta) / sine;
    return glm::quat(wp * p.w + wq * q.w, wp * p.x + wq * q.x, wp * p.y + wq * q.y, wp * p.z + wq * q.z);
}

glm::mat4 poseMatrix(const glm::vec3& position, const glm::quat& rotation, const glm::vec3& scale)
{
    glm::mat3 r = glm::mat3_cast(rotation);
    glm::mat4 m(1.0f);
    for (int column = 0; column < 3; ++column)
        m[column] = glm::vec4(r[column] * scale[column], 0.0f);
    m[3] = glm::vec4(position, 1.0f);
    return m;
}

glm::mat4 pose(const Track& track, float f)
{
    const KxAnim::kxKey *previous, *next;
    float previousFrame, nextFrame;
    findKeys(track, f, previous, previousFrame, next, nextFrame);
    // After the last key the last key holds (with an empty track: the identity).
    if (!next)
        next = previous, nextFrame = previousFrame = std::max(previousFrame, f);
    float t = nextFrame > previousFrame ? (f - previousFrame) / (nextFrame - previousFrame) : 1.0f;
    glm::vec3 p0 = glm::make_vec3(previous->position), p1 = glm::make_vec3(next->position);
    glm::vec3 s0 = glm::make_vec3(previous->scale), s1 = glm::make_vec3(next->scale);
    return poseMatrix(p0 + (p1 - p0) * t, interpolateRotation(previous->rotation, next->rotation, t),
                      s0 + (s1 - s0) * t);
}
}

struct KxAnim::Private
{
    bool animating = false;
    int32_t nrOfFrames = 0;
    float keyframe = 0.0f;
    uint64_t startTime = 0;
    int32_t fps = 60;
    // floor(1000 / 60) from the start: a zero frame time would divide by zero.
    float frameTime = 16.0f;
    std::map<std::string, Track> tracks;
    std::vector<Binding> bindings; // in name order
};

KxAnim::KxAnim() : animReserved(new Private)
{
    setType(TYPE_ANIM);
    char name[32];
    std::snprintf(name, sizeof(name), "[Anim%d]", getId());
    setName(name);
}

KxAnim::~KxAnim()
{
    delete animReserved;
}

uint64_t KxAnim::getClock()
{
    uint64_t frequency = KxTimer::getFrequency();
    if (!frequency)
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    uint64_t count = KxTimer::getCounter();
    const uint64_t billion = 1000000000ull;
    return (count % frequency * billion / frequency + count / frequency * billion) / 1000000ull;
}

void KxAnim::addKeyframe(const std::string& nodeName, const kxKeyframes& track)
{
    Track& stored = animReserved->tracks[nodeName];
    stored.keyframes = track;
    // Keys beyond the shorter list have no partner.
    size_t count = std::min(track.frames.size(), track.keys.size());
    stored.keyframes.frames.resize(count);
    stored.keyframes.keys.resize(count);
    stored.sorted = std::is_sorted(stored.keyframes.frames.begin(), stored.keyframes.frames.end());
}

const KxAnim::kxKeyframes* KxAnim::getKeyframes(const std::string& nodeName) const
{
    auto found = animReserved->tracks.find(nodeName);
    return found == animReserved->tracks.end() ? nullptr : &found->second.keyframes;
}

std::vector<std::string> KxAnim::getTrackNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : animReserved->tracks)
        names.push_back(entry.first);
    return names;
}

namespace
{
void bindTree(KxNode* node, const std::map<std::string, Track>& tracks, std::map<std::string, KxNode*>& bound)
{
    auto found = tracks.find(node->getName());
    if (found != tracks.end() && !found->second.keyframes.frames.empty())
        bound.emplace(node->getName(), node); // the first node of a name keeps it
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        bindTree(node->getChild(i), tracks, bound);
}
}

bool KxAnim::apply(KxNode* root)
{
    if (!root)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *animReserved;
    std::map<std::string, KxNode*> bound;
    bindTree(root, d.tracks, bound);
    d.bindings.clear();
    for (const auto& entry : d.tracks)
    {
        auto node = bound.find(entry.first);
        if (node != bound.end())
            d.bindings.push_back({node->second, &entry.second});
        else if (!entry.second.keyframes.frames.empty())
            KX_LOG(LEVEL_WARNING, "Animation track '%s' has no node of that name", entry.first.c_str());
    }
    return true;
}

unsigned int KxAnim::getNrOfBoundNodes() const
{
    return static_cast<unsigned int>(animReserved->bindings.size());
}

bool KxAnim::setFps(int fps)
{
    if (fps <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    animReserved->fps = fps;
    animReserved->frameTime = std::floor(1.0f / static_cast<float>(fps) * 1000.0f);
    return true;
}

int KxAnim::getFps() const
{
    return animReserved->fps;
}

float KxAnim::getFrameTime() const
{
    return animReserved->frameTime;
}

void KxAnim::setNrOfFrames(int nrOfFrames)
{
    animReserved->nrOfFrames = nrOfFrames;
}

int KxAnim::getNrOfFrames() const
{
    return animReserved->nrOfFrames;
}

void KxAnim::setStartTime(uint64_t milliseconds)
{
    animReserved->startTime = milliseconds;
}

uint64_t KxAnim::getStartTime() const
{
    return animReserved->startTime;
}

bool KxAnim::isAnimating() const
{
    return animReserved->animating;
}

void KxAnim::setKeyframe(float keyframe)
{
    animReserved->keyframe = keyframe;
    interpolateFrame();
}

float KxAnim::getKeyframe() const
{
    return animReserved->keyframe;
}

bool KxAnim::playAnimation()
{
    Private& d = *animReserved;
    if (d.bindings.empty())
        return KX_LOG(LEVEL_DETAIL, "No scenegraph applied to animation"), false;
    d.animating = true;
    d.startTime = getClock();
    return true;
}

void KxAnim::pauseAnimation()
{
    animReserved->animating = false;
}

bool KxAnim::replayAnimation()
{
    resetPose();
    return playAnimation();
}

void KxAnim::update()
{
    Private& d = *animReserved;
    uint64_t now = getClock();
    uint64_t elapsed = now >= d.startTime ? now - d.startTime : 0;
    d.startTime = now;
    advance(static_cast<double>(elapsed));
}

void KxAnim::advance(double milliseconds)
{
    Private& d = *animReserved;
    if (d.frameTime > 0.0f && milliseconds > 0.0)
        d.keyframe += static_cast<float>(milliseconds / d.frameTime);
    interpolateFrame();
    endOfAnimation();
}

void KxAnim::endOfAnimation()
{
    Private& d = *animReserved;
    if (!(d.keyframe < static_cast<float>(d.nrOfFrames)))
    {
        d.keyframe = 1.0f;
        interpolateFrame();
        d.animating = false;
        d.startTime = 0;
    }
}

void KxAnim::nextFrame()
{
    animReserved->keyframe += 1.0f;
    interpolateFrame();
    endOfAnimation();
}

void KxAnim::previousFrame()
{
    animReserved->keyframe = std::max(1.0f, animReserved->keyframe - 1.0f);
    interpolateFrame();
}

void KxAnim::resetPose()
{
    animReserved->keyframe = 1.0f;
    interpolateFrame();
}

void KxAnim::interpolateFrame()
{
    const Private& d = *animReserved;
    for (const Binding& binding : d.bindings)
        binding.node->setMatrix(pose(*binding.track, d.keyframe));
}
