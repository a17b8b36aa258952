// Bone display: one constant colour, so boxes stand out from lit geometry.
@include kx_global;

out vec4 outputColor;

void main()
{
    outputColor = vec4(1.0, 0.5, 0.2, 1.0);
}
