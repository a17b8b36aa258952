// kxodemo: writes the demo scene, built from code, into a directory.
//
//   kxodemo OUTPUT_DIR [--verbose]
//
// OUTPUT_DIR/demo.kxo holds a floor; a grid of spheres whose roughness falls
// from left to right and whose metalness rises from the bottom row to the top
// one; a box textured with OUTPUT_DIR/demo_box.png (also written here); a
// column skinned to two bones and bent at the upper one; two overlapping
// semi-transparent panes in front of the grid's top row; a corner of two walls
// at the back left, where ambient occlusion darkens the creases; an omni
// light; and a volumetric spot light aimed at the sphere grid through a target
// node, with a shade in its beam.
//
// Exit codes: 0 written, 1 bad arguments, 3 no display or the engine did not
// start, 4 a file could not be written.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>
#include <kalvex.h>

#include "kxtool.h"

namespace
{
const float PI = 3.14159265358979f;
const char* const SCENE_FILE = "demo.kxo";
const char* const TEXTURE_FILE = "demo_box.png";
const char* const ANIMATION_FILE = "demo.kxa";

// Roughness by column (left to right: rough to smooth) and metalness by row
// (bottom to top: dielectric to metal).
const float ROUGHNESS[] = {0.9f, 0.7f, 0.5f, 0.3f, 0.1f};
const float METALNESS[] = {0.0f, 0.5f, 1.0f};
const float SPHERE_RADIUS = 0.4f;

struct Geometry
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    std::vector<KxMesh::kxMeshFace> faces;

    void add(const glm::vec3& position, const glm::vec3& normal, const glm::vec2& uv, const glm::vec4& tangent)
    {
        KxMesh::kxMeshVertex v;
        v.position[0] = position.x;
        v.position[1] = position.y;
        v.position[2] = position.z;
        v.normal = KxMesh::packNormal(glm::vec4(glm::normalize(normal), 0.0f));
        v.uv[0] = KxMesh::packHalf(uv.x);
        v.uv[1] = KxMesh::packHalf(uv.y);
        v.tangent = KxMesh::packNormal(tangent);
        vertices.push_back(v);
    }
    uint32_t next() const { return static_cast<uint32_t>(vertices.size()); }
    void triangle(uint32_t a, uint32_t b, uint32_t c) { faces.push_back({{a, b, c}}); }

    // A rectangle from its centre, the half vectors along u and v; the normal
    // is u x v and v = 1 is the side towards +halfV, the image's top.
    void quad(const glm::vec3& centre, const glm::vec3& halfU, const glm::vec3& halfV, float uvScale = 1.0f)
    {
        glm::vec3 normal = glm::normalize(glm::cross(halfU, halfV));
        glm::vec4 tangent(glm::normalize(halfU), 1.0f);
        uint32_t first = next();
        add(centre - halfU - halfV, normal, glm::vec2(0.0f, 0.0f), tangent);
        add(centre + halfU - halfV, normal, glm::vec2(uvScale, 0.0f), tangent);
        add(centre + halfU + halfV, normal, glm::vec2(uvScale, uvScale), tangent);
        add(centre - halfU + halfV, normal, glm::vec2(0.0f, uvScale), tangent);
        triangle(first, first + 1, first + 2);
        triangle(first, first + 2, first + 3);
    }
};

// The bounds every mesh stores: box of the vertices, radius of the sphere
// around the node's origin that holds them.
KxMesh* makeMesh(KxMesh* mesh, const Geometry& geometry, const std::string& name)
{
    mesh->setName(name);
    mesh->create(static_cast<unsigned int>(geometry.vertices.size()), geometry.vertices.data(),
                 static_cast<unsigned int>(geometry.faces.size()), geometry.faces.data());
    glm::vec3 low(1e30f), high(-1e30f);
    float radius = 0.0f;
    for (const KxMesh::kxMeshVertex& v : geometry.vertices)
    {
        glm::vec3 p(v.position[0], v.position[1], v.position[2]);
        low = glm::min(low, p);
        high = glm::max(high, p);
        radius = std::max(radius, glm::length(p));
    }
    mesh->getBBoxMin() = low;
    mesh->getBBoxMax() = high;
    mesh->setRadius(radius);
    return mesh;
}

Geometry sphere(float radius, unsigned int rings, unsigned int segments)
{
    Geometry g;
    for (unsigned int r = 0; r <= rings; ++r)
        for (unsigned int s = 0; s <= segments; ++s)
        {
            float theta = PI * static_cast<float>(r) / static_cast<float>(rings);
            float phi = 2.0f * PI * static_cast<float>(s) / static_cast<float>(segments);
            glm::vec3 n(std::sin(theta) * std::cos(phi), std::cos(theta), -std::sin(theta) * std::sin(phi));
            glm::vec3 t(-std::sin(phi), 0.0f, -std::cos(phi)); // along growing u
            g.add(n * radius, n, glm::vec2(static_cast<float>(s) / segments, 1.0f - static_cast<float>(r) / rings),
                  glm::vec4(t, 1.0f));
        }
    for (unsigned int r = 0; r < rings; ++r)
        for (unsigned int s = 0; s < segments; ++s)
        {
            uint32_t a = r * (segments + 1) + s, b = a + segments + 1;
            g.triangle(a, b, a + 1);
            g.triangle(a + 1, b, b + 1);
        }
    return g;
}

Geometry box(float half)
{
    Geometry g;
    const glm::vec3 x(half, 0, 0), y(0, half, 0), z(0, 0, half);
    g.quad(z, x, y);   // front
    g.quad(-z, -x, y); // back
    g.quad(x, -z, y);  // right
    g.quad(-x, z, y);  // left
    g.quad(y, x, -z);  // top
    g.quad(-y, x, z);  // bottom
    return g;
}

// A square column from y = 0 to y = height, in segments so that it can bend.
Geometry column(float half, float height, unsigned int segments)
{
    Geometry g;
    const glm::vec3 sides[4][2] = {{{0, 0, 1}, {1, 0, 0}}, {{1, 0, 0}, {0, 0, -1}}, {{0, 0, -1}, {-1, 0, 0}},
                                   {{-1, 0, 0}, {0, 0, 1}}};
    for (const auto& side : sides)
    {
        glm::vec3 normal = side[0], along = side[1];
        uint32_t first = g.next();
        for (unsigned int i = 0; i <= segments; ++i)
        {
            float y = height * static_cast<float>(i) / static_cast<float>(segments);
            float v = static_cast<float>(i) / static_cast<float>(segments);
            g.add(normal * half - along * half + glm::vec3(0, y, 0), normal, glm::vec2(0, v), glm::vec4(along, 1));
            g.add(normal * half + along * half + glm::vec3(0, y, 0), normal, glm::vec2(1, v), glm::vec4(along, 1));
        }
        for (unsigned int i = 0; i < segments; ++i)
        {
            uint32_t a = first + 2 * i;
            g.triangle(a, a + 1, a + 3);
            g.triangle(a, a + 3, a + 2);
        }
    }
    g.quad(glm::vec3(0, height, 0), glm::vec3(half, 0, 0), glm::vec3(0, 0, -half));
    g.quad(glm::vec3(0, 0, 0), glm::vec3(half, 0, 0), glm::vec3(0, 0, half));
    return g;
}

// The box's image: a checkerboard under a warm band with an upward arrow, so
// that a picture shows whether the texture is upright.
bool writeBoxTexture(const std::string& path)
{
    const int size = 128;
    std::vector<unsigned char> rgba(size * size * 4);
    for (int row = 0; row < size; ++row)
        for (int column = 0; column < size; ++column)
        {
            unsigned char* p = &rgba[(row * size + column) * 4];
            bool band = row < size / 4;
            bool check = ((row / 16) + (column / 16)) % 2 == 0;
            int arrowRow = row - size / 4;
            int fromCentre = std::abs(column - size / 2);
            bool arrow = (arrowRow >= 8 && arrowRow < 40 && fromCentre <= arrowRow - 8 && fromCentre < 28) ||
                         (arrowRow >= 40 && arrowRow < 88 && fromCentre < 8);
            if (band)
            {
                p[0] = 230, p[1] = 140, p[2] = 40;
            }
            else if (arrow)
            {
                p[0] = 250, p[1] = 250, p[2] = 250;
            }
            else if (check)
            {
                p[0] = 40, p[1] = 90, p[2] = 200;
            }
            else
            {
                p[0] = 30, p[1] = 40, p[2] = 70;
            }
            p[3] = 255;
        }
    return kxtool::writePng(path, size, size, rgba.data());
}

KxMaterial* material(const std::string& name, const glm::vec3& albedo, float roughness, float metalness)
{
    KxMaterial* m = new KxMaterial;
    m->setName(name);
    m->setAlbedo(albedo);
    m->setRoughness(roughness);
    m->setMetalness(metalness);
    return m;
}

std::string format(const char* pattern, double a, double b)
{
    char text[64];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

// Physics properties: static ones are triangle meshes, dynamic ones move.
void givePhysics(KxMesh* mesh, bool dynamic, uint8_t hull, float mass)
{
    KxPhysics* physics = new KxPhysics;
    KxPhysics::kxProps& props = physics->getProps();
    props.bodyKind = dynamic ? 1 : 3;
    props.hullKind = hull;
    props.mass = dynamic ? mass : 0.0f;
    props.friction = 0.6f;
    props.rollingFriction = 0.02f;
    props.restitution = 0.2f;
    props.linearDamping = 0.05f;
    props.angularDamping = 0.1f;
    mesh->setPhysics(physics);
}

// The physics corner at the front right: a static slab, a stack of four
// boxes and three balls dropped onto it.
void buildPhysicsCorner(KxNode* root)
{
    KxNode* corner = new KxNode;
    corner->setName("physics_corner");
    corner->link(root);
    Geometry slabGeometry;
    slabGeometry.quad(glm::vec3(0.0f), glm::vec3(1.2f, 0, 0), glm::vec3(0, 0, -1.0f), 1.0f);
    KxMesh* slab = makeMesh(new KxMesh, slabGeometry, "physics_floor");
    slab->setTranslation(3.0f, -0.49f, 1.4f);
    slab->setMaterial(material("physics_floor_material", glm::vec3(0.2f, 0.35f, 0.5f), 0.7f, 0.0f));
    givePhysics(slab, false, KxPhysics::HULL_TRIANGLES, 0.0f);
    slab->link(corner);

    KxMaterial* crate = material("physics_box_material", glm::vec3(0.8f, 0.55f, 0.25f), 0.5f, 0.0f);
    const Geometry boxGeometry = box(0.2f);
    for (int i = 0; i < 4; ++i)
    {
        KxMesh* stacked = makeMesh(new KxMesh, boxGeometry, format("physics_box_%.0f", i, 0));
        stacked->setTranslation(3.0f, -0.29f + 0.4f * static_cast<float>(i), 1.4f);
        stacked->rotateY(10.0f * static_cast<float>(i));
        stacked->setMaterial(crate);
        givePhysics(stacked, true, KxPhysics::HULL_BOX, 1.0f);
        stacked->link(corner);
    }
    KxMaterial* rubber = material("physics_ball_material", glm::vec3(0.2f, 0.7f, 0.3f), 0.3f, 0.0f);
    const Geometry ballGeometry = sphere(0.15f, 12, 16);
    const glm::vec3 drops[] = {{2.45f, 1.2f, 1.7f}, {3.05f, 2.4f, 1.45f}, {3.6f, 1.8f, 1.1f}};
    for (int i = 0; i < 3; ++i)
    {
        KxMesh* ball = makeMesh(new KxMesh, ballGeometry, format("physics_ball_%.0f", i, 0));
        ball->setTranslation(drops[i]);
        ball->setMaterial(rubber);
        givePhysics(ball, true, KxPhysics::HULL_SPHERE, 0.5f);
        ball->link(corner);
    }
}

// The animated object: a small box that turns once and bobs, and its track.
bool writeAnimation(KxNode* root)
{
    KxMesh* spinner = makeMesh(new KxMesh, box(0.25f), "animated_box");
    spinner->setMaterial(material("animated_box_material", glm::vec3(0.9f, 0.2f, 0.6f), 0.35f, 0.3f));
    spinner->link(root);
    KxAnim* animation = new KxAnim;
    animation->setFps(30);
    animation->setNrOfFrames(121);
    KxAnim::kxKeyframes track;
    for (int i = 0; i <= 4; ++i)
    {
        glm::quat turn = glm::angleAxis(glm::radians(90.0f * static_cast<float>(i)), glm::vec3(0, 1, 0));
        KxAnim::kxKey key = {{-3.0f, 0.9f + ((i & 1) ? 0.4f : 0.0f), -0.2f},
                             {turn.x, turn.y, turn.z, turn.w},
                             {1.0f, 1.0f, 1.0f}};
        track.frames.push_back(1 + 30 * i);
        track.keys.push_back(key);
    }
    animation->addKeyframe("animated_box", track);
    animation->apply(root);
    animation->resetPose();
    bool saved = Kalvex::saveAnimation(animation, ANIMATION_FILE);
    delete animation;
    return saved;
}

KxNode* buildScene(std::string& error)
{
    KxNode* scene = new KxNode;
    scene->setName("demo");
    // Viewers reset the root's matrix; the stage below it centres the scene
    // in the viewer's opening view, which looks at the origin.
    KxNode* root = new KxNode;
    root->setName("stage");
    root->setTranslation(0.0f, -1.0f, 0.0f);
    root->link(scene);

    Geometry floorGeometry;
    floorGeometry.quad(glm::vec3(0.0f), glm::vec3(4.5f, 0, 0), glm::vec3(0, 0, -2.5f), 4.0f);
    KxMesh* floor = makeMesh(new KxMesh, floorGeometry, "floor");
    floor->setTranslation(0.0f, -0.5f, 0.0f);
    floor->setMaterial(material("floor_material", glm::vec3(0.45f, 0.45f, 0.42f), 0.85f, 0.0f));
    givePhysics(floor, false, KxPhysics::HULL_TRIANGLES, 0.0f); // what rolls off the corner stays on it
    floor->link(root);

    KxNode* grid = new KxNode;
    grid->setName("sphere_grid");
    grid->setTranslation(0.0f, 0.0f, -1.0f);
    grid->link(root);
    const Geometry sphereGeometry = sphere(SPHERE_RADIUS, 24, 32);
    const glm::vec3 dielectric(0.75f, 0.12f, 0.08f), metal(1.0f, 0.78f, 0.34f);
    for (unsigned int row = 0; row < sizeof(METALNESS) / sizeof(METALNESS[0]); ++row)
        for (unsigned int column = 0; column < sizeof(ROUGHNESS) / sizeof(ROUGHNESS[0]); ++column)
        {
            std::string name = format("sphere_r%.1f_m%.1f", ROUGHNESS[column], METALNESS[row]);
            KxMesh* ball = makeMesh(new KxMesh, sphereGeometry, name);
            ball->setTranslation(static_cast<float>(column) - 2.0f, 0.5f + static_cast<float>(row), 0.0f);
            ball->setMaterial(material(name + "_material", glm::mix(dielectric, metal, METALNESS[row]),
                                       ROUGHNESS[column], METALNESS[row]));
            ball->link(grid);
        }

    KxMesh* texturedBox = makeMesh(new KxMesh, box(0.4f), "textured_box");
    texturedBox->setTranslation(-3.0f, -0.1f, 1.4f);
    texturedBox->rotateY(30.0f);
    KxMaterial* boxMaterial = material("textured_box_material", glm::vec3(1.0f), 0.6f, 0.0f);
    KxTexture* texture = new KxTexture;
    if (!texture->load(TEXTURE_FILE))
    {
        error = std::string("cannot load the texture just written, ") + TEXTURE_FILE;
        return nullptr;
    }
    boxMaterial->setTexture(texture, KxMaterial::SLOT_ALBEDO);
    texturedBox->setMaterial(boxMaterial);
    texturedBox->link(root);

    // The column is skinned to two bones: the lower half follows bone_base,
    // the upper half bone_bend, which the file keeps bent by 50 degrees.
    KxNode* skinnedGroup = new KxNode;
    skinnedGroup->setName("skinned_group");
    skinnedGroup->setTranslation(3.0f, -0.5f, 1.4f);
    skinnedGroup->link(root);
    const float height = 1.2f, joint = 0.6f, half = 0.15f;
    Geometry columnGeometry = column(half, height, 12);
    KxSkinned* bent = new KxSkinned;
    makeMesh(bent, columnGeometry, "bent_column");
    std::vector<KxSkinned::kxSkinningVertex> skinning(columnGeometry.vertices.size());
    for (size_t i = 0; i < skinning.size(); ++i)
    {
        float y = columnGeometry.vertices[i].position[1];
        float t = glm::clamp((y - (joint - 0.15f)) / 0.3f, 0.0f, 1.0f);
        float upper = t * t * (3.0f - 2.0f * t);
        skinning[i] = {{0, 1, 0, 0},
                       {KxMesh::packHalf(1.0f - upper), KxMesh::packHalf(upper), KxMesh::packHalf(0.0f),
                        KxMesh::packHalf(0.0f)}};
    }
    const std::string boneNames[2] = {"bone_base", "bone_bend"};
    // Offsets take mesh space to each bone's space in the bind pose (straight).
    const glm::mat4 offsets[2] = {glm::mat4(1.0f), glm::translate(glm::mat4(1.0f), glm::vec3(0, -joint, 0))};
    if (!bent->setSkeleton(glm::mat4(1.0f), 2, boneNames, offsets, skinning.data()))
    {
        error = "the skeleton of the bent column was refused";
        return nullptr;
    }
    bent->setMaterial(material("bent_column_material", glm::vec3(0.2f, 0.6f, 0.3f), 0.4f, 0.0f));
    bent->link(skinnedGroup);
    KxBone* base = new KxBone;
    base->setName(boneNames[0]);
    base->setBox(glm::vec3(-half, 0, -half), glm::vec3(half, joint, half));
    base->link(skinnedGroup);
    KxBone* bend = new KxBone;
    bend->setName(boneNames[1]);
    bend->setBox(glm::vec3(-half, 0, -half), glm::vec3(half, height - joint, half));
    bend->setTranslation(0.0f, joint, 0.0f);
    bend->rotateZ(-50.0f);
    bend->link(base);

    // Panes for the deferred pipeline's depth peeling (the forward pipeline
    // draws them opaque); they overlap and keep clear of the lower rows.
    const glm::vec3 paneColours[2] = {glm::vec3(0.2f, 0.45f, 0.9f), glm::vec3(0.9f, 0.8f, 0.2f)};
    for (int i = 0; i < 2; ++i)
    {
        Geometry paneGeometry;
        paneGeometry.quad(glm::vec3(0.0f), glm::vec3(0.8f, 0, 0), glm::vec3(0, 0.35f, 0));
        KxMesh* pane = makeMesh(new KxMesh, paneGeometry, "pane_" + std::to_string(i));
        pane->setTranslation(0.9f + 0.7f * static_cast<float>(i), 2.75f + 0.15f * static_cast<float>(i),
                             -0.3f + 0.3f * static_cast<float>(i));
        KxMaterial* glass = material("pane_" + std::to_string(i) + "_material", paneColours[i], 0.2f, 0.0f);
        glass->setTransparency(0.5f);
        pane->setMaterial(glass);
        pane->link(root);
    }

    // Two walls meeting the floor at the back left: creases for ambient occlusion.
    Geometry cornerGeometry;
    cornerGeometry.quad(glm::vec3(-3.8f, 0.1f, -2.4f), glm::vec3(0.7f, 0, 0), glm::vec3(0, 0.6f, 0));
    cornerGeometry.quad(glm::vec3(-4.4f, 0.1f, -1.5f), glm::vec3(0, 0, -0.9f), glm::vec3(0, 0.6f, 0));
    KxMesh* corner = makeMesh(new KxMesh, cornerGeometry, "ssao_corner");
    corner->setMaterial(material("ssao_corner_material", glm::vec3(0.4f, 0.38f, 0.35f), 0.9f, 0.0f));
    corner->link(root);

    KxLight* omni = new KxLight;
    omni->setName("omni_light");
    omni->setSubtype(KxLight::KIND_OMNI);
    omni->setColor(3.0f, 2.9f, 2.75f); // bright enough for the viewer's tone mapping
    omni->setRadius(16.0f);
    omni->setTranslation(-2.5f, 4.0f, 5.0f);
    omni->link(root);

    KxNode* target = new KxNode;
    target->setName("spot_target");
    target->setTranslation(0.0f, 1.5f, -1.0f);
    target->link(root);

    KxLight* spot = new KxLight;
    spot->setName("spot_light");
    spot->setSubtype(KxLight::KIND_SPOT);
    spot->setColor(2.4f, 2.4f, 2.7f);
    spot->setRadius(16.0f);
    spot->setCutoff(35.0f);
    spot->setSpotExponent(2.0f);
    spot->setTranslation(3.5f, 5.0f, 4.0f);
    spot->setDirection(glm::normalize(glm::vec3(0.0f, 1.5f, -1.0f) - glm::vec3(3.5f, 5.0f, 4.0f)));
    spot->setTargetNode(target);
    spot->setVolumetric(true); // light shafts in the deferred pipeline
    spot->link(root);

    // A shade in the upper part of the spot light's beam casts a gap into its shafts.
    Geometry shadeGeometry;
    glm::vec3 beam = glm::normalize(glm::vec3(0.0f, 1.5f, -1.0f) - glm::vec3(3.5f, 5.0f, 4.0f));
    glm::vec3 across = glm::normalize(glm::cross(beam, glm::vec3(0, 1, 0)));
    glm::vec3 up = glm::cross(across, beam);
    // Facing along the beam: its back is what the shadow pass draws.
    shadeGeometry.quad(glm::vec3(0.0f), up * 0.3f, across * 0.3f);
    KxMesh* shade = makeMesh(new KxMesh, shadeGeometry, "beam_shade");
    // Off the beam's axis: its shadow passes above the grid, not over the spheres.
    shade->setTranslation(glm::vec3(3.5f, 5.0f, 4.0f) + beam * 1.6f + up * 0.75f);
    shade->setMaterial(material("beam_shade_material", glm::vec3(0.3f), 0.7f, 0.0f));
    shade->link(root);

    buildPhysicsCorner(root);
    if (!writeAnimation(root))
    {
        error = std::string("cannot write ") + ANIMATION_FILE;
        return nullptr;
    }
    return scene;
}
}

int main(int argc, char** argv)
{
    std::string directory;
    bool verbose = false;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else if (argv[i][0] == '-' || !directory.empty())
        {
            std::fprintf(stderr, "usage: kxodemo OUTPUT_DIR [--verbose]\n");
            return 1;
        }
        else
            directory = argv[i];
    }
    if (directory.empty())
    {
        std::fprintf(stderr, "usage: kxodemo OUTPUT_DIR [--verbose]\n");
        return 1;
    }
    directory = kxtool::absolutePath(directory);
    mkdir(directory.c_str(), 0755);
    if (!kxtool::isDirectory(directory) || !kxtool::changeDirectory(directory))
    {
        std::fprintf(stderr, "kxodemo: cannot use the directory '%s'\n", directory.c_str());
        return 4;
    }
    // Texture names in the scene are relative to the scene file: both live here.
    if (!writeBoxTexture(TEXTURE_FILE))
    {
        std::fprintf(stderr, "kxodemo: cannot write %s/%s\n", directory.c_str(), TEXTURE_FILE);
        return 4;
    }

    kxtool::PrivateDisplay display;
    std::string error;
    if (!display.ensure(64, 64, error))
    {
        std::fprintf(stderr, "kxodemo: %s\n", error.c_str());
        return 3;
    }
    KxConfig config;
    config.setWindowTitle("kxodemo");
    config.setWindowSizeX(64);
    config.setWindowSizeY(64);
    bool started;
    {
        kxtool::QuietStdout quiet(!verbose);
        started = Kalvex::init(config, true);
    }
    if (!started)
    {
        std::fprintf(stderr, "kxodemo: the engine did not start (it needs OpenGL 4.5 core); see %s/kalvex.log\n",
                     directory.c_str());
        return 3;
    }

    bool saved = false;
    {
        kxtool::QuietStdout quiet(!verbose);
        KxNode* root = buildScene(error);
        saved = root && Kalvex::save(root, SCENE_FILE);
        Kalvex::free();
    }
    if (!saved)
    {
        std::fprintf(stderr, "kxodemo: cannot write %s/%s%s%s\n", directory.c_str(), SCENE_FILE,
                     error.empty() ? "" : ": ", error.c_str());
        return 4;
    }
    std::printf("kxodemo: wrote %s/%s, %s/%s and %s/%s\n", directory.c_str(), SCENE_FILE, directory.c_str(),
                ANIMATION_FILE, directory.c_str(), TEXTURE_FILE);
    return 0;
}
