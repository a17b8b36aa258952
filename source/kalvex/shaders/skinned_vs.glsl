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
flat out uint matId;
#ifdef KX_MATERIAL_VARYING
flat out MatStruct kx_drawnMaterial;
#endif

@include kx_skinning;

void main()
{
    mat3 rotation;
    vec3 translation;
    kxSkinTransform(a_boneIndex, a_boneWeight, rotation, translation);
    vec3 position = rotation * a_vertex + translation;
    vec3 skinnedNormal = rotation * a_normal;

    matId = materialId;
    normal = normalize(normalMatrix * skinnedNormal);
#ifdef KX_MATERIAL_VARYING
    kx_drawnMaterial = kxDrawnMaterial(matId);
#endif
    texCoord0 = a_uv;
    vec4 world = modelMatrix * vec4(position, 1.0);
    fragPosition = world.xyz;
    gl_Position = global.projMatrix * (global.invViewMatrix * world);
}
