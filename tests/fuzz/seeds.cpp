// Writes the seed corpus of every fuzz target into OUTPUT_DIR/<target>/,
// made here from code: a small scene and an animation saved by the engine,
// tiny images of each format, DDS files of each compression, config files
// and shader sources.
//
//   fuzz_seeds OUTPUT_DIR      (needs a display: the scene is built on the GPU)
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <kalvex.h>
#include <stb_image_write.h>

#include "fuzz_support.h"

namespace
{
std::string outputDir;

void put(const std::string& target, const std::string& name, const std::string& bytes)
{
    std::filesystem::create_directories(outputDir + "/" + target);
    kxfuzz::writeFile(outputDir + "/" + target + "/" + name, bytes);
}

KxMesh::kxMeshVertex vertex(float x, float y, float u, float v)
{
    KxMesh::kxMeshVertex result;
    result.position[0] = x;
    result.position[1] = y;
    result.position[2] = 0.0f;
    result.normal = KxMesh::packNormal(glm::vec4(0, 0, 1, 0));
    result.uv[0] = KxMesh::packHalf(u);
    result.uv[1] = KxMesh::packHalf(v);
    result.tangent = KxMesh::packNormal(glm::vec4(1, 0, 0, 1));
    return result;
}

template <class Mesh> Mesh* square(const char* name, KxNode* parent, KxMaterial* material)
{
    const KxMesh::kxMeshVertex vertices[4] = {vertex(-1, -1, 0, 0), vertex(1, -1, 1, 0), vertex(1, 1, 1, 1),
                                              vertex(-1, 1, 0, 1)};
    const KxMesh::kxMeshFace faces[2] = {{{0, 1, 2}}, {{0, 2, 3}}};
    Mesh* mesh = new Mesh;
    mesh->setName(name);
    mesh->create(4, vertices, 2, faces);
    mesh->setMaterial(material);
    mesh->link(parent);
    return mesh;
}

// Every kind of chunk: plain, tessellated and skinned meshes, bones, an omni
// light and a spot light aimed through a target node, one material with a
// PNG and a DDS texture.
bool writeScenes()
{
    KxNode* root = new KxNode;
    root->setName("root");
    KxMaterial* material = new KxMaterial;
    material->setName("textured");
    const char* files[3] = {kxfuzz::ALBEDO_FILE, kxfuzz::NORMAL_FILE, kxfuzz::ALBEDO_FILE};
    const unsigned int slots[3] = {KxMaterial::SLOT_ALBEDO, KxMaterial::SLOT_NORMAL, KxMaterial::SLOT_HEIGHT};
    for (int i = 0; i < 3; ++i)
    {
        KxTexture* texture = new KxTexture;
        if (!texture->load(files[i]))
            return false;
        material->setTexture(texture, slots[i]);
    }
    square<KxMesh>("plain", root, material)->setSubtype(KxMesh::KIND_NORMAL_MAPPED);
    KxMesh* tessellated = square<KxMesh>("tessellated", root, material);
    tessellated->setSubtype(KxMesh::KIND_TESSELLATED);
    tessellated->setTranslation(0.5f, 0.0f, -0.5f);

    KxSkinned* skinned = square<KxSkinned>("skinned", root, material);
    const std::string bones[2] = {"bone_a", "bone_b"};
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::mat4(1.0f)};
    std::vector<KxSkinned::kxSkinningVertex> weights(4);
    for (unsigned int i = 0; i < 4; ++i)
        weights[i] = {{i / 2, 0, 0, 0}, {KxMesh::packHalf(1.0f), 0, 0, 0}};
    if (!skinned->setSkeleton(glm::mat4(1.0f), 2, bones, offsets, weights.data()))
        return false;
    for (const std::string& name : bones)
    {
        KxBone* bone = new KxBone;
        bone->setName(name);
        bone->link(root);
    }

    KxNode* target = new KxNode;
    target->setName("target");
    target->link(root);
    KxLight* omni = new KxLight;
    omni->setName("omni");
    omni->setTranslation(0.0f, 1.0f, 2.0f);
    omni->setRadius(10.0f);
    omni->link(root);
    KxLight* spot = new KxLight;
    spot->setName("spot");
    spot->setSubtype(KxLight::KIND_SPOT);
    spot->setCutoff(30.0f);
    spot->setTranslation(0.0f, 2.0f, 2.0f);
    spot->setTargetNode(target);
    spot->link(root);

    const std::string scene = outputDir + "/kxo/scene.kxo";
    KxNode* empty = new KxNode;
    empty->setName("empty");
    return Kalvex::save(root, scene) && Kalvex::save(empty, outputDir + "/kxo/empty.kxo");
}

void appendToString(void* context, void* data, int size)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

void writeImages()
{
    const int size = 3; // odd: rows are not multiples of four bytes
    std::vector<unsigned char> pixels(size * size * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<unsigned char>(i * 53);
    std::vector<float> radiance(pixels.begin(), pixels.end());
    struct Image
    {
        const char* name;
        int components;
    };
    for (const Image& image : {Image{"grey.png", 1}, Image{"grey_alpha.png", 2}, Image{"rgb.png", 3}})
    {
        std::string bytes;
        stbi_write_png_to_func(appendToString, &bytes, size, size, image.components, pixels.data(),
                               size * image.components);
        put("image", image.name, bytes);
    }
    put("image", "rgba.png", kxfuzz::makePng(size, size));
    std::string bytes;
    stbi_write_bmp_to_func(appendToString, &bytes, size, size, 3, pixels.data());
    put("image", "rgb.bmp", bytes);
    bytes.clear();
    stbi_write_tga_with_rle = 0;
    stbi_write_tga_to_func(appendToString, &bytes, size, size, 4, pixels.data());
    put("image", "rgba.tga", bytes);
    bytes.clear();
    stbi_write_tga_with_rle = 1;
    stbi_write_tga_to_func(appendToString, &bytes, size, size, 3, pixels.data());
    put("image", "rgb_rle.tga", bytes);
    bytes.clear();
    stbi_write_jpg_to_func(appendToString, &bytes, 9, 9, 3, std::vector<unsigned char>(243, 128).data(), 80);
    put("image", "rgb.jpg", bytes);
    bytes.clear();
    stbi_write_hdr_to_func(appendToString, &bytes, size, size, 3, radiance.data());
    put("image", "rgb.hdr", bytes);
    put("image", "rgb.ppm", "P6\n3 3\n255\n" + std::string(reinterpret_cast<char*>(pixels.data()), 27));
    put("image", "grey.pgm", "P5\n3 3\n255\n" + std::string(reinterpret_cast<char*>(pixels.data()), 9));
}

void writeDds()
{
    for (const char* format : {"DXT1", "DXT5", "ATI1", "ATI2", "DX10"})
        put("dds", std::string(format) + ".dds", kxfuzz::makeDds(format, 8, 4));
    put("dds", "cube_DXT1.dds", kxfuzz::makeDds("DXT1", 4, 4, true));
    put("dds", "cube_DX10.dds", kxfuzz::makeDds("DX10", 4, 4, true));
    put("dds", "odd_DXT5.dds", kxfuzz::makeDds("DXT5", 5, 3));
}

void writeConfigs()
{
    put("config", "full.xml",
        "<?xml version=\"1.0\"?>\n<kalvex>\n  <windowtitle>Kalvex</windowtitle>\n"
        "  <windowsizex>640</windowsizex>\n  <windowsizey>480</windowsizey>\n"
        "  <shadowmapsize>1024</shadowmapsize>\n  <displayid>-1</displayid>\n"
        "  <fullscreenflag>0</fullscreenflag>\n  <physworldscale>1.5</physworldscale>\n"
        "  <nrofaasamples>4</nrofaasamples>\n</kalvex>\n");
    put("config", "minimal.xml", "<kalvex><windowsizex>32</windowsizex></kalvex>");
}

// Tracks for two nodes of the fuzz tree and one that it lacks.
bool writeAnimations()
{
    std::filesystem::create_directories(outputDir + "/kxa");
    KxAnim* animation = new KxAnim;
    animation->setFps(30);
    animation->setNrOfFrames(10);
    KxAnim::kxKeyframes arm;
    for (int frame : {1, 5, 10})
    {
        const float f = static_cast<float>(frame);
        arm.frames.push_back(frame);
        arm.keys.push_back({{f, 0.0f, -f}, {0.0f, std::sin(f * 0.1f), 0.0f, std::cos(f * 0.1f)}, {1.0f, 1.0f, 1.0f}});
    }
    animation->addKeyframe("arm", arm);
    KxAnim::kxKeyframes single;
    single.frames.push_back(3);
    single.keys.push_back({{0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 1.0f}, {2.0f, 2.0f, 2.0f}});
    animation->addKeyframe("hand", single);
    animation->addKeyframe("missing", single);
    bool saved = Kalvex::saveAnimation(animation, outputDir + "/kxa/tracks.kxa");
    delete animation;
    return saved;
}

void writeShaders()
{
    put("shader", "builtins.glsl",
        "@include kx_global;\n@include kx_material;\n@include kx_light;\n"
        "out vec4 color;\nvoid main() { color = vec4(1.0); }\n");
    // Text before the zero byte is registered as "fuzz".
    put("shader", "registered.glsl",
        std::string("vec4(0.5)\0", 10) + "@include fuzz;\nout vec4 c;\nvoid main() { c = @fuzz@; }\n");
    put("shader", "nested.glsl", std::string("@include kx_global;\0", 20) + "@include fuzz;\n@include kx_mesh;\n");
}
}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: fuzz_seeds OUTPUT_DIR\n");
        return 1;
    }
    outputDir = argv[1];
    std::filesystem::create_directories(outputDir + "/kxo");
    kxfuzz::startEngine();
    bool scenes = writeScenes() && writeAnimations();
    writeImages();
    writeDds();
    writeConfigs();
    writeShaders();
    Kalvex::free();
    if (!scenes)
    {
        std::fprintf(stderr, "fuzz_seeds: the seed scene or animation could not be made\n");
        return 4;
    }
    return 0;
}
