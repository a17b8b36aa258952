// The first glow pass of KxGaussian with bloom: each colour channel counts as
// 1 when strictly above 1.0, else as 0; the centre texel plus the five
// weighted taps.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;
uniform vec2 filterOffset[5];
uniform float filterKernel[5];

in vec2 texCoord0;
out vec4 outputColor;

vec4 bright(vec4 texel)
{
    return vec4(step(vec3(1.0), texel.rgb) * vec3(notEqual(texel.rgb, vec3(1.0))), texel.a);
}

void main()
{
    outputColor = bright(texture(textureSampler0, texCoord0));
    for (int c = 0; c < 5; ++c)
        outputColor += bright(texture(textureSampler0, texCoord0 + filterOffset[c])) * filterKernel[c];
}
