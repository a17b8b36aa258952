#extension GL_ARB_shader_draw_parameters : require
// Instanced depth vertex stage of the shadow pass: world-space positions of
// every instance, its material passed on for the alpha test.
@include kx_global;
@include kx_list;
@include kx_instanced;

uniform uint generic0; // non-zero: drawn alone, matrices from uniforms
uniform mat4 modelMatrix;

flat out uint vMatId;
out vec2 vTexCoord0;

void main()
{
    uint drawId = uint(gl_DrawIDARB);
    mat4 model = generic0 != 0u ? modelMatrix : list[drawId].modelMatrix;
    InstancedStruct instance = kxInstance(generic0 != 0u ? 0u : list[drawId].instanceOffset);
    vMatId = instance.materialId;
    vTexCoord0 = a_uv;
    gl_Position = model * (instance.worldMatrix * vec4(a_vertex, 1.0));
}
