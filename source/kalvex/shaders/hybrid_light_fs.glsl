// Lighting quad of the hybrid pipeline: the deferred lighting on one layer.
#define KX_SINGLE_LAYER
@include kx_deferred_light_fs;
