#include "convert.h"
#include "convert_anim.h"

#include <dirent.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <assimp/GltfMaterial.h>
#include <assimp/ProgressHandler.hpp>
#include <assimp/scene.h>
#include <glm/gtc/matrix_transform.hpp>
#include <stb_image.h>

#include <kalvex.h>

#include "convert_math.h"
#include "kxoimport.h"
#include "kxtool.h"

namespace kxoconvert
{
namespace
{
// Inputs above this size, or with a thousand meshes, show a progress line.
const long LARGE_INPUT = 4L << 20;

glm::mat4 toGlm(const aiMatrix4x4& m)
{
    // assimp stores rows, glm columns.
    return glm::mat4(m.a1, m.b1, m.c1, m.d1, m.a2, m.b2, m.c2, m.d2, m.a3, m.b3, m.c3, m.d3, m.a4, m.b4, m.c4, m.d4);
}

glm::vec3 toGlm(const aiVector3D& v)
{
    return glm::vec3(v.x, v.y, v.z);
}

bool isTriangleMesh(const aiMesh* mesh)
{
    return mesh && (mesh->mPrimitiveTypes & aiPrimitiveType_TRIANGLE) && mesh->mNumVertices && mesh->mNumFaces;
}

std::string plural(unsigned long long count, const char* word)
{
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// One line that grows while the conversion runs: rewritten in place on a
// terminal, otherwise written at each quarter.
class Progress : public Assimp::ProgressHandler
{
public:
    // mode: -1 for large inputs only, 0 never, 1 always.
    Progress(int mode, bool large) : mode(mode), enabled(mode > 0 || (mode < 0 && large)), terminal(isatty(2)) {}
    ~Progress() override { finish(); }
    // The input turned out large after all.
    void large() { enabled = enabled || mode < 0; }

    bool Update(float percentage) override
    {
        show("importing", percentage < 0.0f ? 0.0f : percentage);
        return true;
    }
    void show(const char* stage, float fraction)
    {
        if (!enabled)
            return;
        int percent = static_cast<int>(std::lround(std::clamp(fraction, 0.0f, 1.0f) * 100.0f));
        if (terminal)
        {
            std::fprintf(stderr, "\rkxoconvert: %-10s %3d%%", stage, percent);
            std::fflush(stderr);
            open = true;
        }
        else if (stage != lastStage || percent / 25 != lastQuarter)
        {
            std::fprintf(stderr, "kxoconvert: %s %d%%\n", stage, percent);
            lastStage = stage;
            lastQuarter = percent / 25;
        }
    }
    void finish()
    {
        if (open)
            std::fprintf(stderr, "\n");
        open = false;
    }

private:
    int mode;
    bool enabled;
    bool terminal;
    bool open = false;
    const char* lastStage = nullptr;
    int lastQuarter = -1;
};

// Where a material's texture comes from.
struct TextureSource
{
    const aiTexture* embedded = nullptr;
    unsigned int embeddedIndex = 0;
    std::string file; // absolute, when not embedded
    std::string key;  // identifies the source
};

struct Box
{
    glm::vec3 min = glm::vec3(FLT_MAX);
    glm::vec3 max = glm::vec3(-FLT_MAX);
    void add(const glm::vec3& p)
    {
        min = glm::min(min, p);
        max = glm::max(max, p);
    }
    bool empty() const { return min.x > max.x; }
};

class Converter
{
public:
    Converter(const aiScene* scene, const Options& options, Summary& summary, Progress& progress)
        : scene(scene), options(options), summary(summary), progress(progress)
    {
    }

    // Names, bones, lights and the scene's extent, before any engine object exists.
    void analyse();
    // Builds the node tree; null with error set on refusal.
    KxNode* build(std::string& error);

    std::string nameOf(const aiNode* node) const
    {
        auto found = nodeNames.find(node);
        return found == nodeNames.end() ? std::string() : found->second;
    }

    std::string inputDirectory;
    bool halfAngles = false; // spot cones given as half-angles (glTF)
    // Colour factors stored linear (glTF); the other formats store colours as
    // they are shown, which is the engine's encoding.
    bool linearColours = false;
    std::string outputDirectory;
    std::string outputStem;

private:
    void note(const std::string& text) { summary.notes.push_back(text); }
    bool usable(const aiMesh* mesh) const { return !standInMeshes && isTriangleMesh(mesh); }
    void collectNodes(const aiNode* node, const glm::mat4& parent);
    // The deepest place a node may take: its meshes, one level below it, are
    // still within the render list's depth.
    static constexpr unsigned int DEEPEST_NODE = KxList::MAX_DEPTH - 1;
    // anchor: the node at DEEPEST_NODE - 1 on the way down, which takes the
    // nodes that would lie deeper than DEEPEST_NODE, with their world matrices.
    KxNode* buildNode(const aiNode* node, KxNode* parent, unsigned int level, std::string& error,
                      KxNode* anchor = nullptr, const aiNode* anchorSource = nullptr);
    KxMesh* buildMesh(unsigned int index, const glm::mat4& world, std::string& error);
    KxMaterial* material(unsigned int index);
    void setTextures(KxMaterial* material, const aiMaterial* source, const std::string& name);
    bool findTexture(const aiMaterial* source, aiTextureType type, TextureSource& found);
    // A texture file named by a path that does not hold here, looked up by
    // its name near the input; empty when not found.
    std::string findBeside(const std::string& path) const;
    std::string placeTexture(const TextureSource& source);
    std::string splitPackedTexture(const TextureSource& source, const std::string& materialName, int channel,
                                   const char* suffix);
    std::string uniqueOutputFile(const std::string& wanted);
    KxTexture* loadTexture(const std::string& relative);
    void configureLight(KxLight* light, const aiLight* source);
    void attachPhysics(KxMesh* mesh, const std::string& nodeName);

    const aiScene* scene;
    const Options& options;
    Summary& summary;
    Progress& progress;

    kxtool::NameTable names;
    std::map<const aiNode*, std::string> nodeNames;
    std::map<const aiNode*, glm::mat4> worldMatrices;
    std::set<const aiNode*> boneNodes;
    std::map<const aiNode*, const aiLight*> lightNodes;
    std::map<const aiNode*, KxBone*> bones;
    std::map<const aiNode*, Box> boneBoxes;
    std::map<unsigned int, KxMaterial*> materials;
    std::map<unsigned int, std::string> materialNames;
    std::map<std::string, std::string> placedTextures; // source key -> file name in the output directory
    std::set<std::string> writtenFiles;
    float sceneSize = 1.0f;
    // A file without meshes comes with meshes that assimp made to show its
    // skeleton; they are not the file's.
    bool standInMeshes = false;
    unsigned int meshesDone = 0;
    unsigned int deepest = 0;
    unsigned int moved = 0; // nodes re-parented to stay within the render list's depth
    unsigned int meshesTotal = 0;
    unsigned int unweightedVertices = 0;
    unsigned int droppedFaces = 0;
    unsigned int otherUvChannels = 0;
};

void Converter::collectNodes(const aiNode* node, const glm::mat4& parent)
{
    glm::mat4 world = parent * toGlm(node->mTransformation);
    worldMatrices[node] = world;
    nodeNames[node] = names.make(node->mName.C_Str(), "node");
    ++summary.sourceNodes;
    for (unsigned int i = 0; i < node->mNumChildren; ++i)
        collectNodes(node->mChildren[i], world);
}

void Converter::analyse()
{
    standInMeshes = (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) != 0;
    collectNodes(scene->mRootNode, glm::mat4(1.0f));

    unsigned int skipped = 0;
    for (unsigned int i = 0; i < scene->mNumMeshes; ++i)
    {
        const aiMesh* mesh = scene->mMeshes[i];
        if (!usable(mesh))
        {
            skipped += !standInMeshes;
            continue;
        }
        for (unsigned int b = 0; b < mesh->mNumBones; ++b)
            if (const aiNode* node = scene->mRootNode->FindNode(mesh->mBones[b]->mName))
                boneNodes.insert(node);
    }
    if (skipped)
        note(plural(skipped, "mesh") + " of points or lines left out (KXO meshes are triangles)");

    // Materials are named before meshes: a mesh that shares its material's
    // name is the one renamed.
    for (unsigned int i = 0; i < scene->mNumMeshes; ++i)
    {
        const aiMesh* mesh = scene->mMeshes[i];
        if (!usable(mesh) || mesh->mMaterialIndex >= scene->mNumMaterials || materialNames.count(mesh->mMaterialIndex))
            continue;
        aiString name;
        scene->mMaterials[mesh->mMaterialIndex]->Get(AI_MATKEY_NAME, name);
        materialNames[mesh->mMaterialIndex] = names.make(name.C_Str(), "material");
    }

    unsigned int unsupported = 0;
    for (unsigned int i = 0; i < scene->mNumLights; ++i)
    {
        const aiLight* light = scene->mLights[i];
        const aiNode* node = scene->mRootNode->FindNode(light->mName);
        if (light->mType != aiLightSource_POINT && light->mType != aiLightSource_SPOT)
            ++unsupported;
        else if (!node)
            note(std::string("light '") + light->mName.C_Str() + "' has no node and was left out");
        else if (boneNodes.count(node))
            note(std::string("light '") + light->mName.C_Str() + "' sits on a bone and was left out");
        else
            lightNodes[node] = light;
    }
    if (unsupported)
        note(plural(unsupported, "directional, ambient or area light") + " left out (the engine has point and spot lights)");
    if (scene->mNumCameras)
        note(plural(scene->mNumCameras, "camera") + " skipped (KXO has no cameras)");

    // The extent of the scene sets the reach of lights without attenuation.
    Box extent;
    for (const auto& [node, world] : worldMatrices)
        for (unsigned int m = 0; m < node->mNumMeshes; ++m)
        {
            if (node->mMeshes[m] >= scene->mNumMeshes)
                continue;
            const aiMesh* mesh = scene->mMeshes[node->mMeshes[m]];
            if (!usable(mesh))
                continue;
            ++meshesTotal;
            for (unsigned int v = 0; v < mesh->mNumVertices; ++v)
            {
                glm::vec3 p = glm::vec3(world * glm::vec4(toGlm(mesh->mVertices[v]), 1.0f));
                if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
                    extent.add(p);
            }
        }
    if (!extent.empty())
        sceneSize = std::max(glm::length(extent.max - extent.min), 1e-3f);
    if (!meshesTotal)
        note("the file holds no triangle meshes");
    if (meshesTotal >= 1000)
        progress.large();
}

KxNode* Converter::build(std::string& error)
{
    // The viewer replaces the root's matrix every frame, so the source's root
    // (which often carries an axis or unit conversion) goes below a plain one.
    KxNode* root = new KxNode;
    root->setName(names.make(outputStem, "scene"));
    ++summary.nodes;
    if (!buildNode(scene->mRootNode, root, 1, error))
        return nullptr;
    // The render list keeps a stack of 32 matrices: deeper nodes would not be drawn.
    if (moved)
        note(plural(moved, "node") + " below level " + std::to_string(DEEPEST_NODE) +
             " moved up to their deepest ancestor there, in the same places (the engine draws " +
             std::to_string(KxList::MAX_DEPTH) + " levels)");
    if (deepest > KxList::MAX_DEPTH)
        note("the scene is " + std::to_string(deepest) + " levels deep; the engine draws nodes at most " +
             std::to_string(KxList::MAX_DEPTH) + " levels below the root");

    for (const auto& [node, bone] : bones)
    {
        auto box = boneBoxes.find(node);
        if (box != boneBoxes.end() && !box->second.empty())
            bone->setBox(box->second.min, box->second.max);
        else
        {
            glm::vec3 half(sceneSize * 0.01f);
            bone->setBox(-half, half);
        }
    }
    if (unweightedVertices)
        note(plural(unweightedVertices, "vertex") + " without bone weights bound to their mesh's first bone");
    if (droppedFaces)
        note(plural(droppedFaces, "face") + " with bad indices left out");
    if (otherUvChannels)
        note(plural(otherUvChannels, "texture") + " mapped through a second uv set, drawn with the first");
    summary.renamed = names.getRenamed();
    return root;
}

void Converter::configureLight(KxLight* light, const aiLight* source)
{
    light->setSubtype(source->mType == aiLightSource_SPOT ? KxLight::KIND_SPOT : KxLight::KIND_OMNI);
    glm::vec3 color(source->mColorDiffuse.r, source->mColorDiffuse.g, source->mColorDiffuse.b);
    if (!std::isfinite(color.x) || !std::isfinite(color.y) || !std::isfinite(color.z))
        color = glm::vec3(1.0f);
    light->setColor(glm::max(color, glm::vec3(0.0f)));
    float radius = options.lightRadius > 0.0f
                       ? options.lightRadius
                       : lightRadius(source->mAttenuationConstant, source->mAttenuationLinear,
                                     source->mAttenuationQuadratic, sceneSize * 2.0f);
    light->setRadius(radius, std::min(1.0f, radius * 0.01f));
    glm::vec3 direction = toGlm(source->mDirection);
    float length = glm::length(direction);
    light->setDirection(std::isfinite(length) && length > 1e-6f ? direction / length : glm::vec3(0, 0, -1));
    if (source->mType == aiLightSource_SPOT)
    {
        // glTF gives the cone's half-angle, the other formats (Collada,
        // FBX) the whole opening, which assimp passes on as it is.
        float outer = source->mAngleOuterCone;
        if (!std::isfinite(outer) || outer <= 0.0f || outer >= 2.0f * 3.14159f)
            outer = 3.14159265f / 2.0f;
        if (!halfAngles)
            outer *= 0.5f;
        outer = std::min(outer, 3.14159265f / 2.0f);
        light->setCutoff(glm::degrees(outer));
        light->setSpotExponent(spotExponent(outer));
    }
    ++summary.lights;
}

void Converter::attachPhysics(KxMesh* mesh, const std::string& nodeName)
{
    const PhysicsRule* chosen = nullptr;
    for (const PhysicsRule& rule : options.physics)
        if (fnmatch(rule.pattern.c_str(), nodeName.c_str(), 0) == 0 ||
            fnmatch(rule.pattern.c_str(), mesh->getName().c_str(), 0) == 0)
            chosen = &rule;
    if (!chosen)
        return;
    KxPhysics* physics = new KxPhysics;
    KxPhysics::kxProps& props = physics->getProps();
    props.bodyKind = chosen->dynamic ? 1 : 3;
    props.hullKind = chosen->dynamic ? KxPhysics::HULL_CONVEX : KxPhysics::HULL_TRIANGLES;
    props.mass = chosen->dynamic ? chosen->mass : 0.0f;
    props.friction = 0.5f;
    mesh->setPhysics(physics);
    ++summary.bodies;
}

KxNode* Converter::buildNode(const aiNode* source, KxNode* parent, unsigned int level, std::string& error,
                             KxNode* anchor, const aiNode* anchorSource)
{
    glm::mat4 local = toGlm(source->mTransformation);
    if (level > DEEPEST_NODE && anchor)
    {
        // Below the anchor's own level: a child of the anchor, at the same world place.
        parent = anchor;
        level = DEEPEST_NODE;
        local = glm::inverse(worldMatrices[anchorSource]) * worldMatrices[source];
        ++moved;
    }
    if (level + 1 == DEEPEST_NODE)
    {
        anchor = nullptr; // set below, once this node exists
        anchorSource = source;
    }
    deepest = std::max(deepest, level + (source->mNumMeshes ? 1u : 0u));
    KxNode* node;
    auto light = lightNodes.find(source);
    if (boneNodes.count(source))
    {
        KxBone* bone = new KxBone;
        bones[source] = bone;
        ++summary.bones;
        node = bone;
    }
    else if (light != lightNodes.end())
    {
        KxLight* kxLight = new KxLight;
        configureLight(kxLight, light->second);
        // The light's position is given in its node's space.
        local = local * glm::translate(glm::mat4(1.0f), toGlm(light->second->mPosition));
        node = kxLight;
    }
    else
        node = new KxNode;
    node->setName(nodeNames[source]);
    node->setMatrix(local);
    node->link(parent);
    ++summary.nodes;

    // Meshes become children of their node, so that every source node keeps
    // its own kind, name and matrix.
    for (unsigned int m = 0; m < source->mNumMeshes; ++m)
    {
        unsigned int index = source->mMeshes[m];
        if (index >= scene->mNumMeshes || !usable(scene->mMeshes[index]))
            continue;
        KxMesh* mesh = buildMesh(index, worldMatrices[source], error);
        if (!mesh)
        {
            if (!error.empty())
                return nullptr;
            continue;
        }
        mesh->link(node);
        attachPhysics(mesh, nodeNames[source]);
        ++summary.nodes;
        progress.show("converting", static_cast<float>(++meshesDone) / static_cast<float>(std::max(meshesTotal, 1u)));
    }
    if (level + 1 == DEEPEST_NODE)
        anchor = node;
    for (unsigned int i = 0; i < source->mNumChildren; ++i)
        if (!buildNode(source->mChildren[i], node, level + 1, error, anchor, anchorSource))
            return nullptr;
    return node;
}

KxMesh* Converter::buildMesh(unsigned int index, const glm::mat4& world, std::string& error)
{
    const aiMesh* source = scene->mMeshes[index];
    const unsigned int nrOfVertices = source->mNumVertices;
    const bool skinned = source->mNumBones > 0;
    if (source->mNumBones > KxSkinned::NROFSKELETONBONES)
    {
        error = std::string("mesh '") + source->mName.C_Str() + "' has " + std::to_string(source->mNumBones) +
                " bones; a skeleton holds at most " + std::to_string(KxSkinned::NROFSKELETONBONES);
        return nullptr;
    }

    std::vector<KxMesh::kxMeshVertex> vertices(nrOfVertices);
    Box box;
    // The engine culls, and the viewer frames, with a sphere of this radius
    // around the node's world position: the reach of the vertices from the
    // node's origin in world units, whatever the scale above the mesh.
    float radius = 0.0f;
    const glm::mat3 toWorld(world);
    const bool hasTangents = source->mTangents && source->mBitangents;
    for (unsigned int v = 0; v < nrOfVertices; ++v)
    {
        glm::vec3 position = toGlm(source->mVertices[v]);
        glm::vec3 normal = source->mNormals ? toGlm(source->mNormals[v]) : glm::vec3(0, 0, 1);
        glm::vec2 uv(0.0f);
        if (source->mTextureCoords[0])
            uv = glm::vec2(source->mTextureCoords[0][v].x, source->mTextureCoords[0][v].y);
        glm::vec3 tangent, bitangent;
        if (hasTangents)
        {
            tangent = toGlm(source->mTangents[v]);
            bitangent = toGlm(source->mBitangents[v]);
        }
        vertices[v] = packVertex(position, normal, uv, hasTangents ? &tangent : nullptr,
                                 hasTangents ? &bitangent : nullptr);
        glm::vec3 stored(vertices[v].position[0], vertices[v].position[1], vertices[v].position[2]);
        box.add(stored);
        radius = std::max(radius, glm::length(toWorld * stored));
    }

    std::vector<KxMesh::kxMeshFace> faces;
    faces.reserve(source->mNumFaces);
    for (unsigned int f = 0; f < source->mNumFaces; ++f)
    {
        const aiFace& face = source->mFaces[f];
        if (face.mNumIndices != 3 || face.mIndices[0] >= nrOfVertices || face.mIndices[1] >= nrOfVertices ||
            face.mIndices[2] >= nrOfVertices)
        {
            ++droppedFaces;
            continue;
        }
        faces.push_back({{face.mIndices[0], face.mIndices[1], face.mIndices[2]}});
    }
    if (faces.empty())
    {
        note(std::string("mesh '") + source->mName.C_Str() + "' has no usable triangles and was left out");
        return nullptr;
    }

    KxMesh* mesh = skinned ? new KxSkinned : new KxMesh;
    // Nothing refers to a mesh by name: a mesh named like its node (the
    // usual case) is renamed without a note.
    mesh->setName(names.make(source->mName.C_Str(), "mesh", false));
    if (!mesh->create(nrOfVertices, vertices.data(), static_cast<unsigned int>(faces.size()), faces.data()))
    {
        error = std::string("the engine refused the geometry of mesh '") + source->mName.C_Str() + "'";
        return nullptr;
    }
    mesh->getBBoxMin() = box.min;
    mesh->getBBoxMax() = box.max;
    mesh->setRadius(radius);

    if (source->mMaterialIndex < scene->mNumMaterials)
        if (KxMaterial* kxMaterial = material(source->mMaterialIndex))
        {
            mesh->setMaterial(kxMaterial);
            // The pipelines give meshes of this kind their normal-mapping program.
            if (kxMaterial->hasTexture(KxMaterial::SLOT_NORMAL))
                mesh->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
        }

    if (skinned)
    {
        const unsigned int nrOfBones = source->mNumBones;
        std::vector<std::string> boneNames(nrOfBones);
        std::vector<glm::mat4> offsets(nrOfBones);
        std::vector<std::vector<std::pair<uint32_t, float>>> influences(nrOfVertices);
        std::vector<const aiNode*> boneNodeOf(nrOfBones, nullptr);
        for (unsigned int b = 0; b < nrOfBones; ++b)
        {
            const aiBone* bone = source->mBones[b];
            const aiNode* node = scene->mRootNode->FindNode(bone->mName);
            boneNodeOf[b] = node;
            if (node)
                boneNames[b] = nodeNames[node];
            else
            {
                boneNames[b] = names.make(bone->mName.C_Str(), "bone");
                note(std::string("bone '") + bone->mName.C_Str() + "' of mesh '" + source->mName.C_Str() +
                     "' has no node; it stays in its bind pose");
            }
            offsets[b] = toGlm(bone->mOffsetMatrix);
            for (unsigned int w = 0; w < bone->mNumWeights; ++w)
            {
                const aiVertexWeight& weight = bone->mWeights[w];
                if (weight.mVertexId < nrOfVertices && std::isfinite(weight.mWeight))
                    influences[weight.mVertexId].push_back({b, weight.mWeight});
            }
        }
        std::vector<KxSkinned::kxSkinningVertex> skinning(nrOfVertices);
        for (unsigned int v = 0; v < nrOfVertices; ++v)
        {
            std::vector<std::pair<uint32_t, float>> strongest = strongestWeights(influences[v]);
            if (strongest.empty())
            {
                strongest.push_back({0, 1.0f});
                ++unweightedVertices;
            }
            KxSkinned::kxSkinningVertex& record = skinning[v];
            for (unsigned int k = 0; k < KxSkinned::NROFVERTEXBONES; ++k)
            {
                bool used = k < strongest.size();
                record.boneIndex[k] = used ? strongest[k].first : 0;
                record.boneWeight[k] = KxMesh::packHalf(used ? strongest[k].second : 0.0f);
            }
            // The bone display boxes hold the vertices each bone leads.
            const aiNode* leader = boneNodeOf[strongest[0].first];
            if (leader)
            {
                glm::vec3 p(vertices[v].position[0], vertices[v].position[1], vertices[v].position[2]);
                boneBoxes[leader].add(glm::vec3(offsets[strongest[0].first] * glm::vec4(p, 1.0f)));
            }
        }
        KxSkinned* kxSkinned = static_cast<KxSkinned*>(mesh);
        if (!kxSkinned->setSkeleton(glm::mat4(1.0f), nrOfBones, boneNames.data(), offsets.data(), skinning.data()))
        {
            error = std::string("the engine refused the skeleton of mesh '") + source->mName.C_Str() + "'";
            return nullptr;
        }
        ++summary.skinnedMeshes;
    }

    ++summary.meshes;
    summary.vertices += nrOfVertices;
    summary.faces += faces.size();
    return mesh;
}

KxMaterial* Converter::material(unsigned int index)
{
    auto known = materials.find(index);
    if (known != materials.end())
        return known->second;

    const aiMaterial* source = scene->mMaterials[index];
    KxMaterial* result = new KxMaterial;
    const std::string name = materialNames[index];
    result->setName(name);
    materials[index] = result;
    ++summary.materials;
    if (summary.materials == KxMaterial::MAX_NUMBER)
        note("more than " + std::to_string(KxMaterial::MAX_NUMBER - 1) +
             " materials: the engine's table is full, the meshes of the others are not drawn");

    // glTF's metallic-roughness model comes as it is; other models are mapped.
    float metalness = 0.0f, roughness = 0.0f;
    const bool pbr = source->Get(AI_MATKEY_METALLIC_FACTOR, metalness) == aiReturn_SUCCESS ||
                     source->Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness) == aiReturn_SUCCESS;
    aiColor4D base(0.8f, 0.8f, 0.8f, 1.0f);
    bool hasBase = source->Get(AI_MATKEY_BASE_COLOR, base) == aiReturn_SUCCESS;
    if (!hasBase)
    {
        aiColor3D diffuse(0.8f, 0.8f, 0.8f);
        source->Get(AI_MATKEY_COLOR_DIFFUSE, diffuse);
        base = aiColor4D(diffuse.r, diffuse.g, diffuse.b, 1.0f);
    }
    auto sane = [](float value, float fallback) { return std::isfinite(value) ? value : fallback; };
    auto encoded = [this](float value) { return linearColours ? linearToEncoded(value) : value; };
    result->setAlbedo(encoded(std::max(sane(base.r, 0.8f), 0.0f)), encoded(std::max(sane(base.g, 0.8f), 0.0f)),
                      encoded(std::max(sane(base.b, 0.8f), 0.0f)));

    if (pbr)
    {
        metalness = 0.0f;
        roughness = 1.0f; // glTF's defaults
        source->Get(AI_MATKEY_METALLIC_FACTOR, metalness);
        source->Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness);
        result->setMetalness(std::clamp(sane(metalness, 0.0f), 0.0f, 1.0f));
        result->setRoughness(std::clamp(sane(roughness, 1.0f), 0.0f, 1.0f));
    }
    else
    {
        float shininess = 0.0f;
        bool hasShininess = source->Get(AI_MATKEY_SHININESS, shininess) == aiReturn_SUCCESS;
        result->setRoughness(hasShininess ? shininessToRoughness(shininess) : 0.8f);
        result->setMetalness(0.0f);
    }

    aiColor3D emissive(0.0f, 0.0f, 0.0f);
    source->Get(AI_MATKEY_COLOR_EMISSIVE, emissive);
    float intensity = 1.0f;
    source->Get(AI_MATKEY_EMISSIVE_INTENSITY, intensity);
    intensity = std::max(sane(intensity, 1.0f), 0.0f);
    result->setEmission(encoded(std::max(sane(emissive.r, 0.0f), 0.0f) * intensity),
                        encoded(std::max(sane(emissive.g, 0.0f), 0.0f) * intensity),
                        encoded(std::max(sane(emissive.b, 0.0f), 0.0f) * intensity));

    // Opacity: 1 opaque. glTF's opaque mode ignores the colour's alpha.
    float opacity = 1.0f;
    aiString alphaMode;
    bool gltfOpaque = source->Get(AI_MATKEY_GLTF_ALPHAMODE, alphaMode) == aiReturn_SUCCESS &&
                      std::strcmp(alphaMode.C_Str(), "OPAQUE") == 0;
    float transparencyFactor = 0.0f;
    if (gltfOpaque)
        opacity = 1.0f;
    else if (source->Get(AI_MATKEY_OPACITY, opacity) != aiReturn_SUCCESS)
    {
        opacity = 1.0f;
        if (hasBase && base.a < 1.0f)
            opacity = base.a;
        else if (source->Get(AI_MATKEY_TRANSPARENCYFACTOR, transparencyFactor) == aiReturn_SUCCESS &&
                 transparencyFactor > 0.0f)
            opacity = 1.0f - transparencyFactor;
    }
    opacity = std::clamp(sane(opacity, 1.0f), 0.0f, 1.0f);
    result->setTransparency(opacity);
    if (opacity < 0.02f)
        note("material '" + name + "' is fully transparent");

    setTextures(result, source, name);
    return result;
}

void Converter::setTextures(KxMaterial* result, const aiMaterial* source, const std::string& name)
{
    auto slot = [&](std::initializer_list<aiTextureType> types, unsigned int index) {
        for (aiTextureType type : types)
        {
            TextureSource found;
            if (!findTexture(source, type, found))
                continue;
            std::string file = placeTexture(found);
            if (KxTexture* texture = file.empty() ? nullptr : loadTexture(file))
            {
                result->setTexture(texture, index);
                return true;
            }
            return false;
        }
        return false;
    };
    slot({aiTextureType_BASE_COLOR, aiTextureType_DIFFUSE}, KxMaterial::SLOT_ALBEDO);
    slot({aiTextureType_NORMALS, aiTextureType_NORMAL_CAMERA}, KxMaterial::SLOT_NORMAL);
    slot({aiTextureType_HEIGHT, aiTextureType_DISPLACEMENT}, KxMaterial::SLOT_HEIGHT);

    // glTF packs roughness (green) and metalness (blue) in one image; the
    // engine reads both from the red channel of their own slots.
    TextureSource packed, rough, metal;
    bool hasPacked = findTexture(source, aiTextureType_UNKNOWN, packed);
    bool hasRough = findTexture(source, aiTextureType_DIFFUSE_ROUGHNESS, rough);
    bool hasMetal = findTexture(source, aiTextureType_METALNESS, metal);
    if (!hasPacked && hasRough && hasMetal && rough.key == metal.key)
    {
        hasPacked = true;
        packed = rough;
    }
    if (hasPacked)
    {
        for (auto [channel, suffix, index] : {std::make_tuple(1, "roughness", KxMaterial::SLOT_ROUGHNESS),
                                              std::make_tuple(2, "metalness", KxMaterial::SLOT_METALNESS)})
        {
            std::string file = splitPackedTexture(packed, name, channel, suffix);
            if (KxTexture* texture = file.empty() ? nullptr : loadTexture(file))
                result->setTexture(texture, index);
        }
        return;
    }
    if (hasRough)
        slot({aiTextureType_DIFFUSE_ROUGHNESS}, KxMaterial::SLOT_ROUGHNESS);
    if (hasMetal)
        slot({aiTextureType_METALNESS}, KxMaterial::SLOT_METALNESS);
}

bool Converter::findTexture(const aiMaterial* source, aiTextureType type, TextureSource& found)
{
    if (source->GetTextureCount(type) == 0)
        return false;
    aiString path;
    unsigned int uvIndex = 0;
    if (source->GetTexture(type, 0, &path, nullptr, &uvIndex) != aiReturn_SUCCESS || path.length == 0)
        return false;
    if (uvIndex != 0)
        ++otherUvChannels;

    if (const aiTexture* embedded = scene->GetEmbeddedTexture(path.C_Str()))
    {
        found.embedded = embedded;
        for (unsigned int i = 0; i < scene->mNumTextures; ++i)
            if (scene->mTextures[i] == embedded)
                found.embeddedIndex = i;
        found.key = "*" + std::to_string(found.embeddedIndex);
        return true;
    }
    if (path.C_Str()[0] == '*')
    {
        note(std::string("embedded texture '") + path.C_Str() + "' is missing from the file");
        return false;
    }

    // Sources written on other systems: backslashes, URIs, absolute paths
    // that only hold on the author's machine.
    std::string text = path.C_Str();
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.compare(0, 7, "file://") == 0)
        text = text.substr(7);
    std::vector<std::string> candidates;
    if (!text.empty() && text[0] == '/')
        candidates.push_back(text);
    candidates.push_back(inputDirectory + "/" + text);
    for (const std::string& candidate : candidates)
        if (kxtool::isRegularFile(candidate))
        {
            found.file = kxtool::absolutePath(candidate);
            found.key = found.file;
            return true;
        }
    found.file = findBeside(text);
    if (!found.file.empty())
    {
        found.key = found.file;
        return true;
    }
    note(std::string("texture '") + path.C_Str() + "' not found");
    return false;
}

namespace
{
// The entry of a directory named like `name` in any letter case; empty when none.
std::string entryIgnoringCase(const std::string& directory, const std::string& name)
{
    if (kxtool::isRegularFile(directory + "/" + name))
        return directory + "/" + name;
    std::string wanted = name;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string result;
    if (DIR* listing = opendir(directory.c_str()))
    {
        while (dirent* entry = readdir(listing))
        {
            std::string entryName = entry->d_name;
            std::transform(entryName.begin(), entryName.end(), entryName.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (entryName == wanted && kxtool::isRegularFile(directory + "/" + entry->d_name))
            {
                result = directory + "/" + entry->d_name;
                break;
            }
        }
        closedir(listing);
    }
    return result;
}
}

std::string Converter::findBeside(const std::string& path) const
{
    // Paths from the author's machine ("D:\\work\\maps\\wood.jpg", "/home/x/wood.jpg"):
    // the file name beside the scene first, then the last folders of the
    // path beside the scene or a folder or two above it ("../maps/wood.jpg").
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();)
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (parts.empty() || parts.back() == "." || parts.back() == "..")
        return "";
    std::string base = inputDirectory;
    for (int up = 0; up < 3; ++up, base = kxtool::directoryOf(base))
    {
        std::string tail;
        for (size_t count = 1; count <= std::min<size_t>(parts.size(), 3); ++count)
        {
            const std::string& part = parts[parts.size() - count];
            if (part == "." || part == ".." || part.find(':') != std::string::npos)
                break;
            std::string folder = base;
            for (size_t k = parts.size() - count; k + 1 < parts.size(); ++k)
                folder += "/" + parts[k];
            std::string file = entryIgnoringCase(folder, parts.back());
            if (!file.empty())
                return kxtool::absolutePath(file);
        }
        if (base == "/")
            break;
    }
    return "";
}

std::string Converter::uniqueOutputFile(const std::string& wanted)
{
    std::string stem = kxtool::stemOf(wanted), extension = wanted.substr(kxtool::stemOf(wanted).size());
    std::string name = wanted;
    for (unsigned int n = 1; writtenFiles.count(name); ++n)
        name = stem + "_" + std::to_string(n) + extension;
    writtenFiles.insert(name);
    return name;
}

std::string Converter::placeTexture(const TextureSource& source)
{
    auto placed = placedTextures.find(source.key);
    if (placed != placedTextures.end())
        return placed->second;
    std::string result;

    if (source.embedded)
    {
        const aiTexture* texture = source.embedded;
        std::string base = texture->mFilename.length ? kxtool::stemOf(kxtool::fileNameOf(texture->mFilename.C_Str()))
                                                     : "texture" + std::to_string(source.embeddedIndex);
        std::string stem = kxtool::safeFileName(outputStem + "_" + base);
        bool written = false;
        if (texture->mHeight == 0)
        {
            // Compressed image bytes, kept as they are when the engine reads them.
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(texture->pcData);
            int width, height, components;
            std::string hint = texture->achFormatHint;
            std::transform(hint.begin(), hint.end(), hint.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            bool dds = hint == "dds";
            if (!dds && !stbi_info_from_memory(bytes, static_cast<int>(texture->mWidth), &width, &height, &components))
            {
                note("embedded texture " + std::to_string(source.embeddedIndex) + " (" + hint +
                     ") is in a format the engine cannot read");
                placedTextures[source.key] = "";
                return "";
            }
            bool plain = !hint.empty() && std::all_of(hint.begin(), hint.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) != 0;
            });
            std::string extension = plain ? hint : "img";
            if (extension == "jpeg")
                extension = "jpg";
            result = uniqueOutputFile(stem + "." + extension);
            written = kxtool::writeFile(outputDirectory + "/" + result, bytes, texture->mWidth);
        }
        else
        {
            std::vector<unsigned char> rgba(static_cast<size_t>(texture->mWidth) * texture->mHeight * 4);
            for (size_t i = 0; i < static_cast<size_t>(texture->mWidth) * texture->mHeight; ++i)
            {
                const aiTexel& texel = texture->pcData[i];
                rgba[i * 4 + 0] = texel.r;
                rgba[i * 4 + 1] = texel.g;
                rgba[i * 4 + 2] = texel.b;
                rgba[i * 4 + 3] = texel.a;
            }
            result = uniqueOutputFile(stem + ".png");
            written = kxtool::writePng(outputDirectory + "/" + result, static_cast<int>(texture->mWidth),
                                       static_cast<int>(texture->mHeight), rgba.data());
        }
        if (!written)
        {
            note("cannot write texture " + result);
            result.clear();
        }
        placedTextures[source.key] = result;
        if (!result.empty())
            ++summary.textures;
        return result;
    }

    int width, height, components;
    if (kxtool::extensionOf(source.file) != ".dds" && !stbi_info(source.file.c_str(), &width, &height, &components))
    {
        note("texture '" + source.file + "' is in a format the engine cannot read");
        placedTextures[source.key] = "";
        return "";
    }
    if (options.textures == TextureMode::REFERENCE)
    {
        result = kxtool::relativePath(outputDirectory, source.file);
        if (result.size() > kxtool::NameTable::MAX_LENGTH)
        {
            note("texture path '" + result + "' is too long for a scene file; the texture was copied");
            result.clear();
        }
    }
    if (result.empty())
    {
        std::string wanted = kxtool::fileNameOf(source.file);
        std::string target = outputDirectory + "/" + wanted;
        if (kxtool::sameFile(source.file, target) && !writtenFiles.count(wanted))
        {
            writtenFiles.insert(wanted);
            result = wanted;
        }
        else
        {
            result = uniqueOutputFile(wanted);
            target = outputDirectory + "/" + result;
            std::vector<unsigned char> bytes;
            if (kxtool::sameFile(source.file, target))
            {
            }
            else if (!kxtool::readFile(source.file, bytes) || !kxtool::writeFile(target, bytes.data(), bytes.size()))
            {
                note("cannot copy texture '" + source.file + "' to " + target);
                result.clear();
            }
        }
    }
    placedTextures[source.key] = result;
    if (!result.empty())
        ++summary.textures;
    return result;
}

std::string Converter::splitPackedTexture(const TextureSource& source, const std::string& materialName, int channel,
                                          const char* suffix)
{
    std::string key = source.key + "#" + suffix;
    auto placed = placedTextures.find(key);
    if (placed != placedTextures.end())
        return placed->second;

    int width = 0, height = 0, components = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> pixels(nullptr, stbi_image_free);
    std::vector<unsigned char> expanded;
    if (source.embedded && source.embedded->mHeight == 0)
        pixels.reset(stbi_load_from_memory(reinterpret_cast<const unsigned char*>(source.embedded->pcData),
                                           static_cast<int>(source.embedded->mWidth), &width, &height, &components, 4));
    else if (!source.embedded)
        pixels.reset(stbi_load(source.file.c_str(), &width, &height, &components, 4));
    const unsigned char* rgba = pixels.get();
    if (source.embedded && source.embedded->mHeight != 0)
    {
        width = static_cast<int>(source.embedded->mWidth);
        height = static_cast<int>(source.embedded->mHeight);
        expanded.resize(static_cast<size_t>(width) * height * 4);
        for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
        {
            const aiTexel& texel = source.embedded->pcData[i];
            expanded[i * 4 + 0] = texel.r;
            expanded[i * 4 + 1] = texel.g;
            expanded[i * 4 + 2] = texel.b;
            expanded[i * 4 + 3] = texel.a;
        }
        rgba = expanded.data();
    }
    if (!rgba)
    {
        note("metallic-roughness texture of material '" + materialName + "' cannot be decoded");
        placedTextures[key] = "";
        return "";
    }
    std::vector<unsigned char> grey(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
    {
        unsigned char value = rgba[i * 4 + channel];
        grey[i * 4 + 0] = grey[i * 4 + 1] = grey[i * 4 + 2] = value;
        grey[i * 4 + 3] = 255;
    }
    std::string result = uniqueOutputFile(kxtool::safeFileName(outputStem + "_" + materialName + "_" + suffix) + ".png");
    if (!kxtool::writePng(outputDirectory + "/" + result, width, height, grey.data()))
    {
        note("cannot write texture " + result);
        result.clear();
    }
    placedTextures[key] = result;
    if (!result.empty())
        ++summary.textures;
    return result;
}

KxTexture* Converter::loadTexture(const std::string& relative)
{
    // The working directory is the output's: the texture's name is the path
    // the scene file keeps.
    KxTexture* texture = new KxTexture;
    if (!texture->load(relative) || texture->getName() != relative)
    {
        note("the engine cannot load texture '" + relative + "'");
        delete texture;
        return nullptr;
    }
    return texture;
}
}

namespace
{
// The scene's animation, as OUTPUT.kxa beside OUTPUT.kxo.
bool writeAnimation(const aiScene* scene, const Converter& converter, const std::string& output, Summary& summary)
{
    KxAnim* animation =
        sampleAnimation(scene, [&](const aiNode* node) { return converter.nameOf(node); }, summary.notes);
    if (!animation)
        return true;
    std::string path = output.substr(0, output.size() - kxtool::extensionOf(output).size()) + ".kxa";
    summary.animationFile = path;
    summary.animatedNodes = static_cast<unsigned int>(animation->getTrackNames().size());
    bool written = Kalvex::saveAnimation(animation, path);
    delete animation;
    return written;
}
}

bool parsePhysicsRule(const std::string& text, PhysicsRule& rule)
{
    rule = PhysicsRule();
    std::string kind = text;
    size_t equals = text.rfind('=');
    if (equals != std::string::npos)
    {
        rule.pattern = text.substr(0, equals);
        kind = text.substr(equals + 1);
        if (rule.pattern.empty())
            return false;
    }
    if (kind == "static")
        return true;
    if (kind.compare(0, 7, "dynamic") != 0)
        return false;
    rule.dynamic = true;
    if (kind.size() == 7)
        return true;
    if (kind[7] != ':')
        return false;
    char* end = nullptr;
    double mass = std::strtod(kind.c_str() + 8, &end);
    if (end == kind.c_str() + 8 || *end || !(mass > 0.0) || mass > 1e30)
        return false;
    rule.mass = static_cast<float>(mass);
    return true;
}

Status convert(const Options& options, Summary& summary, std::string& error)
{
    const std::string input = kxtool::absolutePath(options.input);
    const std::string output = kxtool::absolutePath(options.output);
    if (!kxtool::isRegularFile(input))
    {
        error = "cannot read '" + options.input + "': " + (kxtool::isDirectory(input) ? "a directory" : "no such file");
        return BAD_INPUT;
    }
    if (!kxtool::isDirectory(kxtool::directoryOf(output)))
    {
        error = "cannot write '" + options.output + "': no such directory";
        return CANNOT_WRITE;
    }
    if (access(kxtool::directoryOf(output).c_str(), W_OK) != 0)
    {
        error = "cannot write '" + options.output + "': the directory is not writable";
        return CANNOT_WRITE;
    }
    FILE* probe = std::fopen(input.c_str(), "rb");
    if (!probe)
    {
        error = "cannot read '" + options.input + "': " + std::strerror(errno);
        return BAD_INPUT;
    }
    std::fseek(probe, 0, SEEK_END);
    long inputSize = std::ftell(probe);
    std::fclose(probe);

    Progress progress(options.progress, inputSize > LARGE_INPUT);
    Assimp::Importer importer;
    kxoimport::configure(importer);
    importer.SetProgressHandler(&progress);
    const aiScene* scene = importer.ReadFile(input, kxoimport::flags());
    importer.SetProgressHandler(nullptr);
    if (!scene || !scene->mRootNode)
    {
        progress.finish();
        const char* why = importer.GetErrorString();
        error = "cannot import '" + options.input + "': " + (why && *why ? why : "unknown format or broken file");
        return BAD_INPUT;
    }

    Converter converter(scene, options, summary, progress);
    converter.inputDirectory = kxtool::directoryOf(input);
    converter.halfAngles = kxtool::extensionOf(input) == ".gltf" || kxtool::extensionOf(input) == ".glb";
    converter.linearColours = converter.halfAngles;
    converter.outputDirectory = kxtool::directoryOf(output);
    converter.outputStem = kxtool::stemOf(output);
    converter.analyse();

    kxtool::PrivateDisplay display;
    if (!display.ensure(64, 64, error))
        return NO_ENGINE;
    const std::string logPath = kxtool::absolutePath("kalvex.log");
    KxConfig config;
    config.setWindowTitle("kxoconvert");
    config.setWindowSizeX(64);
    config.setWindowSizeY(64);
    Status status = OK;
    {
        kxtool::QuietStdout quiet(!options.verbose);
        if (!Kalvex::init(config, true))
        {
            error = "the engine did not start (it needs OpenGL 4.5 core); see " + logPath;
            for (const std::string& line : kxtool::logErrors(logPath))
                error += "\n  engine: " + line;
            return NO_ENGINE;
        }
        // Texture names in scene files are relative to the file.
        if (!kxtool::changeDirectory(converter.outputDirectory))
        {
            error = "cannot enter " + converter.outputDirectory;
            status = CANNOT_WRITE;
        }
        KxNode* root = status == OK ? converter.build(error) : nullptr;
        if (status == OK && !root)
            status = REFUSED;
        if (root && !Kalvex::save(root, output))
        {
            error = "cannot write '" + options.output + "'";
            status = CANNOT_WRITE;
        }
        if (root && status == OK && !writeAnimation(scene, converter, output, summary))
        {
            error = "cannot write '" + summary.animationFile + "'";
            status = CANNOT_WRITE;
        }
        Kalvex::free();
    }
    progress.finish();
    return status;
}
}
