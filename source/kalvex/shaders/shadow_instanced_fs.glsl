// Instanced depth fragment stage: the alpha test of the transparent batches,
// with the instance's material.
@include kx_global;
@include kx_material;

flat in uint matId;
in vec2 texCoord0;

void main()
{
    MatStruct mat = kxMaterialRecord(matId);
    if (mat.alpha != 0u && KX_HAS_TEXTURE(mat.textureHandle0))
    {
        if (KX_TEXTURE(mat.textureHandle0, texCoord0).a < global.alphaThreshold)
            discard;
    }
}
