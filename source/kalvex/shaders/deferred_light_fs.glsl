// Lighting quad of the deferred pipeline: one light over up to MAX_LAYERS
// peeled layers, front to back, each layer covering what lies behind it by
// its coverage. With KX_SINGLE_LAYER (the hybrid pipeline) the G-buffer is
// one layer of plain 2D textures.
@include kx_global;
@include kx_material;
@include kx_light;

uniform float nearPlane;
uniform float farPlane;
uniform float generic1; // projection [2][2]
uniform float generic2; // projection [3][2]
uniform float shadowSoftness;
uniform float shadowBias;

#ifdef KX_SINGLE_LAYER
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0; // normal, coverage
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1; // uv, material index
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler2; // depth
const int kxLayers = 1;
#define KX_GBUFFER(sampler, c) texelFetch(sampler, ivec2(gl_FragCoord.xy), 0)
#else
KX_SAMPLER_LAYOUT uniform sampler2DArray textureSampler0;
KX_SAMPLER_LAYOUT uniform sampler2DArray textureSampler1;
KX_SAMPLER_LAYOUT uniform sampler2DArray textureSampler2;
const int kxLayers = KX_GBUFFER_LAYERS;
#define KX_GBUFFER(sampler, c) texelFetch(sampler, ivec3(ivec2(gl_FragCoord.xy), c), 0)
#endif
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler3; // ambient occlusion

in vec3 texCoord0;
flat in vec3 cameraPosition;
in vec3 viewRay;

out vec4 outputColor;

float zView(float d)
{
    return -(generic2 / ((2.0 * d - 1.0) + generic1));
}

void main()
{
    outputColor = vec4(0.0);
    float T = 1.0;
    LightStruct lightData = light[min(lightId, uint(light.length()) - 1u)];
    float occlusion = texture(textureSampler3, texCoord0.xy).r;
    for (int c = 0; c < kxLayers; ++c)
    {
        if (T <= 0.0)
            break;
        vec4 nt = KX_GBUFFER(textureSampler0, c);
        if (nt.a <= 0.0)
            break;
        vec4 s = KX_GBUFFER(textureSampler1, c);
        MatStruct mat = kxMaterialRecord(uint(s.w * 256.0 + 0.5));
        vec3 position = cameraPosition + zView(KX_GBUFFER(textureSampler2, c).r) * viewRay;
        float shadow = doShadowMapping(position, global.shadowMap, lightData, shadowSoftness, nearPlane, farPlane,
                                       shadowBias);
        vec3 color = doLighting(position, nt.xyz, cameraPosition, lightData.position, mat, lightData, shadow,
                                occlusion, s.xy);
        outputColor = vec4(mix(outputColor.rgb, color, T), 0.0);
        T = T - nt.a;
    }
}
