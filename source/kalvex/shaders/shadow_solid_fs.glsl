// Solid depth fragment stage: depth is all the shadow map keeps.
void main()
{
}
