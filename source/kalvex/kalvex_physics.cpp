// KxPhysics: the physical properties of a mesh, as stored in scene files.
// The rigid body built from them joins later; for now the object only holds
// the 48-byte record.
#include "kalvex_internal.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

static_assert(sizeof(KxPhysics::kxProps) == 48, "kxProps must match the scene file record");
static_assert(offsetof(KxPhysics::kxProps, hullKind) == 3, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, mass) == 16, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, angularDamping) == 36, "scene file offset");
static_assert(offsetof(KxPhysics::kxProps, reserved) == 40, "scene file offset");

struct KxPhysics::Private
{
    kxProps props = {};
};

KxPhysics::KxPhysics() : physicsReserved(new Private)
{
    setType(TYPE_PHYSICS);
    char name[32];
    std::snprintf(name, sizeof(name), "[Physics%d]", getId());
    setName(name);
}

KxPhysics::~KxPhysics()
{
    delete physicsReserved;
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
