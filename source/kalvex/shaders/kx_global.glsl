#ifndef KX_GLOBAL_INCLUDED
#define KX_GLOBAL_INCLUDED

// Engine-wide switches read by the lighting code. A lit stage built for a
// cheaper shadow filter defines KX_SHADOW_TAPS first: 0 (no shadow lookup at
// all, for lights without a shadow map), 1 or 4; otherwise 20 soft taps.
#ifndef KX_SHADOW_TAPS
#define KX_SHADOW_TAPS 20
#endif
#if KX_SHADOW_TAPS >= 4
#define KX_SOFTSHADOWS
#endif
#if KX_SHADOW_TAPS >= 20
#define KX_SOFTSHADOWS_HIGHQUALITY
#endif

// Mirrors KxOpenGL::kxGlobal byte for byte (std140, 240 bytes).
struct GlobalStruct
{
    mat4 projMatrix;
    mat4 viewMatrix;    // the camera's world matrix: its translation is the eye
    mat4 invViewMatrix; // world to eye
    float viewportSizeX;
    float viewportSizeY;
    uint nrOfLights;
    float alphaThreshold;
    KX_HANDLE(samplerCubeShadow) shadowMap;
    KX_HANDLE(samplerCubeShadow) _pad0;
    vec3 ambient;
    uint _pad1;
};

layout(std140, binding=KX_BINDING_GLOBAL) uniform GlobalData
{
    GlobalStruct global;
};

#ifdef KX_BOUND_TEXTURES
// Material maps without bindless handles: a pool of units, indexed per draw.
layout(binding = KX_TEXTURE_POOL_FIRST_UNIT) uniform sampler2D kx_texturePool[KX_TEXTURE_POOL_SIZE];
#endif

#ifdef KX_VERTEX_SHADER
layout(location = KX_LOCATION_VERTEX) in vec3 a_vertex;
layout(location = KX_LOCATION_NORMAL) in vec3 a_normal;
layout(location = KX_LOCATION_TANGENT) in vec4 a_tangent;
layout(location = KX_LOCATION_UV) in vec2 a_uv;
layout(location = KX_LOCATION_COLOR) in vec4 a_color;
layout(location = KX_LOCATION_BONE_INDEX) in uvec4 a_boneIndex;
layout(location = KX_LOCATION_BONE_WEIGHT) in vec4 a_boneWeight;
#endif

#endif
