// Instanced lit fragment stage: the lit stage, with the instance's material
// (the vertex stage hands it over as matId).
// Each instance may have its own material: maps are read through the pool.
#define KX_MATERIAL_MAPS_FROM_POOL
@include kx_mesh_fs;
