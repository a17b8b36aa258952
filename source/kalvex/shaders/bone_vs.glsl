// Bone display: the wireframe box of a bone node.
@include kx_global;

uniform mat4 modelViewMatrix;

void main()
{
    gl_Position = global.projMatrix * modelViewMatrix * vec4(a_vertex, 1.0);
}
