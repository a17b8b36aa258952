// Bitmap font: one point per glyph at its pixel position under the 2D camera.
@include kx_global;

out vec2 texcoord0;
out vec4 color;

void main()
{
    texcoord0 = a_uv;
    color = a_color;
    gl_Position = global.projMatrix * vec4(a_vertex, 1.0);
}
