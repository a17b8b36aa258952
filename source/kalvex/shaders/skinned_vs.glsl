// Skinned mesh: dual-quaternion blend of up to four bones, then the mesh
// vertex stage. A skinned mesh is drawn alone, so its material and matrices
// come from plain uniforms instead of the render list.
@include kx_global;
@include kx_material;
@include kx_skinned;

uniform mat4 modelMatrix;
uniform mat3 normalMatrix;
uniform vec4 realQuatArray[maxNrOfSkeletonBones];
uniform vec4 dualQuatArray[maxNrOfSkeletonBones];

out vec3 normal;
out vec2 texCoord0;
out vec3 fragPosition;
flat out vec3 eyePosition;
flat out uint matId;

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

void main()
{
    // Indices are checked when the data is loaded; the clamp only keeps a bad
    // one inside the arrays.
    uvec4 index = min(a_boneIndex, uvec4(maxNrOfSkeletonBones - 1u));
    vec4 reference = realQuatArray[index[0]];
    vec4 real = a_boneWeight[0] * reference;
    vec4 dual = a_boneWeight[0] * dualQuatArray[index[0]];
    for (uint k = 1u; k < maxNrOfVertexBones; ++k)
    {
        vec4 boneReal = realQuatArray[index[k]];
        // q and -q are the same rotation: take the one on the reference's side,
        // so the blend follows the shorter arc.
        float weight = dot(boneReal, reference) < 0.0 ? -a_boneWeight[k] : a_boneWeight[k];
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

    mat3 rotation = quatToMat3(real);
    vec3 translation = vec3(-2.0 * dual.w * real.x + 2.0 * dual.x * real.w - 2.0 * dual.y * real.z + 2.0 * dual.z * real.y,
                            -2.0 * dual.w * real.y + 2.0 * dual.x * real.z + 2.0 * dual.y * real.w - 2.0 * dual.z * real.x,
                            -2.0 * dual.w * real.z - 2.0 * dual.x * real.y + 2.0 * dual.y * real.x + 2.0 * dual.z * real.w);
    vec3 position = rotation * a_vertex + translation;
    vec3 skinnedNormal = rotation * a_normal;

    matId = materialId;
    normal = normalize(normalMatrix * skinnedNormal);
    texCoord0 = a_uv;
    eyePosition = global.viewMatrix[3].xyz;
    vec4 world = modelMatrix * vec4(position, 1.0);
    fragPosition = world.xyz;
    gl_Position = global.projMatrix * global.invViewMatrix * world;
}
