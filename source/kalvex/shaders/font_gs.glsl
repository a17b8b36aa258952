// Bitmap font: each point becomes its glyph's cell, charSizeX x charSizeY
// pixels, growing right and up from the point.
@include kx_global;

layout(points) in;
layout(triangle_strip, max_vertices = 4) out;

uniform int charSizeX;
uniform int charSizeY;

in vec2 texcoord0[];
in vec4 color[];

out vec2 _texcoord0;
out vec4 _color;

void corner(vec2 offset, vec2 cell)
{
    gl_Position = gl_in[0].gl_Position + vec4(offset, 0.0, 0.0);
    _texcoord0 = texcoord0[0] + cell;
    _color = color[0];
    EmitVertex();
}

void main()
{
    float stepX = float(charSizeX) * 2.0 / global.viewportSizeX;
    float stepY = float(charSizeY) * 2.0 / global.viewportSizeY;
    const float cell = 1.0 / 16.0;
    corner(vec2(0.0, 0.0), vec2(0.0, 0.0));
    corner(vec2(stepX, 0.0), vec2(cell, 0.0));
    corner(vec2(0.0, stepY), vec2(0.0, cell));
    corner(vec2(stepX, stepY), vec2(cell, cell));
    EndPrimitive();
}
