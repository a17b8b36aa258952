// Volumetric light: one direction of a seven-tap blur that leaves out taps
// at another depth than the centre.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0; // value
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1; // depth
uniform vec2 filterOffset[7];
uniform float filterKernel[7];
uniform float nearPlane;
uniform float farPlane;

in vec2 texCoord0;
out float outputColor;

float linZ(float d)
{
    return 2.0 * nearPlane / (farPlane + nearPlane - d * (farPlane - nearPlane));
}

void main()
{
    float centre = linZ(texture(textureSampler1, texCoord0).r);
    float sum = 0.0;
    float weights = 0.0;
    for (int c = 0; c < 7; ++c)
    {
        vec2 uv = texCoord0 + filterOffset[c];
        float difference = 100.0 * abs(centre - linZ(texture(textureSampler1, uv).r));
        float w = exp(-difference * difference) * filterKernel[c];
        sum += texture(textureSampler0, uv).r * w;
        weights += w;
    }
    outputColor = weights > 0.0 ? sum / weights : texture(textureSampler0, texCoord0).r;
}
