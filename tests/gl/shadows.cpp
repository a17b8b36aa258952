// The shadow pass: cube shadow maps as the forward pipeline uses them, against
// an independent CPU ray test. A floor lit by one omni light with an occluder
// between them: every floor pixel whose ray to the light clearly passes
// through the occluder must show ambient light only, every pixel whose ray
// clearly misses it must be exactly as lit as in a frame without the shadow.
// Pixels near the occluder's silhouette (the soft edge) are not judged.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace
{
const float FIELD_OF_VIEW = 45.0f;
const float FLOOR_HALF = 8.0f;
const unsigned int MAP_SIZE = 256;
const float PI = 3.14159265358979f;

struct Ray
{
    glm::vec3 origin;
    glm::vec3 direction; // unit length
};

// Where a lookup into the map decides: whole occlusion, none, or the soft
// edge in between, which is not judged.
enum class Expect
{
    SHADOWED,
    LIT,
    EDGE,
};

// The angle by which a lookup can stray from the exact direction: the 20 soft
// offsets of at most sqrt(3) x softness x 0.01, plus two texels of the map's
// 2 x 2 comparison filter and rasterisation (a face spans pi / 2 over size texels).
float strayAngle(float softness, unsigned int mapSize)
{
    return std::sqrt(3.0f) * softness * 0.01f + 2.0f * (PI / 2.0f) / static_cast<float>(mapSize);
}

float angleBetween(const glm::vec3& a, const glm::vec3& b)
{
    return std::acos(glm::clamp(glm::dot(glm::normalize(a), glm::normalize(b)), -1.0f, 1.0f));
}

uint8_t toByte(float value)
{
    return static_cast<uint8_t>(std::lround(glm::clamp(value, 0.0f, 1.0f) * 255.0f));
}

// A square in the plane y = height facing down (-y), of half size half around
// (x, z); a single side, so that only transparent batches (drawn without
// culling) and the shadow pass's front-face culling ever draw it.
std::vector<KxMesh::kxMeshVertex> downSquare(float x, float height, float z, float half)
{
    const glm::vec3 n(0, -1, 0);
    return {kxscene::vertex({x - half, height, z - half}, n, {0, 0}),
            kxscene::vertex({x + half, height, z - half}, n, {1, 0}),
            kxscene::vertex({x + half, height, z + half}, n, {1, 1}),
            kxscene::vertex({x - half, height, z + half}, n, {0, 1})};
}

const KxMesh::kxMeshFace DOWN_SQUARE_FACES[2] = {{{0, 1, 2}}, {{0, 2, 3}}};

std::vector<float> readDepthCube(KxTexture* texture)
{
    size_t count = static_cast<size_t>(texture->getSizeX()) * texture->getSizeY() * 6;
    std::vector<float> depth(count, -1.0f);
    glGetTextureImage(texture->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT,
                      static_cast<GLsizei>(count * sizeof(float)), depth.data());
    return depth;
}
}

class Shadows : public kxscene::SceneTest
{
public:
    static void SetUpTestSuite()
    {
        kxtest::EngineTest::SetUpTestSuite();
        // The reduced start leaves the pass unloaded; loaded here, before any
        // test's mark, its textures and programs outlive every test.
        KxConfig config;
        config.setShadowMapSize(static_cast<int>(MAP_SIZE));
        if (KxPipeline* pass = Kalvex::getPipeline(1))
            pass->load(&config);
        // The cheaper filters' programs are built on first use: built here,
        // they too outlive every test.
        KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
        for (unsigned int taps : {1u, 4u, 20u})
            forward->setShadowFilter(taps);
    }

protected:
    KxShadowPass* pass = nullptr;
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxMesh* floor = nullptr;
    KxMaterial* material = nullptr;
    KxLight* light = nullptr;
    KxList* list = nullptr;
    bool postProc = true;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        pass = dynamic_cast<KxShadowPass*>(Kalvex::getPipeline(1));
        ASSERT_NE(pass, nullptr);
        ASSERT_NE(pass->getShadowMapTexture(), nullptr) << "the suite could not load the shadow pass";
        KxPipeline* forward = Kalvex::getPipeline(2);
        postProc = forward->isPostProc();
        forward->postProc(false);

        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        camera->setAngleOfView(FIELD_OF_VIEW);
        camera->setNearPlane(1.0f);
        camera->setFarPlane(100.0f);
        camera->setMatrix(glm::inverse(glm::lookAt(glm::vec3(0, 9, 9), glm::vec3(0, 0, 0.5f), glm::vec3(0, 1, 0))));
        root = new KxNode;
        material = new KxMaterial;
        material->setAlbedo(0.8f, 0.8f, 0.8f);
        material->setRoughness(0.6f);
        material->setMetalness(0.0f);
        // The floor: the square z = 0 turned to lie in y = 0, facing up.
        floor = kxscene::makeSquare(FLOOR_HALF);
        floor->setMatrix(glm::rotate(glm::mat4(1.0f), -PI / 2.0f, glm::vec3(1, 0, 0)));
        floor->setMaterial(material);
        floor->link(root);
        light = new KxLight;
        light->setTranslation(0.6f, 4.5f, -1.5f);
        light->setRadius(30.0f);
        light->link(root);
        list = new KxList;
        ASSERT_TRUE(list->create(16));
    }

    void TearDown() override
    {
        Kalvex::getPipeline(2)->postProc(postProc);
        KxPipeline::setCurrent(Kalvex::getPipeline(2));
        kxscene::SceneTest::TearDown();
    }

    std::vector<unsigned char> frame()
    {
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, nullptr));
        return kxscene::window();
    }

    Ray pixelRay(int column, int row) const
    {
        float width = static_cast<float>(Kalvex::getWindowSizeX());
        float height = static_cast<float>(Kalvex::getWindowSizeY());
        float t = std::tan(FIELD_OF_VIEW * 0.5f * PI / 180.0f);
        float x = (column + 0.5f) / width * 2.0f - 1.0f;
        float y = 1.0f - (row + 0.5f) / height * 2.0f;
        glm::mat4 world = camera->getMatrix();
        glm::vec3 direction = glm::mat3(world) * glm::vec3(x * t * width / height, y * t, -1.0f);
        return {glm::vec3(world[3]), glm::normalize(direction)};
    }

    // The floor point a pixel sees, away from the floor's border.
    static bool floorPoint(const Ray& ray, glm::vec3& P)
    {
        if (ray.direction.y >= 0.0f)
            return false;
        P = ray.origin + ray.direction * (-ray.origin.y / ray.direction.y);
        return std::fabs(P.x) < FLOOR_HALF - 0.2f && std::fabs(P.z) < FLOOR_HALF - 0.2f;
    }

    // What a shadowed floor pixel shows: the ambient term alone, gamma encoded.
    static glm::vec3 ambientOnly()
    {
        float linear = std::pow(0.8f, 2.2f);
        glm::vec3 a = KxOpenGL::getGlobal()->ambient * linear;
        return glm::vec3(std::pow(a.x, 1 / 2.2f), std::pow(a.y, 1 / 2.2f), std::pow(a.z, 1 / 2.2f));
    }

    struct Verdict
    {
        int shadowed = 0; // pixels judged in shadow
        int lit = 0;      // pixels judged lit
        int wrong = 0;
    };

    // Judges every second pixel of a frame against a frame without the
    // shadow (lit) and the ambient term (shadowed). hides: pixels whose camera
    // ray meets the occluder, which are not floor; expect: the CPU verdict for
    // a floor point.
    Verdict judge(const std::vector<unsigned char>& pixels, const std::vector<unsigned char>& unshadowed,
                  const std::function<bool(const Ray&)>& hides, const std::function<Expect(const glm::vec3&)>& expect,
                  const std::string& name)
    {
        Verdict verdict;
        glm::vec3 dark = ambientOnly();
        std::vector<unsigned char> marked = pixels;
        for (int row = 0; row < Kalvex::getWindowSizeY(); row += 2)
            for (int column = 0; column < Kalvex::getWindowSizeX(); column += 2)
            {
                Ray ray = pixelRay(column, row);
                glm::vec3 P;
                if (hides(ray) || !floorPoint(ray, P))
                    continue;
                Expect e = expect(P);
                if (e == Expect::EDGE)
                    continue;
                const unsigned char* got = kxscene::pixel(pixels, column, row);
                const unsigned char* free = kxscene::pixel(unshadowed, column, row);
                bool ok = true;
                for (int c = 0; c < 3; ++c)
                {
                    int want = e == Expect::SHADOWED ? toByte(dark[c]) : free[c];
                    ok = ok && std::abs(static_cast<int>(got[c]) - want) <= (e == Expect::SHADOWED ? 2 : 1);
                }
                // A shadow must also be visible: the same point lit is clearly brighter.
                if (e == Expect::SHADOWED)
                    ok = ok && free[1] > toByte(dark[1]) + 20;
                (e == Expect::SHADOWED ? verdict.shadowed : verdict.lit)++;
                unsigned char* mark = &marked[(static_cast<size_t>(row) * Kalvex::getWindowSizeX() + column) * 4];
                // Judged pixels: blue shadowed, green lit, red wrong.
                mark[0] = ok ? 0 : 255;
                mark[1] = ok && e == Expect::LIT ? 255 : 0;
                mark[2] = ok && e == Expect::SHADOWED ? 255 : 0;
                if (ok)
                    continue;
                if (verdict.wrong++ < 5)
                    ADD_FAILURE() << name << ": pixel (" << column << ", " << row << ") at (" << P.x << ", " << P.z
                                  << ") expected " << (e == Expect::SHADOWED ? "shadowed" : "lit") << ", got "
                                  << int(got[0]) << " " << int(got[1]) << " " << int(got[2]) << " (unshadowed "
                                  << int(free[0]) << " " << int(free[1]) << " " << int(free[2]) << ")";
            }
        if (verdict.wrong)
        {
            kxscene::savePng(name, pixels);
            kxscene::savePng(name + "_unshadowed", unshadowed);
            kxscene::savePng(name + "_judged", marked);
        }
        return verdict;
    }

    // The sphere occluder: a UV sphere of radius r around c.
    KxMesh* addSphere(const glm::vec3& c, float r)
    {
        KxMesh* sphere = kxscene::makeSphere(16, 24);
        sphere->setMatrix(glm::scale(glm::translate(glm::mat4(1.0f), c), glm::vec3(r)));
        sphere->setMaterial(material);
        sphere->link(root);
        return sphere;
    }

    // The CPU verdict for a sphere: the angle between the ray to the floor
    // point and the ray to the centre against the sphere's angular radius. The
    // facets of the tessellated sphere lie at least 0.97 r from its centre.
    std::function<Expect(const glm::vec3&)> sphereVerdict(const glm::vec3& c, float r, unsigned int mapSize) const
    {
        glm::vec3 L(light->getMatrix()[3]);
        float stray = strayAngle(light->getShadowSoftness(), mapSize);
        return [=](const glm::vec3& P) {
            float toCentre = glm::length(c - L);
            if (glm::length(P - L) < toCentre)
                return Expect::LIT;
            float theta = angleBetween(P - L, c - L);
            if (theta < std::asin(0.97f * r / toCentre) - stray)
                return Expect::SHADOWED;
            if (theta > std::asin(r / toCentre) + stray)
                return Expect::LIT;
            return Expect::EDGE;
        };
    }

    static std::function<bool(const Ray&)> sphereHides(const glm::vec3& c, float r)
    {
        return [=](const Ray& ray) {
            glm::vec3 oc = ray.origin - c;
            float b = glm::dot(oc, ray.direction);
            return b * b - (glm::dot(oc, oc) - 1.1f * r * 1.1f * r) >= 0.0f;
        };
    }

    // The CPU verdict for a square in the plane y = height: where the ray from
    // the floor point to the light crosses that plane, inside the square (and
    // inside the part x < x0 + splitX when given) by more than the stray
    // distance, or outside by more.
    std::function<Expect(const glm::vec3&)> squareVerdict(const glm::vec2& centre, float height, float half,
                                                          float keepBelowX = 1e9f) const
    {
        glm::vec3 L(light->getMatrix()[3]);
        float stray = strayAngle(light->getShadowSoftness(), MAP_SIZE);
        return [=](const glm::vec3& P) {
            float s = (height - P.y) / (L.y - P.y);
            glm::vec3 Q = P + (L - P) * s;
            // Stray angle as a distance at the square, generously along the slant.
            float margin = stray * glm::length(L - Q) * 1.5f + 0.02f;
            float dx = std::min(half - std::fabs(Q.x - centre.x), keepBelowX - Q.x);
            float dz = half - std::fabs(Q.z - centre.y);
            float inside = std::min(dx, dz);
            if (inside > margin)
                return Expect::SHADOWED;
            if (inside < -margin)
                return Expect::LIT;
            return Expect::EDGE;
        };
    }

    static std::function<bool(const Ray&)> squareHides(const glm::vec2& centre, float height, float half)
    {
        return [=](const Ray& ray) {
            float t = (height - ray.origin.y) / ray.direction.y;
            glm::vec3 Q = ray.origin + ray.direction * t;
            return t > 0.0f && std::fabs(Q.x - centre.x) < half + 0.1f && std::fabs(Q.z - centre.y) < half + 0.1f;
        };
    }
};

TEST_F(Shadows, SphereDarkensExactlyTheOccludedFloor)
{
    const glm::vec3 c(0.0f, 1.5f, 0.0f);
    const float r = 0.8f;
    KxMesh* sphere = addSphere(c, r);

    std::vector<unsigned char> shadowed = frame();
    sphere->setCastShadows(false);
    std::vector<unsigned char> unshadowed = frame();
    Verdict verdict = judge(shadowed, unshadowed, sphereHides(c, r), sphereVerdict(c, r, MAP_SIZE), "shadow_sphere");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 150);
    EXPECT_GE(verdict.lit, 5000);
}

// Instances cast through the instanced depth program: two spheres of one
// instanced node shade the floor exactly where either one occludes the light.
TEST_F(Shadows, InstancedSpheresCastTheirShadows)
{
    const glm::vec3 c[2] = {{-1.2f, 1.5f, 0.0f}, {1.4f, 1.2f, 0.3f}};
    const float r = 0.7f;
    KxMesh* sphere = kxscene::makeSphere(16, 24); // geometry only: not in the scene
    sphere->setMaterial(material);
    KxInstanced* instanced = new KxInstanced;
    instanced->setMesh(sphere);
    ASSERT_TRUE(instanced->create(2));
    KxInstanced::kxInstanceData* data = instanced->map(1);
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < 2; ++i)
    {
        data[i] = KxInstanced::kxInstanceData{};
        data[i].materialId = material->getListId();
        data[i].worldMatrix = glm::scale(glm::translate(glm::mat4(1.0f), c[i]), glm::vec3(r));
        data[i].inverseTranspose = glm::transpose(glm::inverse(data[i].worldMatrix));
    }
    ASSERT_TRUE(instanced->unmap());
    instanced->link(root);
    light->setTranslation(0.0f, 4.5f, -1.0f);

    std::vector<unsigned char> shadowed = frame();
    instanced->setCastShadows(false);
    std::vector<unsigned char> unshadowed = frame();
    auto first = sphereVerdict(c[0], r, MAP_SIZE), second = sphereVerdict(c[1], r, MAP_SIZE);
    auto firstHides = sphereHides(c[0], r), secondHides = sphereHides(c[1], r);
    Verdict verdict = judge(
        shadowed, unshadowed, [&](const Ray& ray) { return firstHides(ray) || secondHides(ray); },
        [&](const glm::vec3& P) {
            Expect a = first(P), b = second(P);
            if (a == Expect::SHADOWED || b == Expect::SHADOWED)
                return Expect::SHADOWED;
            return a == Expect::LIT && b == Expect::LIT ? Expect::LIT : Expect::EDGE;
        },
        "shadow_instanced");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 200);
    EXPECT_GE(verdict.lit, 5000);
}

// Particles cast the shadow of squares facing the light: with speed 0 every
// particle of the emitter stays at its origin. Switched off, the emitter
// casts nothing: the floor is as without it.
TEST_F(Shadows, EmitterCastsOnlyWhenCasting)
{
    const glm::vec3 c(0.0f, 1.8f, 0.0f);
    const float half = 0.7f; // half the particle size
    KxEmitter* emitter = new KxEmitter;
    ASSERT_TRUE(emitter->create(16));
    ASSERT_TRUE(emitter->reset());
    emitter->setSpeed(0.0f);
    emitter->setParticleSize(2.0f * half);
    emitter->setTranslation(c);
    emitter->link(root);
    light->setShadowSoftness(1.0f);

    std::vector<unsigned char> casting = frame();
    emitter->setCastShadows(false);
    std::vector<unsigned char> notCasting = frame();
    emitter->setVisible(false);
    std::vector<unsigned char> without = frame();

    // The glow itself changes from frame to frame: pixels that see it are not judged.
    auto glow = sphereHides(c, half * 1.6f);
    // The square lies between its inscribed and its circumscribed circle.
    glm::vec3 L(light->getMatrix()[3]);
    float stray = strayAngle(light->getShadowSoftness(), MAP_SIZE);
    auto square = [&](const glm::vec3& P) {
        float toCentre = glm::length(c - L);
        if (glm::length(P - L) < toCentre)
            return Expect::LIT;
        float theta = angleBetween(P - L, c - L);
        if (theta < std::atan(0.97f * half / toCentre) - stray)
            return Expect::SHADOWED;
        if (theta > std::atan(1.42f * half / toCentre) + stray)
            return Expect::LIT;
        return Expect::EDGE;
    };
    Verdict verdict = judge(casting, without, glow, square, "shadow_emitter");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 100);
    verdict = judge(notCasting, without, glow, [](const glm::vec3&) { return Expect::LIT; }, "shadow_emitter_off");
    EXPECT_EQ(verdict.wrong, 0);
}

// A light that casts no shadows reads the empty map: its frame equals the one
// whose occluder casts none, and the floor under the occluder is lit.
TEST_F(Shadows, LightThatCastsNoShadowsCastsNone)
{
    const glm::vec3 c(0.0f, 1.5f, 0.0f);
    const float r = 0.8f;
    KxMesh* sphere = addSphere(c, r);

    // The shared map first receives the sphere's shadow: a light that casts
    // none must not read it.
    frame();
    light->setCastShadows(false);
    std::vector<unsigned char> noLightShadow = frame();
    light->setCastShadows(true);
    sphere->setCastShadows(false);
    std::vector<unsigned char> noMeshShadow = frame();
    int different = 0;
    for (size_t i = 0; i < noLightShadow.size(); ++i)
        different += std::abs(static_cast<int>(noLightShadow[i]) - static_cast<int>(noMeshShadow[i])) > 1;
    EXPECT_EQ(different, 0);

    // Where the sphere would shade the floor, the floor is lit.
    auto verdict = sphereVerdict(c, r, MAP_SIZE);
    auto hides = sphereHides(c, r);
    int checked = 0;
    glm::vec3 dark = ambientOnly();
    for (int row = 0; row < Kalvex::getWindowSizeY(); row += 2)
        for (int column = 0; column < Kalvex::getWindowSizeX(); column += 2)
        {
            Ray ray = pixelRay(column, row);
            glm::vec3 P;
            if (hides(ray) || !floorPoint(ray, P) || verdict(P) != Expect::SHADOWED)
                continue;
            ++checked;
            EXPECT_GT(kxscene::pixel(noLightShadow, column, row)[1], toByte(dark.g) + 20)
                << "pixel (" << column << ", " << row << ")";
        }
    EXPECT_GE(checked, 150);
    if (HasFailure())
        kxscene::savePng("shadow_light_off", noLightShadow);
}

// The shadow pass draws what casts shadows, whatever it is made of: a
// skinned square raised over the floor by its bone casts the shadow of its
// pose, not of its bind pose; switched off, it casts none.
TEST_F(Shadows, SkinnedMeshCastsTheShadowOfItsPose)
{
    KxBone* bone = new KxBone;
    bone->setName("lift");
    bone->link(root);
    std::vector<KxMesh::kxMeshVertex> vertices = downSquare(-1.5f, 2.0f, 0.0f, 0.6f);
    KxSkinned* skinned = new KxSkinned;
    ASSERT_TRUE(skinned->create(4, vertices.data(), 2, DOWN_SQUARE_FACES));
    skinned->setMaterial(material);
    skinned->link(root);
    std::vector<KxSkinned::kxSkinningVertex> skin(4);
    for (auto& s : skin)
    {
        s = KxSkinned::kxSkinningVertex{};
        s.boneWeight[0] = KxMesh::packHalf(1.0f);
    }
    const std::string names[1] = {"lift"};
    const glm::mat4 offsets[1] = {glm::mat4(1.0f)};
    ASSERT_TRUE(skinned->setSkeleton(glm::mat4(1.0f), 1, names, offsets, skin.data()));
    ASSERT_TRUE(skinned->resetBones(root));
    // The bone carries the square 3 units along x.
    bone->setMatrix(glm::translate(glm::mat4(1.0f), glm::vec3(3.0f, 0.0f, 0.0f)));
    light->setTranslation(0.0f, 5.0f, 0.0f);
    light->setShadowSoftness(1.0f); // a narrow soft edge around a small occluder

    std::vector<unsigned char> shadowed = frame();
    skinned->setCastShadows(false);
    std::vector<unsigned char> unshadowed = frame();
    const glm::vec2 posed(1.5f, 0.0f);
    Verdict verdict = judge(shadowed, unshadowed, squareHides(posed, 2.0f, 0.6f), squareVerdict(posed, 2.0f, 0.6f),
                            "shadow_skinned");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 150);
    EXPECT_GE(verdict.lit, 5000);

    // Not casting: nothing differs from a frame without the skinned mesh at all.
    skinned->setVisible(false);
    std::vector<unsigned char> without = frame();
    EXPECT_EQ(without, unshadowed);
}

// Transparent batches go through the alpha program: texels of an alpha
// material below the threshold cast no shadow, while a merely translucent
// material casts a whole one.
TEST_F(Shadows, AlphaTestedTexelsCastNoShadow)
{
    // Left texel opaque, right texel fully transparent; nearest filtering keeps
    // the border at u = 0.5, the square's centre line x = 0.
    KxTexture* texture = new KxTexture;
    ASSERT_TRUE(texture->create(4, 2, 1, 1, 1, 0));
    const unsigned char texels[8] = {255, 255, 255, 255, 255, 255, 255, 0};
    ASSERT_TRUE(texture->write(texels));
    KxMaterial* cutout = new KxMaterial;
    cutout->setAlbedo(0.8f, 0.8f, 0.8f);
    ASSERT_TRUE(cutout->setTexture(texture, KxMaterial::SLOT_ALBEDO));
    ASSERT_TRUE(cutout->isAlpha());

    std::vector<KxMesh::kxMeshVertex> vertices = downSquare(0.0f, 2.0f, 0.0f, 0.8f);
    KxMesh* square = new KxMesh;
    ASSERT_TRUE(square->create(4, vertices.data(), 2, DOWN_SQUARE_FACES));
    square->setMaterial(cutout);
    square->link(root);
    light->setTranslation(0.0f, 5.0f, 0.0f);
    light->setShadowSoftness(1.0f); // a narrow soft edge around a small occluder

    std::vector<unsigned char> shadowed = frame();
    EXPECT_EQ(list->getBatchCount(1), 1u) << "the square is a transparent batch";
    square->setCastShadows(false);
    std::vector<unsigned char> unshadowed = frame();
    square->setCastShadows(true);
    const glm::vec2 centre(0.0f, 0.0f);
    Verdict verdict = judge(shadowed, unshadowed, squareHides(centre, 2.0f, 0.8f),
                            squareVerdict(centre, 2.0f, 0.8f, 0.0f), "shadow_alpha");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 100);

    // Translucent without an alpha channel: the whole square shades.
    KxMaterial* translucent = new KxMaterial;
    translucent->setAlbedo(0.8f, 0.8f, 0.8f);
    translucent->setTransparency(0.5f);
    square->setMaterial(translucent);
    shadowed = frame();
    EXPECT_EQ(list->getBatchCount(1), 1u);
    square->setCastShadows(false);
    unshadowed = frame();
    verdict = judge(shadowed, unshadowed, squareHides(centre, 2.0f, 0.8f), squareVerdict(centre, 2.0f, 0.8f),
                    "shadow_translucent");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 200);
}

TEST_F(Shadows, MapSizesFormatsAndProgramTable)
{
    EXPECT_EQ(pass->getName(), "ShadowPassPipeline");
    EXPECT_EQ(pass->getType(), KxObject::TYPE_PIPELINE);
    EXPECT_EQ(pass->getSubtype(), 1);
    EXPECT_EQ(pass->getShadowMapSize(), MAP_SIZE);
    EXPECT_EQ(KxOpenGL::getGlobal()->shadowMap, pass->getShadowMapTexture()->getBindlessHandle());

    KxShadowPass* other = new KxShadowPass;
    EXPECT_EQ(other->getShadowMapTexture(), nullptr);
    EXPECT_TRUE(other->isUseCulling());
    EXPECT_EQ(other->getLightId(), 0u);
    KxConfig config;
    config.setShadowMapSize(512);
    ASSERT_TRUE(other->load(&config));
    KxTexture* map = other->getShadowMapTexture();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getSizeX(), 512u);
    EXPECT_EQ(map->getSizeY(), 512u);
    EXPECT_EQ(map->getSubtype(), 19);
    EXPECT_EQ(other->getEmptyShadowMapTexture()->getSizeX(), 1u);

    // What GL holds: six 512 x 512 depth faces compared on lookup.
    GLuint name = map->getHandle();
    GLint target = 0, compareMode = 0, compareFunc = 0, width = 0, height = 0, format = 0;
    glGetTextureParameteriv(name, GL_TEXTURE_TARGET, &target);
    glGetTextureParameteriv(name, GL_TEXTURE_COMPARE_MODE, &compareMode);
    glGetTextureParameteriv(name, GL_TEXTURE_COMPARE_FUNC, &compareFunc);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_CUBE_MAP, name);
    for (GLenum face = 0; face < 6; ++face)
    {
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexLevelParameteriv(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
        EXPECT_EQ(width, 512) << "face " << face;
        EXPECT_EQ(height, 512) << "face " << face;
        EXPECT_EQ(format, GL_DEPTH_COMPONENT32) << "face " << face;
    }
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
    EXPECT_EQ(target, GL_TEXTURE_CUBE_MAP);
    EXPECT_EQ(compareMode, GL_COMPARE_REF_TO_TEXTURE);
    EXPECT_EQ(compareFunc, GL_LEQUAL);

    // Depth programs for batches only: opaque and transparent ones differ, the
    // skinned one takes every flag, meshes drawn alone have none.
    for (int subtype : {KxMesh::KIND_TRIANGLES, KxMesh::KIND_NORMAL_MAPPED})
    {
        KxShader* solid = other->getShader(KxObject::TYPE_MESH, subtype, KxPipeline::FLAGS_OPAQUE_BATCH);
        KxShader* alpha = other->getShader(KxObject::TYPE_MESH, subtype, KxPipeline::FLAGS_TRANSPARENT_BATCH);
        EXPECT_NE(solid, nullptr);
        EXPECT_NE(alpha, nullptr);
        EXPECT_NE(solid, alpha);
        EXPECT_EQ(other->getShader(KxObject::TYPE_MESH, subtype, KxPipeline::FLAGS_ALONE), nullptr);
    }
    EXPECT_EQ(other->getShader(KxObject::TYPE_MESH, KxMesh::KIND_TESSELLATED, KxPipeline::FLAGS_OPAQUE_BATCH), nullptr);
    KxShader* skinned = other->getShader(KxObject::TYPE_SKINNED, 0, 0);
    EXPECT_NE(skinned, nullptr);
    for (int subtype : {0, 1})
        for (int flags : {0, 1, 2})
            EXPECT_EQ(other->getShader(KxObject::TYPE_SKINNED, subtype, flags), skinned);

    ASSERT_TRUE(other->load(nullptr));
    EXPECT_EQ(other->getShadowMapTexture()->getSizeX(), 1024u);
    EXPECT_EQ(other->getShadowMapSize(), 1024u);
    ASSERT_TRUE(other->unload(nullptr));
    EXPECT_EQ(other->getShadowMapTexture(), nullptr);
    EXPECT_EQ(other->getShader(KxObject::TYPE_MESH, 0, KxPipeline::FLAGS_OPAQUE_BATCH), nullptr);
    delete other;
    // The engine's pass publishes its map again.
    KxOpenGL::getGlobal()->shadowMap = pass->getShadowMapTexture()->getBindlessHandle();

    config.setShadowMapSize(0);
    KxShadowPass* refused = new KxShadowPass;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(refused->load(&config));
    EXPECT_EQ(kxtest::countLogLines("Invalid shadow map size 0", mark), 1);
}

// A direct call: a depth-only pass that leaves the colour mask and the list
// as it found them, and skips lights that cast no shadows.
TEST_F(Shadows, RenderRestoresStateAndSkipsNonCastingLights)
{
    addSphere(glm::vec3(0.0f, 1.5f, 0.0f), 0.8f);
    light->setTranslation(0.6f, 4.5f, 0.4f);
    list->reset();
    ASSERT_TRUE(list->pass(root));
    camera->render(nullptr);

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(pass->render(nullptr, list, nullptr));
    EXPECT_FALSE(pass->render(camera, nullptr, nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);

    KxTexture* map = pass->getShadowMapTexture();
    // Fill the map with a known far plane, so that the pass's drawing shows.
    const float farthest = 1.0f;
    glClearTexImage(map->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);
    unsigned int before = KxList::getCurrentPassId();
    pass->setLightId(0);
    EXPECT_EQ(pass->getLightId(), 0u);
    KxPipeline::setCurrent(pass);
    ASSERT_TRUE(pass->render(camera, list, nullptr));
    KxPipeline::setCurrent(Kalvex::getPipeline(2));
    EXPECT_EQ(KxList::getCurrentPassId(), before + 1) << "one list update";
    GLboolean mask[4] = {GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE};
    glGetBooleanv(GL_COLOR_WRITEMASK, mask);
    EXPECT_TRUE(mask[0] && mask[1] && mask[2] && mask[3]);
    GLint cullFace = 0;
    glGetIntegerv(GL_CULL_FACE_MODE, &cullFace);
    EXPECT_EQ(cullFace, GL_BACK);
    EXPECT_EQ(list->getPass(), 0u);

    // The sphere's far side is in the -Y face (layer 3), below the light: the
    // texel straight down holds the depth of the sphere's bottom, at distance
    // 4.5 - (1.5 - 0.8) = 3.8 from the light along -y (the light is at x 0.6,
    // z 0.4, inside the sphere's outline seen from above).
    std::vector<float> drawn = readDepthCube(map);
    const size_t faceSize = static_cast<size_t>(MAP_SIZE) * MAP_SIZE;
    int covered = 0;
    for (size_t i = 3 * faceSize; i < 4 * faceSize; ++i)
        covered += drawn[i] < 1.0f;
    EXPECT_GT(covered, 100);
    for (int face : {0, 1, 2, 4, 5})
    {
        int touched = 0;
        for (size_t i = face * faceSize; i < (face + 1) * faceSize; ++i)
            touched += drawn[i] < 1.0f;
        EXPECT_EQ(touched, 0) << "face " << face << " sees no sphere";
    }

    // The light with cast shadows off: nothing drawn, nothing counted.
    light->setCastShadows(false);
    glClearTexImage(map->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);
    before = KxList::getCurrentPassId();
    EXPECT_TRUE(pass->render(camera, list, nullptr));
    EXPECT_EQ(KxList::getCurrentPassId(), before);
    std::vector<float> untouched = readDepthCube(map);
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 1.0f), static_cast<long>(untouched.size()));

    pass->setUseCulling(false);
    EXPECT_FALSE(pass->isUseCulling());
    pass->setUseCulling(true);
}

// Each face of the map as GL addresses it: a small sphere off the centre of
// every face, seen from the light. The texel in the direction of its centre
// holds the depth of its far side (front faces are culled) under the face's
// projection with the light's near plane and radius; the texel of the
// mirrored direction holds nothing.
TEST_F(Shadows, EveryFaceHoldsWhatLiesInItsDirection)
{
    floor->setVisible(false);
    const glm::vec3 L(0.0f, 3.0f, 0.0f);
    light->setTranslation(L);
    const float nearPlane = 0.5f, farPlane = 20.0f;
    light->setRadius(farPlane, nearPlane);
    const float distance = 3.0f, r = 0.5f;
    // One direction per face, in face order, off the face's centre.
    const glm::vec3 directions[6] = {{1.0f, 0.4f, -0.25f}, {-1.0f, -0.3f, 0.35f}, {0.3f, 1.0f, -0.4f},
                                     {-0.35f, -1.0f, 0.25f}, {0.4f, -0.3f, 1.0f}, {-0.25f, 0.35f, -1.0f}};
    for (const glm::vec3& d : directions)
        addSphere(L + glm::normalize(d) * distance, r);
    list->reset();
    ASSERT_TRUE(list->pass(root));
    pass->setLightId(0);
    KxPipeline::setCurrent(pass);
    ASSERT_TRUE(pass->render(camera, list, nullptr));
    KxPipeline::setCurrent(Kalvex::getPipeline(2));
    std::vector<float> depth = readDepthCube(pass->getShadowMapTexture());

    // Table 8.19 of the GL 4.5 core profile: face, sc and tc of a direction.
    auto lookup = [&](const glm::vec3& v, int& face) {
        glm::vec3 a = glm::abs(v);
        float sc, tc, ma;
        if (a.x >= a.y && a.x >= a.z)
        {
            face = v.x > 0 ? 0 : 1;
            ma = a.x;
            sc = v.x > 0 ? -v.z : v.z;
            tc = -v.y;
        }
        else if (a.y >= a.z)
        {
            face = v.y > 0 ? 2 : 3;
            ma = a.y;
            sc = v.x;
            tc = v.y > 0 ? v.z : -v.z;
        }
        else
        {
            face = v.z > 0 ? 4 : 5;
            ma = a.z;
            sc = v.z > 0 ? v.x : -v.x;
            tc = -v.y;
        }
        int i = std::min(static_cast<int>((sc / ma + 1.0f) * 0.5f * MAP_SIZE), static_cast<int>(MAP_SIZE) - 1);
        int j = std::min(static_cast<int>((tc / ma + 1.0f) * 0.5f * MAP_SIZE), static_cast<int>(MAP_SIZE) - 1);
        return depth[(static_cast<size_t>(face) * MAP_SIZE + j) * MAP_SIZE + i];
    };
    // The window depth of a point at distance z along the face's axis.
    auto windowDepth = [&](float z) {
        float n = (farPlane + nearPlane) / (farPlane - nearPlane) - 2.0f * farPlane * nearPlane / (farPlane - nearPlane) / z;
        return (n + 1.0f) * 0.5f;
    };
    for (int f = 0; f < 6; ++f)
    {
        glm::vec3 d = glm::normalize(directions[f]);
        int face = -1;
        float stored = lookup(d, face);
        EXPECT_EQ(face, f);
        float axis = std::max(std::fabs(d.x), std::max(std::fabs(d.y), std::fabs(d.z)));
        // The facets of the far side lie between 0.97 r and r behind the centre.
        EXPECT_GE(stored, windowDepth((distance + 0.96f * r) * axis)) << "face " << f;
        EXPECT_LE(stored, windowDepth((distance + 1.01f * r) * axis)) << "face " << f;
        // Mirrored across the face's centre lines: empty.
        glm::vec3 mirrored = -d;
        if (f / 2 == 0)
            mirrored.x = d.x;
        else if (f / 2 == 1)
            mirrored.y = d.y;
        else
            mirrored.z = d.z;
        EXPECT_EQ(lookup(mirrored, face), 1.0f) << "face " << f << " mirrored";
        EXPECT_EQ(face, f);
    }
}

// A light with its own map and update interval 4 redraws it at most once
// every four list updates, and the forward pipeline samples that map.
TEST_F(Shadows, OwnMapRefreshesOncePerUpdateInterval)
{
    const float r = 0.8f;
    glm::vec3 c(0.0f, 1.5f, 0.0f);
    KxMesh* sphere = addSphere(c, r);
    const unsigned int ownSize = 64;
    ASSERT_TRUE(light->useOwnShadowMap(true, ownSize, 4));
    KxTexture* own = light->getShadowMapTexture();
    KxFbo* ownFbo = light->getShadowMapFbo();
    ASSERT_NE(own, nullptr);
    KxTexture* shared = pass->getShadowMapTexture();
    const float farthest = 1.0f;
    glClearTexImage(shared->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);

    std::vector<float> previous = readDepthCube(own);
    std::vector<int> refreshed;
    std::vector<unsigned int> stamps;
    std::vector<unsigned char> first;
    for (int n = 0; n < 12; ++n)
    {
        std::vector<unsigned char> pixels = frame();
        if (n == 0)
            first = pixels;
        std::vector<float> now = readDepthCube(own);
        if (now != previous)
        {
            refreshed.push_back(n);
            stamps.push_back(ownFbo->getLastUpdate());
        }
        previous = now;
        // The occluder moves every frame, so every redraw changes the map.
        c.x += 0.05f;
        sphere->setMatrix(glm::scale(glm::translate(glm::mat4(1.0f), c), glm::vec3(r)));
    }
    ASSERT_FALSE(refreshed.empty());
    EXPECT_EQ(refreshed.front(), 0) << "a map never drawn is drawn at once";
    for (size_t k = 1; k < refreshed.size(); ++k)
    {
        EXPECT_GE(stamps[k] - stamps[k - 1], 4u) << "refreshes " << k - 1 << " and " << k;
        EXPECT_LE(refreshed[k] - refreshed[k - 1], 4) << "a stale map is redrawn within four frames";
    }
    EXPECT_GE(refreshed.size(), 3u);
    EXPECT_LT(refreshed.size(), 12u);
    // The shared map is not the target of a light that has its own.
    std::vector<float> sharedDepth = readDepthCube(shared);
    EXPECT_EQ(std::count(sharedDepth.begin(), sharedDepth.end(), 1.0f), static_cast<long>(sharedDepth.size()));

    // The first frame drew and sampled the fresh map: its shadow is where the
    // CPU puts it (judged with the coarser own map's stray angle).
    c.x = 0.0f;
    sphere->setMatrix(glm::scale(glm::translate(glm::mat4(1.0f), c), glm::vec3(r)));
    // The reference without any map: a light's own map is sampled even when
    // the light casts no shadows.
    ASSERT_TRUE(light->useOwnShadowMap(false, 0, 0));
    light->setCastShadows(false);
    std::vector<unsigned char> unshadowed = frame();
    Verdict verdict = judge(first, unshadowed, sphereHides(c, r), sphereVerdict(c, r, ownSize), "shadow_own_map");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.shadowed, 100);
}

// Sampling the empty map anywhere, with any reference depth up to the far
// plane, gives full light.
TEST_F(Shadows, EmptyMapReadsAsFullLightEverywhere)
{
    const char* source = "layout(local_size_x = 1) in;\n"
                         "layout(std430, binding = 3) buffer Results { float result[]; };\n"
                         "uniform samplerCubeShadow textureSampler6;\n"
                         "const float references[4] = float[](0.0, 0.5, 0.999, 1.0);\n"
                         "void main()\n"
                         "{\n"
                         "    uint i = gl_GlobalInvocationID.x;\n"
                         "    uint d = i / 4u;\n"
                         "    vec3 direction = vec3(float(d % 3u) - 1.0, float((d / 3u) % 3u) - 1.0, float(d / 9u) - 1.0);\n"
                         "    if (d == 13u) direction = vec3(0.3, -0.2, 0.9);\n"
                         "    result[i] = texture(textureSampler6, vec4(direction, references[i % 4u]));\n"
                         "}\n";
    KxShader* stage = new KxShader;
    KxShader* program = new KxShader;
    ASSERT_TRUE(stage->loadFromMemory(KxShader::KIND_COMPUTE, source));
    ASSERT_TRUE(program->build(nullptr, nullptr, nullptr, stage));
    const unsigned int count = 27 * 4;
    GLuint buffer = 0;
    glCreateBuffers(1, &buffer);
    std::vector<float> results(count, -1.0f);
    glNamedBufferData(buffer, count * sizeof(float), results.data(), GL_DYNAMIC_READ);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 3, buffer);
    program->render(nullptr);
    KxTexture* empty = pass->getEmptyShadowMapTexture();
    ASSERT_NE(empty, nullptr);
    ASSERT_TRUE(empty->render(reinterpret_cast<void*>(static_cast<uintptr_t>(6))));
    ASSERT_TRUE(program->dispatchCompute(count, 1, 1));
    program->waitFor();
    glGetNamedBufferSubData(buffer, 0, count * sizeof(float), results.data());
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 3, 0);
    glDeleteBuffers(1, &buffer);
    for (unsigned int i = 0; i < count; ++i)
        EXPECT_EQ(results[i], 1.0f) << "lookup " << i;
    // And what it holds: depth 1.0 on all six faces.
    std::vector<float> depth = readDepthCube(empty);
    ASSERT_EQ(depth.size(), 6u);
    for (float value : depth)
        EXPECT_EQ(value, 1.0f);
}

// The engine creates the pass in slot 1 in every start and loads it, with the
// configuration's map size, only in the full start.
TEST(ShadowStart, LoadedInTheFullStartOnly)
{
    ASSERT_FALSE(Kalvex::isInitialized());
    KxConfig config;
    config.setWindowSizeX(160);
    config.setWindowSizeY(120);
    config.setShadowMapSize(256);

    ASSERT_TRUE(Kalvex::init(config, true));
    KxShadowPass* pass = dynamic_cast<KxShadowPass*>(Kalvex::getPipeline(1));
    ASSERT_NE(pass, nullptr);
    EXPECT_EQ(pass->getName(), "ShadowPassPipeline");
    EXPECT_EQ(pass->getShadowMapTexture(), nullptr);
    EXPECT_EQ(pass->getShader(KxObject::TYPE_MESH, 0, KxPipeline::FLAGS_OPAQUE_BATCH), nullptr);
    EXPECT_EQ(KxPipeline::getCurrent(), Kalvex::getPipeline(2));
    ASSERT_TRUE(Kalvex::free());

    ASSERT_TRUE(Kalvex::init(config, false));
    pass = dynamic_cast<KxShadowPass*>(Kalvex::getPipeline(1));
    ASSERT_NE(pass, nullptr);
    EXPECT_EQ(pass->getName(), "ShadowPassPipeline");
    ASSERT_NE(pass->getShadowMapTexture(), nullptr);
    EXPECT_EQ(pass->getShadowMapTexture()->getSizeX(), 256u);
    EXPECT_NE(pass->getShader(KxObject::TYPE_MESH, 0, KxPipeline::FLAGS_OPAQUE_BATCH), nullptr);
    EXPECT_EQ(KxPipeline::getCurrent(), Kalvex::getPipeline(2));
    ASSERT_TRUE(Kalvex::free());

    // A map size the pass refuses stops the full start.
    config.setShadowMapSize(0);
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(Kalvex::init(config, false));
    EXPECT_EQ(kxtest::countLogLines("Unable to setup shadow pass", mark), 1);
    EXPECT_FALSE(Kalvex::isInitialized());
}

namespace
{
// Puts the forward pipeline's shadow filter back when a test ends.
struct FilterScope
{
    KxDefaultRendering* forward = static_cast<KxDefaultRendering*>(Kalvex::getPipeline(2));
    unsigned int kept = forward->getShadowFilter();
    ~FilterScope() { forward->setShadowFilter(kept); }
};
}

// A light that casts no shadows is lit by the program without any shadow
// lookup (it has no shadow-map sampler at all), and every floor point shows
// what the 20-tap program shows reading a map that holds nothing in front of it.
TEST_F(Shadows, ShadowFreeProgramGivesTheSamePixels)
{
    FilterScope scope;
    KxShader* shadowFree = scope.forward->getLitProgram(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, false);
    KxShader* shadowed = scope.forward->getLitProgram(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, true);
    ASSERT_NE(shadowFree, nullptr);
    ASSERT_NE(shadowFree, shadowed);
    EXPECT_EQ(glGetUniformLocation(shadowFree->getHandle(), "textureSampler6"), -1);
    EXPECT_NE(glGetUniformLocation(shadowed->getHandle(), "textureSampler6"), -1);

    const glm::vec3 c(0.0f, 1.5f, 0.0f);
    const float r = 0.8f;
    KxMesh* sphere = addSphere(c, r);
    sphere->setCastShadows(false);
    std::vector<unsigned char> mapped = frame();
    light->setCastShadows(false);
    std::vector<unsigned char> unmapped = frame();
    Verdict verdict = judge(unmapped, mapped, sphereHides(c, r), [](const glm::vec3&) { return Expect::LIT; },
                            "shadow_free");
    EXPECT_EQ(verdict.wrong, 0);
    EXPECT_GE(verdict.lit, 5000);
}

// The cheaper filters against the same CPU ray test: their lookups stray less
// than the 20 taps' do, so the same verdicts hold with the same margins.
TEST_F(Shadows, OneAndFourTapFiltersDarkenTheOccludedFloor)
{
    FilterScope scope;
    const glm::vec3 c(0.0f, 1.5f, 0.0f);
    const float r = 0.8f;
    KxMesh* sphere = addSphere(c, r);
    for (unsigned int taps : {1u, 4u})
    {
        ASSERT_TRUE(scope.forward->setShadowFilter(taps));
        EXPECT_EQ(scope.forward->getShader(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, 0),
                  scope.forward->getLitProgram(KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, true));
        sphere->setCastShadows(true);
        std::vector<unsigned char> shadowed = frame();
        sphere->setCastShadows(false);
        std::vector<unsigned char> unshadowed = frame();
        Verdict verdict = judge(shadowed, unshadowed, sphereHides(c, r), sphereVerdict(c, r, MAP_SIZE),
                                "shadow_taps" + std::to_string(taps));
        EXPECT_EQ(verdict.wrong, 0) << taps;
        EXPECT_GE(verdict.shadowed, 150) << taps;
        EXPECT_GE(verdict.lit, 5000) << taps;
    }
    EXPECT_FALSE(scope.forward->setShadowFilter(8));
}
