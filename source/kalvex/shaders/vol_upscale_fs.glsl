// Volumetric light: the half-resolution result brought to full resolution
// from the four nearest half-resolution texels at a similar depth, tinted with
// the light's colour.
@include kx_global;
@include kx_material;
@include kx_light;

KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0; // half-resolution result
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1; // full-resolution depth
uniform float nearPlane;
uniform float farPlane;

in vec2 texCoord0;
out vec4 outputColor;

float linZ(float d)
{
    return 2.0 * nearPlane / (farPlane + nearPlane - d * (farPlane - nearPlane));
}

void main()
{
    vec2 t = 1.0 / vec2(textureSize(textureSampler1, 0));
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    float sx = pixel.x % 2 == 0 ? -1.0 : 1.0;
    float sy = pixel.y % 2 == 0 ? -1.0 : 1.0;
    vec2 taps[4] = vec2[](vec2(0.0), vec2(0.0, sy * t.y), vec2(sx * t.x, 0.0), vec2(sx * t.x, sy * t.y));
    float centre = linZ(texture(textureSampler1, texCoord0).r);
    float sum = 0.0;
    float weights = 0.0;
    for (int i = 0; i < 4; ++i)
    {
        vec2 uv = texCoord0 + taps[i];
        float w = max(0.0, 1.0 - 0.05 * abs(linZ(texture(textureSampler1, uv).r) - centre));
        sum += texture(textureSampler0, uv).r * w;
        weights += w;
    }
    float value = weights > 0.0 ? sum / weights : texture(textureSampler0, texCoord0).r;
    outputColor = vec4(value * light[min(lightId, uint(light.length()) - 1u)].color, 1.0);
}
