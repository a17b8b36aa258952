// Tessellated mesh evaluation stage: interpolates the patch and displaces it
// along the normal by the material's height map (slot 2), ten units at full height.
@include kx_global;
@include kx_material;

layout(triangles, equal_spacing, ccw) in;

in vec3 tcPosition[];
in vec3 tcNormal[];
in vec2 tcTexCoord0[];

flat out uint matId;
#ifdef KX_MATERIAL_VARYING
flat out MatStruct kx_drawnMaterial;
#endif
out vec3 fragPosition;
out vec3 normal;
out vec2 texCoord0;

void main()
{
    vec3 b = gl_TessCoord;
    vec3 position = b.x * tcPosition[0] + b.y * tcPosition[1] + b.z * tcPosition[2];
    normal = normalize(b.x * tcNormal[0] + b.y * tcNormal[1] + b.z * tcNormal[2]);
    texCoord0 = b.x * tcTexCoord0[0] + b.y * tcTexCoord0[1] + b.z * tcTexCoord0[2];
    matId = min(materialId, uint(material.length()) - 1u);
#ifdef KX_MATERIAL_VARYING
    kx_drawnMaterial = kxDrawnMaterial(matId);
#endif
    float height = 0.0;
    if (KX_HAS_TEXTURE(material[matId].textureHandle2))
        height = KX_MATERIAL_TEXTURE(material[matId].textureHandle2, texCoord0).r;
    position += normal * (height * 10.0);
    fragPosition = position;
    gl_Position = global.projMatrix * (global.invViewMatrix * vec4(position, 1.0));
}
