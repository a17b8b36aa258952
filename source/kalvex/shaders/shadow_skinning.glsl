#ifndef KX_SKINNING_INCLUDED
#define KX_SKINNING_INCLUDED

// Dual-quaternion skinning, one copy for the skinned vertex stages of the
// forward pipeline and of the shadow pass. Include it after kx_skinned and
// after declaring realQuatArray and dualQuatArray.

// Rotation of a unit quaternion (x, y, z, w).
mat3 quatToMat3(vec4 q)
{
    float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
    float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
    float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
    return mat3(1.0 - 2.0 * (yy + zz), 2.0 * (xy + wz), 2.0 * (xz - wy),
                2.0 * (xy - wz), 1.0 - 2.0 * (xx + zz), 2.0 * (yz + wx),
                2.0 * (xz + wy), 2.0 * (yz - wx), 1.0 - 2.0 * (xx + yy));
}

// The rigid transform of a vertex: its four influences blended as dual
// quaternions, normalised and turned back into a rotation and a translation.
void kxSkinTransform(uvec4 boneIndex, vec4 boneWeight, out mat3 rotation, out vec3 translation)
{
    // Indices are checked when the data is loaded; the clamp only keeps a bad
    // one inside the arrays.
    uvec4 index = min(boneIndex, uvec4(maxNrOfSkeletonBones - 1u));
    vec4 reference = realQuatArray[index[0]];
    vec4 real = boneWeight[0] * reference;
    vec4 dual = boneWeight[0] * dualQuatArray[index[0]];
    for (uint k = 1u; k < maxNrOfVertexBones; ++k)
    {
        vec4 boneReal = realQuatArray[index[k]];
        // q and -q are the same rotation: take the one on the reference's side,
        // so the blend follows the shorter arc.
        float weight = dot(boneReal, reference) < 0.0 ? -boneWeight[k] : boneWeight[k];
        real += weight * boneReal;
        dual += weight * dualQuatArray[index[k]];
    }
    float len = length(real);
    if (len < 1.0e-6)
    {
        // No influence at all: the vertex stays in its pose.
        real = vec4(0.0, 0.0, 0.0, 1.0);
        dual = vec4(0.0);
        len = 1.0;
    }
    real /= len;
    dual /= len;

    rotation = quatToMat3(real);
    translation = vec3(-2.0 * dual.w * real.x + 2.0 * dual.x * real.w - 2.0 * dual.y * real.z + 2.0 * dual.z * real.y,
                       -2.0 * dual.w * real.y + 2.0 * dual.x * real.z + 2.0 * dual.y * real.w - 2.0 * dual.z * real.x,
                       -2.0 * dual.w * real.z - 2.0 * dual.x * real.y + 2.0 * dual.y * real.x + 2.0 * dual.z * real.w);
}

#endif
