// How kxoconvert asks assimp for a scene. The tests read their reference
// scenes with the same settings, so that counts can be compared.
#pragma once

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>

#include <kalvex.h>

namespace kxoimport
{
// Triangles only, smooth normals and tangents where the source has none,
// vertices shared, at most 4 weights per vertex and 128 bones per mesh
// (larger skeletons are split across meshes). Point and line meshes stay in
// the scene; the converter leaves them out.
inline unsigned int flags()
{
    return aiProcess_Triangulate | aiProcess_GenSmoothNormals | aiProcess_CalcTangentSpace |
           aiProcess_LimitBoneWeights | aiProcess_JoinIdenticalVertices | aiProcess_SortByPType |
           aiProcess_SplitByBoneCount | aiProcess_ValidateDataStructure;
}

inline void configure(Assimp::Importer& importer)
{
    importer.SetPropertyInteger(AI_CONFIG_PP_LBW_MAX_WEIGHTS, static_cast<int>(KxSkinned::NROFVERTEXBONES));
    importer.SetPropertyInteger(AI_CONFIG_PP_SBBC_MAX_BONES, static_cast<int>(KxSkinned::NROFSKELETONBONES));
    // FBX pivots would add helper nodes that no other tool shows.
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
}
}
