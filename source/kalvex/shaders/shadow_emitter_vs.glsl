// Particle depth vertex stage of the shadow pass: world-space points (the
// pass draws with the identity view).
@include kx_global;

layout(location = KX_LOCATION_PARTICLE) in vec4 a_particle; // position, life

uniform mat4 modelViewMatrix;

void main()
{
    gl_Position = modelViewMatrix * vec4(a_particle.xyz, 1.0);
}
