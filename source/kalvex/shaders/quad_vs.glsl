// Screen quad: pixel positions under a 2D camera.
@include kx_global;

uniform mat4 modelViewMatrix;

out vec2 texCoord0;
out vec4 color;

void main()
{
    texCoord0 = a_uv;
    color = a_color;
    gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
}
