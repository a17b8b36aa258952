// Object identifiers, names and the registry.
#include "kxtest.h"

class Objects : public kxtest::EngineTest
{
protected:
    void TearDown() override { ASSERT_TRUE(KxObject::cleanUp()); }
};

TEST_F(Objects, IdentifiersAndDefaultNames)
{
    ASSERT_TRUE(KxObject::cleanUp());
    KxObject* first = new KxObject;
    EXPECT_EQ(first->getId(), 0);
    EXPECT_EQ(first->getName(), "[Object0]");
    EXPECT_EQ(first->getType(), KxObject::TYPE_NONE);
    EXPECT_EQ(first->getSubtype(), 0);
    EXPECT_EQ(first->getLastUpdate(), 0u);
    KxNode* node = new KxNode;
    EXPECT_EQ(node->getId(), 1);
    EXPECT_EQ(node->getName(), "[Node1]");
    EXPECT_EQ(node->getType(), KxObject::TYPE_NODE);
    delete first;
    KxObject* again = new KxObject;
    EXPECT_EQ(again->getId(), 0);
    EXPECT_FALSE(again->render(nullptr));
    // Aligned for the vector members of derived classes.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(node) % 16, 0u);
    KxNode* nodes = nullptr;
    EXPECT_NO_THROW(nodes = new KxNode[3]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nodes) % 16, 0u);
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
    ASSERT_TRUE(KxObject::cleanUp());
    EXPECT_EQ(KxObject::findByName("x"), nullptr);
    KxObject* a = new KxObject;
    KxNode* b = new KxNode;
    KxObject* c = new KxObject;
    a->setName("same");
    c->setName("same");
    b->setName("sam");
    EXPECT_EQ(KxObject::getFirst(), a);
    EXPECT_EQ(a->getNext(), b);
    EXPECT_EQ(b->getNext(), c);
    EXPECT_EQ(c->getPrev(), b);
    EXPECT_EQ(a->getPrev(), nullptr);
    EXPECT_EQ(KxObject::findByName("same"), a);
    EXPECT_EQ(KxObject::findByName("sam"), b);
    EXPECT_EQ(KxObject::findByName("sa"), nullptr);
    EXPECT_EQ(KxObject::getNrOf(KxObject::TYPE_NONE), 2);
    EXPECT_EQ(KxObject::getNrOf(KxObject::TYPE_NODE), 1);
    delete b; // unlinks from the middle
    EXPECT_EQ(a->getNext(), c);
    EXPECT_EQ(c->getPrev(), a);
    delete a; // from the head
    EXPECT_EQ(KxObject::getFirst(), c);
    EXPECT_EQ(c->getPrev(), nullptr);
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

TEST_F(Objects, CleanUpDeletesEverythingIncludingOwnedObjects)
{
    size_t mark = kxtest::readLog().size();
    ASSERT_TRUE(KxObject::cleanUp());
    EXPECT_EQ(kxtest::readLog().size(), mark); // an empty registry logs nothing
    new Owner;
    new KxObject;
    KxNode* parent = new KxNode;
    KxNode* child = new KxNode;
    child->link(parent);
    EXPECT_TRUE(KxObject::cleanUp());
    EXPECT_EQ(KxObject::getFirst(), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Parity", mark), 0);
    KxObject* fresh = new KxObject;
    EXPECT_EQ(fresh->getId(), 0); // every identifier came back
}
