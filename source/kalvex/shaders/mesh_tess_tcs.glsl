// Tessellated mesh control stage: triangles passed through, one level for all edges.
uniform float tessLevelInner;
uniform float tessLevelOuter;

layout(vertices = 3) out;

in vec3 vPosition[];
in vec3 vNormal[];
in vec2 vTexCoord0[];

out vec3 tcPosition[];
out vec3 tcNormal[];
out vec2 tcTexCoord0[];

void main()
{
    tcPosition[gl_InvocationID] = vPosition[gl_InvocationID];
    tcNormal[gl_InvocationID] = vNormal[gl_InvocationID];
    tcTexCoord0[gl_InvocationID] = vTexCoord0[gl_InvocationID];
    if (gl_InvocationID == 0)
    {
        // Bounded: the work per patch grows with the square of the level.
        float inner = clamp(tessLevelInner, 1.0, 64.0);
        float outer = clamp(tessLevelOuter, 1.0, 64.0);
        gl_TessLevelInner[0] = inner;
        gl_TessLevelOuter[0] = outer;
        gl_TessLevelOuter[1] = outer;
        gl_TessLevelOuter[2] = outer;
    }
}
