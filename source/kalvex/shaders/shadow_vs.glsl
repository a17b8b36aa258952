#extension GL_ARB_shader_draw_parameters : require
// Depth vertex stage of the shadow pass. Only batches reach it: each draw
// reads its record of the render list (kxListDraw). Positions stay in world
// space; the cube geometry stage projects them onto the six faces.
@include kx_global;
#define KX_LIST_DRAW
@include kx_list;

flat out uint vDrawId;
out vec2 vTexCoord0;

void main()
{
    vDrawId = uint(gl_DrawIDARB);
    vTexCoord0 = a_uv;
    gl_Position = kxListDraw().modelMatrix * vec4(a_vertex, 1.0);
}
