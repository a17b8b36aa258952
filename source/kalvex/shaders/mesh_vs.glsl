#extension GL_ARB_shader_draw_parameters : require
// Mesh vertex stage. In a batch each draw reads its record of the render list
// (kxListDraw); a mesh drawn by itself (KxMesh::render) sets generic0 and
// passes its matrices and material as uniforms instead. With
// KX_NORMAL_MAPPING (the mesh_normal_vs wrapper) it also builds the
// tangent frame.
@include kx_global;
@include kx_material;
#define KX_LIST_DRAW
@include kx_list;

uniform uint generic0; // non-zero: drawn alone
uniform mat4 modelMatrix;
uniform mat3 normalMatrix; // world space

flat out uint drawId;
flat out uint matId;
#ifdef KX_MATERIAL_VARYING
flat out MatStruct kx_drawnMaterial;
#endif
out vec3 fragPosition;
#ifdef KX_NORMAL_MAPPING
out mat3 tbn;
#else
out vec3 normal;
#endif
out vec2 texCoord0;

void main()
{
    drawId = uint(gl_DrawIDARB);
    mat4 model;
    mat3 normalToWorld;
    if (generic0 != 0u)
    {
        model = modelMatrix;
        normalToWorld = normalMatrix;
        matId = materialId;
    }
    else
    {
        ListDraw draw = kxListDraw();
        model = draw.modelMatrix;
        normalToWorld = draw.normalMatrix;
        matId = draw.materialId;
    }
#ifdef KX_NORMAL_MAPPING
    vec3 N = normalize(normalToWorld * a_normal);
    vec3 T = normalize(normalToWorld * a_tangent.xyz);
    T = normalize(T - dot(T, N) * N);
    vec3 B = normalize(normalToWorld * (cross(N, T) * a_tangent.w));
    tbn = mat3(T, B, N);
#else
    normal = normalize(normalToWorld * a_normal);
#endif
#ifdef KX_MATERIAL_VARYING
    kx_drawnMaterial = kxDrawnMaterial(matId);
#endif
    texCoord0 = a_uv;
    vec4 position = model * vec4(a_vertex, 1.0);
    fragPosition = position.xyz;
    gl_Position = global.projMatrix * (global.invViewMatrix * position);
}
