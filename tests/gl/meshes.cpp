// Meshes: creation, the merged buffers, read-back, drawing switches and the
// mesh part of scene files.
#include "kxscene.h"

#include <cstring>

namespace
{
class Meshes : public kxscene::SceneTest
{
};

std::vector<KxMesh::kxMeshVertex> someVertices(unsigned int count, float seed)
{
    std::vector<KxMesh::kxMeshVertex> vertices;
    for (unsigned int i = 0; i < count; ++i)
    {
        float f = seed + static_cast<float>(i);
        vertices.push_back(kxscene::vertex({f, f * 2.0f, -f}, glm::normalize(glm::vec3(1.0f, f, 2.0f)),
                                           {f * 0.25f, 1.0f - f * 0.125f}, glm::vec4(0, 1, 0, -1)));
    }
    return vertices;
}

std::vector<KxMesh::kxMeshFace> someFaces(unsigned int count, unsigned int nrOfVertices)
{
    std::vector<KxMesh::kxMeshFace> faces;
    for (unsigned int i = 0; i < count; ++i)
        faces.push_back({{i % nrOfVertices, (i + 1) % nrOfVertices, (i + 2) % nrOfVertices}});
    return faces;
}

KxMesh* makeMesh(unsigned int nrOfVertices, unsigned int nrOfFaces, float seed)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(nrOfVertices, seed);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(nrOfFaces, nrOfVertices);
    KxMesh* mesh = new KxMesh;
    EXPECT_TRUE(mesh->create(nrOfVertices, vertices.data(), nrOfFaces, faces.data()));
    return mesh;
}

// The contents of the merged buffers, found through the merged vertex array.
std::vector<unsigned char> mergedBuffer(bool faces)
{
    KxMesh::resetCache();
    KxMesh::bindOptimizedMemory();
    GLint vertexArray = 0, buffer = 0, size = 0;
    glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertexArray);
    if (faces)
        glGetVertexArrayiv(static_cast<GLuint>(vertexArray), GL_ELEMENT_ARRAY_BUFFER_BINDING, &buffer);
    else
        glGetVertexArrayIndexediv(static_cast<GLuint>(vertexArray), 0, GL_VERTEX_BINDING_BUFFER, &buffer);
    glGetNamedBufferParameteriv(static_cast<GLuint>(buffer), GL_BUFFER_SIZE, &size);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (size > 0)
        glGetNamedBufferSubData(static_cast<GLuint>(buffer), 0, size, bytes.data());
    KxMesh::resetCache();
    return bytes;
}

void append(std::vector<unsigned char>& bytes, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

// A mesh part written field by field from the scene-file layout.
std::vector<unsigned char> meshPart(uint8_t kind, const std::vector<KxMesh::kxMeshVertex>& vertices,
                                    const std::vector<KxMesh::kxMeshFace>& faces, const std::string& material,
                                    const KxPhysics::kxProps* physics)
{
    std::vector<unsigned char> bytes;
    uint32_t nrOfVertices = static_cast<uint32_t>(vertices.size()), nrOfFaces = static_cast<uint32_t>(faces.size());
    append(bytes, &kind, 1);
    append(bytes, &nrOfVertices, 4);
    append(bytes, &nrOfFaces, 4);
    append(bytes, material.c_str(), material.size() + 1);
    const float radius = 3.5f;
    const float box[6] = {-1.5f, -2.5f, -3.5f, 1.0f, 2.0f, 3.0f};
    append(bytes, &radius, 4);
    append(bytes, box, 24);
    uint8_t hasPhysics = physics ? 1 : 0;
    append(bytes, &hasPhysics, 1);
    if (physics)
        append(bytes, physics, 48);
    append(bytes, vertices.data(), vertices.size() * 24);
    append(bytes, faces.data(), faces.size() * 12);
    return bytes;
}
}

TEST_F(Meshes, ConstructionAndCreation)
{
    KxMesh* mesh = new KxMesh;
    EXPECT_EQ(mesh->getType(), KxObject::TYPE_MESH);
    EXPECT_EQ(mesh->getName(), "[Mesh" + std::to_string(mesh->getId()) + "]");
    EXPECT_TRUE(mesh->isCastingShadows());
    EXPECT_EQ(mesh->getMaterial(), KxMaterial::getDefault());
    EXPECT_EQ(mesh->getNrOfVertices(), 0u);
    EXPECT_EQ(mesh->getVaoHandle(), 0u);
    EXPECT_FALSE(mesh->isMemoryOptimized());

    size_t mark = kxtest::readLog().size();
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(3, 0.0f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(1, 3);
    EXPECT_FALSE(mesh->create(3, nullptr, 1, faces.data()));
    EXPECT_FALSE(mesh->create(3, vertices.data(), 1, nullptr));
    EXPECT_FALSE(mesh->update(3, nullptr, 1, faces.data()));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 3);
    EXPECT_EQ(mesh->getVaoHandle(), 0u);

    mesh->setSubtype(1);
    ASSERT_TRUE(mesh->create(3, vertices.data(), 1, faces.data()));
    EXPECT_EQ(mesh->getSubtype(), 0);
    EXPECT_EQ(mesh->getNrOfVertices(), 3u);
    EXPECT_EQ(mesh->getNrOfFaces(), 1u);
    EXPECT_FLOAT_EQ(mesh->getRadius(), 10.0f);
    EXPECT_EQ(mesh->getBBoxMin(), glm::vec3(-1.0f));
    EXPECT_EQ(mesh->getBBoxMax(), glm::vec3(1.0f));
    EXPECT_NE(mesh->getVaoHandle(), 0u);
    EXPECT_TRUE(mesh->isMemoryOptimized());
    mesh->getBBoxMax() = glm::vec3(4.0f); // writable by reference
    EXPECT_EQ(mesh->getBBoxMax(), glm::vec3(4.0f));

    mark = kxtest::readLog().size();
    EXPECT_FALSE(mesh->setShader(nullptr)); // refused at detail level: not in the file
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 0);
    KxShader* shader = new KxShader;
    EXPECT_TRUE(mesh->setShader(shader));
    EXPECT_EQ(mesh->getShader(), shader);
}

TEST_F(Meshes, MergeFollowsRegistryOrder)
{
    KxMesh* a = makeMesh(3, 1, 0.0f);
    KxMesh* empty = new KxMesh; // never created: no geometry
    KxMesh* b = makeMesh(4, 2, 10.0f);
    size_t mark = kxtest::readLog().size();
    KxMesh* c = makeMesh(5, 3, 20.0f);
    // The creations merge all meshes once, when merged geometry is first
    // asked for; the one without geometry is left out with a warning.
    EXPECT_EQ(kxtest::countLogLines("has no geometry associated", mark), 0);
    EXPECT_FALSE(empty->isMemoryOptimized());
    EXPECT_EQ(kxtest::countLogLines("Mesh '" + empty->getName() + "' has no geometry associated", mark), 1);

    EXPECT_EQ(a->getFirstVertexIndex(), 0u);
    EXPECT_EQ(a->getFirstFaceIndex(), 0u);
    EXPECT_EQ(b->getFirstVertexIndex(), 3u);
    EXPECT_EQ(b->getFirstFaceIndex(), 1u);
    EXPECT_EQ(c->getFirstVertexIndex(), 7u);
    EXPECT_EQ(c->getFirstFaceIndex(), 3u);

    // The merged buffers hold each mesh's bytes at its slot, faces unchanged
    // (mesh-local indices).
    std::vector<unsigned char> vertices = mergedBuffer(false);
    std::vector<unsigned char> faces = mergedBuffer(true);
    ASSERT_EQ(vertices.size(), 12u * 24);
    ASSERT_EQ(faces.size(), 6u * 12);
    KxMesh* meshes[3] = {a, b, c};
    for (KxMesh* mesh : meshes)
    {
        std::vector<KxMesh::kxMeshVertex> v(mesh->getNrOfVertices());
        std::vector<KxMesh::kxMeshFace> f(mesh->getNrOfFaces());
        ASSERT_TRUE(mesh->getRawVertexData(v.data()));
        ASSERT_TRUE(mesh->getRawFaceData(f.data()));
        EXPECT_EQ(std::memcmp(vertices.data() + mesh->getFirstVertexIndex() * 24, v.data(), v.size() * 24), 0);
        EXPECT_EQ(std::memcmp(faces.data() + mesh->getFirstFaceIndex() * 12, f.data(), f.size() * 12), 0);
    }

    // Deleting a mesh keeps the others' slots until the next merge.
    delete b;
    EXPECT_EQ(c->getFirstVertexIndex(), 7u);
    EXPECT_TRUE(KxMesh::optimizeMemory());
    EXPECT_EQ(c->getFirstVertexIndex(), 3u);
    EXPECT_EQ(c->getFirstFaceIndex(), 1u);
}

TEST_F(Meshes, ZeroGeometryIsLeftOutWithAWarning)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(3, 0.0f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(2, 3);
    KxMesh* noFaces = new KxMesh;
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(noFaces->create(3, vertices.data(), 0, faces.data()));
    EXPECT_FALSE(noFaces->isMemoryOptimized());
    EXPECT_EQ(kxtest::countLogLines("Mesh '" + noFaces->getName() + "' has no geometry associated", mark), 1);
    KxMesh* noVertices = new KxMesh;
    mark = kxtest::readLog().size();
    ASSERT_TRUE(noVertices->create(0, vertices.data(), 2, faces.data()));
    EXPECT_FALSE(noVertices->isMemoryOptimized());
    EXPECT_EQ(kxtest::countLogLines("has no geometry associated", mark), 2);
    // Drawn, if at all, from its own (empty) buffers: no failure.
    glm::mat4 identity(1.0f);
    glm::mat3 normal(1.0f);
    KxDrawRecord record = {&identity, &normal, &identity};
    EXPECT_TRUE(noFaces->render(&record));
}

TEST_F(Meshes, RawDataReadsBackTheUpload)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(7, 1.5f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(5, 7);
    KxMesh* mesh = new KxMesh;
    ASSERT_TRUE(mesh->create(7, vertices.data(), 5, faces.data()));
    std::vector<KxMesh::kxMeshVertex> v(7);
    std::vector<KxMesh::kxMeshFace> f(5);
    ASSERT_TRUE(mesh->getRawVertexData(v.data()));
    ASSERT_TRUE(mesh->getRawFaceData(f.data()));
    EXPECT_EQ(std::memcmp(v.data(), vertices.data(), 7 * 24), 0);
    EXPECT_EQ(std::memcmp(f.data(), faces.data(), 5 * 12), 0);
    EXPECT_FALSE(mesh->getRawVertexData(nullptr));
    EXPECT_FALSE(mesh->getRawFaceData(nullptr));
}

// Once merged, the geometry is kept once: the mesh's own vertex array and
// buffers are deleted, and its data reads back from the merged copy, through
// later merges and an update in place.
TEST_F(Meshes, MergedGeometryIsKeptOnce)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(7, 1.5f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(5, 7);
    KxMesh* mesh = new KxMesh;
    ASSERT_TRUE(mesh->create(7, vertices.data(), 5, faces.data()));
    GLuint own = mesh->getVaoHandle();
    ASSERT_TRUE(glIsVertexArray(own));
    ASSERT_TRUE(mesh->isMemoryOptimized()); // merges
    EXPECT_FALSE(glIsVertexArray(own));

    auto readsBack = [&](const std::vector<KxMesh::kxMeshVertex>& expected) {
        std::vector<KxMesh::kxMeshVertex> v(7);
        std::vector<KxMesh::kxMeshFace> f(5);
        EXPECT_TRUE(mesh->getRawVertexData(v.data()));
        EXPECT_TRUE(mesh->getRawFaceData(f.data()));
        EXPECT_EQ(std::memcmp(v.data(), expected.data(), 7 * 24), 0);
        EXPECT_EQ(std::memcmp(f.data(), faces.data(), 5 * 12), 0);
    };
    readsBack(vertices);
    KxMesh* later = new KxMesh; // merged after: mesh is copied from the old merged buffers
    std::vector<KxMesh::kxMeshVertex> laterVertices = someVertices(4, 9.0f);
    ASSERT_TRUE(later->create(4, laterVertices.data(), 2, someFaces(2, 4).data()));
    ASSERT_TRUE(later->isMemoryOptimized());
    readsBack(vertices);
    std::vector<KxMesh::kxMeshVertex> moved = someVertices(7, -3.0f);
    ASSERT_TRUE(mesh->update(7, moved.data(), 5, faces.data()));
    readsBack(moved);
    std::vector<unsigned char> merged = mergedBuffer(false);
    ASSERT_EQ(merged.size(), 11u * 24);
    EXPECT_EQ(std::memcmp(merged.data() + mesh->getFirstVertexIndex() * 24, moved.data(), 7 * 24), 0);
    // Drawn by itself, it gets a vertex array again.
    EXPECT_NE(mesh->getVaoHandle(), 0u);
}

TEST_F(Meshes, UpdateRewritesTheSlotOrReMerges)
{
    KxMesh* a = makeMesh(3, 1, 0.0f);
    KxMesh* b = makeMesh(4, 2, 10.0f);
    // Same counts: the new data is copied into b's slot.
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(4, 50.0f);
    std::vector<KxMesh::kxMeshFace> faces = {{{3, 2, 1}}, {{0, 3, 2}}};
    ASSERT_TRUE(b->update(4, vertices.data(), 2, faces.data()));
    EXPECT_TRUE(b->isMemoryOptimized());
    std::vector<unsigned char> merged = mergedBuffer(false);
    std::vector<unsigned char> mergedFaces = mergedBuffer(true);
    EXPECT_EQ(std::memcmp(merged.data() + 3 * 24, vertices.data(), 4 * 24), 0);
    EXPECT_EQ(std::memcmp(mergedFaces.data() + 12, faces.data(), 2 * 12), 0);

    // Other counts: new buffers and a new merge.
    std::vector<KxMesh::kxMeshVertex> more = someVertices(6, 70.0f);
    std::vector<KxMesh::kxMeshFace> moreFaces = someFaces(4, 6);
    ASSERT_TRUE(a->update(6, more.data(), 4, moreFaces.data()));
    EXPECT_EQ(a->getNrOfVertices(), 6u);
    EXPECT_EQ(b->getFirstVertexIndex(), 6u);
    EXPECT_EQ(b->getFirstFaceIndex(), 4u);
    merged = mergedBuffer(false);
    ASSERT_EQ(merged.size(), 10u * 24);
    EXPECT_EQ(std::memcmp(merged.data(), more.data(), 6 * 24), 0);
    EXPECT_EQ(std::memcmp(merged.data() + 6 * 24, vertices.data(), 4 * 24), 0);

    // update on a mesh never created builds it.
    KxMesh* fresh = new KxMesh;
    ASSERT_TRUE(fresh->update(6, more.data(), 4, moreFaces.data()));
    EXPECT_NE(fresh->getVaoHandle(), 0u);
    EXPECT_TRUE(fresh->isMemoryOptimized());
    EXPECT_EQ(fresh->getFirstVertexIndex(), 10u);
}

TEST_F(Meshes, DrawingSwitches)
{
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    ASSERT_TRUE(camera->render());
    KxMesh* mesh = kxscene::makeSquare(1.0f);
    glm::mat4 model(1.0f);
    model[3] = glm::vec4(0, 0, -4, 1);
    glm::mat3 normal(1.0f);
    KxDrawRecord record = {&model, &normal, &model};

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(mesh->render(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    uint64_t drawn = KxStats::get(KxStats::MESH_RENDER);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), drawn + 1);

    // Invisible: true, nothing drawn.
    mesh->setVisible(false);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), drawn + 1);
    mesh->setVisible(true);

    // The shadow-map pass skips meshes that cast no shadows, successfully.
    KxList* list = new KxList;
    ASSERT_TRUE(list->create(4));
    list->setPass(2);
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    EXPECT_EQ(KxList::getCurrentPass(), 2u);
    mesh->setCastShadows(false);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), drawn + 1);
    mesh->setCastShadows(true);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_EQ(KxStats::get(KxStats::MESH_RENDER), drawn + 2);
    EXPECT_EQ(mesh->getLastUpdate(), KxList::getCurrentPassId());
    list->setPass(0);
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));

    // Transparency turns face culling off for the draw only.
    KxMaterial* material = new KxMaterial;
    material->setTransparency(0.5f);
    mesh->setMaterial(material);
    KxOpenGL::culling(true);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_TRUE(KxOpenGL::isCulling());
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    KxOpenGL::culling(false);
    EXPECT_TRUE(mesh->render(&record));
    EXPECT_FALSE(glIsEnabled(GL_CULL_FACE));

    mark = kxtest::readLog().size();
    mesh->setMaterial(nullptr);
    EXPECT_FALSE(mesh->render(&record));
    EXPECT_EQ(kxtest::countLogLines("No material set", mark), 1);
    KxPipeline* pipeline = KxPipeline::getCurrent();
    KxPipeline::setCurrent(nullptr);
    EXPECT_FALSE(mesh->render(&record));
    EXPECT_FALSE(KxMesh::renderBatch(1, nullptr, KxObject::TYPE_MESH, 0, 1));
    EXPECT_EQ(kxtest::countLogLines("No pipeline set", mark), 2);
    KxPipeline::setCurrent(pipeline);
}

// A back-facing square is culled when opaque and drawn when transparent.
TEST_F(Meshes, TransparentMeshesAreDrawnFromBehind)
{
    KxFbo::resetCache();
    glViewport(0, 0, Kalvex::getWindowSizeX(), Kalvex::getWindowSizeY());
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    ASSERT_TRUE(camera->render());
    KxList* list = new KxList; // uploads nothing: only to make the frame's state current
    ASSERT_TRUE(list->create(2));
    ASSERT_TRUE(list->update(glm::mat4(1.0f)));
    KxMesh* mesh = kxscene::makeSquare(3.0f);
    KxMaterial* material = new KxMaterial;
    material->setEmission(1.0f, 1.0f, 1.0f);
    mesh->setMaterial(material);
    glm::mat4 model(1.0f);
    model[0] = glm::vec4(-1, 0, 0, 0); // turned around: its back faces the camera
    model[2] = glm::vec4(0, 0, -1, 0);
    model[3] = glm::vec4(0, 0, -4, 1);
    glm::mat3 normal(model);
    KxDrawRecord record = {&model, &normal, &model};
    for (float transparency : {1.0f, 0.5f})
    {
        material->setTransparency(transparency);
        KxOpenGL::setBackgroundColor(0, 0, 0, 1);
        KxOpenGL::clear(true, true, false);
        KxOpenGL::culling(true);
        ASSERT_TRUE(mesh->render(&record));
        KxOpenGL::culling(false);
        std::vector<unsigned char> pixels = kxscene::window();
        const unsigned char* centre = kxscene::pixel(pixels, Kalvex::getWindowSizeX() / 2, Kalvex::getWindowSizeY() / 2);
        EXPECT_EQ(centre[0], transparency == 1.0f ? 0 : 255) << transparency;
    }
}

TEST_F(Meshes, ScenePartRoundTripsByteForByte)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(5, 3.0f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(4, 5);
    KxMaterial* material = new KxMaterial;
    material->setName("stone");
    KxPhysics::kxProps props = {};
    props.bodyKind = 2;
    props.unused0[0] = 7;
    props.unused0[1] = 9;
    props.hullKind = 4;
    for (int i = 0; i < 12; ++i)
        props.unused1[i] = static_cast<uint8_t>(100 + i);
    props.mass = 2.5f;
    props.friction = 0.25f;
    props.rollingFriction = 0.125f;
    props.restitution = 0.75f;
    props.linearDamping = 0.0625f;
    props.angularDamping = 0.5f;

    struct Case
    {
        uint8_t kind;
        std::string material;
        const KxPhysics::kxProps* physics;
    };
    for (const Case& c : {Case{0, "[none]", nullptr}, Case{1, "stone", &props}, Case{2, "stone", nullptr}})
    {
        std::vector<unsigned char> part = meshPart(c.kind, vertices, faces, c.material, c.physics);
        ASSERT_EQ(part.size(), c.material.size() + 39 + (c.physics ? 48 : 0) + 24 * 5 + 12 * 4);
        // Followed by other bytes: only the part is consumed.
        std::vector<unsigned char> chunk = part;
        chunk.push_back(0xab);
        KxMesh* mesh = new KxMesh;
        ASSERT_EQ(mesh->load(chunk.data(), static_cast<unsigned int>(chunk.size())), part.size());
        EXPECT_EQ(mesh->getSubtype(), c.kind);
        EXPECT_EQ(mesh->getMaterial(), c.material == "stone" ? material : KxMaterial::getDefault());
        EXPECT_FLOAT_EQ(mesh->getRadius(), 3.5f);
        EXPECT_EQ(mesh->getBBoxMin(), glm::vec3(-1.5f, -2.5f, -3.5f));
        EXPECT_FALSE(mesh->isMemoryOptimized()); // merged by the scene loader, after the whole file
        ASSERT_EQ(mesh->getPhysics() != nullptr, c.physics != nullptr);
        if (c.physics)
        {
            EXPECT_FLOAT_EQ(mesh->getPhysics()->getProps().restitution, 0.75f);
        }

        unsigned int size = 0;
        unsigned char* saved = mesh->save(size);
        ASSERT_NE(saved, nullptr);
        ASSERT_EQ(size, part.size());
        EXPECT_EQ(std::memcmp(saved, part.data(), size), 0);
        delete[] saved;
    }
}

TEST_F(Meshes, ScenePartRefusesTruncationAndBadIndices)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(3, 0.0f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(2, 3);
    KxPhysics::kxProps props = {};
    std::vector<unsigned char> part = meshPart(0, vertices, faces, "[none]", &props);
    KxMesh* mesh = new KxMesh;
    int physicsBefore = KxObject::getNrOf(KxObject::TYPE_PHYSICS);
    size_t mark = kxtest::readLog().size();
    for (size_t size = 1; size < part.size(); ++size)
    {
        // A copy of exactly that size, so that any read past it is a real overrun.
        std::vector<unsigned char> truncated(part.begin(), part.begin() + static_cast<long>(size));
        ASSERT_EQ(mesh->load(truncated.data(), static_cast<unsigned int>(size)), 0u) << size;
    }
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency", mark), static_cast<int>(part.size()) - 1);
    EXPECT_EQ(mesh->getVaoHandle(), 0u); // nothing changed
    EXPECT_EQ(KxObject::getNrOf(KxObject::TYPE_PHYSICS), physicsBefore);

    // A face index equal to the vertex count would read past the vertices.
    std::vector<KxMesh::kxMeshFace> bad = {{{0, 1, 2}}, {{2, 3, 0}}};
    std::vector<unsigned char> badPart = meshPart(0, vertices, bad, "[none]", nullptr);
    mark = kxtest::readLog().size();
    EXPECT_EQ(mesh->load(badPart.data(), static_cast<unsigned int>(badPart.size())), 0u);
    EXPECT_EQ(kxtest::countLogLines("Invalid file format consistency (face index 3, 3 vertices)", mark), 1);
    EXPECT_EQ(mesh->getVaoHandle(), 0u);

    // A name without its terminator within the part.
    std::vector<unsigned char> unterminated = {0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'};
    EXPECT_EQ(mesh->load(unterminated.data(), static_cast<unsigned int>(unterminated.size())), 0u);
    // An unknown kind.
    std::vector<unsigned char> kind3 = meshPart(3, vertices, faces, "[none]", nullptr);
    EXPECT_EQ(mesh->load(kind3.data(), static_cast<unsigned int>(kind3.size())), 0u);
    EXPECT_EQ(kxtest::countLogLines("Invalid mesh kind 3", mark), 1);

    // A material that is not there yet: the default one, with an error.
    std::vector<unsigned char> later = meshPart(0, vertices, faces, "not_loaded_yet", nullptr);
    mark = kxtest::readLog().size();
    EXPECT_EQ(mesh->load(later.data(), static_cast<unsigned int>(later.size())), later.size());
    EXPECT_EQ(mesh->getMaterial(), KxMaterial::getDefault());
    EXPECT_EQ(kxtest::countLogLines("Material not found: default used instead", mark), 1);
    // Another object of that name is not a material either.
    KxNode* node = new KxNode;
    node->setName("not_a_material");
    std::vector<unsigned char> wrongType = meshPart(0, vertices, faces, "not_a_material", nullptr);
    EXPECT_EQ(mesh->load(wrongType.data(), static_cast<unsigned int>(wrongType.size())), wrongType.size());
    EXPECT_EQ(mesh->getMaterial(), KxMaterial::getDefault());
    EXPECT_EQ(kxtest::countLogLines("Material not found: default used instead", mark), 2);
}

TEST_F(Meshes, SavedPhysicsReferenceIsZero)
{
    std::vector<KxMesh::kxMeshVertex> vertices = someVertices(3, 0.0f);
    std::vector<KxMesh::kxMeshFace> faces = someFaces(1, 3);
    KxPhysics::kxProps props = {};
    props.mass = 1.0f;
    props.reserved = 0x1122334455667788ull;
    std::vector<unsigned char> part = meshPart(0, vertices, faces, "[none]", &props);
    KxMesh* mesh = new KxMesh;
    ASSERT_EQ(mesh->load(part.data(), static_cast<unsigned int>(part.size())), part.size());
    EXPECT_EQ(mesh->getPhysics()->getProps().reserved, 0u);
    unsigned int size = 0;
    unsigned char* saved = mesh->save(size);
    ASSERT_EQ(size, part.size());
    const size_t reservedAt = 9 + 7 + 29 + 40;
    for (size_t i = 0; i < size; ++i)
        EXPECT_EQ(saved[i], (i >= reservedAt && i < reservedAt + 8) ? 0 : part[i]) << i;
    delete[] saved;

    KxPhysics* physics = new KxPhysics;
    EXPECT_EQ(physics->getType(), KxObject::TYPE_PHYSICS);
    EXPECT_EQ(physics->load(part.data(), 47), 0u);
    EXPECT_EQ(physics->load(nullptr, 48), 0u);
}

// kx_mesh is offered to application shaders: it compiles beside kx_list (both
// declare meshId) and its table is the class's storage buffer at binding 3.
TEST_F(Meshes, MeshIncludeServesApplicationShaders)
{
    const char* vertex = "#extension GL_ARB_shader_draw_parameters : require\n"
                         "@include kx_global;\n@include kx_list;\n@include kx_mesh;\n"
                         "flat out uint id;\n"
                         "void main() { id = mesh[meshId].materialId + list[gl_DrawIDARB].materialId;\n"
                         "  gl_Position = vec4(a_vertex, 1.0); }\n";
    const char* fragment = "flat in uint id;\nout vec4 outputColor;\n"
                           "void main() { outputColor = vec4(float(id)); }\n";
    KxShader* vs = new KxShader;
    KxShader* fs = new KxShader;
    ASSERT_TRUE(vs->loadFromMemory(KxShader::KIND_VERTEX, vertex));
    ASSERT_TRUE(fs->loadFromMemory(KxShader::KIND_FRAGMENT, fragment));
    KxShader* program = new KxShader;
    ASSERT_TRUE(program->build(vs, nullptr, fs));
    GLuint block = glGetProgramResourceIndex(program->getHandle(), GL_SHADER_STORAGE_BLOCK, "MeshData");
    ASSERT_NE(block, GL_INVALID_INDEX);
    const GLenum properties[2] = {GL_BUFFER_BINDING, GL_BUFFER_DATA_SIZE};
    GLint values[2] = {};
    glGetProgramResourceiv(program->getHandle(), GL_SHADER_STORAGE_BLOCK, block, 2, properties, 2, nullptr, values);
    EXPECT_EQ(values[0], 3);
    EXPECT_EQ(values[1], static_cast<GLint>(KxMesh::MAX_NUMBER * KxMesh::SIZEOF_SSBODATA));
    GLint bound = 0, size = 0;
    glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 3, &bound);
    glGetNamedBufferParameteriv(static_cast<GLuint>(bound), GL_BUFFER_SIZE, &size);
    EXPECT_EQ(size, static_cast<GLint>(KxMesh::MAX_NUMBER * KxMesh::SIZEOF_SSBODATA));
}
