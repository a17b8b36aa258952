#include "convert_math.h"

#include <algorithm>
#include <cmath>

namespace kxoconvert
{
namespace
{
bool finite(const glm::vec3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}
}

glm::vec3 perpendicular(const glm::vec3& normal)
{
    // Cross with the axis least aligned with the normal.
    glm::vec3 axis = std::fabs(normal.x) < 0.6f ? glm::vec3(1, 0, 0)
                     : std::fabs(normal.y) < 0.6f ? glm::vec3(0, 1, 0)
                                                  : glm::vec3(0, 0, 1);
    return glm::normalize(glm::cross(normal, axis));
}

KxMesh::kxMeshVertex packVertex(const glm::vec3& position, const glm::vec3& normal, const glm::vec2& uv,
                                const glm::vec3* tangent, const glm::vec3* bitangent)
{
    KxMesh::kxMeshVertex v;
    v.position[0] = std::isfinite(position.x) ? position.x : 0.0f;
    v.position[1] = std::isfinite(position.y) ? position.y : 0.0f;
    v.position[2] = std::isfinite(position.z) ? position.z : 0.0f;

    glm::vec3 n = normal;
    float length = glm::length(n);
    n = finite(n) && length > 1e-12f ? n / length : glm::vec3(0, 0, 1);

    // Gram-Schmidt against the normal; the engine builds the bitangent as
    // cross(normal, tangent) * w.
    glm::vec3 t(0.0f);
    if (tangent && finite(*tangent))
        t = *tangent - n * glm::dot(n, *tangent);
    float tangentLength = glm::length(t);
    t = tangentLength > 1e-6f ? t / tangentLength : perpendicular(n);
    float handedness = 1.0f;
    if (tangent && bitangent && finite(*bitangent) && glm::dot(glm::cross(n, t), *bitangent) < 0.0f)
        handedness = -1.0f;

    v.normal = KxMesh::packNormal(glm::vec4(n, 0.0f));
    v.tangent = KxMesh::packNormal(glm::vec4(t, handedness));
    v.uv[0] = KxMesh::packHalf(std::isfinite(uv.x) ? uv.x : 0.0f);
    v.uv[1] = KxMesh::packHalf(std::isfinite(uv.y) ? uv.y : 0.0f);
    return v;
}

std::vector<std::pair<uint32_t, float>> strongestWeights(std::vector<std::pair<uint32_t, float>> influences)
{
    influences.erase(std::remove_if(influences.begin(), influences.end(),
                                    [](const std::pair<uint32_t, float>& i) { return !(i.second > 0.0f); }),
                     influences.end());
    std::stable_sort(influences.begin(), influences.end(),
                     [](const std::pair<uint32_t, float>& a, const std::pair<uint32_t, float>& b) {
                         return a.second > b.second || (a.second == b.second && a.first < b.first);
                     });
    if (influences.size() > KxSkinned::NROFVERTEXBONES)
        influences.resize(KxSkinned::NROFVERTEXBONES);
    float sum = 0.0f;
    for (const auto& influence : influences)
        sum += influence.second;
    if (sum > 0.0f)
        for (auto& influence : influences)
            influence.second /= sum;
    return influences;
}

float shininessToRoughness(float shininess)
{
    if (!(shininess > 0.0f) || !std::isfinite(shininess))
        return shininess == INFINITY ? 0.02f : 1.0f;
    float roughness = std::pow(2.0f / (shininess + 2.0f), 0.25f);
    return std::clamp(roughness, 0.02f, 1.0f);
}

float lightRadius(float constant, float linear, float quadratic, float fallback)
{
    constant = std::isfinite(constant) ? std::max(constant, 0.0f) : 0.0f;
    linear = std::isfinite(linear) ? std::max(linear, 0.0f) : 0.0f;
    quadratic = std::isfinite(quadratic) ? std::max(quadratic, 0.0f) : 0.0f;
    const float falloff = 32.0f;
    if (linear <= 0.0f && quadratic <= 0.0f)
        return fallback;
    // c + l d + q d^2 = falloff * (c + l + q), solved for d > 0.
    float target = falloff * (constant + linear + quadratic);
    float c = constant - target;
    float d;
    if (quadratic > 0.0f)
        d = (-linear + std::sqrt(linear * linear - 4.0f * quadratic * c)) / (2.0f * quadratic);
    else
        d = -c / linear;
    return std::isfinite(d) && d > 0.0f ? d : fallback;
}

float spotExponent(float outerHalfAngle)
{
    float cosine = std::cos(outerHalfAngle);
    if (!std::isfinite(cosine) || cosine <= 0.0f || cosine >= 1.0f)
        return 1.0f;
    // cos(outer)^e = 1/10
    float exponent = std::log(0.1f) / std::log(cosine);
    return std::clamp(exponent, 1.0f, 128.0f);
}

float linearToEncoded(float linear)
{
    return std::pow(std::max(linear, 0.0f), 1.0f / 2.2f);
}
}
