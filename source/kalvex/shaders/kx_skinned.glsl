// Constants:
const uint maxNrOfVertexBones = %u;
const uint maxNrOfSkeletonBones = %u;
