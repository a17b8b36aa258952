// The first glow pass with bloom: only taps brighter than bloomIntensity count.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;
uniform vec2 filterOffset[5];
uniform float filterKernel[5];
uniform float bloomIntensity;

in vec2 texCoord0;
out vec4 outputColor;

void main()
{
    outputColor = vec4(0.0, 0.0, 0.0, 1.0);
    for (int c = 0; c < 5; ++c)
    {
        vec4 tap = texture(textureSampler0, texCoord0 + filterOffset[c]);
        if (dot(tap.rgb, vec3(0.2126, 0.7152, 0.0722)) > bloomIntensity)
            outputColor += tap * filterKernel[c];
    }
}
