// The content tools' helpers that need no GL context: unique names, paths,
// vertex packing, bone weights and the mapping of material and light values.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "convert_math.h"
#include "kxtool.h"

using kxtool::NameTable;

TEST(ToolNames, CollisionsGetSuffixes)
{
    NameTable names;
    EXPECT_EQ(names.make("Cube", "node"), "Cube");
    EXPECT_EQ(names.make("Cube", "node"), "Cube.1");
    EXPECT_EQ(names.make("Cube", "node"), "Cube.2");
    EXPECT_EQ(names.make("Cube.1", "node"), "Cube.1.1");
    EXPECT_EQ(names.getRenamed(), 3u);
    EXPECT_EQ(names.make("Cube", "node", false), "Cube.3");
    EXPECT_EQ(names.getRenamed(), 3u);
}

TEST(ToolNames, EmptyAndReservedNames)
{
    NameTable names;
    EXPECT_EQ(names.make("", "node"), "node");
    EXPECT_EQ(names.make("", "node"), "node.1");
    EXPECT_EQ(names.getRenamed(), 0u);
    // The scene file's marker for "no reference" and the engine's defaults.
    EXPECT_EQ(names.make("[none]", "x"), "[none].1");
    EXPECT_EQ(names.make("[default_material]", "x"), "[default_material].1");
}

TEST(ToolNames, LongNamesAreShortenedAndStayUnique)
{
    NameTable names;
    std::string long1(300, 'a');
    std::string first = names.make(long1, "node");
    std::string second = names.make(long1, "node");
    EXPECT_EQ(first.size(), 255u);
    EXPECT_LE(second.size(), 255u);
    EXPECT_NE(first, second);
    EXPECT_EQ(second.substr(second.size() - 2), ".1");
    EXPECT_EQ(names.make(std::string(255, 'b'), "node").size(), 255u);
}

TEST(ToolNames, ShorteningKeepsUtf8CharactersWhole)
{
    // 127 two-byte characters (254 bytes) and one more: the cut falls inside it.
    std::string text;
    for (int i = 0; i < 128; ++i)
        text += "\xc3\xa9";
    std::string cut = NameTable::shorten(text, 255);
    EXPECT_EQ(cut.size(), 254u);
    EXPECT_EQ(NameTable::shorten("abc", 255), "abc");
}

TEST(ToolPaths, SplitAndNormalise)
{
    EXPECT_EQ(kxtool::directoryOf("/a/b/c.kxo"), "/a/b");
    EXPECT_EQ(kxtool::directoryOf("c.kxo"), ".");
    EXPECT_EQ(kxtool::directoryOf("/c.kxo"), "/");
    EXPECT_EQ(kxtool::fileNameOf("/a/b/c.kxo"), "c.kxo");
    EXPECT_EQ(kxtool::stemOf("/a/b/c.d.kxo"), "c.d");
    EXPECT_EQ(kxtool::stemOf(".hidden"), ".hidden");
    EXPECT_EQ(kxtool::extensionOf("/a/b/C.KXO"), ".kxo");
    EXPECT_EQ(kxtool::extensionOf("/a.b/c"), "");
    EXPECT_EQ(kxtool::absolutePath("/a/./b/../c//d"), "/a/c/d");
    EXPECT_EQ(kxtool::absolutePath("x").front(), '/');
}

TEST(ToolPaths, RelativePaths)
{
    EXPECT_EQ(kxtool::relativePath("/out", "/out/tex.png"), "tex.png");
    EXPECT_EQ(kxtool::relativePath("/out/scenes", "/models/box/tex.png"), "../../models/box/tex.png");
    EXPECT_EQ(kxtool::relativePath("/", "/a/b.png"), "a/b.png");
    EXPECT_EQ(kxtool::relativePath("/a/b", "/a/b"), ".");
}

TEST(ToolPaths, SafeFileNames)
{
    EXPECT_EQ(kxtool::safeFileName("box_Texture 1/α.png"), "box_Texture_1___.png");
    EXPECT_EQ(kxtool::safeFileName(".png"), "_.png");
}

TEST(ToolConvert, PackedVertexKeepsItsValues)
{
    glm::vec3 tangent(1, 0, 0), bitangent(0, 1, 0);
    KxMesh::kxMeshVertex v =
        kxoconvert::packVertex(glm::vec3(1, 2, 3), glm::vec3(0, 0, 2), glm::vec2(0.25f, 0.75f), &tangent, &bitangent);
    EXPECT_EQ(v.position[0], 1.0f);
    EXPECT_EQ(v.position[2], 3.0f);
    glm::vec4 n = KxMesh::unpackNormal(v.normal);
    EXPECT_NEAR(n.z, 1.0f, 1e-3f);
    glm::vec4 t = KxMesh::unpackNormal(v.tangent);
    EXPECT_NEAR(t.x, 1.0f, 1e-3f);
    EXPECT_EQ(t.w, 1.0f);
    EXPECT_EQ(KxMesh::unpackHalf(v.uv[0]), 0.25f);
    EXPECT_EQ(KxMesh::unpackHalf(v.uv[1]), 0.75f);
}

TEST(ToolConvert, MirroredUvGiveNegativeHandedness)
{
    glm::vec3 tangent(1, 0, 0), bitangent(0, -1, 0);
    KxMesh::kxMeshVertex v = kxoconvert::packVertex(glm::vec3(0), glm::vec3(0, 0, 1), glm::vec2(0), &tangent, &bitangent);
    EXPECT_EQ(KxMesh::unpackNormal(v.tangent).w, -1.0f);
}

TEST(ToolConvert, MissingOrDegenerateTangentsArePerpendicular)
{
    for (glm::vec3 normal : {glm::vec3(0, 0, 1), glm::vec3(1, 0, 0), glm::vec3(0.6f, 0.8f, 0.0f)})
    {
        KxMesh::kxMeshVertex v = kxoconvert::packVertex(glm::vec3(0), normal, glm::vec2(0), nullptr, nullptr);
        glm::vec4 t = KxMesh::unpackNormal(v.tangent);
        EXPECT_NEAR(glm::dot(glm::vec3(t), normal), 0.0f, 4e-3f);
        EXPECT_NEAR(glm::length(glm::vec3(t)), 1.0f, 4e-3f);
    }
    glm::vec3 parallel(0, 0, 3), nan(NAN, 0, 0);
    KxMesh::kxMeshVertex a = kxoconvert::packVertex(glm::vec3(0), glm::vec3(0, 0, 1), glm::vec2(0), &parallel, nullptr);
    EXPECT_NEAR(KxMesh::unpackNormal(a.tangent).z, 0.0f, 4e-3f);
    KxMesh::kxMeshVertex b = kxoconvert::packVertex(glm::vec3(NAN, 1, INFINITY), nan, glm::vec2(NAN, 1), &nan, &nan);
    EXPECT_EQ(b.position[0], 0.0f);
    EXPECT_EQ(b.position[2], 0.0f);
    EXPECT_NEAR(KxMesh::unpackNormal(b.normal).z, 1.0f, 1e-3f);
    EXPECT_EQ(KxMesh::unpackHalf(b.uv[0]), 0.0f);
}

TEST(ToolConvert, FourStrongestWeightsRenormalised)
{
    auto strongest = kxoconvert::strongestWeights({{0, 0.1f}, {1, 0.3f}, {2, 0.05f}, {3, 0.2f}, {4, 0.25f}, {5, 0.1f}});
    ASSERT_EQ(strongest.size(), 4u);
    EXPECT_EQ(strongest[0].first, 1u);
    EXPECT_EQ(strongest[1].first, 4u);
    EXPECT_EQ(strongest[2].first, 3u);
    EXPECT_EQ(strongest[3].first, 0u); // ties keep the lower bone
    float sum = 0.0f;
    for (const auto& s : strongest)
        sum += s.second;
    EXPECT_NEAR(sum, 1.0f, 1e-6f);
    EXPECT_NEAR(strongest[0].second, 0.3f / 0.85f, 1e-6f);

    EXPECT_TRUE(kxoconvert::strongestWeights({{0, 0.0f}, {1, -1.0f}, {2, NAN}}).empty());
    auto single = kxoconvert::strongestWeights({{7, 0.4f}});
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].second, 1.0f);
}

TEST(ToolConvert, ShininessToRoughness)
{
    EXPECT_EQ(kxoconvert::shininessToRoughness(0.0f), 1.0f);
    EXPECT_NEAR(kxoconvert::shininessToRoughness(2.0f), std::pow(0.5f, 0.25f), 1e-6f);
    EXPECT_LT(kxoconvert::shininessToRoughness(500.0f), kxoconvert::shininessToRoughness(20.0f));
    EXPECT_EQ(kxoconvert::shininessToRoughness(1e12f), 0.02f);
    EXPECT_EQ(kxoconvert::shininessToRoughness(NAN), 1.0f);
    EXPECT_EQ(kxoconvert::shininessToRoughness(-5.0f), 1.0f);
}

TEST(ToolConvert, LightRadiusFromAttenuation)
{
    // Inverse square: 32 times dimmer than at distance 1 at sqrt(32).
    EXPECT_NEAR(kxoconvert::lightRadius(0.0f, 0.0f, 1.0f, 99.0f), std::sqrt(32.0f), 1e-4f);
    EXPECT_NEAR(kxoconvert::lightRadius(0.0f, 1.0f, 0.0f, 99.0f), 32.0f, 1e-4f);
    EXPECT_NEAR(kxoconvert::lightRadius(1.0f, 1.0f, 0.0f, 99.0f), 63.0f, 1e-3f);
    // Constant only, or nonsense: the fallback.
    EXPECT_EQ(kxoconvert::lightRadius(1.0f, 0.0f, 0.0f, 99.0f), 99.0f);
    EXPECT_EQ(kxoconvert::lightRadius(NAN, NAN, NAN, 99.0f), 99.0f);
}

TEST(ToolConvert, SpotExponentDimsTheConeEdge)
{
    float outer = 30.0f * 3.14159265f / 180.0f;
    float exponent = kxoconvert::spotExponent(outer);
    EXPECT_NEAR(std::pow(std::cos(outer), exponent), 0.1f, 1e-3f);
    EXPECT_EQ(kxoconvert::spotExponent(0.0f), 1.0f);
    EXPECT_EQ(kxoconvert::spotExponent(2.0f), 1.0f);
    EXPECT_EQ(kxoconvert::spotExponent(0.001f), 128.0f);
}

// glTF's linear factors in the engine's encoding (values worked out apart).
TEST(ToolColours, LinearFactorsEncoded)
{
    const float cases[][2] = {{0.0f, 0.0f}, {0.05f, 0.256226f}, {0.2f, 0.481157f}, {0.425f, 0.677776f},
                              {0.9f, 0.953238f}, {1.0f, 1.0f}};
    for (const auto& c : cases)
    {
        EXPECT_NEAR(kxoconvert::linearToEncoded(c[0]), c[1], 1e-5f) << c[0];
        // The lighting's linearisation brings the authored value back.
        EXPECT_NEAR(std::pow(kxoconvert::linearToEncoded(c[0]), 2.2f), c[0], 1e-5f) << c[0];
    }
    EXPECT_EQ(kxoconvert::linearToEncoded(-0.5f), 0.0f);
}
