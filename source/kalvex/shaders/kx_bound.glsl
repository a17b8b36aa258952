// Texture addressing without bindless handles: a handle is a slot of the
// texture pool plus one (0: no texture), the pool's units start at
// KX_TEXTURE_POOL_FIRST_UNIT and KX_TEXTURE_POOL_SIZE is set per context.
#define KX_BOUND_TEXTURES 1
#define KX_SAMPLER_LAYOUT
#define KX_HANDLE(samplerType) uvec2
#define KX_HAS_TEXTURE(handle) ((handle).x != 0u)
#define KX_TEXTURE(handle, uv) texture(kx_texturePool[(handle).x - 1u], uv)
