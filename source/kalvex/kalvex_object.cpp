// KxObject: identifiers, names and the registry of live objects.
#include "kalvex_internal.h"
#include "kalvex_blockpool.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

struct KxObject::Private
{
    KX_POOLED // walked every frame: see kalvex_blockpool.h

    std::recursive_mutex mutex; // first member: getMutex() hands out this block
    KxObject* prev = nullptr;
    KxObject* next = nullptr;
    int id = -1;
    Type type = TYPE_NONE;
    int subtype = 0;
    std::string name;
    unsigned int lastUpdate = 0;
};

namespace
{
struct Registry
{
    std::recursive_mutex mutex; // first member: getStaticMutex() hands out this record
    KxObject* first = nullptr;
    KxObject* last = nullptr;
    int count = 0;
};
Registry* registry = nullptr;

struct ReferenceTable
{
    // A target's holders (a default material has one per mesh). Emptied
    // tables stay until the target goes: the next scene refills them
    // without growing them again from nothing.
    std::unordered_map<KxObject*, std::unordered_map<KxObject*, kx::References::Clear>> holdersOf;
    // A holder's targets: a handful at most (a material's maps), so a short
    // list rather than a hash set of its own for every mesh.
    std::unordered_map<KxObject*, std::vector<KxObject*>> targetsOf;
};

// Takes target out of a holder's targets; the order of targets is of no use.
void dropTarget(std::vector<KxObject*>& targets, KxObject* target)
{
    auto position = std::find(targets.begin(), targets.end(), target);
    if (position == targets.end())
        return;
    *position = targets.back();
    targets.pop_back();
}
ReferenceTable* references = nullptr;

const size_t OBJECT_ALIGNMENT = 16;

void* alignedAllocate(size_t size)
{
    size_t rounded = (size + OBJECT_ALIGNMENT - 1) / OBJECT_ALIGNMENT * OBJECT_ALIGNMENT;
    void* pointer = std::aligned_alloc(OBJECT_ALIGNMENT, rounded ? rounded : OBJECT_ALIGNMENT);
    if (!pointer)
        throw std::bad_alloc();
    return pointer;
}
}

void KxObject::init()
{
    if (registry)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    registry = new Registry;
    kx::References::init();
}

void KxObject::free()
{
    if (!registry)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    cleanUp();
    kx::References::free();
    delete registry;
    registry = nullptr;
}

KxObject::KxObject() : reserved(new Private)
{
    reserved->id = KxIdGenerator::getId();
    char defaultName[32];
    std::snprintf(defaultName, sizeof(defaultName), "[Object%d]", reserved->id);
    setName(defaultName);

    if (!registry)
    {
        KX_LOG(LEVEL_ERROR, "Object registry not initialized");
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    if (!registry->first)
        registry->first = this;
    else
    {
        registry->last->reserved->next = this;
        reserved->prev = registry->last;
    }
    registry->last = this;
    registry->count++;
    KX_LOG(LEVEL_DEBUG, "[+] id: %d", reserved->id);
}

KxObject::~KxObject()
{
    kx::References::forget(this);
    if (reserved->id >= 0)
        KxIdGenerator::releaseId(reserved->id);

    if (registry)
    {
        std::lock_guard<std::recursive_mutex> lock(registry->mutex);
        bool linked = reserved->prev || reserved->next || registry->first == this;
        if (linked)
        {
            if (reserved->prev)
                reserved->prev->reserved->next = reserved->next;
            else
                registry->first = reserved->next;
            if (reserved->next)
                reserved->next->reserved->prev = reserved->prev;
            else
                registry->last = reserved->prev;
            registry->count--;
        }
    }
    KX_LOG(LEVEL_DEBUG, "[-] id: %d", reserved->id);
    delete reserved;
    reserved = nullptr;
}

bool KxObject::render(void*)
{
    return false;
}

int KxObject::getId() const
{
    return reserved->id;
}

kx::NodeAccess::Kind kx::NodeAccess::kind(const KxObject& object)
{
    return {object.reserved->type, object.reserved->subtype};
}

// Type and subtype sit past the mutex and the registry links, side by side,
// on whichever line or two the block's alignment puts them.
const void* kx::NodeAccess::kindAddress(const KxObject& object)
{
    static_assert(offsetof(KxObject::Private, subtype) == offsetof(KxObject::Private, type) + sizeof(KxObject::Type),
                  "type and subtype side by side");
    return &object.reserved->type;
}

void kx::NodeAccess::prefetchKind(const KxObject& object)
{
    prefetchKindAt(kindAddress(object));
}

void kx::NodeAccess::prefetchKindAt(const void* kind)
{
    const char* type = static_cast<const char*>(kind);
    __builtin_prefetch(type);
    __builtin_prefetch(type + sizeof(KxObject::Type) + sizeof(int) - 1); // the subtype's last byte
}

KxObject::Type KxObject::getType() const
{
    return reserved->type;
}

void KxObject::setType(Type type)
{
    reserved->type = type;
}

void KxObject::setSubtype(int subtype)
{
    reserved->subtype = subtype;
}

int KxObject::getSubtype() const
{
    return reserved->subtype;
}

void KxObject::setLastUpdate(unsigned int frame)
{
    reserved->lastUpdate = frame;
}

unsigned int KxObject::getLastUpdate() const
{
    return reserved->lastUpdate;
}

bool KxObject::setName(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(reserved->mutex);
    if (name.size() >= 256)
        return KX_LOG(LEVEL_ERROR, "Invalid object name");
    reserved->name = name;
    return true;
}

const std::string& KxObject::getName() const
{
    std::lock_guard<std::recursive_mutex> lock(reserved->mutex);
    return reserved->name;
}

KxObject* KxObject::getPrev() const
{
    std::lock_guard<std::recursive_mutex> lock(reserved->mutex);
    return reserved->prev;
}

KxObject* KxObject::getNext() const
{
    std::lock_guard<std::recursive_mutex> lock(reserved->mutex);
    return reserved->next;
}

KxObject* KxObject::getFirst()
{
    return registry ? registry->first : nullptr;
}

int KxObject::getNrOf(Type type)
{
    if (!registry)
        return 0;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    int count = 0;
    for (KxObject* object = registry->first; object; object = object->reserved->next)
        if (object->reserved->type == type)
            ++count;
    return count;
}

KxObject* KxObject::findByName(const std::string& name)
{
    if (!registry)
        return nullptr;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    for (KxObject* object = registry->first; object; object = object->reserved->next)
        if (object->reserved->name == name)
            return object;
    return nullptr;
}

bool KxObject::cleanUp()
{
    if (!registry)
        return false;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    // Destructors may delete further objects, so always take the current head.
    while (registry->first)
        delete registry->first;
    if (registry->count != 0)
        return KX_LOG(LEVEL_ERROR, "Parity is wrong: %d", registry->count);
    return true;
}

void* KxObject::getReserved() const
{
    return reserved;
}

void* KxObject::getMutex() const
{
    return reserved;
}

void* KxObject::getStaticMutex()
{
    return registry;
}

void* KxObject::operator new(std::size_t size)
{
    return alignedAllocate(size);
}

void* KxObject::operator new[](std::size_t size)
{
    return alignedAllocate(size);
}

void KxObject::operator delete(void* pointer)
{
    std::free(pointer);
}

void KxObject::operator delete[](void* pointer)
{
    std::free(pointer);
}

namespace kx
{
void References::init()
{
    if (!references)
        references = new ReferenceTable;
}

void References::free()
{
    delete references;
    references = nullptr;
}

void References::link(KxObject* target, KxObject* holder, Clear clear)
{
    if (!references || !target || !holder || !clear)
        return;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    try
    {
        references->holdersOf[target][holder] = clear;
        std::vector<KxObject*>& targets = references->targetsOf[holder];
        if (std::find(targets.begin(), targets.end(), target) == targets.end())
            targets.push_back(target);
    }
    catch (const std::exception&)
    {
        KX_LOG(LEVEL_ERROR, "Out of memory");
    }
}

void References::unlink(KxObject* target, KxObject* holder)
{
    if (!references || !target || !holder)
        return;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    auto holders = references->holdersOf.find(target);
    if (holders != references->holdersOf.end())
        holders->second.erase(holder);
    auto targets = references->targetsOf.find(holder);
    if (targets != references->targetsOf.end())
    {
        dropTarget(targets->second, target);
        if (targets->second.empty())
            references->targetsOf.erase(targets);
    }
}

void References::forget(KxObject* dying)
{
    if (!references)
        return;
    std::lock_guard<std::recursive_mutex> lock(registry->mutex);
    // First as a holder (a self-reference must not call back into an object
    // whose own destructors have already run), then as a target.
    auto targets = references->targetsOf.find(dying);
    if (targets != references->targetsOf.end())
    {
        std::vector<KxObject*> held = std::move(targets->second);
        references->targetsOf.erase(targets);
        for (KxObject* target : held)
        {
            auto holders = references->holdersOf.find(target);
            if (holders != references->holdersOf.end())
                holders->second.erase(dying);
        }
    }
    auto holders = references->holdersOf.find(dying);
    if (holders == references->holdersOf.end())
        return;
    std::unordered_map<KxObject*, Clear> holding = std::move(holders->second);
    references->holdersOf.erase(holders);
    for (auto& entry : holding)
    {
        auto held = references->targetsOf.find(entry.first);
        if (held != references->targetsOf.end())
        {
            dropTarget(held->second, dying);
            if (held->second.empty())
                references->targetsOf.erase(held);
        }
        entry.second(entry.first, dying);
    }
}
}
