#ifndef KX_POSTPROC_INCLUDED
#define KX_POSTPROC_INCLUDED

// Tone-mapping operators of the post-processing stage.
#define TONEMAPPING_NONE %u
#define TONEMAPPING_LINEAR %u
#define TONEMAPPING_REINHARD %u
#define TONEMAPPING_ROMBINDAHOUSE %u
#define TONEMAPPING_FILMIC %u
#define TONEMAPPING_UNCHARTED2 %u

#endif
