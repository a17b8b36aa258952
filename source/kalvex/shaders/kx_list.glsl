#ifndef KX_LIST_INCLUDED
#define KX_LIST_INCLUDED

// One record per drawn mesh, written by KxList::update (std430, 208 bytes).
// A batch's vertex stage finds its record as list[gl_DrawIDARB].
struct ListInstanceStruct
{
    uint meshId;
    uint materialId;
    uint instanceOffset; // first entry of an instanced mesh's instance data
    uint _pad;
    mat4 modelViewMatrix;
    mat4 normalMatrix;   // transpose of the inverse of the model matrix
    mat4 modelMatrix;
};

layout(std430, binding=KX_BINDING_LIST) readonly buffer ListData
{
    ListInstanceStruct list[];
};

#ifdef KX_LIST_DRAW
// kxListDraw(): the draw's record, for vertex stages of batches (which
// define KX_LIST_DRAW and enable GL_ARB_shader_draw_parameters). The list
// also binds its records as an instance-rate vertex buffer and gives each
// command its draw index as baseInstance, so the record arrives as attributes
// fetched once per draw; list[gl_DrawIDARB] would be a storage read per
// vertex, which a software rasteriser gathers lane by lane. A command with
// another baseInstance (a buffer written by hand) is read from list[].
layout(location = KX_LOCATION_RECORD_NORMAL) in mat3x4 a_recordNormal;
layout(location = KX_LOCATION_RECORD_MODEL) in mat4 a_recordModel;
layout(location = KX_LOCATION_RECORD_MATERIAL) in uint a_recordMaterial;

struct ListDraw
{
    mat4 modelMatrix;
    mat3 normalMatrix;
    uint materialId;
};

ListDraw kxListDraw()
{
    ListDraw draw;
#ifndef KX_LIST_RECORDS_ONLY
    // Programs that only the list's own batches draw with define
    // KX_LIST_RECORDS_ONLY and leave this test out.
    if (uint(gl_BaseInstanceARB + gl_InstanceID) != uint(gl_DrawIDARB))
    {
        uint i = uint(gl_DrawIDARB);
        draw.modelMatrix = list[i].modelMatrix;
        draw.normalMatrix = mat3(list[i].normalMatrix);
        draw.materialId = list[i].materialId;
    }
    else
#endif
    {
        draw.modelMatrix = a_recordModel;
        draw.normalMatrix = mat3(a_recordNormal);
        draw.materialId = a_recordMaterial;
    }
    return draw;
}
#endif

#ifndef KX_MESH_ID_DECLARED
#define KX_MESH_ID_DECLARED
// The current mesh, for shaders that draw one mesh at a time.
uniform uint meshId;
#endif

#endif
