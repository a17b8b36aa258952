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

#endif
