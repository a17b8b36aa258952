// Skinned meshes and bones: skinning quaternions against a reference written
// here from the formulas, the engine's skinned vertex stage read back through
// transform feedback, skeleton attachment, and the skinned and bone parts of
// scene files.
#include "kxtest.h"

#include <GL/glew.h>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace
{
const std::string SHADER_DIR = std::string(KALVEX_SOURCE_DIR) + "/source/kalvex/shaders/";

// Our own conversions, independent of the engine's packing helpers.
uint16_t toHalf(float value)
{
    if (value == 0.0f)
        return 0;
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    uint32_t sign = (bits >> 16) & 0x8000u;
    int exponent = static_cast<int>((bits >> 23) & 0xffu) - 127 + 15;
    uint32_t mantissa = (bits >> 13) & 0x3ffu; // test weights are exact in half precision
    return static_cast<uint16_t>(sign | (static_cast<uint32_t>(exponent) << 10) | mantissa);
}

uint32_t packAxis(const glm::vec3& n) // exact for -1, 0 and 1
{
    auto component = [](float f) { return static_cast<uint32_t>(static_cast<int>(f * 511.0f)) & 0x3ffu; };
    return component(n.x) | (component(n.y) << 10) | (component(n.z) << 20);
}

KxMesh::kxMeshVertex vertex(const glm::vec3& p, const glm::vec3& n)
{
    KxMesh::kxMeshVertex v{};
    v.position[0] = p.x;
    v.position[1] = p.y;
    v.position[2] = p.z;
    v.normal = packAxis(n);
    return v;
}

KxSkinned::kxSkinningVertex influence(glm::uvec4 index, glm::vec4 weight)
{
    KxSkinned::kxSkinningVertex s{};
    for (int k = 0; k < 4; ++k)
    {
        s.boneIndex[k] = index[k];
        s.boneWeight[k] = toHalf(weight[k]);
    }
    return s;
}

// Reference dual quaternion of a skinning matrix, with glm's own quaternion
// algebra: r from the 3x3 (not normalised yet), d = 1/2 (0, t) r, both divided
// by |r|.
struct Dq
{
    glm::quat real;
    glm::quat dual;
};

Dq referenceDq(const glm::mat4& s)
{
    glm::quat r = glm::quat_cast(glm::mat3(s));
    glm::vec3 t(s[3]);
    glm::quat d = glm::quat(0.0f, t.x, t.y, t.z) * r * 0.5f;
    float length = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z + r.w * r.w);
    return {r / length, d / length};
}

struct Skinned
{
    glm::vec3 position;
    glm::vec3 normal;
};

// Blends influences the textbook way and applies the rigid result.
Skinned referenceSkin(const std::vector<Dq>& bones, glm::uvec4 index, glm::vec4 weight, const glm::vec3& p,
                      const glm::vec3& n)
{
    glm::quat reference = bones[index[0]].real;
    glm::quat real(0, 0, 0, 0), dual(0, 0, 0, 0);
    for (int k = 0; k < 4; ++k)
    {
        float w = weight[k];
        if (k > 0 && glm::dot(bones[index[k]].real, reference) < 0.0f)
            w = -w;
        real = real + bones[index[k]].real * w;
        dual = dual + bones[index[k]].dual * w;
    }
    float length = std::sqrt(glm::dot(real, real));
    real = real / length;
    dual = dual / length;
    glm::quat t = dual * glm::conjugate(real) * 2.0f;
    return {real * p + glm::vec3(t.x, t.y, t.z), real * n};
}

void expectNear(const glm::vec3& actual, const glm::vec3& expected, float tolerance, const std::string& what)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance) << what;
    EXPECT_NEAR(actual.y, expected.y, tolerance) << what;
    EXPECT_NEAR(actual.z, expected.z, tolerance) << what;
}

void expectNear(const glm::vec4& actual, const glm::quat& expected, float tolerance, const std::string& what)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance) << what;
    EXPECT_NEAR(actual.y, expected.y, tolerance) << what;
    EXPECT_NEAR(actual.z, expected.z, tolerance) << what;
    EXPECT_NEAR(actual.w, expected.w, tolerance) << what;
}
}

class Skinning : public kxtest::EngineTest
{
protected:
    void TearDown() override
    {
        if (previousPipeline)
            KxPipeline::setCurrent(previousPipeline);
        kxtest::EngineTest::TearDown();
    }

    // The engine's skinned vertex stage with a plain fragment stage, relinked
    // with fragPosition and normal captured by transform feedback.
    KxShader* skinnedCaptureProgram()
    {
        KxShader* vs = new KxShader;
        KxShader* fs = new KxShader;
        const char* fragment = "in vec3 normal;\nin vec2 texCoord0;\nin vec3 fragPosition;\n"
                               "flat in vec3 eyePosition;\nflat in uint matId;\nout vec4 outputColor;\n"
                               "void main() { outputColor = vec4(normal, float(matId)); }\n";
        KxShader* program = new KxShader;
        if (!vs->loadFromFile(KxShader::KIND_VERTEX, SHADER_DIR + "skinned_vs.glsl") ||
            !fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment) || !program->build(vs, nullptr, fs))
        {
            ADD_FAILURE() << "skinned program not built";
            return nullptr;
        }
        GLuint handle = program->getHandle();
        const char* uniforms[] = {"modelMatrix", "normalMatrix", "materialId", "realQuatArray", "dualQuatArray"};
        GLint before[5];
        for (int i = 0; i < 5; ++i)
            before[i] = glGetUniformLocation(handle, uniforms[i]);
        glAttachShader(handle, vs->getHandle());
        glAttachShader(handle, fs->getHandle());
        const char* varyings[] = {"fragPosition", "normal"};
        glTransformFeedbackVaryings(handle, 2, varyings, GL_INTERLEAVED_ATTRIBS);
        glLinkProgram(handle);
        glDetachShader(handle, vs->getHandle());
        glDetachShader(handle, fs->getHandle());
        GLint linked = GL_FALSE;
        glGetProgramiv(handle, GL_LINK_STATUS, &linked);
        if (!linked)
        {
            ADD_FAILURE() << "relink with transform feedback failed";
            return nullptr;
        }
        // The program's slot table was read before the relink.
        for (int i = 0; i < 5; ++i)
            if (glGetUniformLocation(handle, uniforms[i]) != before[i] || before[i] < 0)
            {
                ADD_FAILURE() << uniforms[i] << " moved or missing: " << before[i];
                return nullptr;
            }
        return program;
    }

    void useProgramFor(KxShader* program, KxObject::Type type)
    {
        KxPipeline* pipeline = new KxPipeline;
        pipeline->setShader(program, type, 0, KxPipeline::FLAGS_ALONE);
        if (!previousPipeline)
            previousPipeline = KxPipeline::getCurrent();
        KxPipeline::setCurrent(pipeline);
    }

    // Runs draw with vertices captured (6 floats each).
    static std::vector<Skinned> capture(KxShader* program, unsigned int nrOfVertices, const std::function<void()>& draw)
    {
        GLuint buffer = 0;
        glCreateBuffers(1, &buffer);
        glNamedBufferData(buffer, nrOfVertices * sizeof(Skinned), nullptr, GL_STATIC_READ);
        glBindBufferBase(GL_TRANSFORM_FEEDBACK_BUFFER, 0, buffer);
        program->render(nullptr);
        glEnable(GL_RASTERIZER_DISCARD);
        glBeginTransformFeedback(GL_TRIANGLES);
        draw();
        glEndTransformFeedback();
        glDisable(GL_RASTERIZER_DISCARD);
        std::vector<Skinned> out(nrOfVertices);
        glGetNamedBufferSubData(buffer, 0, nrOfVertices * sizeof(Skinned), out.data());
        glBindBufferBase(GL_TRANSFORM_FEEDBACK_BUFFER, 0, 0);
        glDeleteBuffers(1, &buffer);
        return out;
    }

    static KxSkinned* makeMesh(const std::vector<KxMesh::kxMeshVertex>& vertices)
    {
        std::vector<KxMesh::kxMeshFace> faces(vertices.size() / 3);
        for (size_t f = 0; f < faces.size(); ++f)
            faces[f] = {{static_cast<uint32_t>(3 * f), static_cast<uint32_t>(3 * f + 1), static_cast<uint32_t>(3 * f + 2)}};
        KxSkinned* mesh = new KxSkinned;
        EXPECT_TRUE(mesh->create(static_cast<unsigned int>(vertices.size()), vertices.data(),
                                 static_cast<unsigned int>(faces.size()), faces.data()));
        return mesh;
    }

    KxPipeline* previousPipeline = nullptr;
};

TEST_F(Skinning, IncludeLimitsAndStaticServices)
{
    EXPECT_EQ(KxSkinned::NROFVERTEXBONES, 4u);
    EXPECT_EQ(KxSkinned::NROFSKELETONBONES, 128u);
    const char* include = KxShader::getHashmap("kx_skinned");
    ASSERT_NE(include, nullptr);
    EXPECT_STREQ(include, "// Constants:\nconst uint maxNrOfVertexBones = 4;\nconst uint maxNrOfSkeletonBones = 128;\n");
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(KxSkinned::init());
    EXPECT_FALSE(KxBone::init());
    EXPECT_EQ(kxtest::countLogLines("Static class already initialized", mark), 2);

    KxSkinned* mesh = new KxSkinned;
    EXPECT_EQ(mesh->getType(), KxObject::TYPE_SKINNED);
    EXPECT_EQ(mesh->getNrOfBones(), 0u);
    EXPECT_EQ(mesh->getPoseMatrix(), glm::mat4(1.0f));
    EXPECT_TRUE(mesh->resetBones(nullptr)); // nothing to attach
    KxBone* bone = new KxBone;
    EXPECT_EQ(bone->getType(), KxObject::TYPE_BONE);
    EXPECT_EQ(bone->getName(), "[Bone" + std::to_string(bone->getId()) + "]");
    EXPECT_EQ(bone->getBonePtr(), nullptr);
}

TEST_F(Skinning, BindPoseGivesIdentityQuaternions)
{
    KxSkinned* mesh = makeMesh({vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 1, 0}), vertex({0, 1, 0}, {0, 1, 0})});
    const glm::mat4 bind[3] = {glm::translate(glm::mat4(1.0f), glm::vec3(0, 1, 0)),
                               glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(2, 0, 1)), 0.7f, glm::vec3(0, 0, 1)),
                               glm::rotate(glm::mat4(1.0f), -1.2f, glm::normalize(glm::vec3(1, 2, 3)))};
    const std::string names[3] = {"a", "b", "c"};
    glm::mat4 offsets[3];
    for (int i = 0; i < 3; ++i)
        offsets[i] = glm::inverse(bind[i]);
    std::vector<KxSkinned::kxSkinningVertex> skin(3, influence({0, 1, 2, 0}, {0.5f, 0.25f, 0.25f, 0}));
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 3, names, offsets, skin.data()));
    ASSERT_EQ(mesh->getNrOfBones(), 3u);
    for (unsigned int i = 0; i < 3; ++i)
        mesh->getBone(i)->currentMatrix = bind[i];
    mesh->computeSkinning();
    for (unsigned int i = 0; i < 3; ++i)
    {
        expectNear(mesh->getRealQuaternions()[i], glm::quat(1, 0, 0, 0), 1e-5f, "real " + std::to_string(i));
        expectNear(mesh->getDualQuaternions()[i], glm::quat(0, 0, 0, 0), 1e-5f, "dual " + std::to_string(i));
    }
}

TEST_F(Skinning, ComputeSkinningMatchesReference)
{
    KxNode* root = new KxNode;
    KxSkinned* mesh = makeMesh({vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 1, 0}), vertex({0, 1, 0}, {0, 1, 0})});
    mesh->link(root);
    mesh->setMatrix(glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(3, -1, 2)), 0.4f, glm::vec3(0, 1, 0)));
    const glm::mat4 pose = glm::translate(glm::mat4(1.0f), glm::vec3(0, 0.25f, 0));
    const std::string names[3] = {"a", "b", "c"};
    const glm::mat4 offsets[3] = {glm::translate(glm::mat4(1.0f), glm::vec3(-1, 0, 0)),
                                  glm::rotate(glm::mat4(1.0f), 0.3f, glm::vec3(1, 0, 0)), glm::mat4(1.0f)};
    std::vector<KxSkinned::kxSkinningVertex> skin(3, influence({0, 1, 2, 0}, {1, 0, 0, 0}));
    ASSERT_TRUE(mesh->setSkeleton(pose, 3, names, offsets, skin.data()));
    EXPECT_EQ(mesh->getPoseMatrix(), pose);
    // Rotated and translated bones; the third also scaled, which the
    // normalisation divides out of both parts.
    const glm::mat4 current[3] = {
        glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3)), 2.5f, glm::normalize(glm::vec3(1, -2, 0.5f))),
        glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(-4, 0.5f, 1)), -3.0f, glm::vec3(0, 0, 1)),
        glm::scale(glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, 5)), 1.0f, glm::vec3(0, 1, 0)),
                   glm::vec3(2.0f))};
    for (unsigned int i = 0; i < 3; ++i)
        mesh->getBone(i)->currentMatrix = current[i];
    mesh->computeSkinning();
    const glm::mat4 inverseWorld = glm::inverse(mesh->getFinalMatrix());
    for (unsigned int i = 0; i < 3; ++i)
    {
        Dq expected = referenceDq(inverseWorld * current[i] * offsets[i] * pose);
        expectNear(mesh->getRealQuaternions()[i], expected.real, 1e-5f, "real " + std::to_string(i));
        expectNear(mesh->getDualQuaternions()[i], expected.dual, 1e-4f, "dual " + std::to_string(i));
        EXPECT_NEAR(glm::length(mesh->getRealQuaternions()[i]), 1.0f, 1e-5f);
    }
}

TEST_F(Skinning, ResetBonesAttachesByName)
{
    KxNode* root = new KxNode;
    root->setName("root");
    KxBone* hip = new KxBone;
    hip->setName("hip");
    hip->link(root);
    KxNode* notABone = new KxNode;
    notABone->setName("knee");
    notABone->link(hip);
    KxSkinned* mesh = makeMesh({vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 1, 0}), vertex({0, 1, 0}, {0, 1, 0})});
    mesh->link(root);
    const std::string names[3] = {"hip", "knee", "ankle"};
    const glm::mat4 offset = glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3));
    const glm::mat4 offsets[3] = {offset, offset, offset};
    std::vector<KxSkinned::kxSkinningVertex> skin(3, influence({0, 1, 2, 0}, {0.5f, 0.25f, 0.25f, 0}));
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 3, names, offsets, skin.data()));

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(mesh->resetBones(nullptr));
    EXPECT_TRUE(mesh->resetBones(root));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Bone 'hip' assigned", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Object 'knee' is not of type bone", mark), 1);
    EXPECT_EQ(kxtest::countLogLines("Bone 'ankle' not found", mark), 1);
    EXPECT_EQ(mesh->getBone(0)->node, hip);
    EXPECT_EQ(hip->getBonePtr(), mesh->getBone(0));
    EXPECT_EQ(mesh->getBone(0)->offsetMatrix, offset);
    for (unsigned int i = 1; i < 3; ++i)
    {
        EXPECT_EQ(mesh->getBone(i)->node, nullptr);
        EXPECT_EQ(mesh->getBone(i)->offsetMatrix, glm::mat4(1.0f)); // acts as the identity
    }
    EXPECT_EQ(mesh->getBone(3), nullptr);

    // The list hands each bone its world matrix.
    glm::mat4 world = glm::translate(glm::mat4(1.0f), glm::vec3(0, 4, 0));
    EXPECT_TRUE(hip->updateSkeleton(&world));
    EXPECT_EQ(mesh->getBone(0)->currentMatrix, world);
    EXPECT_FALSE(hip->updateSkeleton(nullptr));

    // Missing bones act as the identity: a vertex on them does not move.
    mesh->computeSkinning();
    expectNear(mesh->getRealQuaternions()[2], glm::quat(1, 0, 0, 0), 1e-6f, "missing bone");
    expectNear(mesh->getDualQuaternions()[2], glm::quat(0, 0, 0, 0), 1e-6f, "missing bone");
}

TEST_F(Skinning, UnattachedBoneLogsEveryUpdate)
{
    KxBone* bone = new KxBone;
    bone->setName("loose");
    glm::mat4 world(1.0f);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(bone->updateSkeleton(&world));
    EXPECT_FALSE(bone->updateSkeleton(&world));
    EXPECT_EQ(kxtest::countLogLines("Bone 'loose' not set", mark), 2);
}

TEST_F(Skinning, DeletingEitherSideLeavesNoDanglingLink)
{
    KxNode* root = new KxNode;
    KxBone* a = new KxBone;
    a->setName("a");
    a->link(root);
    KxBone* b = new KxBone;
    b->setName("b");
    b->link(root);
    KxSkinned* mesh = makeMesh({vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 1, 0}), vertex({0, 1, 0}, {0, 1, 0})});
    const std::string names[2] = {"a", "b"};
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::mat4(1.0f)};
    std::vector<KxSkinned::kxSkinningVertex> skin(3, influence({0, 1, 0, 0}, {0.5f, 0.5f, 0, 0}));
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 2, names, offsets, skin.data()));
    ASSERT_TRUE(mesh->resetBones(root));
    ASSERT_EQ(mesh->getBone(1)->node, b);
    b->unlink();
    delete b;
    EXPECT_EQ(mesh->getBone(1)->node, nullptr);
    // A new skeleton drops the old records: the bone forgets them.
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 2, names, offsets, skin.data()));
    EXPECT_EQ(a->getBonePtr(), nullptr);
    ASSERT_TRUE(mesh->resetBones(root));
    EXPECT_EQ(a->getBonePtr(), mesh->getBone(0));
    delete mesh;
    EXPECT_EQ(a->getBonePtr(), nullptr);
    glm::mat4 world(1.0f);
    EXPECT_FALSE(a->updateSkeleton(&world));
}

// A strip along x bent by 90 degrees at a knee, with rigid and mixed
// influences, drawn through KxSkinned::render with the engine's skinned stage.
TEST_F(Skinning, BentTwoBoneMeshMatchesReferenceOnTheGpu)
{
    KxShader* program = skinnedCaptureProgram();
    ASSERT_NE(program, nullptr);
    useProgramFor(program, KxObject::TYPE_SKINNED);

    KxNode* root = new KxNode;
    KxBone* hip = new KxBone;
    hip->setName("hip");
    hip->link(root);
    hip->setMatrix(glm::translate(glm::mat4(1.0f), glm::vec3(0.5f, 0, 0)));
    KxBone* knee = new KxBone;
    knee->setName("knee");
    knee->link(hip);
    knee->setMatrix(glm::translate(glm::mat4(1.0f), glm::vec3(1, 0, 0)));
    const glm::mat4 bind[2] = {hip->getFinalMatrix(), knee->getFinalMatrix()};

    struct Input
    {
        glm::vec3 position;
        glm::vec3 normal;
        glm::uvec4 index;
        glm::vec4 weight;
    };
    const Input inputs[] = {
        {{0.5f, 0, 0}, {0, 1, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}},
        {{1.0f, 0.1f, 0}, {0, 1, 0}, {0, 1, 0, 0}, {0.75f, 0.25f, 0, 0}},
        {{1.5f, 0, 0.1f}, {0, 0, 1}, {0, 1, 0, 0}, {0.5f, 0.5f, 0, 0}},
        {{1.75f, -0.1f, 0}, {0, -1, 0}, {0, 1, 0, 0}, {0.25f, 0.75f, 0, 0}},
        {{2.0f, 0, 0}, {1, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
        {{2.5f, 0.2f, 0}, {0, 1, 0}, {1, 0, 0, 0}, {0.625f, 0.375f, 0, 0}},
        {{1.25f, 0.3f, -0.2f}, {0, 1, 0}, {0, 1, 0, 1}, {0.25f, 0.25f, 0.25f, 0.25f}},
        {{1.6f, 0, 0}, {0, 1, 0}, {1, 0, 1, 0}, {0.125f, 0.5f, 0.375f, 0}},
        {{0.8f, 0, 0}, {0, 1, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}},
    };
    const unsigned int count = sizeof(inputs) / sizeof(inputs[0]);
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxSkinned::kxSkinningVertex> skin;
    for (const Input& input : inputs)
    {
        vertices.push_back(vertex(input.position, input.normal));
        skin.push_back(influence(input.index, input.weight));
    }
    KxSkinned* mesh = makeMesh(vertices);
    mesh->link(root);
    mesh->setMatrix(glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, -3)));
    const glm::mat4 pose = glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, 0.125f));
    const std::string names[2] = {"hip", "knee"};
    const glm::mat4 offsets[2] = {glm::inverse(bind[0]), glm::inverse(bind[1])};
    ASSERT_TRUE(mesh->setSkeleton(pose, 2, names, offsets, skin.data()));
    ASSERT_TRUE(mesh->resetBones(root));

    // Bend: the hip turns a little about y, the knee by 90 degrees about z.
    hip->setMatrix(glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(0.5f, 0, 0)), 0.3f, glm::vec3(0, 1, 0)));
    knee->setMatrix(glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(1, 0, 0)), glm::radians(90.0f), glm::vec3(0, 0, 1)));
    for (KxBone* bone : {hip, knee})
    {
        glm::mat4 world = bone->getFinalMatrix();
        ASSERT_TRUE(bone->updateSkeleton(&world));
    }

    glm::mat4 model = mesh->getFinalMatrix();
    glm::mat4 modelView = model;
    glm::mat3 normalMatrix = glm::transpose(glm::inverse(glm::mat3(model)));
    KxDrawRecord record = {&modelView, &normalMatrix, &model};
    uint64_t drawn = KxStats::get(KxStats::SKINNED_RENDER);
    bool rendered = false;
    std::vector<Skinned> out = capture(program, count, [&] { rendered = mesh->render(&record); });
    ASSERT_TRUE(rendered);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(KxStats::get(KxStats::SKINNED_RENDER), drawn + 1);

    // Reference from the bone worlds, independent of the engine's state.
    const glm::mat4 inverseWorld = glm::inverse(model);
    std::vector<Dq> bones;
    glm::mat4 skinning[2];
    for (int i = 0; i < 2; ++i)
    {
        KxBone* bone = i ? knee : hip;
        skinning[i] = inverseWorld * bone->getFinalMatrix() * offsets[i] * pose;
        bones.push_back(referenceDq(skinning[i]));
    }
    for (unsigned int v = 0; v < count; ++v)
    {
        const Input& input = inputs[v];
        Skinned expected = referenceSkin(bones, input.index, input.weight, input.position, input.normal);
        glm::vec3 world = glm::vec3(model * glm::vec4(expected.position, 1.0f));
        glm::vec3 normal = glm::normalize(normalMatrix * expected.normal);
        expectNear(out[v].position, world, 1e-4f, "position of vertex " + std::to_string(v));
        expectNear(out[v].normal, normal, 1e-4f, "normal of vertex " + std::to_string(v));
        if (input.weight == glm::vec4(1, 0, 0, 0))
        {
            // A single influence is that bone's matrix, exactly.
            glm::vec3 rigid = glm::vec3(model * skinning[input.index[0]] * glm::vec4(input.position, 1.0f));
            expectNear(out[v].position, rigid, 1e-4f, "rigid vertex " + std::to_string(v));
        }
    }
    // Half a unit past the knee on x before the bend, half a unit up after it.
    EXPECT_NEAR(out[4].position.y, 0.5f, 1e-4f);
}

// Two bones whose quaternions have opposite signs still blend along the
// shorter arc: 170 and 190 degrees about z, the latter passed negated.
TEST_F(Skinning, OppositeSignsBlendAlongTheShorterArc)
{
    KxShader* program = skinnedCaptureProgram();
    ASSERT_NE(program, nullptr);
    const float weightsA[3] = {0.5f, 0.75f, 0.25f};
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxSkinned::kxSkinningVertex> skin;
    for (float w : weightsA)
    {
        vertices.push_back(vertex({1, 0, 0}, {1, 0, 0}));
        skin.push_back(influence({0, 1, 0, 0}, {w, 1.0f - w, 0, 0}));
    }
    KxSkinned* mesh = makeMesh(vertices);
    const std::string names[2] = {"a", "b"};
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::mat4(1.0f)};
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 2, names, offsets, skin.data()));

    glm::quat a = glm::angleAxis(glm::radians(170.0f), glm::vec3(0, 0, 1));
    glm::quat b = -glm::angleAxis(glm::radians(190.0f), glm::vec3(0, 0, 1));
    ASSERT_LT(glm::dot(a, b), 0.0f);
    const glm::vec4 real[2] = {{a.x, a.y, a.z, a.w}, {b.x, b.y, b.z, b.w}};
    const glm::vec4 dual[2] = {glm::vec4(0.0f), glm::vec4(0.0f)};
    const glm::mat4 identity(1.0f);
    const glm::mat3 identity3(1.0f);
    std::vector<Skinned> out = capture(program, 3, [&] {
        GLuint handle = program->getHandle();
        glUniform4fv(glGetUniformLocation(handle, "realQuatArray"), 2, &real[0].x);
        glUniform4fv(glGetUniformLocation(handle, "dualQuatArray"), 2, &dual[0].x);
        glUniformMatrix4fv(glGetUniformLocation(handle, "modelMatrix"), 1, GL_FALSE, &identity[0][0]);
        glUniformMatrix3fv(glGetUniformLocation(handle, "normalMatrix"), 1, GL_FALSE, &identity3[0][0]);
        glBindVertexArray(mesh->getVaoHandle());
        glDrawElements(GL_TRIANGLES, 3, GL_UNSIGNED_INT, nullptr);
        glBindVertexArray(0);
    });
    for (int v = 0; v < 3; ++v)
    {
        // Between 170 and 190 degrees, weighted: 180, 175 and 185.
        float angle = glm::radians(170.0f + 20.0f * (1.0f - weightsA[v]));
        glm::vec3 expected(std::cos(angle), std::sin(angle), 0.0f);
        expectNear(out[v].position, expected, 1e-3f, "vertex " + std::to_string(v));
        expectNear(out[v].normal, expected, 1e-3f, "normal " + std::to_string(v));
    }
}

TEST_F(Skinning, RenderChecksItsArguments)
{
    KxSkinned* mesh = makeMesh({vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 1, 0}), vertex({0, 1, 0}, {0, 1, 0})});
    glm::mat4 m(1.0f);
    glm::mat3 n(1.0f);
    KxDrawRecord record = {&m, &n, &m};
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(mesh->render(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    mesh->setVisible(false);
    EXPECT_TRUE(mesh->render(nullptr)); // skipped before anything is checked
    mesh->setVisible(true);
    previousPipeline = KxPipeline::getCurrent();
    KxPipeline::setCurrent(nullptr);
    EXPECT_FALSE(mesh->render(&record));
    EXPECT_EQ(kxtest::countLogLines("No pipeline set", mark), 1);
    KxShader* program = skinnedCaptureProgram();
    ASSERT_NE(program, nullptr);
    useProgramFor(program, KxObject::TYPE_SKINNED);
    mesh->setMaterial(nullptr);
    EXPECT_FALSE(mesh->render(&record));
    EXPECT_EQ(kxtest::countLogLines("No material set", mark), 1);
    // Created but never given its skinning records: nothing to fetch them from.
    mesh->setMaterial(KxMaterial::getDefault());
    EXPECT_FALSE(mesh->render(&record));
    EXPECT_EQ(kxtest::countLogLines("has skinning data for 0 of its 3 vertices", mark), 1);
}

namespace
{
// A small skinned mesh with three bones and mixed influences.
struct SkinnedFixture
{
    std::vector<KxMesh::kxMeshVertex> vertices{vertex({0, 0, 0}, {0, 1, 0}), vertex({1, 0, 0}, {0, 0, 1}),
                                               vertex({0, 1, 0}, {1, 0, 0})};
    std::vector<KxSkinned::kxSkinningVertex> skin{influence({0, 1, 2, 0}, {0.5f, 0.25f, 0.25f, 0}),
                                                  influence({2, 0, 0, 0}, {1, 0, 0, 0}),
                                                  influence({1, 2, 0, 0}, {0.625f, 0.375f, 0, 0})};
    std::string names[3] = {"hip", "a_longer_bone_name", "x"};
    glm::mat4 offsets[3] = {glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3)),
                            glm::rotate(glm::mat4(1.0f), 0.5f, glm::vec3(0, 1, 0)), glm::mat4(2.0f)};
    glm::mat4 pose = glm::translate(glm::mat4(1.0f), glm::vec3(0, 0, 7));
};

void append(std::string& bytes, const void* data, size_t size)
{
    bytes.append(static_cast<const char*>(data), size);
}
}

TEST_F(Skinning, SkinnedPartRoundTripsByteForByte)
{
    SkinnedFixture f;
    KxSkinned* mesh = makeMesh(f.vertices);
    mesh->setName("skin");
    ASSERT_TRUE(mesh->setSkeleton(f.pose, 3, f.names, f.offsets, f.skin.data()));

    // save writes the skinned part alone: pose, bone count, names with
    // offsets, skinning records.
    unsigned int size = 0;
    std::unique_ptr<unsigned char[]> saved(mesh->save(size));
    ASSERT_TRUE(saved);
    std::string expected;
    append(expected, &f.pose, 64);
    uint32_t nrOfBones = 3;
    append(expected, &nrOfBones, 4);
    for (int i = 0; i < 3; ++i)
    {
        append(expected, f.names[i].c_str(), f.names[i].size() + 1);
        append(expected, &f.offsets[i], 64);
    }
    append(expected, f.skin.data(), f.skin.size() * 24);
    EXPECT_EQ(size, 68u + (3 + 65) + (18 + 65) + (1 + 65) + 3 * 24);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(saved.get()), size), expected);

    // load reads the mesh part first, as a skinned mesh chunk holds both.
    unsigned int meshSize = 0;
    std::unique_ptr<unsigned char[]> meshPart(mesh->KxMesh::save(meshSize));
    ASSERT_TRUE(meshPart);
    std::string chunk = std::string(reinterpret_cast<const char*>(meshPart.get()), meshSize) + expected;
    KxSkinned* copy = new KxSkinned;
    ASSERT_EQ(copy->load(reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<unsigned int>(chunk.size())),
              chunk.size());
    ASSERT_EQ(copy->getNrOfBones(), 3u);
    EXPECT_EQ(copy->getPoseMatrix(), f.pose);
    EXPECT_EQ(copy->getBone(1)->name, "a_longer_bone_name");
    EXPECT_EQ(copy->getBone(2)->offsetMatrix, f.offsets[2]);
    EXPECT_EQ(copy->getBone(1)->node, nullptr);
    unsigned int copySize = 0;
    std::unique_ptr<unsigned char[]> again(copy->save(copySize));
    ASSERT_TRUE(again);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.get()), copySize), expected);
    unsigned int copyMeshSize = 0;
    std::unique_ptr<unsigned char[]> copyMesh(copy->KxMesh::save(copyMeshSize));
    ASSERT_TRUE(copyMesh);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copyMesh.get()), copyMeshSize), chunk.substr(0, meshSize));

    // Trailing bytes belong to the next chunk: not consumed.
    std::string longer = chunk + "tail";
    KxSkinned* third = new KxSkinned;
    EXPECT_EQ(third->load(reinterpret_cast<const unsigned char*>(longer.data()), static_cast<unsigned int>(longer.size())),
              chunk.size());
}

TEST_F(Skinning, MalformedSkinnedPartsAreRefused)
{
    SkinnedFixture f;
    KxSkinned* mesh = makeMesh(f.vertices);
    ASSERT_TRUE(mesh->setSkeleton(f.pose, 3, f.names, f.offsets, f.skin.data()));
    unsigned int meshSize = 0;
    std::unique_ptr<unsigned char[]> meshPart(mesh->KxMesh::save(meshSize));
    unsigned int skinnedSize = 0;
    std::unique_ptr<unsigned char[]> saved(mesh->save(skinnedSize));
    ASSERT_TRUE(saved && meshPart);
    std::string bytes = std::string(reinterpret_cast<const char*>(meshPart.get()), meshSize) +
                        std::string(reinterpret_cast<const char*>(saved.get()), skinnedSize);
    const unsigned int size = meshSize + skinnedSize;
    auto load = [](const std::string& data, unsigned int length) {
        KxSkinned* target = new KxSkinned;
        return target->load(reinterpret_cast<const unsigned char*>(data.data()), length);
    };

    // Cut inside the pose, the count, a name, an offset and the records.
    size_t mark = kxtest::readLog().size();
    const unsigned int cuts[] = {meshSize, meshSize + 30, meshSize + 66, meshSize + 70, meshSize + 68 + 4 + 10,
                                 size - 24, size - 1};
    for (unsigned int cut : cuts)
        EXPECT_EQ(load(bytes, cut), 0u) << "cut at " << cut;
    EXPECT_EQ(kxtest::countLogLines("truncated", mark), 7);

    // More bones than a skeleton holds.
    std::string tooMany = bytes;
    uint32_t count = KxSkinned::NROFSKELETONBONES + 1;
    std::memcpy(&tooMany[meshSize + 64], &count, 4);
    mark = kxtest::readLog().size();
    EXPECT_EQ(load(tooMany, size), 0u);
    EXPECT_EQ(kxtest::countLogLines("Too many bones", mark), 1);
    std::vector<std::string> names(129, "b");
    std::vector<glm::mat4> offsets(129, glm::mat4(1.0f));
    EXPECT_FALSE(mesh->setSkeleton(glm::mat4(1.0f), 129, names.data(), offsets.data(), f.skin.data()));
    EXPECT_EQ(kxtest::countLogLines("Too many bones", mark), 2);
    EXPECT_EQ(mesh->getNrOfBones(), 3u); // the old skeleton stays

    // A bone name without its terminator inside 256 bytes.
    std::string longName = bytes.substr(0, meshSize + 68) + std::string(300, 'n') + std::string(64 + 200, '\0');
    mark = kxtest::readLog().size();
    EXPECT_EQ(load(longName, static_cast<unsigned int>(longName.size())), 0u);
    EXPECT_EQ(kxtest::countLogLines("Bone name too long", mark), 1);

    // An index beyond the skeleton: refused when it carries weight, made 0 when not.
    const size_t records = size - 3 * 24;
    std::string used = bytes;
    uint32_t outOfRange = 3;
    std::memcpy(&used[records + 24 + 4], &outOfRange, 4); // vertex 1, second slot...
    uint16_t weight = toHalf(0.5f);
    std::memcpy(&used[records + 24 + 16 + 2], &weight, 2); // ...given a weight
    mark = kxtest::readLog().size();
    EXPECT_EQ(load(used, size), 0u);
    EXPECT_EQ(kxtest::countLogLines("Bone index 3 of vertex 1 out of range (3 bones)", mark), 1);
    std::vector<KxSkinned::kxSkinningVertex> bad = f.skin;
    bad[0].boneIndex[3] = 200; // weight 0
    KxSkinned* fixed = makeMesh(f.vertices);
    ASSERT_TRUE(fixed->setSkeleton(f.pose, 3, f.names, f.offsets, bad.data()));
    unsigned int fixedSize = 0;
    std::unique_ptr<unsigned char[]> fixedBytes(fixed->save(fixedSize));
    ASSERT_EQ(fixedSize, skinnedSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fixedBytes.get()), fixedSize), bytes.substr(meshSize));
    bad[0].boneWeight[3] = toHalf(0.25f);
    EXPECT_FALSE(fixed->setSkeleton(f.pose, 3, f.names, f.offsets, bad.data()));

    mark = kxtest::readLog().size();
    EXPECT_FALSE(mesh->setSkeleton(f.pose, 3, nullptr, f.offsets, f.skin.data()));
    EXPECT_FALSE(mesh->setSkeleton(f.pose, 3, f.names, f.offsets, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);
    KxSkinned* empty = new KxSkinned; // never created: no vertex array to attach to
    EXPECT_FALSE(empty->setSkeleton(f.pose, 0, nullptr, nullptr, nullptr));
}

TEST_F(Skinning, BonePartRoundTripsAndDrawsItsBox)
{
    const float box[6] = {-1.0f, -1.0f, -0.5f, 1.0f, 1.0f, 0.5f};
    KxBone* bone = new KxBone;
    bone->setName("shin");
    size_t mark = kxtest::readLog().size();
    EXPECT_EQ(bone->load(reinterpret_cast<const unsigned char*>(box), 23), 0u);
    EXPECT_EQ(kxtest::countLogLines("Bone part of 'shin' truncated", mark), 1);
    ASSERT_EQ(bone->load(reinterpret_cast<const unsigned char*>(box), 30), 24u);
    EXPECT_EQ(bone->getBoxMin(), glm::vec3(-1.0f, -1.0f, -0.5f));
    EXPECT_EQ(bone->getBoxMax(), glm::vec3(1.0f, 1.0f, 0.5f));
    unsigned int size = 0;
    std::unique_ptr<unsigned char[]> saved(bone->save(size));
    ASSERT_EQ(size, 24u);
    EXPECT_EQ(std::memcmp(saved.get(), box, 24), 0);

    // Drawn through the pipeline's bone program when boxes are shown.
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    KxShader* program = new KxShader;
    ASSERT_TRUE(vs->loadFromFile(KxShader::KIND_VERTEX, SHADER_DIR + "bone_vs.glsl"));
    ASSERT_TRUE(fs->loadFromFile(KxShader::KIND_FRAGMENT, SHADER_DIR + "bone_fs.glsl"));
    ASSERT_TRUE(program->build(vs, nullptr, fs));
    useProgramFor(program, KxObject::TYPE_BONE);

    KxFbo::resetCache();
    KxCamera* camera = new KxCamera; // pixels, origin at the top left
    ASSERT_TRUE(camera->render());
    auto orangePixels = [&]() {
        KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 1.0f);
        KxOpenGL::clear(true, true, false);
        glm::mat4 modelView = glm::scale(glm::translate(glm::mat4(1.0f), glm::vec3(160, 120, 0)), glm::vec3(50, 50, 0));
        KxDrawRecord record = {&modelView, nullptr, nullptr};
        EXPECT_TRUE(bone->render(&record));
        const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
        std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
        EXPECT_TRUE(Kalvex::readWindowPixels(0, 0, width, height, pixels.data()));
        int orange = 0;
        for (size_t i = 0; i < pixels.size(); i += 4)
            if (pixels[i] == 255 && pixels[i + 1] >= 127 && pixels[i + 1] <= 128 && pixels[i + 2] >= 50 && pixels[i + 2] <= 52)
                ++orange;
        // The box's outline: nothing outside the square it covers.
        EXPECT_EQ(pixels[0], 0);
        return orange;
    };
    uint64_t drawn = KxStats::get(KxStats::BONE_RENDER);
    EXPECT_EQ(orangePixels(), 0); // boxes hidden by default
    KxBone::showBox(true);
    int orange = orangePixels();
    KxBone::showBox(false);
    EXPECT_GT(orange, 4 * 90); // four sides of about 100 pixels, plus the diagonals
    EXPECT_EQ(KxStats::get(KxStats::BONE_RENDER), drawn + 2);
    mark = kxtest::readLog().size();
    EXPECT_FALSE(bone->render(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
}

// The skinned and bone stages also compile with the reference compiler in
// both texture addressing modes.
TEST_F(Skinning, StagesPassTheReferenceCompiler)
{
    if (std::system("glslangValidator --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "glslangValidator (Debian package glslang-tools) not installed";
    const struct
    {
        const char* file;
        int kind;
        const char* macro;
        const char* extension;
    } stages[] = {{"skinned_vs.glsl", KxShader::KIND_VERTEX, "#define KX_VERTEX_SHADER\n", "vert"},
                  {"bone_vs.glsl", KxShader::KIND_VERTEX, "#define KX_VERTEX_SHADER\n", "vert"},
                  {"bone_fs.glsl", KxShader::KIND_FRAGMENT, "#define KX_FRAGMENT_SHADER\n", "frag"}};
    for (const auto& stage : stages)
    {
        KxShader* shader = new KxShader;
        ASSERT_TRUE(shader->loadFromFile(stage.kind, SHADER_DIR + stage.file));
        for (bool bindless : {true, false})
        {
            std::string path = std::string(stage.file) + (bindless ? ".bindless." : ".bound.") + stage.extension;
            ASSERT_TRUE(kxtest::writeFile(path, KxShader::getHeader(bindless) + stage.macro + shader->getSource()));
            EXPECT_EQ(std::system(("glslangValidator " + path + " > " + path + ".log 2>&1").c_str()), 0)
                << path << ":\n" << kxtest::readFile(path + ".log");
        }
    }
}

// A whole frame: the render list hands the bones their world matrices and the
// forward pipeline draws the skinned mesh. Two squares facing the camera, the
// right one bound to a bone that is then raised by two units.
TEST_F(Skinning, ForwardPipelineDrawsTheSkeletonsPose)
{
    KxPipeline* forward = Kalvex::getPipeline(2);
    ASSERT_NE(forward, nullptr);
    const bool postProc = forward->isPostProc();
    forward->postProc(false);

    KxNode* root = new KxNode;
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    camera->setAngleOfView(45.0f);
    camera->setNearPlane(1.0f);
    camera->setFarPlane(100.0f);
    KxLight* light = new KxLight;
    light->setTranslation(0.0f, 0.0f, -5.0f);
    light->setRadius(50.0f);
    light->link(root);
    KxBone* left = new KxBone;
    left->setName("left");
    left->link(root);
    KxBone* right = new KxBone;
    right->setName("right");
    right->link(root);

    const glm::vec3 n(0, 0, 1);
    std::vector<KxMesh::kxMeshVertex> vertices = {vertex({-2, -1, 0}, n), vertex({0, -1, 0}, n), vertex({0, 1, 0}, n),
                                                  vertex({-2, -1, 0}, n), vertex({0, 1, 0}, n), vertex({-2, 1, 0}, n),
                                                  vertex({0, -1, 0}, n),  vertex({2, -1, 0}, n), vertex({2, 1, 0}, n),
                                                  vertex({0, -1, 0}, n),  vertex({2, 1, 0}, n),  vertex({0, 1, 0}, n)};
    std::vector<KxSkinned::kxSkinningVertex> skin;
    for (size_t v = 0; v < vertices.size(); ++v)
        skin.push_back(influence({v < 6 ? 0u : 1u, 0, 0, 0}, {1, 0, 0, 0}));
    KxSkinned* mesh = makeMesh(vertices);
    mesh->setTranslation(0.0f, 0.0f, -10.0f);
    mesh->link(root);
    KxMaterial* material = new KxMaterial;
    material->setAlbedo(1.0f, 1.0f, 1.0f);
    material->setEmission(1.0f, 1.0f, 1.0f);
    mesh->setMaterial(material);
    // Both bones are bound where the mesh is, so the offsets are identities.
    const std::string names[2] = {"left", "right"};
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::mat4(1.0f)};
    ASSERT_TRUE(mesh->setSkeleton(glm::mat4(1.0f), 2, names, offsets, skin.data()));
    ASSERT_TRUE(mesh->resetBones(root));
    left->setMatrix(mesh->getMatrix());
    right->setMatrix(glm::translate(mesh->getMatrix(), glm::vec3(0, 2, 0)));

    KxList* list = new KxList;
    ASSERT_TRUE(list->create(16));
    list->reset();
    ASSERT_TRUE(list->pass(root));
    uint64_t drawn = KxStats::get(KxStats::SKINNED_RENDER);
    ASSERT_TRUE(Kalvex::render(camera, list, nullptr));
    forward->postProc(postProc);
    delete list; // before the buffers it made
    EXPECT_EQ(KxStats::get(KxStats::SKINNED_RENDER), drawn + 1);

    const int width = Kalvex::getWindowSizeX(), height = Kalvex::getWindowSizeY();
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    ASSERT_TRUE(Kalvex::readWindowPixels(0, 0, width, height, pixels.data()));
    auto brightness = [&](const glm::vec3& world) {
        glm::vec3 window = glm::project(world, glm::mat4(1.0f), camera->getProjMatrix(), glm::vec4(0, 0, width, height));
        int column = static_cast<int>(window.x), row = height - 1 - static_cast<int>(window.y);
        return static_cast<int>(pixels[(static_cast<size_t>(row) * width + column) * 4 + 1]);
    };
    EXPECT_GT(brightness({-1, 0, -10}), 200);  // left square where it was
    EXPECT_LT(brightness({1, 0, -10}), 30);    // right square gone from there...
    EXPECT_GT(brightness({1, 2, -10}), 200);   // ...raised with its bone
    EXPECT_LT(brightness({-1, 2, -10}), 30);
    if (HasFailure())
        kxtest::writePng("forward_skinned.png", width, height, pixels);
}
