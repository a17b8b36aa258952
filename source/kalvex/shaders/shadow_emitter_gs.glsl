// Particle cube geometry stage: each point becomes one square facing the
// light, sent to all six layers. The same square in every layer, so that a
// particle across two faces of the cube casts one consistent shadow.
layout(points) in;
layout(triangle_strip, max_vertices = 24) out;

uniform mat4 shadowMapMatrixArray[6]; // +X, -X, +Y, -Y, +Z, -Z
uniform vec3 lightPosition;           // world space
uniform float emitterParticleSize;

out vec2 texCoord0;

void main()
{
    vec3 P = gl_in[0].gl_Position.xyz;
    vec3 toLight = lightPosition - P;
    vec3 forward = length(toLight) > 0.0 ? normalize(toLight) : vec3(0.0, 0.0, 1.0);
    vec3 helper = abs(forward.y) < 0.99 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0);
    vec3 right = normalize(cross(helper, forward));
    vec3 up = cross(forward, right);
    float s = emitterParticleSize * 0.5;
    const vec2 corners[4] = vec2[](vec2(-1.0, -1.0), vec2(1.0, -1.0), vec2(-1.0, 1.0), vec2(1.0, 1.0));
    for (int layer = 0; layer < 6; ++layer)
    {
        for (int i = 0; i < 4; ++i)
        {
            gl_Layer = layer;
            texCoord0 = corners[i] * 0.5 + 0.5;
            vec3 corner = P + (right * corners[i].x + up * corners[i].y) * s;
            gl_Position = shadowMapMatrixArray[layer] * vec4(corner, 1.0);
            EmitVertex();
        }
        EndPrimitive();
    }
}
