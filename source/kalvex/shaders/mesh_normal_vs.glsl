// Normal-mapped mesh vertex stage: the mesh vertex stage plus the tangent frame.
#define KX_NORMAL_MAPPING
@include kx_mesh_vs;
