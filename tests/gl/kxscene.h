// Helpers of the mesh, list, lighting and forward tests: geometry builders,
// window read-back.
#pragma once

#include "kxtest.h"

#include <GL/glew.h>

#include <string>
#include <vector>

namespace kxscene
{
// The engine test fixture; the objects a test made are deleted oldest first,
// so owners go before what they own.
using SceneTest = kxtest::EngineTest;

inline KxMesh::kxMeshVertex vertex(const glm::vec3& position, const glm::vec3& normal, const glm::vec2& uv,
                                   const glm::vec4& tangent = glm::vec4(1, 0, 0, 1))
{
    KxMesh::kxMeshVertex v;
    v.position[0] = position.x;
    v.position[1] = position.y;
    v.position[2] = position.z;
    v.normal = KxMesh::packNormal(glm::vec4(normal, 0.0f));
    v.uv[0] = KxMesh::packHalf(uv.x);
    v.uv[1] = KxMesh::packHalf(uv.y);
    v.tangent = KxMesh::packNormal(tangent);
    return v;
}

// A square in the plane z = 0 facing +z, from (-half, -half) to (half, half),
// uv (0, 0) at the lower left and (1, 1) at the upper right.
inline KxMesh* makeSquare(float half)
{
    const glm::vec3 n(0, 0, 1);
    KxMesh::kxMeshVertex vertices[4] = {vertex({-half, -half, 0}, n, {0, 0}), vertex({half, -half, 0}, n, {1, 0}),
                                        vertex({half, half, 0}, n, {1, 1}), vertex({-half, half, 0}, n, {0, 1})};
    KxMesh::kxMeshFace faces[2] = {{{0, 1, 2}}, {{0, 2, 3}}};
    KxMesh* mesh = new KxMesh;
    mesh->create(4, vertices, 2, faces);
    return mesh;
}

// A UV sphere of radius 1 around the origin.
inline KxMesh* makeSphere(unsigned int rings, unsigned int segments)
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;
    const float pi = 3.14159265f;
    for (unsigned int r = 0; r <= rings; ++r)
        for (unsigned int s = 0; s <= segments; ++s)
        {
            float theta = pi * static_cast<float>(r) / rings;
            float phi = 2.0f * pi * static_cast<float>(s) / segments;
            glm::vec3 p(std::sin(theta) * std::cos(phi), std::cos(theta), -std::sin(theta) * std::sin(phi));
            vertices.push_back(vertex(p, p, {static_cast<float>(s) / segments, static_cast<float>(r) / rings}));
        }
    for (unsigned int r = 0; r < rings; ++r)
        for (unsigned int s = 0; s < segments; ++s)
        {
            uint32_t a = r * (segments + 1) + s, b = a + segments + 1;
            faces.push_back({{a, b, a + 1}});
            faces.push_back({{a + 1, b, b + 1}});
        }
    KxMesh* mesh = new KxMesh;
    mesh->create(static_cast<unsigned int>(vertices.size()), vertices.data(), static_cast<unsigned int>(faces.size()),
                 faces.data());
    mesh->setRadius(1.0f);
    return mesh;
}

// The window's pixels, top row first.
inline std::vector<unsigned char> window()
{
    std::vector<unsigned char> pixels(static_cast<size_t>(Kalvex::getWindowSizeX()) * Kalvex::getWindowSizeY() * 4);
    Kalvex::readWindowPixels(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels.data());
    return pixels;
}

inline void savePng(const std::string& name, const std::vector<unsigned char>& pixels)
{
    kxtest::writePng(name + ".png", Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY(), pixels);
}

inline const unsigned char* pixel(const std::vector<unsigned char>& pixels, int column, int row)
{
    return &pixels[(static_cast<size_t>(row) * Kalvex::getWindowSizeX() + column) * 4];
}
}
