// The conversions of kxoconvert that need no GL context: vertex packing,
// bone weights, and the mapping of material and light parameters.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <kalvex.h>

namespace kxoconvert
{
// One engine vertex. A missing or degenerate tangent is replaced by one
// perpendicular to the normal; the bitangent, when given, sets the handedness.
KxMesh::kxMeshVertex packVertex(const glm::vec3& position, const glm::vec3& normal, const glm::vec2& uv,
                                const glm::vec3* tangent, const glm::vec3* bitangent);

// Any unit vector perpendicular to a unit normal.
glm::vec3 perpendicular(const glm::vec3& normal);

// The strongest NROFVERTEXBONES influences (bone index, weight), weights
// renormalised to sum 1; ties keep the lower bone index. Empty when no
// weight is above zero.
std::vector<std::pair<uint32_t, float>> strongestWeights(std::vector<std::pair<uint32_t, float>> influences);

// A colour channel stored linear (glTF's factors) in the engine's encoding,
// which the lighting raises to 2.2 before shading.
float linearToEncoded(float linear);

// Phong or Blinn-Phong shininess to GGX roughness: the exponent 2 / r^4 - 2
// of the equivalent lobe, inverted; clamped to 0.02 .. 1.
float shininessToRoughness(float shininess);

// The engine's lights fade linearly to zero at their radius. This finds the
// distance at which 1 / (c + l d + q d^2) has fallen to 1/32 of its value at
// distance 1 (or to 1/32 for a constant-only light); fallback when the
// attenuation never falls that far.
float lightRadius(float constant, float linear, float quadratic, float fallback);

// Spot exponent that dims a cone to a tenth of its centre at its outer
// half-angle (radians), where the engine cuts it off; 1 .. 128.
float spotExponent(float outerHalfAngle);
}
