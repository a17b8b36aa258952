// The KXO scene file: chunk layout, part sizes and limits shared by the reader
// and writer (kalvex_scenefile.cpp) and the classes' own load and save.
//
// A file is a version chunk, the materials, then the node tree in pre-order;
// each chunk is an 8-byte header (id, payload size) and its payload. Chunk ids
// are the object type codes (KxObject::Type).
#ifndef KALVEX_SCENEFILE_H
#define KALVEX_SCENEFILE_H

#include "kalvex.h"

#include <cstdint>
#include <string>

namespace kx
{
namespace scenefile
{
const unsigned int CHUNK_HEADER_SIZE = 8;
// Deeper trees are refused on both sides, so the recursive walks cannot
// exhaust the stack and every saved file can be loaded again.
const unsigned int MAX_TREE_DEPTH = 1024;
// Fixed parts that follow the node part of a chunk.
const uint64_t LIGHT_PART_SIZE = 39;
const uint64_t BONE_PART_SIZE = 24;
const uint64_t PHYSICS_PART_SIZE = 48;
// Mesh part: kind, vertex and face counts, material name, then radius, box
// and physics flag, the physics properties when flagged, vertices and faces.
const uint64_t MESH_COUNTS_SIZE = 9;
const uint64_t MESH_BOUNDS_SIZE = 29;
const uint64_t VERTEX_SIZE = 24;
const uint64_t FACE_SIZE = 12;
// Skinned part: pose matrix and bone count, then per bone its name and
// matrix, then one skinning record per vertex.
const uint64_t SKINNED_HEADER_SIZE = 68;
const uint64_t BONE_MATRIX_SIZE = 64;
const uint64_t SKINNING_VERTEX_SIZE = 24;

// Reads a scene file into a new node tree; null (with a log line) on failure.
KxNode* load(const std::string& fileName);
// Writes a node tree and the materials it uses, replacing an existing file
// only once the new one is complete.
bool save(KxNode* root, const std::string& fileName);
}
}

#endif // KALVEX_SCENEFILE_H
