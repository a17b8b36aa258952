// Bitmap font: the glyph sheet tinted by the text colour; empty texels are
// not drawn at all.
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0;

in vec2 _texcoord0;
in vec4 _color;

out vec4 outputColor;

void main()
{
    vec4 texel = texture(textureSampler0, _texcoord0);
    if (texel.a == 0.0)
        discard;
    outputColor = _color * texel;
}
