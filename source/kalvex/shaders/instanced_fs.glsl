// Instanced lit fragment stage: the lit stage, with the instance's material
// (the vertex stage hands it over as matId).
@include kx_mesh_fs;
