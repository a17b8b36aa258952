// Particle vertex stage: one point per particle, in eye space; the geometry
// stage makes it a quad.
@include kx_global;

layout(location = KX_LOCATION_PARTICLE) in vec4 a_particle; // position, life

uniform mat4 modelViewMatrix;

out float vLife;
out float vAngle;

void main()
{
    vLife = a_particle.w;
    vAngle = a_particle.w * 360.0;
    gl_Position = modelViewMatrix * vec4(a_particle.xyz, 1.0);
}
