// What the examples share: a cube to look at, command-line handling and
// writing the window to a PNG file.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <kalvex.h>
#include <stb_image_write.h>

namespace example
{
// The options every example takes: "--png FILE" renders one frame into FILE
// and exits; "--size WxH" sets the window size.
struct Options
{
    const char* png = nullptr;
    int width = 1024;
    int height = 768;
    std::vector<const char*> rest; // the other arguments, in order
};

inline Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        if (!std::strcmp(argv[i], "--png") && i + 1 < argc)
            options.png = argv[++i];
        else if (!std::strcmp(argv[i], "--size") && i + 1 < argc)
            std::sscanf(argv[++i], "%dx%d", &options.width, &options.height);
        else
            options.rest.push_back(argv[i]);
    }
    return options;
}

// The window's back buffer as a PNG (the rows come top row first).
inline bool writePng(const char* path)
{
    int w = Kalvex::getWindowSizeX(), h = Kalvex::getWindowSizeY();
    std::vector<unsigned char> rgba(static_cast<size_t>(w) * h * 4);
    if (!Kalvex::readWindowPixels(0, 0, w, h, rgba.data()))
        return false;
    for (size_t i = 3; i < rgba.size(); i += 4)
        rgba[i] = 255; // the picture, not the alpha the frame happened to leave
    bool written = stbi_write_png(path, w, h, 4, rgba.data(), w * 4) != 0;
    std::printf(written ? "Wrote %s\n" : "Could not write %s\n", path);
    return written;
}

// A cube of edge 2 around the origin, one normal per face.
inline KxMesh* makeCube()
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;
    const glm::vec3 normals[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (const glm::vec3& n : normals)
    {
        // Two axes across the face, so that (u, v, n) is right-handed.
        glm::vec3 u = glm::vec3(n.y, n.z, n.x), v = glm::cross(n, u);
        uint32_t first = static_cast<uint32_t>(vertices.size());
        const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        for (const auto& c : corners)
        {
            glm::vec3 p = n + u * c[0] + v * c[1];
            KxMesh::kxMeshVertex vertex;
            vertex.position[0] = p.x;
            vertex.position[1] = p.y;
            vertex.position[2] = p.z;
            vertex.normal = KxMesh::packNormal(glm::vec4(n, 0.0f));
            vertex.uv[0] = KxMesh::packHalf(c[0] * 0.5f + 0.5f);
            vertex.uv[1] = KxMesh::packHalf(c[1] * 0.5f + 0.5f);
            vertex.tangent = KxMesh::packNormal(glm::vec4(u, 1.0f));
            vertices.push_back(vertex);
        }
        faces.push_back({{first, first + 1, first + 2}});
        faces.push_back({{first, first + 2, first + 3}});
    }
    KxMesh* cube = new KxMesh;
    cube->create(static_cast<unsigned int>(vertices.size()), vertices.data(), static_cast<unsigned int>(faces.size()),
                 faces.data());
    cube->setRadius(1.75f);
    return cube;
}
}
