// Ambient occlusion quad: carries each pixel's view-space ray (view depth 1).
@include kx_global;

uniform mat4 modelViewMatrix;
uniform mat4 inverseProjectionMatrix;

out vec2 texCoord0;
out vec3 viewRay;
flat out mat4 projectionMatrix;

void main()
{
    texCoord0 = a_uv;
    vec4 r = inverseProjectionMatrix * vec4(2.0 * a_uv - 1.0, -1.0, 1.0);
    r /= r.w;
    r /= r.z;
    viewRay = r.xyz;
    projectionMatrix = inverse(inverseProjectionMatrix);
    gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
}
