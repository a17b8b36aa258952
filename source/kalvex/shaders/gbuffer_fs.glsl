// G-buffer fragment stage of the deferred and hybrid pipelines: world normal
// and coverage into target 0, texture coordinates and material index into
// target 1. With KX_DEPTH_PEELING a fragment survives only behind every layer
// peeled so far; KX_NORMAL_MAPPING takes the normal from the material's map.
@include kx_global;
@include kx_material;
@include kx_light;

#ifdef KX_DEPTH_PEELING
uniform int layer;
KX_SAMPLER_LAYOUT uniform sampler2DArray textureSampler1; // the layers' depths (KX_UNIT_GBUFFER_PEEL_DEPTH)
#endif

flat in uint matId;
#ifdef KX_NORMAL_MAPPING
in mat3 tbn;
#else
in vec3 normal;
#endif
in vec2 texCoord0;

out vec4 outputColor[2];

void main()
{
#ifdef KX_DEPTH_PEELING
    // Layer 0 first, then the layers from layer - 1 down to 1.
    ivec2 texel = ivec2(gl_FragCoord.xy);
    int c = layer;
    int z = 0;
    while (c > 0)
    {
        if (gl_FragCoord.z <= texelFetch(textureSampler1, ivec3(texel, z), 0).r)
            discard;
        c = c - 1;
        z = c;
    }
#endif
    uint id = min(matId, uint(material.length()) - 1u);
    MatStruct mat = material[id];
    vec4 texel0 = vec4(1.0);
    if (KX_HAS_TEXTURE(mat.textureHandle0))
        texel0 = KX_MATERIAL_TEXTURE(mat.textureHandle0, texCoord0);
    if (texel0.a < global.alphaThreshold)
        discard;
#ifdef KX_NORMAL_MAPPING
    vec3 n = vec3(0.0, 0.0, 1.0); // without a map: the vertex normal
    if (KX_HAS_TEXTURE(mat.textureHandle1))
    {
        n = KX_MATERIAL_TEXTURE(mat.textureHandle1, texCoord0).xyz * 2.0 - 1.0;
        n.z = sqrt(max(1.0 - n.x * n.x - n.y * n.y, 0.0));
    }
    vec3 N = normalize(tbn * normalize(n));
#else
    vec3 N = normalize(normal);
#endif
    outputColor[0] = vec4(N, mat.transparency * texel0.a);
    outputColor[1] = vec4(texCoord0, 0.0, float(id) / 256.0);
}
