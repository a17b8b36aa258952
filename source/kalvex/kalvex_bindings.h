// The contract between the engine's C++ and its GLSL: every uniform-buffer and
// storage-buffer binding point, texture unit, vertex attribute location and
// table size in one place. Shaders see the same numbers as the KX_ macros of
// the built-in include "kx_bindings" (generated from SHADER_CONSTANTS below and
// put in front of every stage), so a shader writes
// "layout(std140, binding = KX_BINDING_LIGHTS)" and never a number.
//
// Reserved entries are claimed by features under way; keep them when adding.
#ifndef KALVEX_BINDINGS_H
#define KALVEX_BINDINGS_H

#include "kalvex.h"

namespace kx
{
namespace binding
{
// Uniform buffers.
constexpr unsigned int GLOBAL = 0;    // KxOpenGL::kxGlobal (kx_global)
constexpr unsigned int MATERIALS = 1; // KxMaterial's table (kx_material)
constexpr unsigned int LIGHTS = 2;    // KxLight's table (kx_light)

// Shader storage buffers. Particle data shares numbers with nothing a particle
// program reads besides it.
constexpr unsigned int PARTICLES_POSITION = 0; // KxEmitter's positions and lives
constexpr unsigned int PARTICLES_VELOCITY = 1; // KxEmitter's velocities and life steps
constexpr unsigned int PARTICLES_EXTRA = 2;    // KxEmitter's reserved per-particle data
constexpr unsigned int MESHES = 3;             // KxMesh's table (kx_mesh)
constexpr unsigned int INSTANCES = 4;          // KxInstanced's engine-wide records (kx_instanced)
constexpr unsigned int LIST = 5;               // KxList's draw records (kx_list)
}

namespace unit
{
// Texture units. Units 0 to 7 are the sampler uniforms textureSampler0..7,
// which KxShader::build points at the unit of the same number.
constexpr unsigned int SAMPLER_FIRST = 0;
constexpr unsigned int SAMPLER_COUNT = 8;
constexpr unsigned int SHADOW_MAP = 6;      // the current light's cube shadow map (textureSampler6)
constexpr unsigned int GBUFFER_FIRST = 0;   // deferred G-buffer: normal, surface, depth, occlusion (0 to 3)
constexpr unsigned int GBUFFER_PEEL_DEPTH = 1; // the peeled layers' depths, read by the G-buffer stage
constexpr unsigned int SSAO_NOISE = 4;      // ambient occlusion noise
constexpr unsigned int FONT_ATLAS = 0;      // reserved: bitmap fonts
constexpr unsigned int TEXTURE_POOL_FIRST = 8; // bound-texture mode: the material map pool
constexpr unsigned int TEXTURE_POOL_MAX = 32;  // ... up to this unit (exclusive)
// Bound-texture mode: the maps of the material being drawn, one unit per map
// slot (albedo, normal, height, roughness, metalness), bound per material so
// that lit stages read them with constant indices.
constexpr unsigned int MATERIAL_MAPS_FIRST = 32;
constexpr unsigned int MATERIAL_MAP_COUNT = 5;
// Units below this one are tracked by the GL context's binding cache.
constexpr unsigned int TRACKED_COUNT = MATERIAL_MAPS_FIRST + MATERIAL_MAP_COUNT;
}

namespace location
{
// Vertex attribute locations (kx_global declares them).
constexpr unsigned int VERTEX = 0;
constexpr unsigned int NORMAL = 1;
constexpr unsigned int UV = 2;
constexpr unsigned int COLOR = 3;
constexpr unsigned int TANGENT = 4;
constexpr unsigned int BONE_INDEX = 5;
constexpr unsigned int BONE_WEIGHT = 6;
constexpr unsigned int PARTICLE = 7; // KxEmitter's position and life (a_particle)
// The render list's record of the draw, fed once per draw (kx_list):
constexpr unsigned int RECORD_NORMAL = 8;    // three columns of the normal matrix
constexpr unsigned int RECORD_MODEL = 11;    // four columns of the model matrix
constexpr unsigned int RECORD_MATERIAL = 15; // the material id
}

// Vertex buffer binding slots of the engine's vertex arrays.
namespace vertexbuffer
{
constexpr unsigned int MESH = 0;     // the 24-byte mesh vertex
constexpr unsigned int SKINNING = 1; // bone indices and weights beside it
constexpr unsigned int LIST_RECORDS = 2; // the render list's records, one per draw (instance rate)
}

// A name and value that shaders see as "#define name value".
struct ShaderConstant
{
    const char* name;
    unsigned int value;
};

constexpr ShaderConstant SHADER_CONSTANTS[] = {
    {"KX_BINDING_GLOBAL", binding::GLOBAL},
    {"KX_BINDING_MATERIALS", binding::MATERIALS},
    {"KX_BINDING_LIGHTS", binding::LIGHTS},
    {"KX_BINDING_PARTICLES_POSITION", binding::PARTICLES_POSITION},
    {"KX_BINDING_PARTICLES_VELOCITY", binding::PARTICLES_VELOCITY},
    {"KX_BINDING_PARTICLES_EXTRA", binding::PARTICLES_EXTRA},
    {"KX_BINDING_MESHES", binding::MESHES},
    {"KX_BINDING_INSTANCES", binding::INSTANCES},
    {"KX_BINDING_LIST", binding::LIST},
    {"KX_UNIT_SHADOW_MAP", unit::SHADOW_MAP},
    {"KX_UNIT_GBUFFER_FIRST", unit::GBUFFER_FIRST},
    {"KX_UNIT_SSAO_NOISE", unit::SSAO_NOISE},
    {"KX_GBUFFER_LAYERS", KxDeferredRendering::MAX_LAYERS},
    {"KX_UNIT_FONT_ATLAS", unit::FONT_ATLAS},
    {"KX_TEXTURE_POOL_FIRST_UNIT", unit::TEXTURE_POOL_FIRST},
    {"KX_UNIT_MATERIAL_MAPS_FIRST", unit::MATERIAL_MAPS_FIRST},
    {"KX_MATERIAL_MAP_COUNT", unit::MATERIAL_MAP_COUNT},
    {"KX_LOCATION_VERTEX", location::VERTEX},
    {"KX_LOCATION_NORMAL", location::NORMAL},
    {"KX_LOCATION_UV", location::UV},
    {"KX_LOCATION_COLOR", location::COLOR},
    {"KX_LOCATION_TANGENT", location::TANGENT},
    {"KX_LOCATION_BONE_INDEX", location::BONE_INDEX},
    {"KX_LOCATION_BONE_WEIGHT", location::BONE_WEIGHT},
    {"KX_LOCATION_PARTICLE", location::PARTICLE},
    {"KX_LOCATION_RECORD_NORMAL", location::RECORD_NORMAL},
    {"KX_LOCATION_RECORD_MODEL", location::RECORD_MODEL},
    {"KX_LOCATION_RECORD_MATERIAL", location::RECORD_MATERIAL},
    {"KX_MAX_LIGHTS", KxLight::MAX_NUMBER},
    {"KX_MAX_MATERIALS", KxMaterial::MAX_NUMBER},
    {"KX_MAX_MESHES", KxMesh::MAX_NUMBER},
    {"KX_MAX_VERTEX_BONES", KxSkinned::NROFVERTEXBONES},
    {"KX_MAX_SKELETON_BONES", KxSkinned::NROFSKELETONBONES},
    {"KX_TONEMAPPING_NONE", KxPostProc::TONEMAPPING_NONE},
    {"KX_TONEMAPPING_LINEAR", KxPostProc::TONEMAPPING_LINEAR},
    {"KX_TONEMAPPING_REINHARD", KxPostProc::TONEMAPPING_REINHARD},
    {"KX_TONEMAPPING_ROMBINDAHOUSE", KxPostProc::TONEMAPPING_ROMBINDAHOUSE},
    {"KX_TONEMAPPING_FILMIC", KxPostProc::TONEMAPPING_FILMIC},
    {"KX_TONEMAPPING_UNCHARTED2", KxPostProc::TONEMAPPING_UNCHARTED2},
};
}

#endif // KALVEX_BINDINGS_H
