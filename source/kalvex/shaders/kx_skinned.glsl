// Constants:
const uint maxNrOfVertexBones = KX_MAX_VERTEX_BONES;
const uint maxNrOfSkeletonBones = KX_MAX_SKELETON_BONES;
