// Deferred G-buffer stage: one depth-peeled layer.
#define KX_DEPTH_PEELING
@include kx_gbuffer_fs;
