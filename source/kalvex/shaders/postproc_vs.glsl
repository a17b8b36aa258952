// Post-processing passes: a screen quad under a 2D camera.
@include kx_global;

uniform mat4 modelViewMatrix;

out vec2 texCoord0;

void main()
{
    texCoord0 = a_uv;
    gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
}
