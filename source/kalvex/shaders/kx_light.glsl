#ifndef KX_LIGHT_INCLUDED
#define KX_LIGHT_INCLUDED

// The light table and the shading model. kx_global (global) and kx_material
// (MatStruct) must be included before this.

// Ordered for std140: 64 bytes, the layout of KxLight's GPU record.
struct LightStruct
{
    vec3 color;
    float cutoff;       // cosine of the cone's half-angle
    vec4 position;      // world space; w = 0 (directional): the direction towards the light
    float radius;       // distance at which the light fades out
    float exponent;
    vec2 _padding;
    vec3 direction;     // world space
    float spotExponent; // above 0: a cone light
};

layout(std140, binding=KX_BINDING_LIGHTS) uniform lightList
{
    LightStruct light[KX_MAX_LIGHTS];
};

// The slot of the light being applied.
uniform uint lightId;

// The light's shadow cube map, bound to unit KX_UNIT_SHADOW_MAP in both texture
// modes.
KX_SAMPLER_LAYOUT uniform samplerCubeShadow textureSampler6;

// Physically based shading of one light: metallic/roughness, Cook-Torrance
// with the GGX distribution, Schlick Fresnel and Schlick-GGX geometry. P, N
// (unit length), V (the eye) and L are in world space. The result is gamma
// encoded; the emission is added after the encoding.
// The material's albedo map at texCoord, white without one. Branches rather
// than selects: a pool index of "no texture" must never be sampled.
vec4 albedoTexelOf(MatStruct mat, vec2 texCoord)
{
    vec4 albedoTexel = vec4(1.0);
    if (KX_HAS_TEXTURE(mat.textureHandle0))
        albedoTexel = KX_MATERIAL_MAP(0, mat.textureHandle0, texCoord);
    return albedoTexel;
}

// doLighting with the linear albedo already known: the lit mesh stages
// linearise the material's colour once per vertex (kxDrawnMaterial) and the
// map's texel per pixel. KX_ALBEDO_MAP_ONLY or KX_NO_MATERIAL_MAPS: no
// roughness or metalness map.
vec3 doLightingAlbedo(vec3 P, vec3 N, vec3 V, vec4 L, MatStruct mat, LightStruct lightData, float shadow,
                      float ambientOcclusion, vec2 texCoord, vec3 albedo)
{
    const float PI = 3.1415926;
    float roughnessTexel = 1.0;
    float metalnessTexel = 1.0;
#if !defined(KX_ALBEDO_MAP_ONLY) && !defined(KX_NO_MATERIAL_MAPS)
    if (KX_HAS_TEXTURE(mat.textureHandle3))
        roughnessTexel = KX_MATERIAL_MAP(3, mat.textureHandle3, texCoord).r;
    if (KX_HAS_TEXTURE(mat.textureHandle4))
        metalnessTexel = KX_MATERIAL_MAP(4, mat.textureHandle4, texCoord).r;
#endif

    float roughness = mat.roughness * roughnessTexel;
    float metalness = mat.metalness * metalnessTexel;
    if (roughness == 0.0)
        roughness = 0.01;

    vec3 view = normalize(V - P);
    // Directional (w = 0): L holds the direction towards the light, no
    // distance fall-off. One expression for both kinds: a software
    // rasteriser runs both sides of a branch.
    vec3 toLight = L.xyz - P * L.w;
    vec3 lightDir = normalize(toLight);
    float lightDist = L.w == 0.0 ? 0.0 : length(toLight);
    float nDotL = dot(N, lightDir);
    vec3 H = normalize(lightDir + view);

    float spotAttenuation = 1.0;
#ifndef KX_NO_SPOT_CONE // defined for stages built for lights without one
    if (lightData.spotExponent > 0.0)
    {
        float spotEffect = dot(lightData.direction, -lightDir);
        if (spotEffect < lightData.cutoff)
            nDotL = -1.0;
        // Behind a wide cone the base is negative, where pow is undefined.
        spotAttenuation = pow(max(spotEffect, 0.0), lightData.spotExponent);
    }
#endif

    vec3 color = vec3(0.0);
    if (nDotL > 0.0)
    {
        float attenuation = spotAttenuation;
        if (L.w != 0.0)
            attenuation *= max(0.0, 1.0 - lightDist / lightData.radius);
        vec3 radiance = lightData.color * attenuation;

        vec3 F0 = mix(vec3(0.04), albedo, metalness);
        float hDotV = max(dot(H, view), 0.0);
        vec3 F = F0 + (1.0 - F0) * pow(max(1.0 - hDotV, 0.0), 5.0);

        float a = roughness * roughness;
        float a2 = a * a;
        float nDotH = max(dot(N, H), 0.0);
        float denominator = nDotH * nDotH * (a2 - 1.0) + 1.0;
        float D = a2 / (PI * denominator * denominator);

        float k = (roughness + 1.0) * (roughness + 1.0) / 8.0;
        float nDotV = max(dot(N, view), 0.0);
        float G = (nDotV / (nDotV * (1.0 - k) + k)) * (nDotL / (nDotL * (1.0 - k) + k));

        vec3 specular = D * F * G / (4.0 * nDotL * nDotV + 0.001);
        vec3 kD = (vec3(1.0) - F) * (1.0 - metalness);
        vec3 Lo = (kD * albedo / PI + specular) * radiance * nDotL;
        color += shadow * Lo;
    }
    color += global.ambient * albedo * ambientOcclusion;
    return pow(color, vec3(1.0 / 2.2)) + mat.emission;
}

vec3 doLighting(vec3 P, vec3 N, vec3 V, vec4 L, MatStruct mat, LightStruct lightData, float shadow,
                float ambientOcclusion, vec2 texCoord)
{
    vec3 albedo = kxLinearColor(mat.albedo * albedoTexelOf(mat, texCoord).rgb);
    return doLightingAlbedo(P, N, V, L, mat, lightData, shadow, ambientOcclusion, texCoord, albedo);
}

// The window depth that a cube face's perspective projection with these
// planes gives for the distance along Vec's major axis. A bias larger than
// the distance would put the point behind the light, where the projection
// turns over and reads as shadowed: such points are at the near plane.
float VectorToDepthValue(vec3 Vec, float nearPlane, float farPlane, float bias)
{
    vec3 absVec = abs(Vec);
    float z = max(max(absVec.x, max(absVec.y, absVec.z)) - bias, nearPlane);
    float n = (farPlane + nearPlane) / (farPlane - nearPlane) - (2.0 * farPlane * nearPlane) / (farPlane - nearPlane) / z;
    return (n + 1.0) * 0.5;
}

// 1 lit, 0 in shadow. Always samples textureSampler6 (shadowMap is kept for
// the signature). A directional light has no point to cast a cube map from.
float doShadowMapping(vec3 P, KX_HANDLE(samplerCubeShadow) shadowMap, LightStruct lightData, float softness,
                      float nearPlane, float farPlane, float bias)
{
#if KX_SHADOW_TAPS == 0
    // Built for lights without a shadow map: nothing to look up.
    return 1.0;
#else
    if (lightData.position.w == 0.0)
        return 1.0;
    vec3 d = lightData.position.xyz - P;
    vec3 dir = normalize(d);
    float reference = VectorToDepthValue(-d, nearPlane, farPlane, bias);
#if defined(KX_SOFTSHADOWS) && defined(KX_SOFTSHADOWS_HIGHQUALITY)
    const vec3 offsets[20] = vec3[](
        vec3(1, 1, 1), vec3(1, -1, 1), vec3(-1, -1, 1), vec3(-1, 1, 1),
        vec3(1, 1, -1), vec3(1, -1, -1), vec3(-1, -1, -1), vec3(-1, 1, -1),
        vec3(1, 1, 0), vec3(1, -1, 0), vec3(-1, -1, 0), vec3(-1, 1, 0),
        vec3(1, 0, 1), vec3(-1, 0, 1), vec3(1, 0, -1), vec3(-1, 0, -1),
        vec3(0, 1, 1), vec3(0, -1, 1), vec3(0, -1, -1), vec3(0, 1, -1));
    const float diskRadius = 0.01;
    float sum = 0.0;
    for (int i = 0; i < 20; ++i)
        sum += texture(textureSampler6, vec4(-dir + offsets[i] * softness * diskRadius, reference));
    return sum / 20.0;
#elif defined(KX_SOFTSHADOWS)
    float t = 1.0 / float(textureSize(textureSampler6, 0).x);
    float s = softness;
    float sum = texture(textureSampler6, vec4(-dir + t * vec3(-s, s, 0.0), reference));
    sum += texture(textureSampler6, vec4(-dir + t * vec3(0.0, -s, s), reference));
    sum += texture(textureSampler6, vec4(-dir + t * vec3(s, 0.0, -s), reference));
    sum += texture(textureSampler6, vec4(-dir, reference));
    return sum / 4.0;
#else
    return texture(textureSampler6, vec4(-dir, reference));
#endif
#endif
}

// One comparison, for where soft edges are not worth 20 lookups.
float doFastShadowMapping(vec3 P, KX_HANDLE(samplerCubeShadow) shadowMap, LightStruct lightData, float softness,
                          float nearPlane, float farPlane, float bias)
{
#if KX_SHADOW_TAPS == 0
    return 1.0;
#else
    if (lightData.position.w == 0.0)
        return 1.0;
    vec3 d = lightData.position.xyz - P;
    return texture(textureSampler6, vec4(normalize(-d), VectorToDepthValue(-d, nearPlane, farPlane, bias)));
#endif
}

#endif
