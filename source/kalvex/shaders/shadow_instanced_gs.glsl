// Instanced cube geometry stage: the cube geometry stage, carrying the
// instance's material instead of the draw's record.
#define KX_INSTANCED_SHADOW
@include kx_shadow_gs;
