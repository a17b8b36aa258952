// Sky box vertex stage: the cube's corners are the lookup directions; the
// cube lands on the far plane (z = w), behind everything drawn.
@include kx_global;

uniform mat4 modelViewMatrix;     // the view without its translation
uniform mat4 modelViewProjMatrix; // with the sky box's own projection
uniform uint generic1;            // 1: use modelViewProjMatrix

out vec3 texCoord;

void main()
{
    texCoord = a_vertex;
    vec4 position = generic1 == 1u ? modelViewProjMatrix * vec4(a_vertex, 1.0)
                                   : global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
    gl_Position = position.xyww;
}
