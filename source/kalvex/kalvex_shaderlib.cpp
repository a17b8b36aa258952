// The built-in shader library: stage header, bindings include and the
// registration of every built-in include.
#include "kalvex_shaderlib.h"

#include "kalvex_bindings.h"
#include "kalvex_internal.h"
#include "kalvex_resources.h"

#include <cctype>
#include <cstring>

namespace
{
const char* text(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

bool isNameCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Built-in includes in dependency order: each needs only those above it.
struct BuiltInInclude
{
    const char* name;
    const unsigned char* source;
};
const BuiltInInclude BUILT_IN_INCLUDES[] = {
    {"kx_global", kx_resource_kx_global_glsl},
    {"kx_material", kx_resource_kx_material_glsl},     // after kx_global
    {"kx_light", kx_resource_kx_light_glsl},           // after kx_global and kx_material
    {"kx_list", kx_resource_kx_list_glsl},
    {"kx_mesh", kx_resource_kx_mesh_glsl},
    {"kx_skinned", kx_resource_kx_skinned_glsl},
    {"kx_skinning", kx_resource_shadow_skinning_glsl}, // after kx_skinned
    {"kx_postproc", kx_resource_kx_postproc_glsl},
    {"kx_instanced", kx_resource_kx_instanced_glsl},
    // The forward pipeline's mesh stages, shared with their normal-mapped
    // variants (which define KX_NORMAL_MAPPING and include them).
    {"kx_mesh_vs", kx_resource_mesh_vs_glsl},
    {"kx_mesh_fs", kx_resource_mesh_fs_glsl},
    // The shadow pass's cube geometry stage, shared with its instanced variant.
    {"kx_shadow_gs", kx_resource_shadow_gs_glsl},
    // The deferred and hybrid pipelines' G-buffer and lighting stages, shared
    // with their variants (peeling, normal mapping, a single layer).
    {"kx_gbuffer_fs", kx_resource_gbuffer_fs_glsl},
    {"kx_deferred_light_fs", kx_resource_deferred_light_fs_glsl},
};
}

namespace kx
{
std::string bindingsInclude()
{
    std::string include = "#ifndef KX_BINDINGS_INCLUDED\n#define KX_BINDINGS_INCLUDED\n";
    for (const ShaderConstant& constant : SHADER_CONSTANTS)
        include += std::string("#define ") + constant.name + " " + std::to_string(constant.value) + "\n";
    include += "#endif\n";
    return include;
}

std::string resolveShaderConstants(const char* source)
{
    std::string result;
    const char* position = source;
    while (*position)
    {
        if (std::strncmp(position, "KX_", 3) == 0 && (position == source || !isNameCharacter(position[-1])))
        {
            size_t length = 0;
            while (isNameCharacter(position[length]))
                ++length;
            const ShaderConstant* found = nullptr;
            for (const ShaderConstant& constant : SHADER_CONSTANTS)
                if (std::strlen(constant.name) == length && std::strncmp(constant.name, position, length) == 0)
                    found = &constant;
            result += found ? std::to_string(found->value) : std::string(position, length);
            position += length;
            continue;
        }
        result += *position++;
    }
    return result;
}

std::string stageHeader(bool bindless, unsigned int poolSize)
{
    std::string header = "#version 450 core\n";
    if (bindless)
        header += "#extension GL_ARB_bindless_texture : require\n";
    header += bindingsInclude();
    if (bindless)
        return header + text(kx_resource_kx_bindless_glsl);
    header += "#define KX_TEXTURE_POOL_SIZE " + std::to_string(poolSize ? poolSize : 1u) + "\n";
    return header + text(kx_resource_kx_bound_glsl);
}

bool registerBuiltInIncludes()
{
    bool registered = KxShader::setHashmap("kx_bindings", bindingsInclude().c_str());
    for (const BuiltInInclude& include : BUILT_IN_INCLUDES)
        registered = KxShader::setHashmap(include.name, resolveShaderConstants(text(include.source)).c_str()) &&
                     registered;
    return registered;
}
}
