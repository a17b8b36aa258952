// Cube geometry stage: every triangle is sent to all six layers of the cube
// map, each through its face's view-projection, so one pass fills the map.
layout(triangles) in;
layout(triangle_strip, max_vertices = 18) out;

uniform mat4 shadowMapMatrixArray[6]; // +X, -X, +Y, -Y, +Z, -Z

flat in uint vDrawId[];
in vec2 vTexCoord0[];

flat out uint drawId;
out vec2 texCoord0;

void main()
{
    for (int layer = 0; layer < 6; ++layer)
    {
        for (int i = 0; i < 3; ++i)
        {
            // Outputs are undefined after each EmitVertex: set all of them every time.
            gl_Layer = layer;
            drawId = vDrawId[0];
            texCoord0 = vTexCoord0[i];
            gl_Position = shadowMapMatrixArray[layer] * gl_in[i].gl_Position;
            EmitVertex();
        }
        EndPrimitive();
    }
}
