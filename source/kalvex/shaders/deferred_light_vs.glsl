// Lighting quad of the deferred and hybrid pipelines: a full-screen quad that
// carries each pixel's world-space view ray (scaled to a view depth of 1).
@include kx_global;

uniform mat4 modelViewMatrix;
uniform mat4 inverseProjectionMatrix;
uniform mat4 viewMatrix; // the camera's world matrix

out vec3 texCoord0;
flat out vec3 cameraPosition;
out vec3 viewRay;

void main()
{
    texCoord0 = vec3(a_uv, 0.0);
    cameraPosition = viewMatrix[3].xyz;
    vec4 r = inverseProjectionMatrix * vec4(2.0 * a_uv - 1.0, -1.0, 1.0);
    r /= r.w;
    r /= r.z;
    mat4 rotation = viewMatrix;
    rotation[3] = vec4(0.0, 0.0, 0.0, 1.0);
    viewRay = (rotation * vec4(r.xyz, 0.0)).xyz;
    gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
}
