// Deferred G-buffer stage of normal-mapped meshes: one depth-peeled layer.
#define KX_DEPTH_PEELING
#define KX_NORMAL_MAPPING
@include kx_gbuffer_fs;
