#extension GL_ARB_shader_draw_parameters : require
// Instanced mesh vertex stage: the mesh vertex stage with one more transform,
// the instance's. In a batch the draw's list record gives the node's matrices
// and where its instances start; a node drawn by itself (KxInstanced::render)
// sets generic0 and passes its matrices as uniforms, its instances from 0.
@include kx_global;
@include kx_material;
@include kx_list;
@include kx_instanced;

uniform uint generic0;  // non-zero: drawn alone
uniform float generic4; // wind time, for shaders that sway their instances
uniform mat4 modelMatrix;
uniform mat3 normalMatrix; // world space

flat out uint drawId;
flat out uint matId;
#ifdef KX_MATERIAL_VARYING
flat out MatStruct kx_drawnMaterial;
#endif
out vec3 fragPosition;
out vec3 normal;
out vec2 texCoord0;

void main()
{
    drawId = uint(gl_DrawIDARB);
    mat4 model;
    mat3 normalToWorld;
    uint first;
    if (generic0 != 0u)
    {
        model = modelMatrix;
        normalToWorld = normalMatrix;
        first = 0u;
    }
    else
    {
        model = list[drawId].modelMatrix;
        normalToWorld = mat3(list[drawId].normalMatrix);
        first = list[drawId].instanceOffset;
    }
    InstancedStruct instance = kxInstance(first);
    matId = instance.materialId;
    normal = normalize(normalToWorld * mat3(instance.inverseTranspose) * a_normal);
#ifdef KX_MATERIAL_VARYING
    kx_drawnMaterial = kxDrawnMaterial(matId);
#endif
    texCoord0 = a_uv;
    vec4 position = model * (instance.worldMatrix * vec4(a_vertex, 1.0));
    fragPosition = position.xyz;
    gl_Position = global.projMatrix * (global.invViewMatrix * position);
}
