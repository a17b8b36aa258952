// One direction of a nine-tap Gaussian folded into five bilinear taps.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;
uniform vec2 filterOffset[5];
uniform float filterKernel[5];

in vec2 texCoord0;
out vec4 outputColor;

void main()
{
    outputColor = vec4(0.0);
    for (int c = 0; c < 5; ++c)
        outputColor += texture(textureSampler0, texCoord0 + filterOffset[c]) * filterKernel[c];
}
