// Hybrid G-buffer stage of normal-mapped meshes.
#define KX_NORMAL_MAPPING
@include kx_gbuffer_fs;
