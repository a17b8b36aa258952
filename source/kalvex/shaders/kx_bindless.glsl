// Texture addressing with GL_ARB_bindless_texture: handles in uniform blocks
// are the textures' resident handles, sampled directly.
#define KX_BINDLESS_TEXTURES 1
#define KX_SAMPLER_LAYOUT layout(bindless_sampler)
#define KX_HANDLE(samplerType) samplerType
#define KX_HAS_TEXTURE(handle) (uvec2(handle) != uvec2(0u))
#define KX_TEXTURE(handle, uv) texture(handle, uv)
