// Animation files (.kxa): Kalvex::loadAnimation and Kalvex::saveAnimation.
//
// Little-endian, no padding: frames per second (int32), number of frames
// (int32), then node tracks up to the end of the file, each a zero-terminated
// node name, a keyframe count K (int32) and K keyframes of 44 bytes (frame
// int32, position 3 floats, rotation x y z w, scale 3 floats).
#include "kalvex_internal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace
{
const size_t HEADER_SIZE = 8;
const size_t KEYFRAME_SIZE = 44;
const size_t MAX_NAME_LENGTH = 255;

struct ParsedTrack
{
    std::string name;
    KxAnim::kxKeyframes keyframes;
};

struct Parsed
{
    int32_t fps = 0;
    int32_t nrOfFrames = 0;
    std::vector<ParsedTrack> tracks;
};

// Checks everything before anything is created; error says what is wrong.
bool parseAnimation(const unsigned char* data, size_t length, Parsed& parsed, std::string& error)
{
    if (length < HEADER_SIZE)
        return error = "shorter than its 8-byte header", false;
    std::memcpy(&parsed.fps, data, 4);
    std::memcpy(&parsed.nrOfFrames, data + 4, 4);
    if (parsed.fps <= 0)
        return error = "frames per second " + std::to_string(parsed.fps) + " is not above 0", false;
    if (parsed.nrOfFrames < 0)
        return error = "negative number of frames", false;
    size_t position = HEADER_SIZE;
    while (position < length)
    {
        const void* end = std::memchr(data + position, 0, length - position);
        if (!end)
            return error = "track name runs past the end of the file", false;
        size_t nameLength = static_cast<const unsigned char*>(end) - (data + position);
        if (nameLength == 0 || nameLength > MAX_NAME_LENGTH)
            return error = "track name of " + std::to_string(nameLength) + " characters", false;
        ParsedTrack track;
        track.name.assign(reinterpret_cast<const char*>(data + position), nameLength);
        position += nameLength + 1;
        int32_t count = 0;
        if (length - position < 4)
            return error = "track '" + track.name + "' is truncated", false;
        std::memcpy(&count, data + position, 4);
        position += 4;
        if (count < 0)
            return error = "track '" + track.name + "' has a negative keyframe count", false;
        if (static_cast<uint64_t>(count) * KEYFRAME_SIZE > length - position)
            return error = "track '" + track.name + "' is truncated", false;
        track.keyframes.frames.resize(static_cast<size_t>(count));
        track.keyframes.keys.resize(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i, position += KEYFRAME_SIZE)
        {
            KxAnim::kxKey& key = track.keyframes.keys[static_cast<size_t>(i)];
            std::memcpy(&track.keyframes.frames[static_cast<size_t>(i)], data + position, 4);
            std::memcpy(&key, data + position + 4, sizeof(key));
            const float* values = key.position;
            for (size_t v = 0; v < sizeof(key) / sizeof(float); ++v)
                if (!std::isfinite(values[v]))
                    return error = "track '" + track.name + "' holds a non-finite value", false;
        }
        parsed.tracks.push_back(std::move(track));
    }
    return true;
}

void appendBytes(std::vector<unsigned char>& out, const void* data, size_t size)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    out.insert(out.end(), bytes, bytes + size);
}
}

KxAnim* Kalvex::loadAnimation(const std::string& fileName)
{
    if (fileName.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params"), nullptr;
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Decoding KXA file '%s'...", name);
    const char* why = nullptr;
    std::FILE* file = kx::InputFile::open(name, why);
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s' (%s)", name, why), nullptr;
    long fileSize = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        fileSize = std::ftell(file);
    if (fileSize < 0 || std::fseek(file, 0, SEEK_SET) != 0)
    {
        std::fclose(file);
        return KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name), nullptr;
    }
    size_t length = static_cast<size_t>(fileSize);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length ? length : 1]);
    if (!buffer)
    {
        std::fclose(file);
        return KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name), nullptr;
    }
    size_t read = length ? std::fread(buffer.get(), 1, length, file) : 0;
    std::fclose(file);
    if (read != length)
        return KX_LOG(LEVEL_ERROR, "File '%s' is corrupted", name), nullptr;

    Parsed parsed;
    std::string error;
    try
    {
        if (!parseAnimation(buffer.get(), length, parsed, error))
            return KX_LOG(LEVEL_ERROR, "Invalid KXA file '%s': %s", name, error.c_str()), nullptr;
    }
    catch (const std::bad_alloc&)
    {
        return KX_LOG(LEVEL_ERROR, "Out of memory for file '%s'", name), nullptr;
    }
    KxAnim* animation = new KxAnim;
    animation->setFps(parsed.fps);
    animation->setNrOfFrames(parsed.nrOfFrames);
    KX_LOG(LEVEL_DEBUG, "Total animation frames %d", parsed.nrOfFrames);
    for (const ParsedTrack& track : parsed.tracks)
    {
        KX_LOG(LEVEL_DEBUG, "Node %s has %d keyframes", track.name.c_str(),
               static_cast<int>(track.keyframes.frames.size()));
        if (!track.keyframes.frames.empty())
            animation->addKeyframe(track.name, track.keyframes);
    }
    return animation;
}

bool Kalvex::saveAnimation(KxAnim* animation, const std::string& fileName)
{
    if (!animation || fileName.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    const char* name = fileName.c_str();
    KX_LOG(LEVEL_DETAIL, "Writing KXA file '%s'...", name);
    std::vector<unsigned char> bytes;
    int32_t header[2] = {animation->getFps(), animation->getNrOfFrames()};
    appendBytes(bytes, header, sizeof(header));
    for (const std::string& track : animation->getTrackNames())
    {
        const KxAnim::kxKeyframes* keyframes = animation->getKeyframes(track);
        // The reader drops empty tracks and refuses names it could not bind.
        if (keyframes->frames.empty() || track.empty() || track.size() > MAX_NAME_LENGTH ||
            track.find('\0') != std::string::npos)
            continue;
        appendBytes(bytes, track.c_str(), track.size() + 1);
        int32_t count = static_cast<int32_t>(keyframes->frames.size());
        appendBytes(bytes, &count, 4);
        for (size_t i = 0; i < keyframes->frames.size(); ++i)
        {
            appendBytes(bytes, &keyframes->frames[i], 4);
            appendBytes(bytes, &keyframes->keys[i], sizeof(KxAnim::kxKey));
        }
    }

    // An existing file is only replaced once the new one is complete.
    kx::OutputFile output;
    const char* why = nullptr;
    std::FILE* file = output.open(fileName, why);
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open file '%s' (%s)", name, why);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || !output.commit())
        return KX_LOG(LEVEL_ERROR, "Unable to write file '%s'", name);
    KX_LOG(LEVEL_DETAIL, "File '%s' written", name);
    return true;
}
