// kxoconvert on real models from Debian's assimp-testmodels: the engine loads
// what it writes, with the nodes, meshes, vertices, faces and bones that
// assimp reports, in the same places; kxorender draws it; broken input fails
// cleanly.
#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <cmath>
#include <map>
#include <set>

#include <assimp/scene.h>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "kxoimport.h"
#include "kxtest.h"
#include "kxtool.h"
#include "tools_support.h"

namespace
{
const std::string MODELS = ASSIMP_MODELS;

glm::mat4 toGlm(const aiMatrix4x4& m)
{
    return glm::transpose(glm::make_mat4(&m.a1));
}

// What assimp reports for a file read with the converter's settings.
struct Reference
{
    unsigned int nodes = 0;
    std::vector<std::string> nodeNames; // pre-order
    std::vector<glm::mat4> nodeMatrices;
    std::vector<const aiMesh*> meshes; // triangle meshes, in the order the tree visits them
    std::vector<glm::mat4> meshWorld;
    unsigned long long vertices = 0, faces = 0;
    unsigned int skinnedMeshes = 0, bones = 0;
    std::set<std::string> boneNodes;
    std::set<unsigned int> materials;
    glm::vec3 min = glm::vec3(FLT_MAX), max = glm::vec3(-FLT_MAX);
};

void walk(const aiScene* scene, const aiNode* node, const glm::mat4& parent, Reference& reference)
{
    // A file without meshes gets a mesh from assimp that only shows its
    // skeleton: not part of the scene.
    const bool standIn = (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) != 0;
    glm::mat4 world = parent * toGlm(node->mTransformation);
    ++reference.nodes;
    reference.nodeNames.push_back(node->mName.C_Str());
    reference.nodeMatrices.push_back(toGlm(node->mTransformation));
    for (unsigned int m = 0; m < node->mNumMeshes; ++m)
    {
        const aiMesh* mesh = scene->mMeshes[node->mMeshes[m]];
        if (standIn || !(mesh->mPrimitiveTypes & aiPrimitiveType_TRIANGLE))
            continue;
        reference.meshes.push_back(mesh);
        reference.materials.insert(mesh->mMaterialIndex);
        reference.meshWorld.push_back(world);
        reference.vertices += mesh->mNumVertices;
        reference.faces += mesh->mNumFaces;
        if (mesh->mNumBones)
            ++reference.skinnedMeshes;
        reference.bones += mesh->mNumBones;
        for (unsigned int b = 0; b < mesh->mNumBones; ++b)
            reference.boneNodes.insert(mesh->mBones[b]->mName.C_Str());
        for (unsigned int v = 0; v < mesh->mNumVertices; ++v)
        {
            glm::vec3 p = glm::vec3(world * glm::vec4(mesh->mVertices[v].x, mesh->mVertices[v].y, mesh->mVertices[v].z, 1));
            reference.min = glm::min(reference.min, p);
            reference.max = glm::max(reference.max, p);
        }
    }
    for (unsigned int i = 0; i < node->mNumChildren; ++i)
        walk(scene, node->mChildren[i], world, reference);
}

bool isMesh(const KxNode* node)
{
    return node->getType() == KxObject::TYPE_MESH || node->getType() == KxObject::TYPE_SKINNED;
}

unsigned int imageWidth(const std::string& path)
{
    toolstest::Image image;
    return image.load(path) ? static_cast<unsigned int>(image.width) : 0u;
}

class Convert : public kxtest::EngineTest
{
protected:
    Assimp::Importer importer;
    const aiScene* scene = nullptr;
    Reference reference;
    KxNode* root = nullptr;
    std::string directory;
    std::string kxo;
    toolstest::Run conversion;

    // Converts a model into a folder of its own and loads the result.
    // A model path is relative to the test models unless it is absolute.
    void convert(const std::string& model, const std::string& name, const std::vector<std::string>& extra = {})
    {
        const std::string path = model[0] == '/' ? model : MODELS + "/" + model;
        kxoimport::configure(importer);
        scene = importer.ReadFile(path, kxoimport::flags());
        ASSERT_NE(scene, nullptr) << importer.GetErrorString();
        walk(scene, scene->mRootNode, glm::mat4(1.0f), reference);

        directory = kxtool::absolutePath("convert_" + name);
        mkdir(directory.c_str(), 0755);
        kxo = directory + "/" + name + ".kxo";
        std::vector<std::string> arguments = {path, kxo};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        conversion = toolstest::run(KXOCONVERT, arguments);
        ASSERT_EQ(conversion.status, 0) << conversion.output;
        std::printf("%s", conversion.output.c_str());

        toolstest::InDirectory inside(directory);
        ASSERT_TRUE(inside.ok());
        root = Kalvex::load(name + ".kxo");
        ASSERT_NE(root, nullptr);
    }

    // Nodes, meshes, vertices, faces and bones as assimp has them; the same
    // world-space box; every vertex where assimp has it.
    void compareWithAssimp()
    {
        std::vector<KxNode*> nodes = toolstest::preOrder(root);
        std::vector<KxNode*> plain;
        std::vector<KxMesh*> meshes;
        unsigned int skinned = 0, bones = 0, boneNodes = 0;
        for (KxNode* node : nodes)
        {
            if (isMesh(node))
            {
                meshes.push_back(static_cast<KxMesh*>(node));
                if (node->getType() == KxObject::TYPE_SKINNED)
                {
                    ++skinned;
                    KxSkinned* skin = static_cast<KxSkinned*>(node);
                    bones += skin->getNrOfBones();
                    for (unsigned int b = 0; b < skin->getNrOfBones(); ++b)
                        EXPECT_NE(skin->getBone(b)->node, nullptr) << skin->getBone(b)->name;
                }
            }
            else if (node != root)
                plain.push_back(node);
            boneNodes += node->getType() == KxObject::TYPE_BONE;
        }
        // One plain root above the source's root, which keeps its matrix.
        EXPECT_EQ(root->getMatrix(), glm::mat4(1.0f));
        ASSERT_EQ(plain.size(), reference.nodes);
        for (size_t i = 0; i < plain.size(); ++i)
        {
            if (!reference.nodeNames[i].empty() &&
                std::count(reference.nodeNames.begin(), reference.nodeNames.end(), reference.nodeNames[i]) == 1)
            {
                EXPECT_EQ(plain[i]->getName(), kxtool::NameTable::shorten(reference.nodeNames[i], 255));
            }
            if (plain[i]->getType() == KxObject::TYPE_LIGHT)
                continue;
            for (int c = 0; c < 4; ++c)
                for (int r = 0; r < 4; ++r)
                    EXPECT_NEAR(plain[i]->getMatrix()[c][r], reference.nodeMatrices[i][c][r], 1e-5f)
                        << plain[i]->getName();
        }
        ASSERT_EQ(meshes.size(), reference.meshes.size());
        EXPECT_EQ(skinned, reference.skinnedMeshes);
        EXPECT_EQ(bones, reference.bones);
        EXPECT_EQ(boneNodes, reference.boneNodes.size());

        unsigned long long vertices = 0, faces = 0;
        glm::vec3 low(FLT_MAX), high(-FLT_MAX);
        float size = glm::length(reference.max - reference.min);
        for (size_t m = 0; m < meshes.size(); ++m)
        {
            KxMesh* mesh = meshes[m];
            const aiMesh* source = reference.meshes[m];
            ASSERT_EQ(mesh->getNrOfVertices(), source->mNumVertices) << mesh->getName();
            ASSERT_EQ(mesh->getNrOfFaces(), source->mNumFaces) << mesh->getName();
            vertices += mesh->getNrOfVertices();
            faces += mesh->getNrOfFaces();
            std::vector<KxMesh::kxMeshVertex> data(mesh->getNrOfVertices());
            std::vector<KxMesh::kxMeshFace> triangles(mesh->getNrOfFaces());
            mesh->getRawVertexData(data.data());
            mesh->getRawFaceData(triangles.data());
            glm::mat4 world = mesh->getFinalMatrix(nullptr);
            glm::vec3 meshLow(FLT_MAX), meshHigh(-FLT_MAX);
            float radius = 0.0f;
            int badNormals = 0, badUv = 0, badPositions = 0;
            const glm::mat3 toWorld(world);
            for (size_t v = 0; v < data.size(); ++v)
            {
                glm::vec3 p(data[v].position[0], data[v].position[1], data[v].position[2]);
                badPositions += p != glm::vec3(source->mVertices[v].x, source->mVertices[v].y, source->mVertices[v].z);
                meshLow = glm::min(meshLow, p);
                meshHigh = glm::max(meshHigh, p);
                radius = std::max(radius, glm::length(toWorld * p));
                glm::vec3 q = glm::vec3(world * glm::vec4(p, 1.0f));
                low = glm::min(low, q);
                high = glm::max(high, q);
                glm::vec3 n = glm::vec3(KxMesh::unpackNormal(data[v].normal));
                glm::vec3 expected = glm::normalize(glm::vec3(source->mNormals[v].x, source->mNormals[v].y, source->mNormals[v].z));
                badNormals += glm::length(n - expected) > 0.01f;
                if (source->mTextureCoords[0])
                    badUv += std::fabs(KxMesh::unpackHalf(data[v].uv[0]) - source->mTextureCoords[0][v].x) > 2e-3f ||
                             std::fabs(KxMesh::unpackHalf(data[v].uv[1]) - source->mTextureCoords[0][v].y) > 2e-3f;
                glm::vec4 t = KxMesh::unpackNormal(data[v].tangent);
                EXPECT_NEAR(glm::dot(glm::vec3(t), n), 0.0f, 0.02f);
            }
            EXPECT_EQ(badPositions, 0) << mesh->getName();
            EXPECT_EQ(badNormals, 0) << mesh->getName();
            EXPECT_EQ(badUv, 0) << mesh->getName();
            int badFaces = 0;
            for (size_t f = 0; f < triangles.size(); ++f)
                for (int k = 0; k < 3; ++k)
                    badFaces += triangles[f].index[k] != source->mFaces[f].mIndices[k];
            EXPECT_EQ(badFaces, 0) << mesh->getName();
            // Bounds from the vertices; the radius reaches them from the node's
            // origin in world units.
            EXPECT_EQ(mesh->getBBoxMin(), meshLow);
            EXPECT_EQ(mesh->getBBoxMax(), meshHigh);
            EXPECT_NEAR(mesh->getRadius(), radius, 1e-5f * std::max(radius, 1.0f));
            // The mesh sits where assimp places it.
            for (int c = 0; c < 4; ++c)
                for (int r = 0; r < 4; ++r)
                    EXPECT_NEAR(world[c][r], reference.meshWorld[m][c][r], 1e-4f * std::max(1.0f, std::fabs(reference.meshWorld[m][c][r])));
        }
        EXPECT_EQ(vertices, reference.vertices);
        EXPECT_EQ(faces, reference.faces);
        for (int i = 0; i < 3; ++i)
        {
            EXPECT_NEAR(low[i], reference.min[i], 1e-5f * size);
            EXPECT_NEAR(high[i], reference.max[i], 1e-5f * size);
        }
    }

    // The summary line's counts.
    void expectSummary(const std::string& text) { EXPECT_NE(conversion.output.find(text), std::string::npos) << conversion.output; }

    // Skinning records: at most 4 bones a vertex, weights summing to 1, each
    // one of assimp's; bones attached by name. In the pose the file gives, the
    // engine's skinning puts every vertex where assimp's own matrices do.
    void checkSkinning()
    {
        std::map<std::string, glm::mat4> sourceWorld;
        std::vector<std::pair<const aiNode*, glm::mat4>> stack = {{scene->mRootNode, glm::mat4(1.0f)}};
        while (!stack.empty())
        {
            auto [node, parent] = stack.back();
            stack.pop_back();
            glm::mat4 world = parent * toGlm(node->mTransformation);
            sourceWorld.emplace(node->mName.C_Str(), world);
            for (unsigned int i = 0; i < node->mNumChildren; ++i)
                stack.push_back({node->mChildren[i], world});
        }
        float size = glm::length(reference.max - reference.min);
        size_t m = 0;
        for (KxNode* node : toolstest::preOrder(root))
        {
            if (!isMesh(node))
                continue;
            const aiMesh* source = reference.meshes[m++];
            if (node->getType() != KxObject::TYPE_SKINNED)
                continue;
            KxSkinned* skin = static_cast<KxSkinned*>(node);
            const unsigned int nrOfBones = skin->getNrOfBones();
            ASSERT_EQ(nrOfBones, source->mNumBones);
            ASSERT_LE(nrOfBones, KxSkinned::NROFSKELETONBONES);
            std::vector<glm::mat4> engine(nrOfBones), assimp(nrOfBones);
            for (unsigned int b = 0; b < nrOfBones; ++b)
            {
                ASSERT_NE(skin->getBone(b)->node, nullptr) << skin->getBone(b)->name;
                EXPECT_EQ(skin->getBone(b)->name, source->mBones[b]->mName.C_Str());
                engine[b] = skin->getBone(b)->node->getFinalMatrix(nullptr) * skin->getBone(b)->offsetMatrix;
                assimp[b] = sourceWorld[source->mBones[b]->mName.C_Str()] * toGlm(source->mBones[b]->mOffsetMatrix);
            }
            // The skinned part as the engine writes it ends with the records.
            unsigned int partSize = 0;
            unsigned char* part = skin->save(partSize);
            ASSERT_NE(part, nullptr);
            const unsigned int nrOfVertices = skin->getNrOfVertices();
            ASSERT_GE(partSize, nrOfVertices * 24u);
            std::vector<KxSkinned::kxSkinningVertex> records(nrOfVertices);
            std::memcpy(records.data(), part + partSize - nrOfVertices * 24u, nrOfVertices * 24u);
            delete[] part;

            // assimp's weights, renormalised: some files' do not sum to 1.
            std::vector<glm::vec3> expected(nrOfVertices, glm::vec3(0.0f));
            std::vector<float> sums(nrOfVertices, 0.0f);
            std::vector<std::map<unsigned int, float>> weights(nrOfVertices);
            for (unsigned int b = 0; b < nrOfBones; ++b)
                for (unsigned int w = 0; w < source->mBones[b]->mNumWeights; ++w)
                {
                    const aiVertexWeight& weight = source->mBones[b]->mWeights[w];
                    weights[weight.mVertexId][b] = weight.mWeight;
                    sums[weight.mVertexId] += weight.mWeight;
                    const aiVector3D& p = source->mVertices[weight.mVertexId];
                    expected[weight.mVertexId] += weight.mWeight * glm::vec3(assimp[b] * glm::vec4(p.x, p.y, p.z, 1.0f));
                }
            for (unsigned int v = 0; v < nrOfVertices; ++v)
                if (sums[v] > 0.0f)
                    expected[v] /= sums[v];
            int badRecords = 0;
            float worst = 0.0f;
            for (unsigned int v = 0; v < nrOfVertices; ++v)
            {
                float sum = 0.0f;
                glm::vec3 skinned(0.0f);
                glm::vec4 p(source->mVertices[v].x, source->mVertices[v].y, source->mVertices[v].z, 1.0f);
                for (int k = 0; k < 4; ++k)
                {
                    float weight = KxMesh::unpackHalf(records[v].boneWeight[k]);
                    unsigned int bone = records[v].boneIndex[k];
                    if (bone >= nrOfBones)
                    {
                        ++badRecords;
                        continue;
                    }
                    sum += weight;
                    skinned += weight * glm::vec3(engine[bone] * p);
                    if (weight > 0.0f)
                        badRecords += !weights[v].count(bone);
                }
                badRecords += std::fabs(sum - 1.0f) > 4e-3f;
                if (!weights[v].empty())
                    worst = std::max(worst, glm::length(skinned - expected[v]) / size);
            }
            EXPECT_EQ(badRecords, 0) << skin->getName();
            std::printf("pose of %s: vertices within %.2e of the scene's size of assimp's\n", skin->getName().c_str(), worst);
            // Half-float weights: about 1e-3 of each bone's reach.
            EXPECT_LT(worst, 2e-3f) << skin->getName();
        }
    }

    // kxorender's picture of the result: the share of pixels drawn, how
    // bright they are on average (0 to 1) and how many colours they have.
    toolstest::Image render(double minimumCoverage, double minimumBrightness, int minimumColours)
    {
        toolstest::Image image;
        std::string png = directory + "/render.png";
        toolstest::Run result = toolstest::run(KXORENDER, {kxo, png, "--size", "160x120", "--frames", "1"});
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(image.load(png));
        toolstest::Coverage drawn = toolstest::coverage(image);
        std::printf("render: %.1f%% covered, brightness %.2f, %d colours\n", drawn.share * 100.0, drawn.brightness,
                    drawn.colours);
        EXPECT_GE(drawn.share, minimumCoverage);
        EXPECT_GE(drawn.brightness, minimumBrightness);
        EXPECT_GE(drawn.colours, minimumColours);
        return image;
    }
};
}

TEST_F(Convert, TexturedGltfBox)
{
    ASSERT_NO_FATAL_FAILURE(convert("glTF2/BoxTextured-glTF/BoxTextured.gltf", "box"));
    compareWithAssimp();
    expectSummary("meshes 1 (0 skinned), vertices 24, faces 12,");
    expectSummary("materials 1, textures 1, lights 0, bones 0");

    // The texture is copied next to the scene and named by that relative path.
    std::vector<KxNode*> nodes = toolstest::preOrder(root);
    KxMesh* mesh = nullptr;
    for (KxNode* node : nodes)
        if (isMesh(node))
            mesh = static_cast<KxMesh*>(node);
    ASSERT_NE(mesh, nullptr);
    KxMaterial* material = mesh->getMaterial();
    ASSERT_NE(material, nullptr);
    EXPECT_EQ(material->getName(), "Texture");
    ASSERT_NE(material->getTexture(KxMaterial::SLOT_ALBEDO), nullptr);
    EXPECT_EQ(material->getTexture(KxMaterial::SLOT_ALBEDO)->getName(), "CesiumLogoFlat.png");
    EXPECT_EQ(material->getTexture(KxMaterial::SLOT_ALBEDO)->getSizeX(), imageWidth(directory + "/CesiumLogoFlat.png"));
    EXPECT_TRUE(kxtool::isRegularFile(directory + "/CesiumLogoFlat.png"));
    // glTF's metallic-roughness values as they are (the file gives metallic 0,
    // roughness 1 by default).
    EXPECT_EQ(material->getMetalness(), 0.0f);
    EXPECT_EQ(material->getRoughness(), 1.0f);
    EXPECT_EQ(material->getTransparency(), 1.0f);

    // Upright: on the side faces, v grows upwards, so that the image's top
    // row (the engine's v = 1, as in OpenGL) is at the top.
    std::vector<KxMesh::kxMeshVertex> data(mesh->getNrOfVertices());
    std::vector<KxMesh::kxMeshFace> triangles(mesh->getNrOfFaces());
    mesh->getRawVertexData(data.data());
    mesh->getRawFaceData(triangles.data());
    glm::mat4 world = mesh->getFinalMatrix(nullptr);
    int upright = 0, inverted = 0;
    for (const KxMesh::kxMeshFace& triangle : triangles)
    {
        glm::vec3 p[3];
        float v[3];
        for (int k = 0; k < 3; ++k)
        {
            const KxMesh::kxMeshVertex& vertex = data[triangle.index[k]];
            p[k] = glm::vec3(world * glm::vec4(vertex.position[0], vertex.position[1], vertex.position[2], 1.0f));
            v[k] = KxMesh::unpackHalf(vertex.uv[1]);
        }
        glm::vec3 normal = glm::normalize(glm::cross(p[1] - p[0], p[2] - p[0]));
        if (std::fabs(normal.y) > 0.5f)
            continue;
        // The edge that climbs the most.
        int a = 0, b = 1;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (p[j].y - p[i].y > p[b].y - p[a].y)
                    a = i, b = j;
        float climb = v[b] - v[a];
        upright += climb > 1e-3f;
        inverted += climb < -1e-3f;
    }
    EXPECT_GT(upright, 0);
    EXPECT_EQ(inverted, 0);

    render(0.05, 0.1, 8);
}

TEST_F(Convert, EmbeddedTexturesAreWrittenNextToTheScene)
{
    ASSERT_NO_FATAL_FAILURE(convert("glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", "boxglb"));
    compareWithAssimp();
    expectSummary("textures 1,");
    KxMesh* mesh = nullptr;
    for (KxNode* node : toolstest::preOrder(root))
        if (isMesh(node))
            mesh = static_cast<KxMesh*>(node);
    ASSERT_NE(mesh, nullptr);
    KxTexture* texture = mesh->getMaterial()->getTexture(KxMaterial::SLOT_ALBEDO);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->getName().rfind("boxglb_", 0), 0u) << texture->getName();
    EXPECT_TRUE(kxtool::isRegularFile(directory + "/" + texture->getName()));
    EXPECT_EQ(texture->getSizeX(), imageWidth(directory + "/" + texture->getName()));
}

TEST_F(Convert, TexturesReferencedWhereTheyAre)
{
    ASSERT_NO_FATAL_FAILURE(convert("glTF2/BoxTextured-glTF/BoxTextured.gltf", "boxref", {"--textures", "reference"}));
    KxMesh* mesh = nullptr;
    for (KxNode* node : toolstest::preOrder(root))
        if (isMesh(node))
            mesh = static_cast<KxMesh*>(node);
    ASSERT_NE(mesh, nullptr);
    KxTexture* texture = mesh->getMaterial()->getTexture(KxMaterial::SLOT_ALBEDO);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->getName(), kxtool::relativePath(directory, MODELS + "/glTF2/BoxTextured-glTF/CesiumLogoFlat.png"));
    EXPECT_FALSE(kxtool::isRegularFile(directory + "/CesiumLogoFlat.png"));
    EXPECT_EQ(texture->getSizeX(), imageWidth(MODELS + "/glTF2/BoxTextured-glTF/CesiumLogoFlat.png"));
}

TEST_F(Convert, MultiMeshGltfBinary)
{
    ASSERT_NO_FATAL_FAILURE(convert("glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", "engine"));
    compareWithAssimp();
    EXPECT_GT(reference.meshes.size(), 20u);
    expectSummary("1 camera skipped (KXO has no cameras)");
    expectSummary("meshes " + std::to_string(reference.meshes.size()) + " (0 skinned)");
    expectSummary("materials " + std::to_string(reference.materials.size()) + ",");
    render(0.05, 0.1, 6);
}

TEST_F(Convert, ObjWithMaterialsAndTextures)
{
    ASSERT_NO_FATAL_FAILURE(convert("OBJ/spider.obj", "spider"));
    compareWithAssimp();
    // Diffuse colours and maps from the MTL file; shininess becomes roughness.
    std::set<std::string> textures;
    std::set<KxMaterial*> materials;
    for (KxNode* node : toolstest::preOrder(root))
        if (isMesh(node))
        {
            KxMaterial* material = static_cast<KxMesh*>(node)->getMaterial();
            materials.insert(material);
            if (KxTexture* texture = material->getTexture(KxMaterial::SLOT_ALBEDO))
                if (texture != KxTexture::getDefault())
                {
                    textures.insert(texture->getName());
                    EXPECT_TRUE(kxtool::isRegularFile(directory + "/" + texture->getName())) << texture->getName();
                }
            EXPECT_EQ(material->getMetalness(), 0.0f);
            EXPECT_GT(material->getRoughness(), 0.0f);
            EXPECT_LE(material->getRoughness(), 1.0f);
        }
    EXPECT_GE(materials.size(), 3u);
    EXPECT_GE(textures.size(), 3u);
    // Its textures are dark (a mean of 0.17 to 0.32): lit, it shows at about
    // half of that, neither near black nor washed out.
    toolstest::Image image = render(0.05, 0.12, 4);
    EXPECT_LT(toolstest::coverage(image).brightness, 0.5);
}

TEST_F(Convert, SkinnedFbxWithLightAndCamera)
{
    ASSERT_NO_FATAL_FAILURE(convert("FBX/animation_with_skeleton.fbx", "skeleton"));
    compareWithAssimp();
    expectSummary("lights 1");
    expectSummary("camera skipped");
    EXPECT_GT(reference.bones, 0u);

    KxNode* light = nullptr;
    for (KxNode* node : toolstest::preOrder(root))
        if (node->getType() == KxObject::TYPE_LIGHT)
            light = node;
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(light->getName(), "Light");
    checkSkinning();
    render(0.01, 0.05, 1);
}

TEST_F(Convert, SkinnedDirectX)
{
    ASSERT_NO_FATAL_FAILURE(convert("X/BCN_Epileptic.X", "epileptic"));
    compareWithAssimp();
    expectSummary("meshes 3 (3 skinned)");
    checkSkinning();
    render(0.01, 0.05, 1);
}

TEST_F(Convert, PointAndSpotLights)
{
    ASSERT_NO_FATAL_FAILURE(convert("Collada/lights.dae", "lights"));
    compareWithAssimp();
    expectSummary("lights 3");
    expectSummary("2 directional, ambient or area lights left out");
    unsigned int checked = 0;
    for (unsigned int i = 0; i < scene->mNumLights; ++i)
    {
        const aiLight* source = scene->mLights[i];
        if (source->mType != aiLightSource_POINT && source->mType != aiLightSource_SPOT)
            continue;
        KxNode* node = root->findByName(source->mName.C_Str());
        ASSERT_NE(node, nullptr) << source->mName.C_Str();
        ASSERT_EQ(node->getType(), KxObject::TYPE_LIGHT);
        KxLight* light = static_cast<KxLight*>(node);
        EXPECT_EQ(light->getSubtype(), source->mType == aiLightSource_SPOT ? KxLight::KIND_SPOT : KxLight::KIND_OMNI);
        EXPECT_EQ(light->getColor(), glm::vec3(source->mColorDiffuse.r, source->mColorDiffuse.g, source->mColorDiffuse.b));
        // The reach where the source's attenuation has fallen to 1/32.
        float c = source->mAttenuationConstant, l = source->mAttenuationLinear, q = source->mAttenuationQuadratic;
        float reach = light->getRadius();
        EXPECT_NEAR((c + l * reach + q * reach * reach) / (c + l + q), 32.0f, 0.05f) << light->getName();
        glm::vec3 direction = glm::normalize(glm::vec3(source->mDirection.x, source->mDirection.y, source->mDirection.z));
        EXPECT_LT(glm::length(light->getDirection() - direction), 1e-5f);
        if (source->mType == aiLightSource_SPOT)
        {
            // Collada's cone angles are whole openings.
            float half = source->mAngleOuterCone * 0.5f;
            EXPECT_NEAR(light->getCutoff(), glm::degrees(half), 1e-3f);
            EXPECT_NEAR(std::pow(std::cos(half), light->getSpotExponent()), 0.1f, 1e-3f);
        }
        ++checked;
    }
    EXPECT_EQ(checked, 3u);
}

// glTF's packed metallic-roughness image is split into the red channels the
// engine reads; a normal map makes its meshes normal-mapped.
TEST_F(Convert, GltfMapsAsTheEngineReadsThem)
{
    ASSERT_NO_FATAL_FAILURE(convert("glTF2/ClearCoat-glTF/ClearCoatTest.gltf", "clearcoat"));
    compareWithAssimp();
    int split = 0, normalMapped = 0;
    for (KxNode* node : toolstest::preOrder(root))
    {
        if (!isMesh(node))
            continue;
        KxMesh* mesh = static_cast<KxMesh*>(node);
        KxMaterial* material = mesh->getMaterial();
        if (material->hasTexture(KxMaterial::SLOT_NORMAL))
        {
            EXPECT_EQ(mesh->getSubtype(), KxMesh::KIND_NORMAL_MAPPED) << mesh->getName();
            ++normalMapped;
        }
        else
            EXPECT_EQ(mesh->getSubtype(), KxMesh::KIND_TRIANGLES) << mesh->getName();
        KxTexture* roughness = material->getTexture(KxMaterial::SLOT_ROUGHNESS);
        KxTexture* metalness = material->getTexture(KxMaterial::SLOT_METALNESS);
        if (!roughness || roughness == KxTexture::getDefault())
            continue;
        ASSERT_NE(metalness, nullptr);
        const std::string& name = roughness->getName();
        ASSERT_GT(name.size(), 14u);
        EXPECT_EQ(name.substr(name.size() - 14), "_roughness.png");
        toolstest::Image rough, metal, packed;
        ASSERT_TRUE(rough.load(directory + "/" + name));
        ASSERT_TRUE(metal.load(directory + "/" + metalness->getName()));
        ASSERT_TRUE(packed.load(MODELS + "/glTF2/ClearCoat-glTF/RoughnessStripes.png"));
        ASSERT_EQ(rough.rgba.size(), packed.rgba.size());
        int wrong = 0;
        for (size_t i = 0; i < packed.rgba.size(); i += 4)
            wrong += rough.rgba[i] != packed.rgba[i + 1] || metal.rgba[i] != packed.rgba[i + 2];
        EXPECT_EQ(wrong, 0);
        ++split;
    }
    EXPECT_GT(split, 0);
    EXPECT_GT(normalMapped, 0);
}

// Names past the limit are shortened; names shared by nodes, meshes and
// materials are made unique; an object with two materials becomes one mesh
// per material.
TEST_F(Convert, NamesMadeUniqueAndShort)
{
    const std::string longName(300, 'n');
    const std::string mtl = "newmtl red\nKd 1 0 0\nNs 100\nnewmtl blue\nKd 0 0 1\nd 0.5\n";
    kxtool::writeFile("names.mtl", mtl.data(), mtl.size());
    std::string obj = "mtllib names.mtl\n"
                      "o " + longName + "\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                      "usemtl red\nf 1 2 3\nusemtl blue\nf 1 3 4\n"
                      "o " + longName + "\nv 2 0 0\nv 3 0 0\nv 3 1 0\n"
                      "usemtl red\nf 5 6 7\n";
    kxtool::writeFile("names.obj", obj.data(), obj.size());
    ASSERT_NO_FATAL_FAILURE(convert(kxtool::absolutePath("names.obj"), "names"));
    compareWithAssimp();
    expectSummary("made unique or shortened");
    std::set<std::string> names;
    std::map<std::string, KxMaterial*> materials;
    unsigned int meshes = 0;
    for (KxNode* node : toolstest::preOrder(root))
    {
        EXPECT_LE(node->getName().size(), 255u);
        EXPECT_TRUE(names.insert(node->getName()).second) << node->getName();
        if (!isMesh(node))
            continue;
        ++meshes;
        KxMaterial* material = static_cast<KxMesh*>(node)->getMaterial();
        materials[material->getName()] = material;
        EXPECT_EQ(static_cast<KxMesh*>(node)->getNrOfFaces(), 1u);
    }
    EXPECT_EQ(meshes, 3u);
    ASSERT_EQ(materials.size(), 2u);
    ASSERT_TRUE(materials.count("red") && materials.count("blue"));
    EXPECT_EQ(materials["red"]->getAlbedo(), glm::vec3(1, 0, 0));
    EXPECT_NEAR(materials["red"]->getRoughness(), std::pow(2.0f / 102.0f, 0.25f), 1e-6f);
    EXPECT_EQ(materials["blue"]->getTransparency(), 0.5f);
    EXPECT_EQ(materials["blue"]->getMetalness(), 0.0f);
    // The node keeps the shortened name; the mesh of the same name differs.
    KxNode* node = root->findByName(longName.substr(0, 255));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->getType(), KxObject::TYPE_NODE);
}

TEST_F(Convert, ProgressLineOnRequest)
{
    ASSERT_NO_FATAL_FAILURE(convert("OBJ/box.obj", "progress", {"--progress"}));
    expectSummary("kxoconvert: importing 100%");
    expectSummary("kxoconvert: converting 100%");
}

// The animation written beside the scene poses every animated node, at whole
// frames, as assimp's own interpolation of the source keys does.
TEST_F(Convert, AnimationsMatchAssimp)
{
    struct Model
    {
        const char* file;
        const char* name;
    };
    for (Model model : {Model{"X/BCN_Epileptic.X", "animated_skinned"},
                        Model{"Collada/anims_with_full_rotations_between_keys.DAE", "animated_turns"}})
    {
        SCOPED_TRACE(model.file);
        reference = Reference();
        ASSERT_NO_FATAL_FAILURE(convert(model.file, model.name));
        ASSERT_GT(scene->mNumAnimations, 0u);
        toolstest::InDirectory inside(directory);
        KxAnim* animation = Kalvex::loadAnimation(std::string(model.name) + ".kxa");
        ASSERT_NE(animation, nullptr);
        ASSERT_TRUE(animation->apply(root));
        const aiAnimation* source = scene->mAnimations[0];
        EXPECT_EQ(animation->getNrOfBoundNodes(), source->mNumChannels);
        double tps = source->mTicksPerSecond > 0.0 ? source->mTicksPerSecond : 25.0;

        int compared = 0;
        const int last = animation->getNrOfFrames();
        for (int frame : {1, 2, last / 3, last / 2 + 1, last - 1, last})
        {
            animation->setKeyframe(static_cast<float>(frame));
            double ticks = (frame - 1) * tps / animation->getFps();
            for (unsigned int c = 0; c < source->mNumChannels; ++c)
            {
                const aiNodeAnim* channel = source->mChannels[c];
                KxNode* node = root->findByName(channel->mNodeName.C_Str());
                ASSERT_NE(node, nullptr) << channel->mNodeName.C_Str();
                // assimp: the keys around the time, linear and spherical
                // interpolation; the rest pose where a channel has no keys.
                aiVector3D restScale, restPosition;
                aiQuaternion restRotation;
                scene->mRootNode->FindNode(channel->mNodeName)->mTransformation.Decompose(restScale, restRotation,
                                                                                          restPosition);
                auto vectorAt = [&](const aiVectorKey* keys, unsigned int count, aiVector3D rest) {
                    if (!count)
                        return rest;
                    unsigned int i = 0;
                    while (i + 1 < count && keys[i + 1].mTime <= ticks)
                        ++i;
                    if (i + 1 == count || ticks <= keys[0].mTime)
                        return keys[ticks <= keys[0].mTime ? 0 : i].mValue;
                    float t = static_cast<float>((ticks - keys[i].mTime) / (keys[i + 1].mTime - keys[i].mTime));
                    return keys[i].mValue + (keys[i + 1].mValue - keys[i].mValue) * t;
                };
                aiQuaternion rotation = restRotation;
                if (unsigned int count = channel->mNumRotationKeys)
                {
                    const aiQuatKey* keys = channel->mRotationKeys;
                    unsigned int i = 0;
                    while (i + 1 < count && keys[i + 1].mTime <= ticks)
                        ++i;
                    if (i + 1 == count || ticks <= keys[0].mTime)
                        rotation = keys[ticks <= keys[0].mTime ? 0 : i].mValue;
                    else
                        aiQuaternion::Interpolate(rotation, keys[i].mValue, keys[i + 1].mValue,
                                                  static_cast<float>((ticks - keys[i].mTime) /
                                                                     (keys[i + 1].mTime - keys[i].mTime)));
                }
                aiMatrix4x4 expected(vectorAt(channel->mScalingKeys, channel->mNumScalingKeys, restScale), rotation,
                                     vectorAt(channel->mPositionKeys, channel->mNumPositionKeys, restPosition));
                glm::mat4 wanted = toGlm(expected), got = node->getMatrix();
                for (int col = 0; col < 4; ++col)
                    for (int row = 0; row < 4; ++row)
                        ASSERT_NEAR(got[col][row], wanted[col][row], 1e-4f * std::max(1.0f, std::fabs(wanted[col][row])))
                            << channel->mNodeName.C_Str() << " frame " << frame;
                ++compared;
            }
        }
        EXPECT_EQ(compared, 6 * static_cast<int>(source->mNumChannels));
        delete animation;
        importer.FreeScene();
    }
}

// Physics properties on request: every matching mesh gets a body when loaded.
TEST_F(Convert, PhysicsPropertiesOnRequest)
{
    ASSERT_NO_FATAL_FAILURE(convert("OBJ/box.obj", "physics", {"--physics", "static", "--physics", "*=dynamic:2.5"}));
    expectSummary("physics: 1 mesh with a body");
    int bodies = 0;
    for (KxNode* node : toolstest::preOrder(root))
        if (isMesh(node))
        {
            KxPhysics* physics = static_cast<KxMesh*>(node)->getPhysics();
            ASSERT_NE(physics, nullptr);
            EXPECT_TRUE(physics->hasBody());
            EXPECT_EQ(physics->getProps().mass, 2.5f);
            EXPECT_EQ(physics->getProps().hullKind, KxPhysics::HULL_CONVEX);
            ++bodies;
        }
    EXPECT_EQ(bodies, 1);
    for (const char* bad : {"moving", "dynamic:-1", "=static", "dynamic:x"})
        EXPECT_EQ(toolstest::run(KXOCONVERT, {MODELS + "/OBJ/box.obj", "p.kxo", "--physics", bad}).status, 1) << bad;
}

TEST(ConvertFailures, BrokenInputFailsCleanly)
{
    // (OutOfMemory.off fails too, after a minute of allocations inside assimp.)
    for (const char* file : {"invalid/malformed.obj", "invalid/empty.x", "invalid/empty.ply", "invalid/empty.3ds"})
    {
        toolstest::Run result = toolstest::run(KXOCONVERT, {MODELS + "/" + file, "broken.kxo"});
        EXPECT_EQ(result.status, 2) << file << ": " << result.output;
        EXPECT_NE(result.output.find("kxoconvert: cannot import"), std::string::npos) << result.output;
        EXPECT_FALSE(kxtool::isRegularFile("broken.kxo"));
    }
}

TEST(ConvertFailures, BadArguments)
{
    EXPECT_EQ(toolstest::run(KXOCONVERT, {}).status, 1);
    EXPECT_EQ(toolstest::run(KXOCONVERT, {"a.obj", "b.txt"}).status, 1);
    EXPECT_EQ(toolstest::run(KXOCONVERT, {"a.obj", "b.kxo", "--textures", "maybe"}).status, 1);
    toolstest::Run missing = toolstest::run(KXOCONVERT, {"no_such_file.obj", "b.kxo"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("no such file"), std::string::npos);
    toolstest::Run nowhere = toolstest::run(KXOCONVERT, {MODELS + "/OBJ/box.obj", "no_such_dir/b.kxo"});
    EXPECT_EQ(nowhere.status, 4);
    EXPECT_EQ(toolstest::run(KXORENDER, {"missing.kxo", "out.png"}).status, 2);
    EXPECT_EQ(toolstest::run(KXORENDER, {"a.kxo", "out.png", "--size", "0x10"}).status, 1);
    EXPECT_EQ(toolstest::run(KXORENDER, {"a.kxo", "out.png", "--pipeline", "sideways"}).status, 1);
}

TEST(ConvertFailures, RenderRefusesWhatIsNotAScene)
{
    kxtool::writeFile("not_a_scene.kxo", "garbage!", 8);
    toolstest::Run result = toolstest::run(KXORENDER, {"not_a_scene.kxo", "out.png", "--size", "32x32"});
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_NE(result.output.find("not a readable KXO scene"), std::string::npos) << result.output;
}

namespace
{
// An OBJ box from low to high, its faces wound outwards.
std::string boxObj(const glm::vec3& low, const glm::vec3& high)
{
    std::string text;
    char line[160];
    for (int corner = 0; corner < 8; ++corner)
    {
        std::snprintf(line, sizeof(line), "v %.9g %.9g %.9g\n", (corner & 1) ? high.x : low.x,
                      (corner & 2) ? high.y : low.y, (corner & 4) ? high.z : low.z);
        text += line;
    }
    text += "f 1 3 4\nf 1 4 2\nf 5 6 8\nf 5 8 7\nf 1 2 6\nf 1 6 5\nf 3 7 8\nf 3 8 4\nf 1 5 7\nf 1 7 3\nf 2 4 8\nf 2 8 6\n";
    return text;
}
}

// Tiny, huge, flat and wide, tall and thin, far from the origin: each shows
// whole (nothing at the picture's edges) and large (a fifth of the picture at
// least), in pictures of either shape.
TEST(Framing, EveryScaleAndShapeWholeInThePicture)
{
    struct Shape
    {
        const char* name;
        glm::vec3 low, high;
        const char* size;
    };
    const Shape shapes[] = {
        {"tiny", glm::vec3(3.0f, 3.0f, 3.0f), glm::vec3(3.3f, 3.2f, 3.25f), "96x72"},
        {"huge", glm::vec3(-2.0e4f, 0.0f, 5.0e3f), glm::vec3(1.0e4f, 2.0e4f, 1.5e4f), "96x72"},
        {"flat", glm::vec3(0.0f, 0.0f, 0.0f), glm::vec3(13.0f, 10.0f, 0.5f), "96x72"},
        {"wide", glm::vec3(-15.0f, -1.0f, -3.0f), glm::vec3(15.0f, 1.0f, 3.0f), "128x48"},
        {"tall", glm::vec3(-0.5f, 0.0f, -0.5f), glm::vec3(0.5f, 4.0f, 0.5f), "48x96"},
    };
    for (const Shape& shape : shapes)
    {
        const std::string obj = kxtool::absolutePath(std::string("framing_") + shape.name + ".obj");
        const std::string kxo = kxtool::absolutePath(std::string("framing_") + shape.name + ".kxo");
        const std::string png = kxtool::absolutePath(std::string("framing_") + shape.name + ".png");
        const std::string text = boxObj(shape.low, shape.high);
        ASSERT_TRUE(kxtool::writeFile(obj, text.data(), text.size()));
        toolstest::Run conversion = toolstest::run(KXOCONVERT, {obj, kxo, "--no-progress"});
        ASSERT_EQ(conversion.status, 0) << conversion.output;
        toolstest::Run rendering = toolstest::run(KXORENDER, {kxo, png, "--size", shape.size, "--frames", "1"});
        ASSERT_EQ(rendering.status, 0) << rendering.output;
        toolstest::Image image;
        ASSERT_TRUE(image.load(png));
        // Faint glow around bright edges is not the scene.
        auto drawn = [&](int x, int y) {
            const unsigned char* p = image.at(x, y);
            return std::max({p[0], p[1], p[2]}) > 24;
        };
        int covered = 0, atEdges = 0;
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
            {
                covered += drawn(x, y);
                atEdges += drawn(x, y) && (x == 0 || y == 0 || x == image.width - 1 || y == image.height - 1);
            }
        double share = static_cast<double>(covered) / (image.width * image.height);
        std::printf("%s: %.1f%% covered, %d pixels at the edges\n", shape.name, share * 100.0, atEdges);
        EXPECT_GE(share, 0.2) << shape.name;
        EXPECT_EQ(atEdges, 0) << shape.name;
    }
}

// A glTF square with a linear base colour and an OBJ square whose colour is
// that colour in the engine's encoding (as OBJ colours are stored) come out
// the same under the same light.
TEST(Colours, GltfBaseColourShowsAsAuthored)
{
    const float linear[3] = {0.05f, 0.425f, 0.9f};
    const float positions[4][3] = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    const float normals[4][3] = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    const uint16_t indices[6] = {0, 1, 2, 0, 2, 3};
    std::string bin(reinterpret_cast<const char*>(positions), sizeof(positions));
    bin.append(reinterpret_cast<const char*>(normals), sizeof(normals));
    bin.append(reinterpret_cast<const char*>(indices), sizeof(indices));
    ASSERT_TRUE(kxtool::writeFile("square.bin", bin.data(), bin.size()));
    char gltf[2048];
    std::snprintf(gltf, sizeof(gltf),
                  R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1},"indices":2,"material":0}]}],
"materials":[{"name":"paint","pbrMetallicRoughness":{"baseColorFactor":[%g,%g,%g,1],"metallicFactor":0,"roughnessFactor":1}}],
"buffers":[{"uri":"square.bin","byteLength":108}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":48},
{"buffer":0,"byteOffset":96,"byteLength":12}],
"accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3","min":[-1,-1,0],"max":[1,1,0]},
{"bufferView":1,"componentType":5126,"count":4,"type":"VEC3"},{"bufferView":2,"componentType":5123,"count":6,"type":"SCALAR"}]})",
                  linear[0], linear[1], linear[2]);
    ASSERT_TRUE(kxtool::writeFile("square.gltf", gltf, std::strlen(gltf)));
    char mtl[256];
    std::snprintf(mtl, sizeof(mtl), "newmtl paint\nKd %.6f %.6f %.6f\nNs 0\n", std::pow(linear[0], 1.0f / 2.2f),
                  std::pow(linear[1], 1.0f / 2.2f), std::pow(linear[2], 1.0f / 2.2f));
    ASSERT_TRUE(kxtool::writeFile("square.mtl", mtl, std::strlen(mtl)));
    const std::string obj = "mtllib square.mtl\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nvn 0 0 1\nusemtl paint\n"
                            "f 1//1 2//1 3//1\nf 1//1 3//1 4//1\n";
    ASSERT_TRUE(kxtool::writeFile("square.obj", obj.data(), obj.size()));

    toolstest::Image pictures[2];
    const char* inputs[2] = {"square.gltf", "square.obj"};
    for (int i = 0; i < 2; ++i)
    {
        const std::string kxo = std::string("square_") + (i ? "obj" : "gltf") + ".kxo";
        toolstest::Run conversion = toolstest::run(KXOCONVERT, {inputs[i], kxo, "--no-progress"});
        ASSERT_EQ(conversion.status, 0) << conversion.output;
        const std::string png = kxo + ".png";
        toolstest::Run rendering = toolstest::run(KXORENDER, {kxo, png, "--size", "64x48", "--frames", "1"});
        ASSERT_EQ(rendering.status, 0) << rendering.output;
        ASSERT_TRUE(pictures[i].load(png));
    }
    const unsigned char* gltfPixel = pictures[0].at(32, 24);
    const unsigned char* objPixel = pictures[1].at(32, 24);
    std::printf("glTF square (%d, %d, %d), OBJ square (%d, %d, %d)\n", gltfPixel[0], gltfPixel[1], gltfPixel[2],
                objPixel[0], objPixel[1], objPixel[2]);
    EXPECT_GT(objPixel[2], 40); // lit
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(gltfPixel[c], objPixel[c], 2) << "channel " << c;
}

// 70 nested nodes, each turned and moved from its parent and holding a
// triangle: nodes below the render list's depth are moved up with their world
// matrices, so that every triangle is drawn where assimp puts it.
TEST_F(Convert, DeepHierarchyDrawnWhole)
{
    const int LEVELS = 70;
    const float positions[3][3] = {{0, 0, 0}, {0.4f, 0, 0}, {0, 0.4f, 0}};
    const uint16_t indices[4] = {0, 1, 2, 0};
    std::string bin(reinterpret_cast<const char*>(positions), sizeof(positions));
    bin.append(reinterpret_cast<const char*>(indices), sizeof(indices));
    ASSERT_TRUE(kxtool::writeFile("deep.bin", bin.data(), bin.size()));
    std::string nodes;
    for (int i = 0; i < LEVELS; ++i)
    {
        nodes += std::string(i ? "," : "") + "{\"name\":\"level" + std::to_string(i) +
                 "\",\"mesh\":0,\"translation\":[0.5,0.1,0],\"rotation\":[0,0,0.0436194,0.9990482]";
        nodes += i + 1 < LEVELS ? ",\"children\":[" + std::to_string(i + 1) + "]}" : "}";
    }
    const std::string gltf =
        R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[)" + nodes +
        R"(],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
"buffers":[{"uri":"deep.bin","byteLength":44}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":6}],
"accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[0.4,0.4,0]},
{"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}]})";
    ASSERT_TRUE(kxtool::writeFile("deep.gltf", gltf.data(), gltf.size()));
    ASSERT_NO_FATAL_FAILURE(convert(kxtool::absolutePath("deep.gltf"), "deep"));
    ASSERT_EQ(reference.meshes.size(), static_cast<size_t>(LEVELS));
    expectSummary("nodes below level");

    std::vector<KxMesh*> meshes;
    for (KxNode* node : toolstest::preOrder(root))
        if (isMesh(node))
            meshes.push_back(static_cast<KxMesh*>(node));
    ASSERT_EQ(meshes.size(), static_cast<size_t>(LEVELS));
    for (size_t m = 0; m < meshes.size(); ++m)
    {
        glm::mat4 world = meshes[m]->getFinalMatrix(nullptr);
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                ASSERT_NEAR(world[c][r], reference.meshWorld[m][c][r], 1e-4f) << meshes[m]->getName();
    }
    // The render list takes every triangle.
    KxList* list = new KxList;
    ASSERT_TRUE(list->create(1024));
    EXPECT_TRUE(list->pass(root));
    unsigned int drawn = 0;
    for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
        drawn += isMesh(list->getInstance(i).getNode());
    EXPECT_EQ(drawn, static_cast<unsigned int>(LEVELS));
    delete list;
}

// The FBX spider names its textures by absolute Windows paths of its
// author's machine; they lie in the OBJ folder next to the FBX one.
TEST(TextureLookup, AuthorsPathsFoundNearTheScene)
{
    toolstest::Run conversion = toolstest::run(KXOCONVERT, {MODELS + "/FBX/spider.fbx", "fbx_spider.kxo", "--no-progress"});
    ASSERT_EQ(conversion.status, 0) << conversion.output;
    EXPECT_NE(conversion.output.find("textures 4,"), std::string::npos) << conversion.output;
    EXPECT_EQ(conversion.output.find("not found"), std::string::npos) << conversion.output;
    EXPECT_TRUE(kxtool::isRegularFile("SpiderTex.jpg"));
}
