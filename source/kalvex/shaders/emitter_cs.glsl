// Particle update: one step of every particle of an emitter. Life grows by
// the particle's own step; the velocity is bent by gravity in proportion to
// life; past a life of 1 the particle restarts at the origin (its velocity
// stays).
@include kx_global;

layout(local_size_x = 64) in;

uniform vec3 emitterGravity;
uniform float emitterSpeed;

layout(std430, binding = KX_BINDING_PARTICLES_POSITION) buffer buf1
{
    vec4 storeA[]; // position, life
};
layout(std430, binding = KX_BINDING_PARTICLES_VELOCITY) buffer buf2
{
    vec4 storeB[]; // velocity, life step
};
layout(std430, binding = KX_BINDING_PARTICLES_EXTRA) buffer buf3
{
    vec4 storeC[]; // reserved per-particle data
};

void main()
{
    uint i = gl_GlobalInvocationID.x;
    if (i >= uint(storeA.length())) // the last group runs past the end
        return;
    vec4 particle = storeA[i];
    vec3 acceleration = storeB[i].xyz + emitterGravity * particle.w;
    particle.xyz += emitterSpeed * acceleration;
    particle.w += storeB[i].w;
    storeA[i] = particle.w > 1.0 ? vec4(0.0) : particle;
}
