// Skinned depth vertex stage: the same blend as the forward skinned stage,
// with the position left in world space for the cube geometry stage. Skinned
// meshes are drawn alone, so there is no list record to point at.
@include kx_global;
@include kx_skinned;

uniform mat4 modelMatrix;
uniform vec4 realQuatArray[maxNrOfSkeletonBones];
uniform vec4 dualQuatArray[maxNrOfSkeletonBones];

@include kx_skinning;

flat out uint vDrawId;
out vec2 vTexCoord0;

void main()
{
    mat3 rotation;
    vec3 translation;
    kxSkinTransform(a_boneIndex, a_boneWeight, rotation, translation);
    vDrawId = 0u;
    vTexCoord0 = a_uv;
    gl_Position = modelMatrix * vec4(rotation * a_vertex + translation, 1.0);
}
