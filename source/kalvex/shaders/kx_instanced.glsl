#ifndef KX_INSTANCED_INCLUDED
#define KX_INSTANCED_INCLUDED

// One instance of an instanced mesh, the layout of KxInstanced::kxInstanceData
// (ordered for std430: 144 bytes).
struct InstancedStruct
{
    uint materialId;
    uint _padding[3];
    mat4 worldMatrix;      // applied before the node's own world matrix
    mat4 inverseTranspose; // its upper 3 x 3 turns normals
};

layout(std430, binding = KX_BINDING_INSTANCES) readonly buffer instancedList
{
    InstancedStruct instanced[];
};

#ifdef KX_VERTEX_SHADER
// The record of instance gl_InstanceID of a draw whose records start at
// first; clamped so that a stray offset never reads past the buffer.
InstancedStruct kxInstance(uint first)
{
    uint last = uint(instanced.length()) - 1u;
    return instanced[min(first + uint(gl_InstanceID), last)];
}
#endif

#endif
