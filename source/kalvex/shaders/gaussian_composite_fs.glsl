// KxGaussian's result: the input plus a share of the four blurred levels, as
// it is (no tone mapping, no gamma).
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler2;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler3;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler4;
uniform float layer;
uniform float gamma; // kept for the filter interface, not applied

in vec2 texCoord0;
out vec4 outputColor;

void main()
{
    outputColor = texture(textureSampler4, texCoord0) +
                  layer * (texture(textureSampler0, texCoord0) + texture(textureSampler1, texCoord0) +
                           texture(textureSampler2, texCoord0) + texture(textureSampler3, texCoord0));
}
