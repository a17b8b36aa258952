// Instanced cube geometry stage: the cube geometry stage, carrying the
// instance's material instead of the draw's record.
layout(triangles) in;
layout(triangle_strip, max_vertices = 18) out;

uniform mat4 shadowMapMatrixArray[6]; // +X, -X, +Y, -Y, +Z, -Z

flat in uint vMatId[];
in vec2 vTexCoord0[];

flat out uint matId;
out vec2 texCoord0;

void main()
{
    for (int layer = 0; layer < 6; ++layer)
    {
        for (int i = 0; i < 3; ++i)
        {
            gl_Layer = layer;
            matId = vMatId[0];
            texCoord0 = vTexCoord0[i];
            gl_Position = shadowMapMatrixArray[layer] * gl_in[i].gl_Position;
            EmitVertex();
        }
        EndPrimitive();
    }
}
