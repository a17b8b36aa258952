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

#ifndef KX_MESH_ID_DECLARED
#define KX_MESH_ID_DECLARED
// The current mesh, for shaders that draw one mesh at a time.
uniform uint meshId;
#endif

#endif
