// Particle depth fragment stage: texels below the alpha threshold cast no shadow.
@include kx_global;

KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;

in vec2 texCoord0;

void main()
{
    if (texture(textureSampler0, texCoord0).a < global.alphaThreshold)
        discard;
}
