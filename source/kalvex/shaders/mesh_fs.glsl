// Lit fragment stage, shared by the mesh, tessellated and skinned programs:
// one light per pass, its slot in lightId. With KX_NORMAL_MAPPING (the
// mesh_normal_fs wrapper) the normal comes from the material's normal map
// (slot 1), two channels stored, the third rebuilt. Material maps come from
// the units the draw binds for its material, unless the including stage
// defines KX_MATERIAL_MAPS_FROM_POOL (materials that change within a draw).
// With KX_DEPTH_ONLY (the forward pipeline's depth pre-pass) only the alpha
// test runs. Bound mode builds variants for materials that need fewer maps:
// KX_ALBEDO_MAP_ONLY reads no roughness or metalness map, KX_NO_MATERIAL_MAPS
// no map at all. A software rasteriser pays for every sample and both sides
// of every branch on every pixel.
#ifndef KX_MATERIAL_MAPS_FROM_POOL
#define KX_FIXED_MATERIAL_MAPS
#endif
@include kx_global;
@include kx_material;
@include kx_light;

uniform float nearPlane;
uniform float farPlane;
uniform float shadowSoftness;
uniform float shadowBias;

flat in uint matId;
#ifdef KX_MATERIAL_VARYING
flat in MatStruct kx_drawnMaterial;
#endif
in vec3 fragPosition;
#ifdef KX_NORMAL_MAPPING
in mat3 tbn;
#else
in vec3 normal;
#endif
in vec2 texCoord0;

out vec4 outputColor;

void main()
{
#ifdef KX_MATERIAL_VARYING
    MatStruct mat = kx_drawnMaterial;
#else
    MatStruct mat = kxMaterialRecord(matId);
#endif
#ifndef KX_NO_MATERIAL_MAPS
    // Read once, for the alpha test and the lighting.
    vec4 albedoTexel = albedoTexelOf(mat, texCoord0);
    if (KX_HAS_TEXTURE(mat.textureHandle0) && albedoTexel.a < global.alphaThreshold)
        discard;
#endif
#ifdef KX_DEPTH_ONLY
    // The depth pre-pass: only the alpha test's holes matter.
    outputColor = vec4(0.0);
#else
    LightStruct lightData = light[min(lightId, uint(light.length()) - 1u)];
    float shadow = doShadowMapping(fragPosition, global.shadowMap, lightData, shadowSoftness, nearPlane, farPlane,
                                   shadowBias);
#ifdef KX_NORMAL_MAPPING
    vec3 n = vec3(0.0, 0.0, 1.0); // without a map: the vertex normal
    if (KX_HAS_TEXTURE(mat.textureHandle1))
    {
        n = KX_MATERIAL_MAP(1, mat.textureHandle1, texCoord0).xyz * 2.0 - 1.0;
        n.z = sqrt(max(1.0 - n.x * n.x - n.y * n.y, 0.0));
    }
    vec3 N = normalize(tbn * normalize(n));
#else
    vec3 N = normalize(normal);
#endif
    // The eye is the camera's world position, the same for every vertex: read
    // here rather than handed from each vertex.
    vec3 eyePosition = global.viewMatrix[3].xyz;
#ifdef KX_MATERIAL_VARYING
    vec3 albedo = mat.albedo; // linear already: see kxDrawnMaterial
#else
    vec3 albedo = kxLinearColor(mat.albedo);
#endif
#ifndef KX_NO_MATERIAL_MAPS
    // pow(a * t, 2.2) = pow(a, 2.2) * pow(t, 2.2) for a, t >= 0.
    if (KX_HAS_TEXTURE(mat.textureHandle0))
        albedo *= kxLinearColor(albedoTexel.rgb);
#endif
    vec3 color = doLightingAlbedo(fragPosition, N, eyePosition, lightData.position, mat, lightData, shadow, 1.0,
                                  texCoord0, albedo);
    outputColor = vec4(color, 1.0);
#endif
}
