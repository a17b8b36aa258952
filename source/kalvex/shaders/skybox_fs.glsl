// Sky box fragment stage: the cube map in the view direction, scaled by the
// HDR intensity.
KX_SAMPLER_LAYOUT uniform samplerCube textureSampler0;

uniform float generic2; // HDR intensity

in vec3 texCoord;

out vec4 outputColor;

void main()
{
    outputColor = vec4(generic2 * texture(textureSampler0, texCoord).rgb, 1.0);
}
