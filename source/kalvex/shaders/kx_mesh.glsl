#ifndef KX_MESH_INCLUDED
#define KX_MESH_INCLUDED

// One 64-byte record per mesh of KxMesh's storage buffer (std430). Only the
// material is named; the rest is free for applications.
struct MeshStruct
{
    uint materialId;
    uint _reserved0;
    uint _reserved1;
    uint _reserved2;
    uvec4 _reserved3[3];
};

// A storage block: the table is 4 MiB, far beyond any uniform block.
layout(std430, binding=KX_BINDING_MESHES) readonly buffer MeshData
{
    MeshStruct mesh[KX_MAX_MESHES];
};

#ifndef KX_MESH_ID_DECLARED
#define KX_MESH_ID_DECLARED
// The current mesh, for shaders that draw one mesh at a time.
uniform uint meshId;
#endif

#endif
