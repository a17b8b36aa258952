// Object identifiers, names and the registry.
#include "kxtest.h"

class Objects : public kxtest::EngineTest
{
};

TEST_F(Objects, IdentifiersAndDefaultNames)
{
    EXPECT_EQ(KxObject::getFirst()->getId(), 0); // the engine's first object
    KxObject* first = new KxObject;
    int id = first->getId();
    EXPECT_EQ(first->getName(), "[Object" + std::to_string(id) + "]");
    EXPECT_EQ(first->getType(), KxObject::TYPE_NONE);
    EXPECT_EQ(first->getSubtype(), 0);
    EXPECT_EQ(first->getLastUpdate(), 0u);
    KxNode* node = new KxNode;
    EXPECT_EQ(node->getId(), id + 1);
    EXPECT_EQ(node->getName(), "[Node" + std::to_string(id + 1) + "]");
    EXPECT_EQ(node->getType(), KxObject::TYPE_NODE);
    delete first;
    KxObject* again = new KxObject; // lowest free identifier first
    EXPECT_EQ(again->getId(), id);
    EXPECT_FALSE(again->render(nullptr));
    // Aligned for the vector members of derived classes, arrays too.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(node) % 16, 0u);
    KxNode* nodes = new KxNode[3];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nodes) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&nodes[1]) % 16, 0u);
    delete[] nodes;
}

TEST_F(Objects, Names)
{
    KxObject* object = new KxObject;
    EXPECT_TRUE(object->setName(std::string(255, 'n')));
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(object->setName(std::string(256, 'm')));
    EXPECT_EQ(kxtest::countLogLines("Invalid object name", mark), 1);
    EXPECT_EQ(object->getName(), std::string(255, 'n'));
    EXPECT_TRUE(object->setName(""));
    EXPECT_EQ(object->getName(), "");
}

TEST_F(Objects, RegistryOrderCountsAndLookups)
{
    EXPECT_EQ(KxObject::findByName("no such object"), nullptr);
    int plainObjects = KxObject::getNrOf(KxObject::TYPE_NONE);
    int nodes = KxObject::getNrOf(KxObject::TYPE_NODE);
    KxObject* a = new KxObject;
    KxNode* b = new KxNode;
    KxObject* c = new KxObject;
    a->setName("same");
    c->setName("same");
    b->setName("sam");
    EXPECT_EQ(a->getNext(), b);
    EXPECT_EQ(b->getNext(), c);
    EXPECT_EQ(c->getPrev(), b);
    EXPECT_EQ(c->getNext(), nullptr);
    EXPECT_EQ(KxObject::findByName("same"), a);
    EXPECT_EQ(KxObject::findByName("sam"), b);
    EXPECT_EQ(KxObject::findByName("sa"), nullptr);
    EXPECT_EQ(KxObject::getNrOf(KxObject::TYPE_NONE), plainObjects + 2);
    EXPECT_EQ(KxObject::getNrOf(KxObject::TYPE_NODE), nodes + 1);
    KxObject* beforeA = a->getPrev();
    delete b; // unlinks from the middle
    EXPECT_EQ(a->getNext(), c);
    EXPECT_EQ(c->getPrev(), a);
    delete a;
    EXPECT_EQ(c->getPrev(), beforeA);
    EXPECT_EQ(beforeA->getNext(), c);
}

namespace
{
// An object that deletes another one when it goes, as owners do.
class Owner : public KxObject
{
public:
    KxObject* owned = new KxObject;
    ~Owner() override { delete owned; }
};
}

// Shutdown deletes whatever the client left, owners and linked nodes included.
TEST(ObjectRegistry, ShutdownDeletesEverythingLeft)
{
    KxConfig config;
    config.setWindowSizeX(64);
    config.setWindowSizeY(64);
    ASSERT_TRUE(Kalvex::init(config, true));
    int firstClientId = (new KxObject)->getId();
    new Owner;
    KxNode* parent = new KxNode;
    KxNode* child = new KxNode;
    child->link(parent);
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(Kalvex::free());
    EXPECT_EQ(KxObject::getFirst(), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Parity", mark), 0);
    EXPECT_EQ(kxtest::countLogLines("[!]", mark), 0);

    ASSERT_TRUE(Kalvex::init(config, true));
    EXPECT_EQ((new KxObject)->getId(), firstClientId); // every identifier came back
    ASSERT_TRUE(Kalvex::free());
}
