// Depth fragment stage of transparent batches: texels of an alpha-tested
// material below the threshold cast no shadow.
@include kx_global;
@include kx_material;
@include kx_list;

flat in uint drawId;
in vec2 texCoord0;

void main()
{
    // Clamped: a stray id must not read past the table.
    MatStruct mat = kxMaterialRecord(list[drawId].materialId);
    if (mat.alpha != 0u && KX_HAS_TEXTURE(mat.textureHandle0))
    {
        if (KX_MATERIAL_TEXTURE(mat.textureHandle0, texCoord0).a < global.alphaThreshold)
            discard;
    }
}
