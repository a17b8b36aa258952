// Screen quad: the quad's colour times its first texture.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;

in vec2 texCoord0;
in vec4 color;

out vec4 outputColor;

void main()
{
    outputColor = color * texture(textureSampler0, texCoord0);
}
