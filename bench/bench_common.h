// What several benchmarks build the same way: mesh vertices, the 24-vertex
// cube, a texture loaded from generated RGB texels, and a scene path given as
// the first argument.
#ifndef KALVEX_BENCH_COMMON_H
#define KALVEX_BENCH_COMMON_H

#include <kalvex.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace kxbench
{
inline KxMesh::kxMeshVertex vertex(const glm::vec3& p, const glm::vec3& n, const glm::vec2& uv = glm::vec2(0.0f))
{
    KxMesh::kxMeshVertex v = {};
    v.position[0] = p.x;
    v.position[1] = p.y;
    v.position[2] = p.z;
    v.normal = KxMesh::packNormal(glm::vec4(n, 0.0f));
    v.uv[0] = KxMesh::packHalf(uv.x);
    v.uv[1] = KxMesh::packHalf(uv.y);
    return v;
}

// A cube of half size 0.4: 24 vertices, 12 triangles, each face's uv over [0, 1].
inline void cubeGeometry(std::vector<KxMesh::kxMeshVertex>& vertices, std::vector<KxMesh::kxMeshFace>& faces)
{
    const glm::vec3 normals[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (const glm::vec3& n : normals)
    {
        glm::vec3 u = std::fabs(n.x) > 0.5f ? glm::vec3(0, 1, 0) : glm::vec3(1, 0, 0);
        glm::vec3 v = glm::cross(n, u);
        uint32_t first = static_cast<uint32_t>(vertices.size());
        for (glm::vec2 c : {glm::vec2(-1, -1), glm::vec2(1, -1), glm::vec2(1, 1), glm::vec2(-1, 1)})
            vertices.push_back(vertex(0.4f * (n + c.x * u + c.y * v), n, (c + 1.0f) * 0.5f));
        faces.push_back({{first, first + 1, first + 2}});
        faces.push_back({{first, first + 2, first + 3}});
    }
}

// Square RGB texels written as a binary PPM and loaded through the engine, so
// that loading makes the mipmaps and applies the configured anisotropy.
inline KxTexture* loadTexels(const std::string& path, int size, const std::vector<unsigned char>& rgb)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return nullptr;
    std::fprintf(file, "P6\n%d %d\n255\n", size, size);
    std::fwrite(rgb.data(), 1, rgb.size(), file);
    std::fclose(file);
    KxTexture* texture = new KxTexture;
    if (!texture->load(path))
    {
        delete texture;
        return nullptr;
    }
    return texture;
}

// Takes a leading scene path off the arguments (the benchmark options
// follow) and enters its folder, where its textures are found; scenePath
// keeps its default without one. False when the folder cannot be entered.
inline bool takeScenePath(int& argc, char** argv, std::string& scenePath)
{
    if (argc > 1 && argv[1][0] != '-')
    {
        scenePath = argv[1];
        for (int i = 1; i + 1 < argc; ++i)
            argv[i] = argv[i + 1];
        --argc;
    }
    size_t slash = scenePath.rfind('/');
    if (slash == std::string::npos)
        return true;
    if (chdir(scenePath.substr(0, slash).c_str()) != 0)
        return false;
    scenePath = scenePath.substr(slash + 1);
    return true;
}
}

#endif // KALVEX_BENCH_COMMON_H
