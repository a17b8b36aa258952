// Particle geometry stage: each point becomes a quad facing the camera,
// turned with age and fading out as life runs to 1.
@include kx_global;

layout(points) in;
layout(triangle_strip, max_vertices = 4) out;

uniform float emitterParticleSize;

in float vLife[];
in float vAngle[];

out vec2 texCoord0;
out vec4 color;

void main()
{
    const vec2 corners[4] = vec2[](vec2(-1.0, -1.0), vec2(1.0, -1.0), vec2(-1.0, 1.0), vec2(1.0, 1.0));
    float s = emitterParticleSize * 0.5;
    float a = radians(-vAngle[0]);
    mat2 rotation = mat2(cos(a), sin(a), -sin(a), cos(a));
    for (int i = 0; i < 4; ++i)
    {
        color = vec4(1.0 - vLife[0]);
        texCoord0 = corners[i] * 0.5 + 0.5;
        vec4 position = gl_in[0].gl_Position + vec4(rotation * corners[i] * s, 0.0, 0.0);
        gl_Position = global.projMatrix * position;
        EmitVertex();
    }
    EndPrimitive();
}
