// Tessellated mesh vertex stage, drawn one mesh at a time: world-space data
// for the control stage.
@include kx_global;

uniform mat4 modelMatrix;
uniform mat3 normalMatrix; // world space

out vec3 vPosition;
out vec3 vNormal;
out vec2 vTexCoord0;

void main()
{
    vPosition = (modelMatrix * vec4(a_vertex, 1.0)).xyz;
    vNormal = normalMatrix * a_normal;
    vTexCoord0 = a_uv;
}
