// The shading model as the forward pipeline renders it, against an independent
// CPU evaluation of the same formulas: a large square facing the camera, lit by
// one or more lights; every sampled pixel's surface point is found by casting
// the pixel centre's ray onto the square's plane.
#include "kxscene.h"

#include <glm/gtc/matrix_transform.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace
{
const float PLANE_Z = -5.0f;
const float FIELD_OF_VIEW = 45.0f;
const float SQUARE_HALF = 8.0f;

struct RefMaterial
{
    glm::vec3 albedo = glm::vec3(0.3f);
    float roughness = 0.1f;
    float metalness = 0.0f;
    glm::vec3 emission = glm::vec3(0.0f);
    glm::vec3 albedoTexel = glm::vec3(1.0f);
    float roughnessTexel = 1.0f;
    float metalnessTexel = 1.0f;
};

struct RefLight
{
    int kind = 0;
    glm::vec3 position = glm::vec3(0.0f); // world
    glm::vec3 direction = glm::vec3(0, 0, -1);
    glm::vec3 color = glm::vec3(0.8f);
    float radius = 256.0f;
    float cutoff = 180.0f; // degrees
    float spotExponent = 0.0f;
};

// The lighting function, written from its definition: Cook-Torrance with GGX,
// Schlick Fresnel and Schlick-GGX geometry, gamma 2.2, emission added after.
glm::vec3 shade(const glm::vec3& P, const glm::vec3& N, const glm::vec3& eye, const RefLight& light,
                const RefMaterial& material, const glm::vec3& ambient)
{
    const float pi = 3.1415926f;
    glm::vec3 base = glm::max(material.albedo * material.albedoTexel, glm::vec3(0.0f));
    glm::vec3 albedo(std::pow(base.x, 2.2f), std::pow(base.y, 2.2f), std::pow(base.z, 2.2f));
    float roughness = material.roughness * material.roughnessTexel;
    float metalness = material.metalness * material.metalnessTexel;
    if (roughness == 0.0f)
        roughness = 0.01f;

    glm::vec3 view = glm::normalize(eye - P);
    bool directional = light.kind == 1;
    glm::vec3 toLight = directional ? -glm::normalize(light.direction) : glm::normalize(light.position - P);
    float distance = directional ? 0.0f : glm::length(light.position - P);
    float nDotL = glm::dot(N, toLight);
    glm::vec3 H = glm::normalize(toLight + view);
    float spotAttenuation = 1.0f;
    if (light.spotExponent > 0.0f)
    {
        float spotEffect = glm::dot(glm::normalize(light.direction), -toLight);
        if (spotEffect < std::cos(light.cutoff * 3.14159265358979f / 180.0f))
            nDotL = -1.0f;
        spotAttenuation = std::pow(std::max(spotEffect, 0.0f), light.spotExponent);
    }
    glm::vec3 color(0.0f);
    if (nDotL > 0.0f)
    {
        float attenuation = spotAttenuation * (directional ? 1.0f : std::max(0.0f, 1.0f - distance / light.radius));
        glm::vec3 radiance = light.color * attenuation;
        glm::vec3 F0 = glm::mix(glm::vec3(0.04f), albedo, metalness);
        float hDotV = std::max(glm::dot(H, view), 0.0f);
        glm::vec3 F = F0 + (glm::vec3(1.0f) - F0) * std::pow(std::max(1.0f - hDotV, 0.0f), 5.0f);
        float a = roughness * roughness;
        float a2 = a * a;
        float nDotH = std::max(glm::dot(N, H), 0.0f);
        float denominator = nDotH * nDotH * (a2 - 1.0f) + 1.0f;
        float D = a2 / (pi * denominator * denominator);
        float k = (roughness + 1.0f) * (roughness + 1.0f) / 8.0f;
        float nDotV = std::max(glm::dot(N, view), 0.0f);
        float G = (nDotV / (nDotV * (1.0f - k) + k)) * (nDotL / (nDotL * (1.0f - k) + k));
        glm::vec3 specular = D * F * G / (4.0f * nDotL * nDotV + 0.001f);
        glm::vec3 kD = (glm::vec3(1.0f) - F) * (1.0f - metalness);
        glm::vec3 Lo = (kD * albedo / pi + specular) * radiance * nDotL;
        color += Lo; // the empty shadow map reads as fully lit
    }
    color += ambient * albedo;
    const float g = 1.0f / 2.2f;
    return glm::vec3(std::pow(color.x, g), std::pow(color.y, g), std::pow(color.z, g)) + material.emission;
}

int toByte(float value)
{
    return static_cast<int>(std::lround(glm::clamp(value, 0.0f, 1.0f) * 255.0f));
}

class Lighting : public kxscene::SceneTest
{
protected:
    KxCamera* camera = nullptr;
    KxNode* root = nullptr;
    KxMesh* square = nullptr;
    KxMaterial* material = nullptr;
    KxList* list = nullptr;
    std::vector<KxLight*> lights;
    std::vector<RefLight> refLights;
    RefMaterial refMaterial;

    void SetUp() override
    {
        kxscene::SceneTest::SetUp();
        camera = new KxCamera;
        camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
        camera->setAngleOfView(FIELD_OF_VIEW);
        camera->setNearPlane(1.0f);
        camera->setFarPlane(100.0f);
        root = new KxNode;
        square = kxscene::makeSquare(SQUARE_HALF);
        square->setTranslation(0.0f, 0.0f, PLANE_Z);
        square->link(root);
        material = new KxMaterial;
        square->setMaterial(material);
        list = new KxList;
        ASSERT_TRUE(list->create(16));
        // The shading itself is under test: shown as rendered, without the filter.
        Kalvex::getPipeline(2)->postProc(false);
    }

    void TearDown() override
    {
        Kalvex::getPipeline(2)->postProc(true);
        kxscene::SceneTest::TearDown();
    }

    void setMaterial(const RefMaterial& values)
    {
        refMaterial = values;
        material->setAlbedo(values.albedo);
        material->setRoughness(values.roughness);
        material->setMetalness(values.metalness);
        material->setEmission(values.emission);
    }

    KxLight* addLight(const RefLight& values)
    {
        KxLight* light = new KxLight;
        light->setSubtype(values.kind);
        light->setTranslation(values.position);
        light->setDirection(values.direction);
        light->setColor(values.color);
        light->setRadius(values.radius);
        light->setCutoff(values.cutoff);
        light->setSpotExponent(values.spotExponent);
        light->link(root);
        lights.push_back(light);
        refLights.push_back(values);
        return light;
    }

    std::vector<unsigned char> renderFrame()
    {
        list->reset();
        EXPECT_TRUE(list->pass(root));
        EXPECT_TRUE(Kalvex::render(camera, list, nullptr));
        return kxscene::window();
    }

    // The point of the square seen through a pixel (top row 0), at a
    // sub-pixel offset from its centre; false when the ray misses the square.
    bool surfacePoint(float column, float row, glm::vec3& P) const
    {
        float width = static_cast<float>(Kalvex::getWindowSizeX());
        float height = static_cast<float>(Kalvex::getWindowSizeY());
        float t = std::tan(FIELD_OF_VIEW * 0.5f * 3.14159265358979f / 180.0f);
        glm::vec3 ray((column / width * 2.0f - 1.0f) * t * width / height, (1.0f - row / height * 2.0f) * t, -1.0f);
        glm::mat4 world = camera->getMatrix();
        glm::vec3 origin(world[3]);
        glm::vec3 direction = glm::mat3(world) * ray;
        if (direction.z == 0.0f)
            return false;
        float distance = (PLANE_Z - origin.z) / direction.z;
        P = origin + direction * distance;
        return distance > 0.0f && std::fabs(P.x) < SQUARE_HALF && std::fabs(P.y) < SQUARE_HALF;
    }

    // What the pipeline composes for a point: one gamma-encoded pass per light, added.
    glm::vec3 reference(const glm::vec3& P, const std::vector<RefLight>& which) const
    {
        glm::vec3 sum(0.0f);
        for (const RefLight& light : which)
            sum += shade(P, glm::vec3(0, 0, 1), glm::vec3(camera->getMatrix()[3]), light, refMaterial,
                         KxOpenGL::getGlobal()->ambient);
        return sum;
    }

    // Compares a grid of pixels with the reference wherever the reference is
    // stable within a tenth of a pixel (not on a cone's edge or at the centre
    // of a mirror-sharp highlight). Returns the number of pixels compared.
    int compare(const std::vector<unsigned char>& pixels, const std::vector<RefLight>& which, const std::string& name,
                int* unlit = nullptr, float excludeAroundX = -1.0f)
    {
        int compared = 0, skipped = 0, wrong = 0;
        for (int row = 4; row < Kalvex::getWindowSizeY(); row += 8)
            for (int column = 4; column < Kalvex::getWindowSizeX(); column += 8)
            {
                float x = column + 0.5f, y = row + 0.5f;
                glm::vec3 P;
                if (!surfacePoint(x, y, P))
                    continue;
                if (excludeAroundX >= 0.0f && std::fabs(P.x) < excludeAroundX)
                {
                    ++skipped;
                    continue;
                }
                glm::vec3 expected = reference(P, which);
                bool stable = true;
                for (glm::vec2 offset : {glm::vec2(0.1f, 0), glm::vec2(-0.1f, 0), glm::vec2(0, 0.1f), glm::vec2(0, -0.1f)})
                {
                    glm::vec3 Q;
                    if (!surfacePoint(x + offset.x, y + offset.y, Q))
                    {
                        stable = false;
                        break;
                    }
                    glm::vec3 nearby = reference(Q, which);
                    for (int c = 0; c < 3; ++c)
                        stable = stable && std::abs(toByte(nearby[c]) - toByte(expected[c])) <= 1;
                }
                if (!stable)
                {
                    ++skipped;
                    continue;
                }
                ++compared;
                const unsigned char* got = kxscene::pixel(pixels, column, row);
                bool ok = true;
                for (int c = 0; c < 3; ++c)
                    ok = ok && std::abs(static_cast<int>(got[c]) - toByte(expected[c])) <= 2;
                if (!ok && wrong++ < 5)
                    ADD_FAILURE() << name << ": pixel (" << column << ", " << row << ") at (" << P.x << ", " << P.y
                                  << ") is " << int(got[0]) << " " << int(got[1]) << " " << int(got[2]) << ", expected "
                                  << toByte(expected.r) << " " << toByte(expected.g) << " " << toByte(expected.b);
                if (unlit)
                {
                    const RefMaterial& m = refMaterial;
                    glm::vec3 base = glm::max(m.albedo * m.albedoTexel, glm::vec3(0.0f));
                    glm::vec3 linear(std::pow(base.x, 2.2f), std::pow(base.y, 2.2f), std::pow(base.z, 2.2f));
                    glm::vec3 a = KxOpenGL::getGlobal()->ambient * linear;
                    glm::vec3 ambientOnly = glm::vec3(std::pow(a.x, 1 / 2.2f), std::pow(a.y, 1 / 2.2f), std::pow(a.z, 1 / 2.2f)) +
                                  m.emission;
                    if (toByte(expected.r) == toByte(ambientOnly.r) && toByte(expected.g) == toByte(ambientOnly.g))
                        ++*unlit;
                }
            }
        EXPECT_EQ(wrong, 0) << name;
        EXPECT_GE(compared, (compared + skipped) * 8 / 10) << name << ": too few stable pixels";
        if (::testing::Test::HasFailure())
            kxscene::savePng(name, pixels);
        return compared;
    }
};
}

TEST_F(Lighting, OmniLightAcrossRoughnessAndMetalness)
{
    RefLight light;
    light.position = glm::vec3(0.4f, 0.3f, PLANE_Z + 1.0f);
    light.color = glm::vec3(1.0f, 0.9f, 0.7f);
    light.radius = 2.5f; // full radius inside the view, half radius 0.75 off the centre
    addLight(light);
    struct Case
    {
        float roughness, metalness;
    };
    for (Case c : {Case{0.0f, 0.0f}, Case{0.0f, 1.0f}, Case{0.01f, 0.0f}, Case{0.5f, 0.0f}, Case{0.5f, 1.0f},
                   Case{1.0f, 0.0f}, Case{1.0f, 1.0f}})
    {
        RefMaterial values;
        values.albedo = glm::vec3(0.8f, 0.6f, 0.4f);
        values.roughness = c.roughness;
        values.metalness = c.metalness;
        setMaterial(values);
        char name[64];
        std::snprintf(name, sizeof(name), "omni_r%.2f_m%.0f", c.roughness, c.metalness);
        int unlit = 0;
        compare(renderFrame(), refLights, name, &unlit);
        // Beyond the radius only the ambient term is left.
        EXPECT_GT(unlit, 10) << name;
    }
}

TEST_F(Lighting, RoughnessZeroShadesLikeRoughnessOneHundredth)
{
    RefLight light;
    light.position = glm::vec3(0.2f, -0.1f, PLANE_Z + 2.0f);
    light.radius = 6.0f;
    addLight(light);
    RefMaterial values;
    values.albedo = glm::vec3(0.5f);
    values.roughness = 0.0f;
    setMaterial(values);
    std::vector<unsigned char> zero = renderFrame();
    values.roughness = 0.01f;
    setMaterial(values);
    std::vector<unsigned char> hundredth = renderFrame();
    EXPECT_TRUE(zero == hundredth);
}

TEST_F(Lighting, SpotLightInsideAndOutsideItsCone)
{
    RefLight light;
    light.kind = 2;
    light.position = glm::vec3(1.0f, 0.0f, PLANE_Z + 3.0f);
    light.direction = glm::vec3(0, 0, -1);
    light.color = glm::vec3(1.0f);
    light.radius = 10.0f;
    light.cutoff = 30.0f; // the cone meets the plane 1.73 off the axis
    light.spotExponent = 1.0f;
    addLight(light);
    RefMaterial values;
    values.albedo = glm::vec3(0.7f, 0.7f, 0.9f);
    values.roughness = 0.5f;
    setMaterial(values);
    int unlit = 0;
    std::vector<unsigned char> pixels = renderFrame();
    compare(pixels, refLights, "spot", &unlit);
    EXPECT_GT(unlit, 50); // the left of the view is outside the cone

    // On the axis: full light; 45 degrees off it: none.
    glm::vec3 onAxis = reference(glm::vec3(1.0f, 0.0f, PLANE_Z), refLights);
    glm::vec3 offAxis = reference(glm::vec3(1.0f - 3.0f, 0.0f, PLANE_Z), refLights);
    EXPECT_GT(onAxis.r, offAxis.r + 0.1f);

    // Without a spot exponent the cutoff does not matter: light all around.
    lights[0]->setSpotExponent(0.0f);
    refLights[0].spotExponent = 0.0f;
    unlit = 0;
    compare(renderFrame(), refLights, "spot_exponent_0", &unlit);
    EXPECT_EQ(unlit, 0);
}

TEST_F(Lighting, EmissionIsAddedAfterGamma)
{
    RefLight light;
    light.position = glm::vec3(-0.5f, 0.5f, PLANE_Z + 1.5f);
    light.radius = 4.0f;
    light.color = glm::vec3(0.6f, 0.8f, 1.0f);
    addLight(light);
    RefMaterial values;
    values.albedo = glm::vec3(0.4f, 0.5f, 0.6f);
    values.roughness = 0.3f;
    values.emission = glm::vec3(0.1f, 0.05f, 0.0f);
    setMaterial(values);
    compare(renderFrame(), refLights, "emission");
}

TEST_F(Lighting, TextureMapsMultiplyTheMaterialValues)
{
    // Albedo: two texels, left and right halves of the square, sampled nearest.
    KxTexture* albedoMap = new KxTexture;
    ASSERT_TRUE(albedoMap->create(3, 2, 1, 0, 1, 0));
    const unsigned char albedoTexels[6] = {230, 120, 40, 60, 140, 220};
    ASSERT_TRUE(albedoMap->write(albedoTexels));
    KxTexture* roughnessMap = new KxTexture;
    ASSERT_TRUE(roughnessMap->create(3, 1, 1, 0, 1, 0));
    const unsigned char roughnessTexel[3] = {128, 0, 0};
    ASSERT_TRUE(roughnessMap->write(roughnessTexel));
    KxTexture* metalnessMap = new KxTexture;
    ASSERT_TRUE(metalnessMap->create(3, 1, 1, 0, 1, 0));
    const unsigned char metalnessTexel[3] = {102, 0, 0};
    ASSERT_TRUE(metalnessMap->write(metalnessTexel));
    ASSERT_TRUE(material->setTexture(albedoMap, KxMaterial::SLOT_ALBEDO));
    ASSERT_TRUE(material->setTexture(roughnessMap, KxMaterial::SLOT_ROUGHNESS));
    ASSERT_TRUE(material->setTexture(metalnessMap, KxMaterial::SLOT_METALNESS));

    RefLight light;
    light.position = glm::vec3(0.3f, 0.2f, PLANE_Z + 1.2f);
    light.radius = 5.0f;
    light.color = glm::vec3(1.0f);
    addLight(light);
    RefMaterial values;
    values.albedo = glm::vec3(1.0f, 0.9f, 0.8f);
    values.roughness = 0.8f;
    values.metalness = 1.0f;
    values.roughnessTexel = 128.0f / 255.0f;
    values.metalnessTexel = 102.0f / 255.0f;
    setMaterial(values);
    std::vector<unsigned char> pixels = renderFrame();

    // Each half against its own texel; the seam at x = 0 is left out.
    int compared = 0;
    for (int half = 0; half < 2; ++half)
    {
        refMaterial.albedoTexel = glm::vec3(albedoTexels[half * 3], albedoTexels[half * 3 + 1], albedoTexels[half * 3 + 2]) / 255.0f;
        std::vector<unsigned char> masked = pixels;
        // Pixels of the other half are replaced by their expected value, so only this half is judged.
        for (int row = 0; row < Kalvex::getWindowSizeY(); ++row)
            for (int column = 0; column < Kalvex::getWindowSizeX(); ++column)
            {
                glm::vec3 P;
                if (surfacePoint(column + 0.5f, row + 0.5f, P) && (P.x < 0.0f) != (half == 0))
                {
                    glm::vec3 expected = reference(P, refLights);
                    unsigned char* p = &masked[(static_cast<size_t>(row) * Kalvex::getWindowSizeX() + column) * 4];
                    for (int c = 0; c < 3; ++c)
                        p[c] = static_cast<unsigned char>(toByte(expected[c]));
                }
            }
        compared += compare(masked, refLights, half == 0 ? "maps_left" : "maps_right", nullptr, 0.05f);
    }
    EXPECT_GT(compared, 500);
    // The two halves differ: the map is really sampled per texel.
    const unsigned char* left = kxscene::pixel(pixels, 40, 120);
    const unsigned char* right = kxscene::pixel(pixels, 280, 120);
    EXPECT_GT(static_cast<int>(left[0]), static_cast<int>(right[0]) + 20);
    EXPECT_GT(static_cast<int>(right[2]), static_cast<int>(left[2]) + 20);
}

TEST_F(Lighting, LightsAddUpPassByPass)
{
    RefLight first;
    first.position = glm::vec3(-1.0f, 0.5f, PLANE_Z + 1.0f);
    first.radius = 3.0f;
    first.color = glm::vec3(0.9f, 0.3f, 0.2f);
    RefLight second;
    second.kind = 2;
    second.position = glm::vec3(1.2f, -0.4f, PLANE_Z + 2.0f);
    second.direction = glm::normalize(glm::vec3(-0.2f, 0.1f, -1.0f));
    second.radius = 6.0f;
    second.color = glm::vec3(0.2f, 0.5f, 0.9f);
    second.cutoff = 40.0f;
    second.spotExponent = 2.0f;
    RefMaterial values;
    values.albedo = glm::vec3(0.6f);
    values.roughness = 0.4f;
    setMaterial(values);

    addLight(first);
    std::vector<unsigned char> firstOnly = renderFrame();
    compare(firstOnly, {first}, "first_light");
    lights[0]->unlink();
    refLights.clear();
    addLight(second);
    std::vector<unsigned char> secondOnly = renderFrame();
    compare(secondOnly, {second}, "second_light");
    lights[0]->link(root);
    std::vector<unsigned char> both = renderFrame();
    compare(both, {second, first}, "both_lights");

    // Without saturation the frame with both is the sum of the two frames.
    int wrong = 0;
    for (size_t i = 0; i < both.size(); i += 4)
        for (int c = 0; c < 3; ++c)
        {
            int sum = firstOnly[i + c] + secondOnly[i + c];
            if (sum < 250 && std::abs(sum - both[i + c]) > 3)
                ++wrong;
        }
    EXPECT_EQ(wrong, 0);
    // The passes leave blending off and depth writes on.
    EXPECT_FALSE(KxOpenGL::isBlending());
    GLboolean depthWrites = GL_FALSE;
    glGetBooleanv(GL_DEPTH_WRITEMASK, &depthWrites);
    EXPECT_EQ(depthWrites, GL_TRUE);
}

// A camera looking along the square and a light just above it: small n.l and
// n.v, where the geometry term and Fresnel matter most.
TEST_F(Lighting, GrazingAnglesExerciseGeometryAndFresnel)
{
    camera->setMatrix(glm::inverse(glm::lookAt(glm::vec3(0.0f, -6.0f, PLANE_Z + 1.2f), glm::vec3(0.0f, 2.0f, PLANE_Z),
                                               glm::vec3(0.0f, 0.0f, 1.0f))));
    RefLight light;
    light.position = glm::vec3(0.5f, 6.0f, PLANE_Z + 0.6f);
    light.radius = 30.0f;
    light.color = glm::vec3(4.0f, 3.5f, 3.0f);
    addLight(light);
    for (float roughness : {0.3f, 0.6f})
    {
        RefMaterial values;
        values.albedo = glm::vec3(0.9f, 0.8f, 0.6f);
        values.roughness = roughness;
        values.metalness = 1.0f;
        setMaterial(values);
        EXPECT_GT(compare(renderFrame(), refLights, roughness < 0.5f ? "grazing_r0.3" : "grazing_r0.6"), 600);
    }
}

TEST_F(Lighting, DirectionalLightShinesAlongItsDirection)
{
    RefLight light;
    light.kind = 1;
    light.direction = glm::normalize(glm::vec3(0.4f, -0.3f, -1.0f));
    light.color = glm::vec3(0.7f, 0.7f, 0.6f);
    light.radius = 0.5f; // no distance fall-off: the radius does not matter
    addLight(light);
    RefMaterial values;
    values.albedo = glm::vec3(0.5f, 0.6f, 0.7f);
    values.roughness = 0.6f;
    setMaterial(values);
    int unlit = 0;
    compare(renderFrame(), refLights, "directional", &unlit);
    EXPECT_EQ(unlit, 0);
}
