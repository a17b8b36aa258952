// Cube geometry stage: every triangle is sent to all six layers of the cube
// map, each through its face's view-projection, so one pass fills the map.
// With KX_INSTANCED_SHADOW (the shadow_instanced_gs wrapper) it carries the
// instance's material instead of the draw's record.
layout(triangles) in;
layout(triangle_strip, max_vertices = 18) out;

uniform mat4 shadowMapMatrixArray[6]; // +X, -X, +Y, -Y, +Z, -Z

#ifdef KX_INSTANCED_SHADOW
flat in uint vMatId[];
flat out uint matId;
#else
flat in uint vDrawId[];
flat out uint drawId;
#endif
in vec2 vTexCoord0[];

out vec2 texCoord0;

void main()
{
    for (int layer = 0; layer < 6; ++layer)
    {
        for (int i = 0; i < 3; ++i)
        {
            // Outputs are undefined after each EmitVertex: set all of them every time.
            gl_Layer = layer;
#ifdef KX_INSTANCED_SHADOW
            matId = vMatId[0];
#else
            drawId = vDrawId[0];
#endif
            texCoord0 = vTexCoord0[i];
            gl_Position = shadowMapMatrixArray[layer] * gl_in[i].gl_Position;
            EmitVertex();
        }
        EndPrimitive();
    }
}
