// Ambient occlusion: the share of a hemisphere kernel around the pixel's
// view-space position that lies behind the depth buffer, raised to a power.
@include kx_global;

uniform float generic1; // projection [2][2]
uniform float generic2; // projection [3][2]
uniform vec3 generic3[64]; // the kernel
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0; // depth
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1; // world normals
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler4; // 4 x 4 rotation noise (KX_UNIT_SSAO_NOISE)
uniform uint filterKernel;
uniform float filterRadius;
uniform float filterBias;
uniform float filterPower;

in vec2 texCoord0;
in vec3 viewRay;
flat in mat4 projectionMatrix;

out float outputColor;

float zView(float d)
{
    return -(generic2 / ((2.0 * d - 1.0) + generic1));
}

void main()
{
    // No samples: nothing can occlude.
    if (filterKernel == 0u)
    {
        outputColor = 1.0;
        return;
    }
    vec2 noiseScale = vec2(global.viewportSizeX / 4.0, global.viewportSizeY / 4.0);
    vec3 P = zView(texture(textureSampler0, texCoord0).r) * viewRay;
    // The G-buffer holds world normals; the kernel works in view space.
    vec3 n = normalize(mat3(global.invViewMatrix) * texture(textureSampler1, texCoord0).xyz);
    vec3 r = normalize(texture(textureSampler4, texCoord0 * noiseScale).xyz);
    vec3 t = normalize(r - n * dot(r, n));
    vec3 b = cross(n, t);
    mat3 tbn = mat3(t, b, n);
    float occlusion = 0.0;
    uint count = min(filterKernel, 64u);
    for (uint i = 0u; i < count; ++i)
    {
        vec3 S = P + (tbn * generic3[i]) * filterRadius;
        vec4 projected = projectionMatrix * vec4(S, 1.0);
        projected.xyz = projected.xyz / projected.w * 0.5 + 0.5;
        float sampleDepth = zView(texture(textureSampler0, projected.xy).r);
        float rangeCheck = smoothstep(0.0, 1.0, filterRadius / abs(P.z - sampleDepth));
        occlusion += (sampleDepth >= S.z + filterBias ? 1.0 : 0.0) * rangeCheck;
    }
    outputColor = pow(1.0 - occlusion / float(count), filterPower);
}
