// Normal-mapped lit fragment stage: the normal comes from the material's
// normal map (slot 1), two channels stored, the third rebuilt.
@include kx_global;
@include kx_material;
@include kx_light;

uniform float nearPlane;
uniform float farPlane;
uniform float shadowSoftness;
uniform float shadowBias;

flat in uint matId;
flat in vec3 eyePosition;
in vec3 fragPosition;
in vec2 texCoord0;
in mat3 tbn;

out vec4 outputColor;

void main()
{
    MatStruct mat = material[min(matId, uint(material.length()) - 1u)];
    if (KX_HAS_TEXTURE(mat.textureHandle0))
    {
        if (KX_MATERIAL_TEXTURE(mat.textureHandle0, texCoord0).a < global.alphaThreshold)
            discard;
    }
    vec3 n = vec3(0.0, 0.0, 1.0); // without a map: the vertex normal
    if (KX_HAS_TEXTURE(mat.textureHandle1))
    {
        n = KX_MATERIAL_TEXTURE(mat.textureHandle1, texCoord0).xyz * 2.0 - 1.0;
        n.z = sqrt(max(1.0 - n.x * n.x - n.y * n.y, 0.0));
    }
    vec3 N = normalize(tbn * normalize(n));
    LightStruct lightData = light[min(lightId, uint(light.length()) - 1u)];
    float shadow = doShadowMapping(fragPosition, global.shadowMap, lightData, shadowSoftness, nearPlane, farPlane,
                                   shadowBias);
    vec3 color = doLighting(fragPosition, N, eyePosition, lightData.position, mat, lightData, shadow, 1.0, texCoord0);
    outputColor = vec4(color, 1.0);
}
