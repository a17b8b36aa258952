// Particle fragment stage: a warm glow, faded by age, times the texture.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;

in vec2 texCoord0;
in vec4 color;

out vec4 outputColor;

void main()
{
    outputColor = color * vec4(0.5, 0.2, 0.05, 1.0) * texture(textureSampler0, texCoord0);
}
