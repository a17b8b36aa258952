// Scene files: chunk layout, the loader's edge cases, round trips through the
// writer, a reader that survives truncated and corrupted files, and saves that
// never destroy the previous file.
#include "kxtest.h"

#include <glm/gtc/matrix_transform.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

namespace
{
// Little-endian byte strings for hand-made files.
struct Bytes
{
    std::string data;

    Bytes& u8(uint8_t value)
    {
        data.push_back(static_cast<char>(value));
        return *this;
    }
    Bytes& u32(uint32_t value)
    {
        data.append(reinterpret_cast<const char*>(&value), 4);
        return *this;
    }
    Bytes& f32(float value)
    {
        data.append(reinterpret_cast<const char*>(&value), 4);
        return *this;
    }
    Bytes& vec3(const glm::vec3& value)
    {
        return f32(value.x).f32(value.y).f32(value.z);
    }
    Bytes& str(const std::string& text)
    {
        data.append(text);
        data.push_back('\0');
        return *this;
    }
    Bytes& mat4(const glm::mat4& matrix)
    {
        data.append(reinterpret_cast<const char*>(&matrix), 64);
        return *this;
    }
    Bytes& raw(const std::string& bytes)
    {
        data.append(bytes);
        return *this;
    }
    Bytes& raw(const void* bytes, size_t size)
    {
        data.append(static_cast<const char*>(bytes), size);
        return *this;
    }
};

std::string chunk(uint32_t id, const std::string& payload)
{
    return Bytes().u32(id).u32(static_cast<uint32_t>(payload.size())).raw(payload).data;
}

std::string versionChunk(uint32_t version = 7)
{
    return chunk(0, Bytes().u32(version).data);
}

std::string nodePart(const std::string& name, uint32_t children, const std::string& target = "[none]",
                     const glm::mat4& matrix = glm::mat4(1.0f))
{
    return Bytes().str(name).mat4(matrix).u32(children).str(target).data;
}

std::string nodeChunk(const std::string& name, uint32_t children, const std::string& target = "[none]")
{
    return chunk(KxObject::TYPE_NODE, nodePart(name, children, target));
}

std::string materialPart(const std::string& name)
{
    Bytes part;
    part.str(name).vec3(glm::vec3(0.1f)).vec3(glm::vec3(0.5f)).f32(0.2f).f32(0.3f).f32(1.0f);
    for (int slot = 0; slot < 5; ++slot)
        part.str("[none]");
    return part.data;
}

// A mesh part of one triangle over three vertices; indices as given.
std::string meshPart(const std::string& material, uint32_t nrOfVertices = 3, uint32_t maxIndex = 2)
{
    Bytes part;
    part.u8(0).u32(nrOfVertices).u32(1).str(material).f32(1.0f).vec3(glm::vec3(-1)).vec3(glm::vec3(1)).u8(0);
    for (uint32_t v = 0; v < nrOfVertices; ++v)
        part.f32(static_cast<float>(v)).f32(0.0f).f32(0.0f).u32(0).u32(0).u32(0);
    part.u32(0).u32(1).u32(maxIndex);
    return part.data;
}

std::string lightPart(uint8_t kind)
{
    return Bytes().u8(kind).vec3(glm::vec3(1, 0.5f, 0.25f)).f32(12.0f).vec3(glm::vec3(0, -1, 0)).f32(30.0f).f32(2.0f)
        .u8(1).u8(0).data;
}

std::string hexFloat(float value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%a", static_cast<double>(value));
    return text;
}

void describeVec3(std::ostringstream& out, const glm::vec3& value)
{
    out << hexFloat(value.x) << ',' << hexFloat(value.y) << ',' << hexFloat(value.z) << ' ';
}

void describeMat4(std::ostringstream& out, const glm::mat4& matrix)
{
    const float* values = &matrix[0][0];
    for (int i = 0; i < 16; ++i)
        out << hexFloat(values[i]) << (i < 15 ? "," : " ");
}

std::string textureName(KxMaterial* material, unsigned int slot)
{
    KxTexture* texture = material->getTexture(slot);
    return (!texture || texture == KxTexture::getDefault()) ? std::string("[none]") : texture->getName();
}

// Every value a scene file carries, as exact text, in pre-order.
void describe(KxNode* node, std::ostringstream& out, unsigned int depth = 0)
{
    out << std::string(depth, ' ') << node->getType() << " '" << node->getName() << "' target '"
        << (node->getTargetNode() ? node->getTargetNode()->getName() : std::string("-")) << "' ";
    describeMat4(out, node->getMatrix());
    switch (node->getType())
    {
    case KxObject::TYPE_LIGHT:
    {
        KxLight* light = static_cast<KxLight*>(node);
        out << "light " << light->getSubtype() << ' ';
        describeVec3(out, light->getColor());
        describeVec3(out, light->getDirection());
        out << hexFloat(light->getRadius()) << ' ' << hexFloat(light->getCutoff()) << ' '
            << hexFloat(light->getSpotExponent()) << ' ' << light->isCastingShadows() << light->isVolumetric();
        break;
    }
    case KxObject::TYPE_BONE:
    {
        KxBone* bone = static_cast<KxBone*>(node);
        out << "bone ";
        describeVec3(out, bone->getBoxMin());
        describeVec3(out, bone->getBoxMax());
        break;
    }
    case KxObject::TYPE_MESH:
    case KxObject::TYPE_SKINNED:
    {
        KxMesh* mesh = static_cast<KxMesh*>(node);
        out << "mesh " << mesh->getSubtype() << ' ' << mesh->getNrOfVertices() << ' ' << mesh->getNrOfFaces() << ' '
            << hexFloat(mesh->getRadius()) << ' ';
        describeVec3(out, mesh->getBBoxMin());
        describeVec3(out, mesh->getBBoxMax());
        KxMaterial* material = mesh->getMaterial();
        out << "material '" << material->getName() << "' ";
        describeVec3(out, material->getEmission());
        describeVec3(out, material->getAlbedo());
        out << hexFloat(material->getRoughness()) << ' ' << hexFloat(material->getMetalness()) << ' '
            << hexFloat(material->getTransparency()) << ' ' << material->isAlpha();
        for (unsigned int slot = 0; slot < 5; ++slot)
            out << " '" << textureName(material, slot) << "'";
        if (KxPhysics* physics = mesh->getPhysics())
        {
            const KxPhysics::kxProps& props = physics->getProps();
            out << " physics " << int(props.bodyKind) << ' ' << int(props.hullKind) << ' ' << hexFloat(props.mass) << ' '
                << hexFloat(props.friction) << ' ' << hexFloat(props.rollingFriction) << ' '
                << hexFloat(props.restitution) << ' ' << hexFloat(props.linearDamping) << ' '
                << hexFloat(props.angularDamping) << ' ' << int(props.unused0[1]) << ' ' << int(props.unused1[11]);
        }
        std::vector<KxMesh::kxMeshVertex> vertices(mesh->getNrOfVertices());
        std::vector<KxMesh::kxMeshFace> faces(mesh->getNrOfFaces());
        mesh->getRawVertexData(vertices.data());
        mesh->getRawFaceData(faces.data());
        out << " vertices";
        for (const KxMesh::kxMeshVertex& vertex : vertices)
            out << ' ' << hexFloat(vertex.position[0]) << ',' << hexFloat(vertex.position[1]) << ','
                << hexFloat(vertex.position[2]) << ',' << vertex.normal << ',' << vertex.uv[0] << ',' << vertex.uv[1]
                << ',' << vertex.tangent;
        out << " faces";
        for (const KxMesh::kxMeshFace& face : faces)
            out << ' ' << face.index[0] << ',' << face.index[1] << ',' << face.index[2];
        if (node->getType() == KxObject::TYPE_SKINNED)
        {
            KxSkinned* skinned = static_cast<KxSkinned*>(node);
            out << " pose ";
            describeMat4(out, skinned->getPoseMatrix());
            for (unsigned int i = 0; i < skinned->getNrOfBones(); ++i)
            {
                KxSkinned::kxBone* bone = skinned->getBone(i);
                out << "bone '" << bone->name << "' attached " << (bone->node != nullptr) << ' ';
                describeMat4(out, bone->offsetMatrix);
            }
        }
        break;
    }
    default:
        break;
    }
    out << '\n';
    for (unsigned int i = 0; i < node->getNrOfChildren(); ++i)
        describe(node->getChild(i), out, depth + 1);
}

std::string describe(KxNode* root)
{
    std::ostringstream out;
    describe(root, out);
    return out.str();
}

// Deletes every object newer than mark. Materials go first: in bound-texture
// mode a material releases its textures' pool slots when it is deleted.
void deleteCreatedAfter(KxObject* mark)
{
    for (;;)
    {
        KxObject* material = nullptr;
        for (KxObject* object = mark ? mark->getNext() : KxObject::getFirst(); object && !material;
             object = object->getNext())
            if (object->getType() == KxObject::TYPE_MATERIAL)
                material = object;
        if (!material)
            break;
        delete material;
    }
    kxtest::deleteObjectsAfter(mark);
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

KxMesh::kxMeshVertex vertex(float x, float y, float z, float u, float v)
{
    KxMesh::kxMeshVertex result;
    result.position[0] = x;
    result.position[1] = y;
    result.position[2] = z;
    result.normal = KxMesh::packNormal(glm::vec4(0, 0, 1, 0));
    result.uv[0] = KxMesh::packHalf(u);
    result.uv[1] = KxMesh::packHalf(v);
    result.tangent = KxMesh::packNormal(glm::vec4(1, 0, 0, 1));
    return result;
}

// A scene with every chunk kind: nodes with matrices and targets, materials
// with values and PNG maps, lights of three kinds, meshes (one with physics
// properties), bones and a skinned mesh bound to them.
KxNode* buildScene()
{
    std::vector<unsigned char> rgba(4 * 4 * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = static_cast<unsigned char>(i * 7);
    kxtest::writePng("scene_albedo.png", 4, 4, rgba);
    kxtest::writePng("scene_normal.png", 4, 4, rgba);
    kxtest::writePng("scene_rough.png", 2, 2, std::vector<unsigned char>(16, 200));

    KxMaterial* stone = new KxMaterial;
    stone->setName("stone");
    stone->setEmission(0.1f, 0.2f, 0.3f);
    stone->setAlbedo(0.7f, 0.6f, 0.5f);
    stone->setRoughness(0.8f);
    stone->setMetalness(0.25f);
    stone->setTransparency(0.75f);
    KxTexture* albedo = new KxTexture;
    albedo->load("scene_albedo.png");
    KxTexture* normal = new KxTexture;
    normal->load("scene_normal.png");
    KxTexture* rough = new KxTexture;
    rough->load("scene_rough.png");
    stone->setTexture(albedo, KxMaterial::SLOT_ALBEDO);
    stone->setTexture(normal, KxMaterial::SLOT_NORMAL);
    stone->setTexture(rough, KxMaterial::SLOT_ROUGHNESS);
    KxMaterial* glass = new KxMaterial;
    glass->setName("glass");
    glass->setTransparency(0.3f);
    glass->setMetalness(1.0f);

    KxNode* root = new KxNode;
    root->setName("root");
    root->setTranslation(1.0f, 2.0f, 3.0f);

    KxNode* pivot = new KxNode;
    pivot->setName("pivot");
    pivot->rotateY(30.0f);
    pivot->link(root);

    KxLight* spot = new KxLight;
    spot->setName("spot");
    spot->setSubtype(KxLight::KIND_SPOT);
    spot->setColor(1.0f, 0.9f, 0.8f);
    spot->setRadius(25.0f);
    spot->setDirection(glm::vec3(0.0f, -1.0f, 0.0f));
    spot->setCutoff(35.0f);
    spot->setSpotExponent(4.0f);
    spot->setCastShadows(false);
    spot->setVolumetric(true);
    spot->setTranslation(0.0f, 10.0f, 0.0f);
    spot->setTargetNode(pivot);
    spot->link(root);
    KxLight* sun = new KxLight;
    sun->setName("sun");
    sun->setSubtype(KxLight::KIND_DIRECTIONAL);
    sun->link(root);
    KxLight* omni = new KxLight;
    omni->setName("omni");
    omni->setColor(0.2f, 0.3f, 0.4f);
    omni->link(pivot);

    const KxMesh::kxMeshVertex quad[4] = {vertex(-1, -1, 0, 0, 0), vertex(1, -1, 0, 1, 0), vertex(1, 1, 0, 1, 1),
                                          vertex(-1, 1, 0, 0, 1)};
    const KxMesh::kxMeshFace quadFaces[2] = {{{0, 1, 2}}, {{0, 2, 3}}};
    KxMesh* floor = new KxMesh;
    floor->create(4, quad, 2, quadFaces);
    floor->setName("floor");
    floor->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
    floor->setMaterial(stone);
    floor->setRadius(1.5f);
    floor->getBBoxMin() = glm::vec3(-1, -1, 0);
    floor->getBBoxMax() = glm::vec3(1, 1, 0);
    floor->setTranslation(0.0f, -1.0f, 0.0f);
    floor->link(pivot);

    KxMesh* crate = new KxMesh;
    crate->create(4, quad, 2, quadFaces);
    crate->setName("crate");
    crate->setMaterial(glass);
    KxPhysics* physics = new KxPhysics;
    KxPhysics::kxProps& props = physics->getProps();
    props.bodyKind = 1;
    props.unused0[1] = 9;
    props.hullKind = 2;
    props.unused1[11] = 7;
    props.mass = 3.5f;
    props.friction = 0.6f;
    props.rollingFriction = 0.1f;
    props.restitution = 0.2f;
    props.linearDamping = 0.05f;
    props.angularDamping = 0.07f;
    crate->setPhysics(physics);
    crate->setTargetNode(floor);
    crate->link(root);

    KxMesh* plain = new KxMesh; // the default material
    plain->create(4, quad, 2, quadFaces);
    plain->setName("plain");
    plain->link(crate);

    KxBone* hip = new KxBone;
    hip->setName("hip");
    hip->setBox(glm::vec3(-0.1f), glm::vec3(0.1f));
    hip->link(root);
    KxBone* knee = new KxBone;
    knee->setName("knee");
    knee->setBox(glm::vec3(-0.2f, 0.0f, -0.2f), glm::vec3(0.2f, 0.5f, 0.2f));
    knee->setTranslation(0.0f, -0.5f, 0.0f);
    knee->link(hip);

    KxSkinned* leg = new KxSkinned;
    leg->create(4, quad, 2, quadFaces);
    leg->setName("leg");
    leg->setMaterial(stone);
    const std::string boneNames[2] = {"hip", "knee"};
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::translate(glm::mat4(1.0f), glm::vec3(0.0f, 0.5f, 0.0f))};
    KxSkinned::kxSkinningVertex skinning[4];
    for (unsigned int v = 0; v < 4; ++v)
    {
        skinning[v].boneIndex[0] = 0;
        skinning[v].boneIndex[1] = 1;
        skinning[v].boneIndex[2] = 0;
        skinning[v].boneIndex[3] = 0;
        skinning[v].boneWeight[0] = KxMesh::packHalf(v < 2 ? 1.0f : 0.25f);
        skinning[v].boneWeight[1] = KxMesh::packHalf(v < 2 ? 0.0f : 0.75f);
        skinning[v].boneWeight[2] = 0;
        skinning[v].boneWeight[3] = 0;
    }
    leg->setSkeleton(glm::scale(glm::mat4(1.0f), glm::vec3(2.0f)), 2, boneNames, offsets, skinning);
    leg->link(root);
    leg->resetBones(root);
    return root;
}

class SceneFile : public kxtest::EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        mark = kxtest::lastObject();
    }
    void TearDown() override
    {
        deleteCreatedAfter(mark);
        EngineTest::TearDown();
    }

    // Writes bytes to a file and loads it.
    KxNode* loadBytes(const std::string& bytes, const std::string& path = "handmade.kxo")
    {
        kxtest::writeFile(path, bytes);
        return Kalvex::load(path);
    }

    KxObject* mark = nullptr;
};
}

TEST_F(SceneFile, VersionChunkAndNodePartLayout)
{
    KxNode* root = new KxNode;
    root->setName("root");
    root->setTranslation(4.0f, 5.0f, 6.0f);
    unsigned int size = 0;
    unsigned char* part = root->save(size);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(size, 80u); // 4 + 6 + 70
    std::string bytes(reinterpret_cast<char*>(part), size);
    delete[] part;
    EXPECT_EQ(bytes, nodePart("root", 0, "[none]", root->getMatrix()));

    ASSERT_TRUE(Kalvex::save(root, "single.kxo"));
    std::string file = kxtest::readFile("single.kxo");
    const unsigned char version[12] = {0, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0};
    ASSERT_GE(file.size(), 12u);
    EXPECT_EQ(std::memcmp(file.data(), version, 12), 0);
    EXPECT_EQ(file, versionChunk() + chunk(1, bytes));
    EXPECT_FALSE(fileExists("single.kxo.tmp"));

    // The part alone, read back into another node.
    KxNode* copy = new KxNode;
    unsigned int children = 99;
    EXPECT_EQ(copy->load(reinterpret_cast<const unsigned char*>(bytes.data()), 80, &children), 80u);
    EXPECT_EQ(children, 0u);
    EXPECT_EQ(copy->getName(), "root");
    EXPECT_EQ(copy->getMatrix(), root->getMatrix());
    EXPECT_TRUE(copy->getTargetNodeName().empty());
    // One byte short: the target name has no terminator.
    EXPECT_EQ(copy->load(reinterpret_cast<const unsigned char*>(bytes.data()), 79, &children), 0u);
}

TEST_F(SceneFile, LoaderEdgeCases)
{
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(Kalvex::load(""), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_EQ(Kalvex::load("no_such_file.kxo"), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to open file 'no_such_file.kxo'", mark), 1);

    EXPECT_EQ(loadBytes(""), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Root not found in file 'handmade.kxo'", mark), 1);
    EXPECT_EQ(loadBytes(versionChunk()), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Root not found in file 'handmade.kxo'", mark), 2);

    KxNode* root = loadBytes(versionChunk(6) + nodeChunk("old", 0));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), "old");
    EXPECT_EQ(kxtest::countLogLines("Unsupported KXO format version", mark), 1);

    root = loadBytes(versionChunk() + chunk(5, "0123456789") + nodeChunk("after", 0));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), "after");
    EXPECT_EQ(kxtest::countLogLines("Unknown chunk ID in 'handmade.kxo'", mark), 1);

    // A header whose size points past the end.
    std::string file = versionChunk() + nodeChunk("root", 0);
    std::string bad = versionChunk() + Bytes().u32(1).u32(1000).data + nodePart("root", 0);
    EXPECT_EQ(loadBytes(bad), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency (chunk size) in 'handmade.kxo'", mark), 1);
    // Sizes that would wrap a 32-bit position around.
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u})
        EXPECT_EQ(loadBytes(versionChunk() + Bytes().u32(1).u32(size).data + nodePart("root", 0)), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency (chunk size) in 'handmade.kxo'", mark), 4);
    // A header cut short.
    EXPECT_EQ(loadBytes(file + "\x01\x00\x00"), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency in 'handmade.kxo'", mark), 1);
    // Unread bytes at the end of a chunk are skipped with it.
    root = loadBytes(versionChunk() + chunk(1, nodePart("padded", 0) + "xyz"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), "padded");
}

TEST_F(SceneFile, TargetsResolveByName)
{
    std::string file = versionChunk() + nodeChunk("root", 3) + nodeChunk("a", 0, "b") + nodeChunk("b", 0, "[none]") +
                       nodeChunk("c", 0, "missing");
    size_t mark = kxtest::readLog().size();
    KxNode* root = loadBytes(file);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->getNrOfChildren(), 3u);
    KxNode* a = root->getChild(0);
    KxNode* b = root->getChild(1);
    KxNode* c = root->getChild(2);
    EXPECT_EQ(a->getTargetNode(), b);
    EXPECT_EQ(b->getTargetNode(), nullptr);
    EXPECT_TRUE(b->getTargetNodeName().empty());
    EXPECT_EQ(c->getTargetNode(), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Unable to find target node 'missing'", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Unable to find target node", mark), 1);
}

TEST_F(SceneFile, MeshNamingALaterMaterialGetsTheDefault)
{
    std::string file = versionChunk() + chunk(KxObject::TYPE_MESH, nodePart("early", 0) + meshPart("late")) +
                       chunk(KxObject::TYPE_MATERIAL, materialPart("late")) + nodeChunk("root", 0);
    size_t mark = kxtest::readLog().size();
    KxNode* root = loadBytes(file);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), "root");
    KxObject* early = KxObject::findByName("early");
    ASSERT_NE(early, nullptr);
    ASSERT_EQ(early->getType(), KxObject::TYPE_MESH);
    EXPECT_EQ(static_cast<KxMesh*>(early)->getMaterial(), KxMaterial::getDefault());
    EXPECT_EQ(kxtest::countLogLines("Material not found: default used instead", mark), 1);
    KxObject* late = KxObject::findByName("late");
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->getType(), KxObject::TYPE_MATERIAL);
    EXPECT_FLOAT_EQ(static_cast<KxMaterial*>(late)->getRoughness(), 0.2f);

    // In file order the material is found.
    file = versionChunk() + chunk(KxObject::TYPE_MATERIAL, materialPart("first")) +
           chunk(KxObject::TYPE_MESH, nodePart("m", 0) + meshPart("first"));
    root = loadBytes(file);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(static_cast<KxMesh*>(root)->getMaterial()->getName(), "first");

    // Every mesh naming it gets the first material of that name, here one made
    // before the load, not the file's own.
    KxMaterial* earlier = new KxMaterial;
    earlier->setName("shared");
    file = versionChunk() + chunk(KxObject::TYPE_MATERIAL, materialPart("shared")) + nodeChunk("group", 2) +
           chunk(KxObject::TYPE_MESH, nodePart("a", 0) + meshPart("shared")) +
           chunk(KxObject::TYPE_MESH, nodePart("b", 0) + meshPart("shared"));
    root = loadBytes(file);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->getNrOfChildren(), 2u);
    for (unsigned int i = 0; i < 2; ++i)
        EXPECT_EQ(static_cast<KxMesh*>(root->getChild(i))->getMaterial(), earlier);
    delete earlier;
}

TEST_F(SceneFile, MaterialPartReadsValuesAndMaps)
{
    kxtest::writePng("part_albedo.png", 2, 2, std::vector<unsigned char>(16, 128));
    Bytes part;
    part.str("brick").vec3(glm::vec3(1, 2, 3)).vec3(glm::vec3(0.4f, 0.5f, 0.6f)).f32(0.7f).f32(0.8f).f32(0.9f);
    part.str("part_albedo.png").str("[none]").str("part_albedo.png").str("[none]").str("missing.png");
    KxMaterial* material = new KxMaterial;
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(material->load(reinterpret_cast<const unsigned char*>(part.data.data()),
                             static_cast<unsigned int>(part.data.size())),
              part.data.size());
    EXPECT_EQ(material->getName(), "brick");
    EXPECT_EQ(material->getEmission(), glm::vec3(1, 2, 3));
    EXPECT_EQ(material->getAlbedo(), glm::vec3(0.4f, 0.5f, 0.6f));
    EXPECT_FLOAT_EQ(material->getRoughness(), 0.7f);
    EXPECT_FLOAT_EQ(material->getMetalness(), 0.8f);
    EXPECT_FLOAT_EQ(material->getTransparency(), 0.9f);
    ASSERT_NE(material->getTexture(0), nullptr);
    EXPECT_EQ(material->getTexture(0)->getName(), "part_albedo.png");
    EXPECT_TRUE(material->isAlpha());
    EXPECT_EQ(material->getTexture(1), nullptr);
    ASSERT_NE(material->getTexture(2), nullptr);
    EXPECT_NE(material->getTexture(2), material->getTexture(0)); // textures are never shared
    EXPECT_EQ(material->getTexture(3), KxTexture::getDefault());
    // A map that cannot be read leaves the slot as if it were empty.
    EXPECT_EQ(material->getTexture(4), KxTexture::getDefault());
    EXPECT_EQ(kxtest::countLogLines("Empty texture", mark), 0);

    unsigned int size = 0;
    unsigned char* saved = material->save(size);
    ASSERT_NE(saved, nullptr);
    Bytes expected;
    expected.str("brick").vec3(glm::vec3(1, 2, 3)).vec3(glm::vec3(0.4f, 0.5f, 0.6f)).f32(0.7f).f32(0.8f).f32(0.9f);
    expected.str("part_albedo.png").str("[none]").str("part_albedo.png").str("[none]").str("[none]");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(saved), size), expected.data);
    delete[] saved;

    // Every prefix is refused and leaves the material as it was.
    KxMaterial* other = new KxMaterial;
    std::string name = other->getName();
    for (size_t length = 0; length < part.data.size(); ++length)
    {
        std::vector<unsigned char> prefix(part.data.begin(), part.data.begin() + static_cast<long>(length));
        EXPECT_EQ(other->load(prefix.data(), static_cast<unsigned int>(length)), 0u);
    }
    EXPECT_EQ(other->getName(), name);
    EXPECT_EQ(other->getTexture(0), KxTexture::getDefault());
}

TEST_F(SceneFile, RoundTripIsByteIdentical)
{
    KxNode* root = buildScene();
    std::string expected = describe(root);
    ASSERT_TRUE(Kalvex::save(root, "first.kxo"));
    std::string first = kxtest::readFile("first.kxo");

    // The loader finds materials by name: the originals must go first.
    deleteCreatedAfter(mark);
    size_t logMark = kxtest::readLog().size();
    KxNode* loaded = Kalvex::load("first.kxo");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(kxtest::countLogLines("[!]", logMark), 1); // the directional light's only
    EXPECT_EQ(kxtest::countLogLines("Directional type not yet supported", logMark), 1);
    EXPECT_EQ(describe(loaded), expected);
    ASSERT_TRUE(Kalvex::save(loaded, "second.kxo"));
    EXPECT_EQ(kxtest::readFile("second.kxo"), first);

    // The skeleton is attached again by name.
    KxNode* leg = loaded->findByName("leg");
    ASSERT_NE(leg, nullptr);
    KxSkinned* skinned = static_cast<KxSkinned*>(leg);
    ASSERT_EQ(skinned->getNrOfBones(), 2u);
    EXPECT_EQ(skinned->getBone(1)->node, loaded->findByName("knee"));
    EXPECT_EQ(static_cast<KxBone*>(loaded->findByName("knee"))->getBonePtr(), skinned->getBone(1));

    // Materials come in order of first use; the default one is written too.
    size_t stone = first.find(std::string("stone") + '\0');
    size_t glass = first.find(std::string("glass") + '\0');
    size_t defaultMaterial = first.find(std::string("[default_material]") + '\0');
    size_t rootChunk = first.find(std::string("root") + '\0');
    EXPECT_LT(stone, glass);
    EXPECT_LT(glass, defaultMaterial);
    EXPECT_LT(defaultMaterial, rootChunk);
}

TEST_F(SceneFile, LightChunkLayoutAndDirectionalKind)
{
    KxNode* root = new KxNode;
    root->setName("r");
    KxLight* light = new KxLight;
    light->setName("l");
    light->setSubtype(KxLight::KIND_DIRECTIONAL);
    light->link(root);
    KxNode* after = new KxNode;
    after->setName("a");
    after->link(light);
    ASSERT_TRUE(Kalvex::save(root, "light.kxo"));
    std::string file = kxtest::readFile("light.kxo");
    size_t lightChunk = 12 + 8 + nodePart("r", 1).size();
    ASSERT_GT(file.size(), lightChunk + 8);
    uint32_t id = 0, size = 0;
    std::memcpy(&id, file.data() + lightChunk, 4);
    std::memcpy(&size, file.data() + lightChunk + 4, 4);
    EXPECT_EQ(id, 16u);
    EXPECT_EQ(size, nodePart("l", 1).size() + 39);
    EXPECT_EQ(file[lightChunk + 8 + nodePart("l", 1).size()], 1); // the kind byte
    EXPECT_EQ(file.substr(lightChunk + 8 + size), nodeChunk("a", 0));

    KxNode* loaded = Kalvex::load("light.kxo");
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(loaded->getNrOfChildren(), 1u);
    EXPECT_EQ(loaded->getChild(0)->getType(), KxObject::TYPE_LIGHT);
    EXPECT_EQ(loaded->getChild(0)->getSubtype(), KxLight::KIND_DIRECTIONAL);
    EXPECT_EQ(loaded->getChild(0)->getNrOfChildren(), 1u);
}

TEST_F(SceneFile, NodesWithoutChunkAreLeftOutWithTheirSubtree)
{
    KxNode* root = new KxNode;
    root->setName("root");
    KxNode* a = new KxNode;
    a->setName("a");
    a->link(root);
    KxCamera* camera = new KxCamera;
    camera->setName("camera");
    camera->link(root);
    KxNode* underCamera = new KxNode;
    underCamera->setName("underCamera");
    underCamera->link(camera);
    KxNode* b = new KxNode;
    b->setName("b");
    b->link(root);
    KxBox* box = new KxBox;
    box->link(b);

    size_t logMark = kxtest::readLog().size();
    ASSERT_TRUE(Kalvex::save(root, "chunkless.kxo"));
    EXPECT_EQ(kxtest::countLogLines("Node 'camera' has no chunk kind", logMark), 1);
    EXPECT_EQ(kxtest::readFile("chunkless.kxo"),
              versionChunk() + nodeChunk("root", 2) + nodeChunk("a", 0) + nodeChunk("b", 0));
    KxNode* loaded = Kalvex::load("chunkless.kxo");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->getNrOfChildren(), 2u);

    // A root without a chunk of its own cannot make a file.
    logMark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::save(camera, "camera.kxo"));
    EXPECT_EQ(kxtest::countLogLines("Unable to save node 'camera'", logMark), 1);
    EXPECT_FALSE(fileExists("camera.kxo"));
    EXPECT_FALSE(fileExists("camera.kxo.tmp"));
}

TEST_F(SceneFile, HostileFilesAreRefused)
{
    const std::string header = versionChunk();
    size_t mark = kxtest::readLog().size();
    auto refused = [&](const std::string& bytes, const char* message) {
        size_t before = kxtest::readLog().size();
        KxNode* root = loadBytes(bytes);
        EXPECT_EQ(root, nullptr) << message;
        EXPECT_EQ(kxtest::countLogLines(message, before), 1) << message;
        EXPECT_EQ(kxtest::countLogLines("Root not found", before), 1) << message;
    };

    // Strings without their zero inside the chunk.
    refused(header + chunk(1, "abc"), "Invalid file format consistency in");
    refused(header + chunk(1, nodePart("root", 0).substr(0, 72)), "Invalid file format consistency in");
    refused(header + chunk(9, materialPart("m").substr(0, 50)), "Invalid file format consistency in");
    // Names too long for an object.
    std::string longName(256, 'n');
    refused(header + nodeChunk(longName, 0), "Invalid object name");
    refused(header + nodeChunk("root", 0, longName), "Invalid file format consistency in");
    KxNode* root = loadBytes(header + nodeChunk(std::string(255, 'n'), 0));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName().size(), 255u);

    // More children than can follow.
    refused(header + nodeChunk("root", 3) + nodeChunk("a", 0) + nodeChunk("b", 0), "Root not found");
    refused(header + nodeChunk("root", 0x7FFFFFFF) + nodeChunk("a", 0), "(children)");

    // Nesting: a thousand levels load, deeper trees are refused.
    std::string deep = header;
    for (int level = 0; level < 1000; ++level)
        deep += nodeChunk("n", 1);
    root = loadBytes(deep + nodeChunk("leaf", 0));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->findByName("leaf")->getGraphDepth(), 1000u);
    deep = header;
    for (int level = 0; level < 5000; ++level)
        deep += nodeChunk("n", 1);
    refused(deep + nodeChunk("leaf", 0), "(tree depth)");

    // Class parts that run past their chunk.
    refused(header + chunk(16, nodePart("l", 0) + lightPart(0).substr(0, 38)), "(chunk size)");
    refused(header + chunk(17, nodePart("b", 0) + std::string(23, '\0')), "(chunk size)");
    refused(header + chunk(18, nodePart("m", 0) + meshPart("[none]").substr(0, 60)), "(chunk size)");
    std::string mesh = meshPart("[none]");
    for (uint32_t nrOfVertices : {4u, 0x0AAAAAABu, 0xFFFFFFFFu})
    {
        std::string patched = mesh;
        std::memcpy(&patched[1], &nrOfVertices, 4);
        refused(header + chunk(18, nodePart("m", 0) + patched), "(chunk size)");
    }
    // Face indices beyond the vertices.
    refused(header + chunk(18, nodePart("m", 0) + meshPart("[none]", 3, 3)), "Invalid file format consistency in");

    // Skinned parts: truncated skinning data, and more bones than a skeleton holds.
    auto skinnedPart = [](uint32_t nrOfBones, uint32_t nrOfVertices) {
        Bytes part;
        part.mat4(glm::mat4(1.0f)).u32(nrOfBones);
        for (uint32_t bone = 0; bone < nrOfBones; ++bone)
            part.str("bone" + std::to_string(bone)).mat4(glm::mat4(1.0f));
        for (uint32_t v = 0; v < nrOfVertices; ++v)
            part.u32(0).u32(0).u32(0).u32(0).u32(0x3C00).u32(0);
        return part.data;
    };
    root = loadBytes(header + chunk(19, nodePart("s", 0) + meshPart("[none]") + skinnedPart(128, 3)));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(static_cast<KxSkinned*>(root)->getNrOfBones(), 128u);
    refused(header + chunk(19, nodePart("s", 0) + meshPart("[none]") + skinnedPart(129, 3)), "(more than 128 bones)");
    refused(header + chunk(19, nodePart("s", 0) + meshPart("[none]") + skinnedPart(2, 2)), "(chunk size)");
    std::string hugeBones = skinnedPart(1, 3);
    uint32_t count = 0xFFFFFFFFu;
    std::memcpy(&hugeBones[64], &count, 4);
    refused(header + chunk(19, nodePart("s", 0) + meshPart("[none]") + hugeBones), "(more than 128 bones)");

    // A version chunk too short to hold a version.
    refused(chunk(0, "\x07") + nodeChunk("root", 0), "(chunk size)");
    EXPECT_EQ(kxtest::countLogLines("Unknown chunk ID", mark), 0);
}

TEST_F(SceneFile, FailedSaveKeepsThePreviousFile)
{
    KxNode* root = buildScene();
    ASSERT_TRUE(Kalvex::save(root, "keep.kxo"));
    const std::string previous = kxtest::readFile("keep.kxo");
    ASSERT_FALSE(previous.empty());

    // A node whose part cannot be written, deep in the tree after chunks were written.
    KxNode* broken = new KxNode;
    broken->setName(std::string("bro\0ken", 7));
    broken->link(root->findByName("knee"));
    size_t logMark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::save(root, "keep.kxo"));
    EXPECT_EQ(kxtest::countLogLines("Unable to save node 'bro'", logMark), 1);
    EXPECT_EQ(kxtest::readFile("keep.kxo"), previous);
    EXPECT_FALSE(fileExists("keep.kxo.tmp"));
    broken->unlink();

    // Nothing planted beside the target redirects the write: the temporary
    // file has a fresh unique name. The target keeps its permissions, and a
    // target that is a link is written through, the link staying a link.
    ASSERT_TRUE(kxtest::writeFile("victim", "other user's data"));
    ASSERT_EQ(symlink("victim", "keep.kxo.tmp"), 0);
    ASSERT_EQ(chmod("keep.kxo", 0600), 0);
    EXPECT_TRUE(Kalvex::save(root, "keep.kxo"));
    EXPECT_EQ(kxtest::readFile("victim"), "other user's data");
    struct stat status;
    ASSERT_EQ(lstat("keep.kxo", &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    unlink("keep.kxo.tmp");
    ASSERT_EQ(symlink("keep.kxo", "alias.kxo"), 0);
    EXPECT_TRUE(Kalvex::save(new KxNode, "alias.kxo"));
    ASSERT_EQ(lstat("alias.kxo", &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_NE(kxtest::readFile("keep.kxo"), previous);
    unlink("alias.kxo");
    ASSERT_TRUE(Kalvex::save(root, "keep.kxo"));

    // A directory that cannot be written (meaningless for root, who may write anywhere).
    if (geteuid() != 0)
    {
        ASSERT_EQ(mkdir("locked", 0755), 0);
        ASSERT_TRUE(Kalvex::save(root, "locked/keep.kxo"));
        std::string locked = kxtest::readFile("locked/keep.kxo");
        chmod("locked", 0555);
        EXPECT_FALSE(Kalvex::save(new KxNode, "locked/keep.kxo"));
        EXPECT_EQ(kxtest::readFile("locked/keep.kxo"), locked);
        chmod("locked", 0755);
    }
    // A folder that does not exist.
    EXPECT_FALSE(Kalvex::save(root, "no_such_folder/keep.kxo"));

    // Too deep a tree is refused before it makes a file the loader would refuse.
    KxNode* top = new KxNode;
    KxNode* chain = top;
    for (int level = 0; level < 1100; ++level)
    {
        KxNode* child = new KxNode;
        child->link(chain);
        chain = child;
    }
    EXPECT_FALSE(Kalvex::save(top, "keep.kxo"));
    EXPECT_EQ(kxtest::readFile("keep.kxo"), previous);

    EXPECT_TRUE(Kalvex::save(root, "keep.kxo"));
    EXPECT_EQ(kxtest::readFile("keep.kxo"), previous);
}

// Every prefix of a rich file, then thousands of seeded corruptions: the
// loader must never crash or read outside the file (the sanitizer build
// checks the latter: the loader's buffer is exactly the file's size), and
// every failure is logged.
TEST_F(SceneFile, TruncatedAndCorruptedFilesNeverCrash)
{
    KxNode* scene = buildScene();
    ASSERT_TRUE(Kalvex::save(scene, "rich.kxo"));
    const std::string file = kxtest::readFile("rich.kxo");
    ASSERT_GT(file.size(), 500u);
    deleteCreatedAfter(mark);
    KxObject* attemptMark = kxtest::lastObject();

    // Chunk header offsets: the chunks of a saved file follow each other.
    std::vector<size_t> headers;
    for (size_t offset = 0; offset + 8 <= file.size();)
    {
        headers.push_back(offset);
        uint32_t size = 0;
        std::memcpy(&size, file.data() + offset + 4, 4);
        offset += 8 + size;
    }
    ASSERT_GT(headers.size(), 10u);

    size_t logMark = kxtest::readLog().size();
    int failures = 0;
    for (size_t length = 0; length < file.size(); ++length)
    {
        KxNode* root = loadBytes(file.substr(0, length), "prefix.kxo");
        EXPECT_EQ(root, nullptr) << "prefix of " << length << " bytes";
        failures += root == nullptr;
        deleteCreatedAfter(attemptMark);
    }
    EXPECT_EQ(kxtest::countLogLines("Root not found in file 'prefix.kxo'", logMark), failures);
    KxNode* whole = loadBytes(file, "prefix.kxo");
    ASSERT_NE(whole, nullptr);
    deleteCreatedAfter(attemptMark);

    std::mt19937 random(20240611u);
    auto below = [&](size_t bound) { return static_cast<size_t>(random() % bound); };
    logMark = kxtest::readLog().size();
    failures = 0;
    int successes = 0;
    const int attempts = 3000;
    for (int attempt = 0; attempt < attempts; ++attempt)
    {
        std::string bytes = file;
        int edits = 1 + static_cast<int>(below(3));
        for (int edit = 0; edit < edits; ++edit)
        {
            switch (below(7))
            {
            case 0: // bit flip
                bytes[below(bytes.size())] ^= static_cast<char>(1 << below(8));
                break;
            case 1:
                bytes[below(bytes.size())] = 0;
                break;
            case 2:
                bytes[below(bytes.size())] = static_cast<char>(0xFF);
                break;
            case 3:
                bytes[below(bytes.size())] = static_cast<char>(random());
                break;
            case 4: // a size or id field of a chunk header
            {
                size_t field = headers[below(headers.size())] + 4 * below(2);
                const uint32_t values[] = {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFF8u, 0, 1, 8,
                                           static_cast<uint32_t>(random())};
                uint32_t value = values[below(sizeof(values) / sizeof(values[0]))];
                if (field + 4 <= bytes.size())
                    std::memcpy(&bytes[field], &value, 4);
                break;
            }
            case 5:
                bytes.resize(below(bytes.size()));
                break;
            default:
                bytes.insert(below(bytes.size() + 1), std::string(1 + below(8), static_cast<char>(random())));
                break;
            }
            if (bytes.empty())
                break;
        }
        KxNode* root = loadBytes(bytes, "fuzz.kxo");
        if (root)
        {
            // Whatever loads can be written and read again.
            ++successes;
            EXPECT_TRUE(Kalvex::save(root, "fuzz_again.kxo")) << "attempt " << attempt;
            EXPECT_NE(Kalvex::load("fuzz_again.kxo"), nullptr) << "attempt " << attempt;
        }
        else
            ++failures;
        deleteCreatedAfter(attemptMark);
    }
    EXPECT_EQ(kxtest::countLogLines("Root not found in file 'fuzz.kxo'", logMark), failures);
    EXPECT_GT(failures, attempts / 10);
    EXPECT_GT(successes, 0);
}
