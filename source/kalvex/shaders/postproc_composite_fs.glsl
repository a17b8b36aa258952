// Image plus glow, tone mapped and gamma corrected.
@include kx_postproc;

KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler1;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler2;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler3;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler4;
uniform float layer;
uniform float gamma;
uniform uint toneMappingTechnique;

in vec2 texCoord0;
out vec4 outputColor;

vec3 uncharted2(vec3 v)
{
    const float A = 0.15, B = 0.50, C = 0.10, D = 0.20, E = 0.02, F = 0.30;
    return (v * (A * v + C * B) + D * E) / (v * (A * v + B) + D * F) - E / F;
}

void main()
{
    vec4 c = texture(textureSampler4, texCoord0) +
             layer * (texture(textureSampler0, texCoord0) + texture(textureSampler1, texCoord0) +
                      texture(textureSampler2, texCoord0) + texture(textureSampler3, texCoord0));
    vec3 hdr = c.rgb;
    vec3 mapped = hdr;
    if (toneMappingTechnique == TONEMAPPING_LINEAR)
        mapped = clamp(0.8 * hdr, 0.0, 1.0);
    else if (toneMappingTechnique == TONEMAPPING_REINHARD)
    {
        const float exposure = 1.0;
        mapped = hdr * (exposure / (1.0 + hdr / exposure));
    }
    else if (toneMappingTechnique == TONEMAPPING_ROMBINDAHOUSE)
        mapped = exp(-1.0 / (2.72 * hdr + 0.15));
    else if (toneMappingTechnique == TONEMAPPING_FILMIC)
    {
        vec3 y = max(vec3(0.0), hdr - 0.004);
        mapped = (y * (6.2 * y + 0.5)) / (y * (6.2 * y + 1.7) + 0.06);
    }
    else if (toneMappingTechnique == TONEMAPPING_UNCHARTED2)
    {
        const float whitePoint = 11.2;
        mapped = uncharted2(2.0 * hdr) / uncharted2(vec3(whitePoint));
    }
    mapped = pow(mapped, vec3(1.0 / gamma));
    outputColor = vec4(mapped, c.a);
}
