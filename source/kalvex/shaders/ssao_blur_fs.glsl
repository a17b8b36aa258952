// Ambient occlusion blur: the mean of a 4 x 4 texel window (offsets -2 to +1).
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;

in vec2 texCoord0;
out float outputColor;

void main()
{
    vec2 texel = 1.0 / vec2(textureSize(textureSampler0, 0));
    float sum = 0.0;
    for (int x = -2; x < 2; ++x)
        for (int y = -2; y < 2; ++y)
            sum += texture(textureSampler0, texCoord0 + vec2(float(x), float(y)) * texel).r;
    outputColor = sum / 16.0;
}
