// KxPhysics: one Bullet rigid-body world (double precision) whose bodies drive
// the nodes of the meshes they were built from.
//
// Physics space is the space of the tree root's children: a body's transform is
// its node's matrix relative to the root, so the root itself (which viewers move
// every frame) never feeds into the simulation, and a body hung deeper in the
// tree gets back a local matrix that puts it where the body is.
#include "kalvex_internal.h"
#include "kalvex_engine.h"

#include <btBulletDynamicsCommon.h>
#include <BulletCollision/CollisionShapes/btShapeHull.h>
#include <LinearMath/btGeometryUtil.h>

#include <glm/gtc/quaternion.hpp>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <list>
#include <vector>

static_assert(sizeof(KxPhysics::kxProps) == 48, "kxProps must match the scene file record");
static_assert(offsetof(KxPhysics::kxProps, hullKind) == 3, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, mass) == 16, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, angularDamping) == 36, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, reserved) == 40, "scene file offset");
static_assert(sizeof(btScalar) == sizeof(double), "Bullet must be built with double-precision scalars");

namespace
{
struct World
{
    btDbvtBroadphase* broadphase = nullptr;
    btDefaultCollisionConfiguration* configuration = nullptr;
    btCollisionDispatcher* dispatcher = nullptr;
    btSequentialImpulseConstraintSolver* solver = nullptr;
    btDiscreteDynamicsWorld* dynamics = nullptr;
    std::list<KxPhysics*> objects; // creation order
    float scale = 1.0f;
};
World* world = nullptr;

btVector3 toBullet(const glm::vec3& v)
{
    return btVector3(v.x, v.y, v.z);
}

glm::vec3 toGlm(const btVector3& v)
{
    return glm::vec3(static_cast<float>(v.x()), static_cast<float>(v.y()), static_cast<float>(v.z()));
}

bool isDynamicKind(uint8_t kind)
{
    return kind == 1 || kind == 2;
}

// The matrix that takes a node's local space into physics space: identity for
// the root and its children, else the parent's matrix relative to the root.
glm::mat4 parentFrame(const KxNode* node)
{
    KxNode* parent = node->getParent();
    if (!parent || !parent->getParent())
        return glm::mat4(1.0f);
    KxNode* top = parent;
    while (top->getParent())
        top = top->getParent();
    return parent->getFinalMatrix(top);
}

// A rigid transform in physics units from an engine matrix (scale removed).
btTransform toTransform(const glm::mat4& m, float scale)
{
    glm::mat3 basis(m);
    for (int column = 0; column < 3; ++column)
    {
        float length = glm::length(basis[column]);
        if (length > 0.0f)
            basis[column] /= length;
    }
    glm::quat q = glm::quat_cast(basis);
    glm::vec3 origin(m[3]);
    return btTransform(btQuaternion(q.x, q.y, q.z, q.w), toBullet(origin * scale));
}

glm::mat4 toMatrix(const btTransform& t, float scale)
{
    const btMatrix3x3& basis = t.getBasis();
    glm::mat4 m(1.0f);
    for (int column = 0; column < 3; ++column)
        for (int row = 0; row < 3; ++row)
            m[column][row] = static_cast<float>(basis[row][column]);
    m[3] = glm::vec4(toGlm(t.getOrigin()) / scale, 1.0f);
    return m;
}
}

struct KxPhysics::Private
{
    kxProps props = {};
    btCollisionShape* shape = nullptr;
    btDefaultMotionState* motionState = nullptr;
    btRigidBody* body = nullptr;
    btTriangleMesh* triangles = nullptr;
    KxMesh* node = nullptr;
    bool inWorld = false;
    bool listed = false;
    std::list<KxPhysics*>::iterator entry;

    void addToWorld()
    {
        if (body && world && !inWorld)
        {
            world->dynamics->addRigidBody(body);
            inWorld = true;
        }
    }
    void removeFromWorld()
    {
        if (body && world && inWorld)
            world->dynamics->removeRigidBody(body);
        inWorld = false;
    }
    void releaseBody()
    {
        removeFromWorld();
        delete body;
        body = nullptr;
        delete motionState;
        motionState = nullptr;
    }
    void releaseShape()
    {
        delete shape;
        shape = nullptr;
        delete triangles;
        triangles = nullptr;
    }
    // Places the body at the node's current pose, at rest.
    void placeAtNode()
    {
        btTransform t = toTransform(parentFrame(node) * node->getMatrix(), world->scale);
        body->clearForces();
        body->setLinearVelocity(btVector3(0, 0, 0));
        body->setAngularVelocity(btVector3(0, 0, 0));
        body->setWorldTransform(t);
        body->setInterpolationWorldTransform(t);
        body->setInterpolationLinearVelocity(btVector3(0, 0, 0));
        body->setInterpolationAngularVelocity(btVector3(0, 0, 0));
        motionState->setWorldTransform(t);
    }
};

KxPhysics::KxPhysics() : physicsReserved(new Private)
{
    setType(TYPE_PHYSICS);
    char name[32];
    std::snprintf(name, sizeof(name), "[Physics%d]", getId());
    setName(name);
    if (world)
    {
        std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
        physicsReserved->entry = world->objects.insert(world->objects.end(), this);
        physicsReserved->listed = true;
    }
}

KxPhysics::~KxPhysics()
{
    std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
    Private& d = *physicsReserved;
    KxMesh* mesh = d.node;
    d.node = nullptr;
    if (mesh && mesh->getPhysics() == this)
        mesh->setPhysics(nullptr);
    d.releaseBody();
    d.releaseShape();
    if (d.listed && world)
        world->objects.erase(d.entry);
    delete physicsReserved;
}

bool KxPhysics::init(float worldScale)
{
    if (world)
        return KX_LOG(LEVEL_ERROR, "Static class already initialized");
    // Every position read back is divided by the scale.
    if (!std::isfinite(worldScale) || worldScale <= 0.0f)
    {
        KX_LOG(LEVEL_ERROR, "Invalid physics world scale %g (using 1.0)", static_cast<double>(worldScale));
        worldScale = 1.0f;
    }
    world = new World;
    world->scale = worldScale;
    world->broadphase = new btDbvtBroadphase();
    btDefaultCollisionConstructionInfo info;
    info.m_defaultMaxPersistentManifoldPoolSize = 4096;
    info.m_defaultMaxCollisionAlgorithmPoolSize = 4096;
    world->configuration = new btDefaultCollisionConfiguration(info);
    world->dispatcher = new btCollisionDispatcher(world->configuration);
    world->solver = new btSequentialImpulseConstraintSolver();
    world->dynamics =
        new btDiscreteDynamicsWorld(world->dispatcher, world->broadphase, world->solver, world->configuration);
    world->dynamics->setGravity(btVector3(0, -9.81 * worldScale, 0));
    // Nodes show where bodies are, not where they were one step ago.
    world->dynamics->setLatencyMotionStateInterpolation(false);
    return true;
}

bool KxPhysics::free()
{
    if (!world)
        return KX_LOG(LEVEL_DETAIL, "Redundant free");
    for (KxObject* object = KxObject::getFirst(); object;)
    {
        KxObject* next = object->getNext();
        if (object->getType() == TYPE_PHYSICS)
            delete object;
        object = next;
    }
    // Objects made outside the registry are still listed.
    while (!world->objects.empty())
        delete world->objects.front();
    delete world->dynamics;
    delete world->solver;
    delete world->dispatcher;
    delete world->configuration;
    delete world->broadphase;
    delete world;
    world = nullptr;
    return true;
}

float KxPhysics::getWorldScale()
{
    return world ? world->scale : 1.0f;
}

glm::vec3 KxPhysics::getWorldGravity()
{
    return world ? toGlm(world->dynamics->getGravity()) : glm::vec3(0.0f);
}

bool KxPhysics::checkProps(const kxProps& props, const std::string& meshName)
{
    const float values[] = {props.mass,        props.friction,      props.rollingFriction,
                            props.restitution, props.linearDamping, props.angularDamping};
    for (float value : values)
        if (!std::isfinite(value))
            return KX_LOG(LEVEL_ERROR, "Physics properties of mesh '%s' hold a non-finite value: mesh loaded without a body",
                          meshName.c_str());
    if (props.mass < 0.0f)
        return KX_LOG(LEVEL_ERROR, "Physics properties of mesh '%s' hold a negative mass (%g): mesh loaded without a body",
                      meshName.c_str(), static_cast<double>(props.mass));
    return true;
}

unsigned int KxPhysics::load(const unsigned char* data, unsigned int size)
{
    if (!data || size < sizeof(kxProps))
        return KX_LOG(LEVEL_ERROR, "Invalid file format consistency (physics part)"), 0;
    std::memcpy(&physicsReserved->props, data, sizeof(kxProps));
    // The stored run-time reference means nothing in this process.
    physicsReserved->props.reserved = 0;
    return sizeof(kxProps);
}

KxPhysics::kxProps& KxPhysics::getProps()
{
    return physicsReserved->props;
}

const KxPhysics::kxProps& KxPhysics::getProps() const
{
    return physicsReserved->props;
}

void KxPhysics::setOwner(KxMesh* mesh)
{
    Private& d = *physicsReserved;
    if (d.node == mesh)
        return;
    // A body only ever drives the mesh that holds it.
    d.releaseBody();
    d.node = mesh;
}

KxMesh* KxPhysics::getNode() const
{
    return physicsReserved->node;
}

bool KxPhysics::hasBody() const
{
    return physicsReserved->body != nullptr;
}

namespace
{
// The mesh's triangles in physics units, or null (logged) when there are none.
btTriangleMesh* readTriangles(KxMesh* mesh, float scale)
{
    unsigned int vertexCount = mesh->getNrOfVertices(), faceCount = mesh->getNrOfFaces();
    // A hull of no points is what Bullet cannot survive.
    if (vertexCount == 0 || faceCount == 0)
        return KX_LOG(LEVEL_ERROR, "Mesh '%s' has no triangles to build a hull from", mesh->getName().c_str()),
               nullptr;
    std::vector<KxMesh::kxMeshVertex> vertices(vertexCount);
    std::vector<KxMesh::kxMeshFace> faces(faceCount);
    if (!mesh->getRawVertexData(vertices.data()))
        return KX_LOG(LEVEL_ERROR, "Unable to get raw vertices"), nullptr;
    if (!mesh->getRawFaceData(faces.data()))
        return KX_LOG(LEVEL_ERROR, "Unable to get raw faces"), nullptr;
    btTriangleMesh* triangles = new btTriangleMesh(true, true);
    auto vertex = [&](uint32_t index) {
        const float* p = vertices[index].position;
        return btVector3(p[0], p[1], p[2]) * scale;
    };
    for (const KxMesh::kxMeshFace& face : faces)
    {
        if (face.index[0] >= vertexCount || face.index[1] >= vertexCount || face.index[2] >= vertexCount)
        {
            delete triangles;
            return KX_LOG(LEVEL_ERROR, "Mesh '%s' has a face index past its vertices", mesh->getName().c_str()),
                   nullptr;
        }
        triangles->addTriangle(vertex(face.index[0]), vertex(face.index[1]), vertex(face.index[2]), false);
    }
    return triangles;
}

btCollisionShape* buildConvexHull(btTriangleMesh* triangles)
{
    // Bullet rounds a hull off by its margin outside the points. Sampled with
    // the margin, the points would sit outside the mesh too: a hull would rest
    // on a double cushion and stacks of hulls would start interpenetrating and
    // fly apart. So the points are the mesh's own, and the faces move in by
    // the margin the hull shape adds back.
    btConvexTriangleMeshShape temporary(triangles, true);
    btScalar margin = temporary.getMargin();
    temporary.setMargin(0);
    btShapeHull hull(&temporary);
    hull.buildHull(0);
    if (hull.numVertices() == 0)
        return nullptr;
    btAlignedObjectArray<btVector3> points, planes, shrunk;
    for (int i = 0; i < hull.numVertices(); ++i)
        points.push_back(hull.getVertexPointer()[i]);
    btGeometryUtil::getPlaneEquationsFromVertices(points, planes);
    for (int i = 0; i < planes.size(); ++i)
        planes[i][3] += margin;
    btGeometryUtil::getVerticesFromPlaneEquations(planes, shrunk);
    const btAlignedObjectArray<btVector3>& used = shrunk.size() >= 4 ? shrunk : points;
    return new btConvexHullShape(reinterpret_cast<const btScalar*>(&used[0]), used.size(), sizeof(btVector3));
}
}

bool KxPhysics::buildHull()
{
    Private& d = *physicsReserved;
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (!d.node)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxMesh* mesh = d.node;
    float s = world->scale;
    glm::vec3 size = mesh->getBBoxMax() - mesh->getBBoxMin();
    btCollisionShape* shape = nullptr;
    btTriangleMesh* triangles = nullptr;
    uint8_t& hull = d.props.hullKind;
    if (hull == HULL_SPHERE)
        shape = new btSphereShape(mesh->getRadius() * s);
    else if (hull == HULL_CAPSULE)
        shape = new btCapsuleShape(size.x * s * 0.5f, size.y * s * 0.5f);
    else if (hull == HULL_CONVEX || hull == HULL_TRIANGLES)
    {
        triangles = readTriangles(mesh, s);
        if (!triangles)
            return false;
        if (hull == HULL_TRIANGLES && d.props.bodyKind != 3)
        {
            KX_LOG(LEVEL_ERROR, "Invalid hull for specified type (using a compatible instead)");
            hull = HULL_CONVEX;
        }
        if (hull == HULL_CONVEX)
        {
            shape = buildConvexHull(triangles);
            delete triangles;
            triangles = nullptr;
            if (!shape)
                return KX_LOG(LEVEL_ERROR, "Mesh '%s' gives an empty convex hull", mesh->getName().c_str());
        }
        else
            shape = new btBvhTriangleMeshShape(triangles, true, true);
    }
    else
    {
        if (hull != HULL_BOX)
            KX_LOG(LEVEL_ERROR, "Invalid/unsupported hull type (using default)");
        shape = new btBoxShape(toBullet(size * s * 0.5f));
    }

    // A body keeps working on its new shape.
    bool wasInWorld = d.inWorld;
    d.removeFromWorld();
    if (d.body)
        d.body->setCollisionShape(shape);
    d.releaseShape();
    d.shape = shape;
    d.triangles = triangles;
    if (wasInWorld)
        d.addToWorld();
    return true;
}

bool KxPhysics::getFromMesh(KxMesh* mesh)
{
    Private& d = *physicsReserved;
    if (!mesh)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (!mesh->getPhysics())
        return KX_LOG(LEVEL_ERROR, "No physical attributes");
    if (mesh->getPhysics() != this)
        return KX_LOG(LEVEL_ERROR, "Physics object %d does not belong to mesh '%s'", getId(), mesh->getName().c_str());
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    std::lock_guard<std::recursive_mutex> lock(kx::objectMutex(getMutex()));
    d.releaseBody();
    if (!buildHull())
        return KX_LOG(LEVEL_ERROR, "Unable to build hull");

    btTransform start = toTransform(parentFrame(mesh) * mesh->getMatrix(), world->scale);
    d.motionState = new btDefaultMotionState(start);
    bool dynamic = isDynamicKind(d.props.bodyKind);
    btScalar mass = dynamic ? d.props.mass : 0.0;
    btVector3 inertia(0, 0, 0);
    if (dynamic)
        d.shape->calculateLocalInertia(mass, inertia);
    btRigidBody::btRigidBodyConstructionInfo info(mass, d.motionState, d.shape, inertia);
    d.body = new btRigidBody(info);
    d.body->setActivationState(DISABLE_DEACTIVATION);
    d.body->setRestitution(d.props.restitution);
    d.body->setFriction(d.props.friction);
    d.body->setRollingFriction(d.props.rollingFriction);
    d.body->setSpinningFriction(d.props.rollingFriction);
    d.body->setDamping(d.props.linearDamping, d.props.angularDamping);
    d.props.reserved = reinterpret_cast<uintptr_t>(this);
    d.body->setUserPointer(mesh);
    setName(("_KxPhys" + mesh->getName()).substr(0, 255));
    d.addToWorld();
    return true;
}

bool KxPhysics::update(float timeScale, int maxSubSteps, float fixedTimeStep)
{
    if (!kx::engine)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    return step(kx::engine->lastFrameTime * timeScale, maxSubSteps, fixedTimeStep);
}

bool KxPhysics::step(float seconds, int maxSubSteps, float fixedTimeStep)
{
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    if (!(seconds >= 0.0f) || !std::isfinite(seconds) || !(fixedTimeStep > 0.0f) || maxSubSteps < 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    world->dynamics->stepSimulation(seconds, maxSubSteps, fixedTimeStep);
    for (KxPhysics* physics : world->objects)
    {
        Private& d = *physics->physicsReserved;
        if (!d.body || !d.node)
            continue;
        glm::mat4 m = physics->getMatrix();
        if (d.node->getParent() && d.node->getParent()->getParent())
            m = glm::inverse(parentFrame(d.node)) * m;
        d.node->setMatrix(m);
    }
    return true;
}

glm::mat4 KxPhysics::getMatrix() const
{
    const Private& d = *physicsReserved;
    if (!d.motionState || !world)
        return glm::mat4(1.0f);
    btTransform t;
    d.motionState->getWorldTransform(t);
    return toMatrix(t, world->scale);
}

glm::vec3 KxPhysics::getBodyOrigin() const
{
    const Private& d = *physicsReserved;
    return d.body ? toGlm(d.body->getWorldTransform().getOrigin()) : glm::vec3(0.0f);
}

void KxPhysics::setMatrix(const glm::mat4& matrix)
{
    Private& d = *physicsReserved;
    if (!d.node)
        return;
    d.node->setMatrix(matrix);
    if (d.body && world)
        d.placeAtNode();
}

bool KxPhysics::render(void*)
{
    Private& d = *physicsReserved;
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for physics object %d invoked", getId());
    KxStats::inc(KxStats::PHYSICS_RENDER);
    if (!d.body || !d.node || !world)
        return KX_LOG(LEVEL_ERROR, "No body");
    d.placeAtNode();
    return true;
}

int KxPhysics::checkCollisions()
{
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Not initialized"), 0;
    int lines = 0;
    auto nodeName = [](const btCollisionObject* object) {
        const KxNode* node = static_cast<const KxNode*>(object->getUserPointer());
        return node ? node->getName().c_str() : "[none]";
    };
    int count = world->dispatcher->getNumManifolds();
    for (int i = 0; i < count; ++i)
    {
        const btPersistentManifold* manifold = world->dispatcher->getManifoldByIndexInternal(i);
        if (manifold->getNumContacts() <= 0)
            continue;
        KX_LOG(LEVEL_PLAIN, "%d) %s and %s collided %d time(s)", i + 1, nodeName(manifold->getBody0()),
               nodeName(manifold->getBody1()), manifold->getNumContacts());
        ++lines;
    }
    return lines;
}

KxNode* KxPhysics::pick(const glm::vec3& from, const glm::vec3& to, glm::vec3* hitPoint, glm::vec3* hitNormal)
{
    if (!world)
        return KX_LOG(LEVEL_ERROR, "Not initialized"), nullptr;
    float s = world->scale;
    btVector3 start = toBullet(from * s), end = toBullet(to * s);
    btCollisionWorld::ClosestRayResultCallback callback(start, end);
    if (from != to)
        world->dynamics->rayTest(start, end, callback);
    if (!callback.hasHit())
    {
        KX_LOG(LEVEL_DEBUG, "Missed");
        return nullptr;
    }
    KxNode* node = static_cast<KxNode*>(callback.m_collisionObject->getUserPointer());
    KX_LOG(LEVEL_DEBUG, "Hit on %s", node ? node->getName().c_str() : "[none]");
    if (hitPoint)
        *hitPoint = toGlm(callback.m_hitPointWorld) / s;
    if (hitNormal)
        *hitNormal = toGlm(callback.m_hitNormalWorld);
    return node;
}

// Body operations. Velocities, impulses and gravity are lengths per time and
// take the world scale; factors and angular values do not.
#define KX_BODY_OR_FAIL()                                                                                            \
    Private& d = *physicsReserved;                                                                                   \
    if (!d.body || !world)                                                                                           \
        return KX_LOG(LEVEL_ERROR, "Physics object %d has no body", getId());

bool KxPhysics::applyCentralImpulse(float x, float y, float z)
{
    KX_BODY_OR_FAIL();
    d.body->applyCentralImpulse(btVector3(x, y, z) * world->scale);
    return true;
}

bool KxPhysics::applyCentralImpulse(const glm::vec3& impulse)
{
    return applyCentralImpulse(impulse.x, impulse.y, impulse.z);
}

bool KxPhysics::setLinearVelocity(float x, float y, float z)
{
    KX_BODY_OR_FAIL();
    d.body->setLinearVelocity(btVector3(x, y, z) * world->scale);
    return true;
}

bool KxPhysics::setLinearVelocity(const glm::vec3& velocity)
{
    return setLinearVelocity(velocity.x, velocity.y, velocity.z);
}

bool KxPhysics::setLinearFactor(float x, float y, float z)
{
    KX_BODY_OR_FAIL();
    d.body->setLinearFactor(btVector3(x, y, z));
    return true;
}

bool KxPhysics::setLinearFactor(const glm::vec3& factor)
{
    return setLinearFactor(factor.x, factor.y, factor.z);
}

bool KxPhysics::setAngularVelocity(float x, float y, float z)
{
    KX_BODY_OR_FAIL();
    d.body->setAngularVelocity(btVector3(x, y, z));
    return true;
}

bool KxPhysics::setAngularVelocity(const glm::vec3& velocity)
{
    return setAngularVelocity(velocity.x, velocity.y, velocity.z);
}

bool KxPhysics::setAngularFactor(float x, float y, float z)
{
    KX_BODY_OR_FAIL();
    d.body->setAngularFactor(btVector3(x, y, z));
    return true;
}

bool KxPhysics::setAngularFactor(const glm::vec3& factor)
{
    return setAngularFactor(factor.x, factor.y, factor.z);
}

glm::vec3 KxPhysics::getLinearVelocity() const
{
    const Private& d = *physicsReserved;
    return d.body && world ? toGlm(d.body->getLinearVelocity()) / world->scale : glm::vec3(0.0f);
}

glm::vec3 KxPhysics::getAngularVelocity() const
{
    const Private& d = *physicsReserved;
    return d.body ? toGlm(d.body->getAngularVelocity()) : glm::vec3(0.0f);
}

bool KxPhysics::setMass(float mass)
{
    KX_BODY_OR_FAIL();
    if (!std::isfinite(mass) || mass < 0.0f)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    // A triangle-mesh shape has no volume to move: Bullet cannot simulate it.
    if (mass > 0.0f && d.shape->getShapeType() == TRIANGLE_MESH_SHAPE_PROXYTYPE)
        return KX_LOG(LEVEL_ERROR, "A triangle mesh hull is static only: mass %g refused", static_cast<double>(mass));
    d.props.mass = mass;
    btVector3 inertia(0, 0, 0);
    if (mass > 0.0f)
        d.shape->calculateLocalInertia(mass, inertia);
    // The world files static and dynamic bodies apart: a body that changes
    // between the two joins again.
    bool wasInWorld = d.inWorld;
    d.removeFromWorld();
    d.body->setMassProps(mass, inertia);
    d.body->updateInertiaTensor();
    if (wasInWorld)
        d.addToWorld();
    return true;
}

bool KxPhysics::setGravity(float gravity)
{
    KX_BODY_OR_FAIL();
    d.body->setGravity(btVector3(0, gravity * world->scale, 0));
    return true;
}

bool KxPhysics::setFriction(float friction)
{
    KX_BODY_OR_FAIL();
    d.props.friction = friction;
    d.body->setFriction(friction);
    return true;
}

bool KxPhysics::resetForces()
{
    KX_BODY_OR_FAIL();
    d.body->clearForces();
    d.body->setLinearVelocity(btVector3(0, 0, 0));
    d.body->setAngularVelocity(btVector3(0, 0, 0));
    return true;
}

bool KxPhysics::setActivation(bool active)
{
    KX_BODY_OR_FAIL();
    if (!active)
    {
        d.removeFromWorld();
        return true;
    }
    if (!d.inWorld)
    {
        d.addToWorld();
        d.body->forceActivationState(DISABLE_DEACTIVATION);
        resetForces();
    }
    return true;
}

#undef KX_BODY_OR_FAIL

namespace kx
{
void buildPhysicsBodies(KxNode* root)
{
    if (!root)
        return;
    KxObject::Type type = root->getType();
    if (type == KxObject::TYPE_MESH || type == KxObject::TYPE_SKINNED)
    {
        KxMesh* mesh = static_cast<KxMesh*>(root);
        if (KxPhysics* physics = mesh->getPhysics())
            physics->getFromMesh(mesh);
    }
    for (unsigned int i = 0; i < root->getNrOfChildren(); ++i)
        buildPhysicsBodies(root->getChild(i));
}
}
