// Normal-mapped lit fragment stage: the lit stage with the normal map.
#define KX_NORMAL_MAPPING
@include kx_mesh_fs;
