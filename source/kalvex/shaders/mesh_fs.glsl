// Lit fragment stage, shared by the mesh, tessellated and skinned programs:
// one light per pass, its slot in lightId.
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
in vec3 normal;
in vec2 texCoord0;

out vec4 outputColor;

void main()
{
    // Indices are clamped: a stray id must not read past the tables.
    MatStruct mat = material[min(matId, uint(material.length()) - 1u)];
    if (KX_HAS_TEXTURE(mat.textureHandle0))
    {
        if (KX_MATERIAL_TEXTURE(mat.textureHandle0, texCoord0).a < global.alphaThreshold)
            discard;
    }
    LightStruct lightData = light[min(lightId, uint(light.length()) - 1u)];
    float shadow = doShadowMapping(fragPosition, global.shadowMap, lightData, shadowSoftness, nearPlane, farPlane,
                                   shadowBias);
    vec3 color = doLighting(fragPosition, normalize(normal), eyePosition, lightData.position, mat, lightData, shadow,
                            1.0, texCoord0);
    outputColor = vec4(color, 1.0);
}
