#ifndef KX_MATERIAL_INCLUDED
#define KX_MATERIAL_INCLUDED

// Ordered for std140: 96 bytes, the layout of KxMaterial's GPU record.
struct MatStruct
{
    vec3 emission;
    float transparency;
    vec3 albedo;
    uint alpha;
    float roughness;
    float metalness;
    vec2 _padding;
    KX_HANDLE(sampler2D) textureHandle0; // Albedo/diffuse
    KX_HANDLE(sampler2D) textureHandle1; // Normal map
    KX_HANDLE(sampler2D) textureHandle2; // Height map
    KX_HANDLE(sampler2D) textureHandle3; // Roughness map
    KX_HANDLE(sampler2D) textureHandle4; // Metalness map
    KX_HANDLE(sampler2D) textureHandle5; // Padding/not used
};

layout(std140, binding=KX_BINDING_MATERIALS) uniform matList
{
    MatStruct material[KX_MAX_MATERIALS];
};

// The current material's position in the table, for single draws.
uniform uint materialId;

// The record of material id, clamped: a stray id must not read past the table.
MatStruct kxMaterialRecord(uint id)
{
    return material[min(id, uint(material.length()) - 1u)];
}

// Bound mode: the lit stages' vertex side reads the drawn material's record
// once per vertex and hands it to the fragment stage as a flat MatStruct
// (kx_drawnMaterial). Indexed by a varying, the table would be gathered
// lane by lane on every pixel by a SIMD software rasteriser. With bindless
// handles (opaque members) the fragment stage reads the table itself.
#ifdef KX_BOUND_TEXTURES
#define KX_MATERIAL_VARYING
#endif

// Colours are authored gamma encoded: linearise before shading.
vec3 kxLinearColor(vec3 color)
{
    return pow(max(color, vec3(0.0)), vec3(2.2));
}

// The record a lit vertex stage hands to its fragment stage, its albedo
// already linear: once per vertex rather than once per pixel.
MatStruct kxDrawnMaterial(uint id)
{
    MatStruct drawn = kxMaterialRecord(id);
    drawn.albedo = kxLinearColor(drawn.albedo);
    return drawn;
}

// Material maps, sampled with explicit derivatives: a fragment stage passes
// its own (bounded, so that stretched or degenerate coordinates cannot make
// the filter's footprint unbounded), other stages zero (the base level).
// Bound mode reaches the unit pool through constant indices only: indexing a
// sampler array dynamically crashes llvmpipe's (Mesa 22) shader compiler and
// is undefined on other drivers unless the index is uniform for the draw.
#ifdef KX_BOUND_TEXTURES
vec4 kxMaterialTexture(uvec2 handle, vec2 uv, vec2 dx, vec2 dy)
{
    switch (handle.x)
    {
#if KX_TEXTURE_POOL_SIZE >= 1
    case 1u:
        return textureGrad(kx_texturePool[0], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 2
    case 2u:
        return textureGrad(kx_texturePool[1], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 3
    case 3u:
        return textureGrad(kx_texturePool[2], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 4
    case 4u:
        return textureGrad(kx_texturePool[3], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 5
    case 5u:
        return textureGrad(kx_texturePool[4], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 6
    case 6u:
        return textureGrad(kx_texturePool[5], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 7
    case 7u:
        return textureGrad(kx_texturePool[6], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 8
    case 8u:
        return textureGrad(kx_texturePool[7], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 9
    case 9u:
        return textureGrad(kx_texturePool[8], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 10
    case 10u:
        return textureGrad(kx_texturePool[9], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 11
    case 11u:
        return textureGrad(kx_texturePool[10], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 12
    case 12u:
        return textureGrad(kx_texturePool[11], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 13
    case 13u:
        return textureGrad(kx_texturePool[12], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 14
    case 14u:
        return textureGrad(kx_texturePool[13], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 15
    case 15u:
        return textureGrad(kx_texturePool[14], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 16
    case 16u:
        return textureGrad(kx_texturePool[15], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 17
    case 17u:
        return textureGrad(kx_texturePool[16], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 18
    case 18u:
        return textureGrad(kx_texturePool[17], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 19
    case 19u:
        return textureGrad(kx_texturePool[18], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 20
    case 20u:
        return textureGrad(kx_texturePool[19], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 21
    case 21u:
        return textureGrad(kx_texturePool[20], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 22
    case 22u:
        return textureGrad(kx_texturePool[21], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 23
    case 23u:
        return textureGrad(kx_texturePool[22], uv, dx, dy);
#endif
#if KX_TEXTURE_POOL_SIZE >= 24
    case 24u:
        return textureGrad(kx_texturePool[23], uv, dx, dy);
#endif
    default:
        return vec4(1.0); // no texture
    }
}
#else
vec4 kxMaterialTexture(KX_HANDLE(sampler2D) handle, vec2 uv, vec2 dx, vec2 dy)
{
    return textureGrad(handle, uv, dx, dy);
}
#endif

#ifdef KX_FRAGMENT_SHADER
// A footprint wider than the texture samples the smallest level anyway; a
// non-finite one (degenerate coordinates) becomes a point.
vec2 kxBoundedDerivative(vec2 d)
{
    return clamp(mix(d, vec2(0.0), isnan(d)), vec2(-1.0), vec2(1.0));
}
#define KX_MATERIAL_TEXTURE(handle, uv) \
    kxMaterialTexture(handle, uv, kxBoundedDerivative(dFdx(uv)), kxBoundedDerivative(dFdy(uv)))
#define KX_MATERIAL_GRADIENTS(uv) kxBoundedDerivative(dFdx(uv)), kxBoundedDerivative(dFdy(uv))
#else
#define KX_MATERIAL_TEXTURE(handle, uv) kxMaterialTexture(handle, uv, vec2(0.0), vec2(0.0))
#define KX_MATERIAL_GRADIENTS(uv) vec2(0.0), vec2(0.0)
#endif

// KX_MATERIAL_MAP(slot, handle, uv): map slot (0 to 4) of the material being
// shaded. A bound-mode stage that defines KX_FIXED_MATERIAL_MAPS before
// including this reads the drawn material's maps from their own units, which
// every draw of that stage binds for its material (the list draws one
// multi-draw per material with maps): constant indices, so no pixel pays for
// the switch over the pool. Elsewhere it is KX_MATERIAL_TEXTURE.
#if defined(KX_BOUND_TEXTURES) && defined(KX_FIXED_MATERIAL_MAPS)
layout(binding = KX_UNIT_MATERIAL_MAPS_FIRST) uniform sampler2D kx_materialMaps[KX_MATERIAL_MAP_COUNT];
#define KX_MATERIAL_MAP(slot, handle, uv) textureGrad(kx_materialMaps[slot], uv, KX_MATERIAL_GRADIENTS(uv))
#else
#define KX_MATERIAL_MAP(slot, handle, uv) KX_MATERIAL_TEXTURE(handle, uv)
#endif

#endif
