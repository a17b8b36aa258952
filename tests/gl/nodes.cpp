// Scene graph links and transforms.
#include "kxtest.h"

#include <glm/gtc/matrix_transform.hpp>

class Nodes : public kxtest::EngineTest
{
};

namespace
{
void expectNear(const glm::vec3& actual, const glm::vec3& expected)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-5f);
    EXPECT_NEAR(actual.y, expected.y, 1e-5f);
    EXPECT_NEAR(actual.z, expected.z, 1e-5f);
}

glm::vec3 translation(const glm::mat4& m)
{
    return glm::vec3(m[3]);
}
}

TEST_F(Nodes, LinkUnlinkAndChildren)
{
    KxNode* root = new KxNode;
    KxNode* a = new KxNode;
    KxNode* b = new KxNode;
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(a->link(nullptr));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 1);
    EXPECT_TRUE(a->link(root));
    EXPECT_TRUE(b->link(root));
    EXPECT_FALSE(a->link(b));
    EXPECT_EQ(kxtest::countLogLines("Node already linked", mark), 1);
    EXPECT_EQ(root->getNrOfChildren(), 2u);
    EXPECT_EQ(root->getChild(0), a);
    EXPECT_EQ(root->getChild(1), b);
    EXPECT_EQ(root->getChild(root->getNrOfChildren()), nullptr);
    EXPECT_EQ(kxtest::countLogLines("Child out of range", mark), 1);
    EXPECT_TRUE(a->unlink());
    EXPECT_FALSE(a->unlink());
    EXPECT_EQ(kxtest::countLogLines("Node already unlinked", mark), 1);
    EXPECT_EQ(root->getChild(0), b);
    EXPECT_TRUE(a->link(b));
    EXPECT_EQ(a->getParent(), b);
    EXPECT_EQ(root->getGraphDepth(), 0u);
    EXPECT_EQ(a->getGraphDepth(), 2u);
}

TEST_F(Nodes, DeletingLinkedNodesLeavesNoDanglingLinks)
{
    KxNode* root = new KxNode;
    KxNode* middle = new KxNode;
    KxNode* leaf = new KxNode;
    KxNode* sibling = new KxNode;
    middle->link(root);
    sibling->link(root);
    leaf->link(middle);
    delete middle;
    EXPECT_EQ(root->getNrOfChildren(), 1u);
    EXPECT_EQ(root->getChild(0), sibling);
    EXPECT_EQ(leaf->getParent(), nullptr);
    EXPECT_EQ(leaf->getGraphDepth(), 0u);
    EXPECT_TRUE(leaf->link(root)); // the orphan can be linked again
    delete root;
    EXPECT_EQ(sibling->getParent(), nullptr);
    EXPECT_EQ(leaf->getParent(), nullptr);
}

TEST_F(Nodes, FindByNameAndPrintTree)
{
    KxNode* root = new KxNode;
    root->setName("root");
    KxNode* box = new KxNode;
    box->setName("box");
    KxNode* deep = new KxNode;
    deep->setName("box"); // same name deeper down: the first in depth-first order wins
    KxNode* other = new KxNode;
    other->setName("other");
    box->link(root);
    deep->link(other);
    other->link(root);
    EXPECT_EQ(root->findByName("root"), root);
    EXPECT_EQ(root->findByName("box"), box);
    EXPECT_EQ(other->findByName("box"), deep);
    EXPECT_EQ(root->findByName("nothing"), nullptr);

    size_t mark = kxtest::readLog().size();
    EXPECT_TRUE(root->printTree());
    std::vector<std::string> lines = kxtest::readLog();
    ASSERT_EQ(lines.size(), mark + 4);
    EXPECT_EQ(lines[mark], "+ root [" + std::to_string(root->getId()) + "]");
    EXPECT_EQ(lines[mark + 1], " + box [" + std::to_string(box->getId()) + "]");
    EXPECT_EQ(lines[mark + 2], " + other [" + std::to_string(other->getId()) + "]");
    EXPECT_EQ(lines[mark + 3], "  + box [" + std::to_string(deep->getId()) + "]");
}

TEST_F(Nodes, WorldMatricesThroughSeveralLevels)
{
    KxNode* parent = new KxNode;
    KxNode* child = new KxNode;
    child->link(parent);
    parent->setTranslation(0, 2, 0);
    child->setTranslation(1, 0, 0);
    expectNear(translation(child->getFinalMatrix(nullptr)), glm::vec3(1, 2, 0));
    expectNear(translation(child->getFinalMatrix(parent)), glm::vec3(1, 0, 0));
    expectNear(translation(child->getFinalMatrix(child)), glm::vec3(1, 2, 0)); // own matrix always included

    // Three levels with rotation: root rotates 90 degrees about Z, so the
    // child's +X offset turns into +Y in the world.
    KxNode* root = new KxNode;
    parent->link(root);
    root->setRotationZ(90.0f);
    glm::vec3 world = glm::vec3(child->getFinalMatrix() * glm::vec4(0, 0, 0, 1));
    expectNear(world, glm::vec3(-2, 1, 0));
    glm::mat4 expected = root->getMatrix() * parent->getMatrix() * child->getMatrix();
    glm::mat4 actual = child->getFinalMatrix();
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_NEAR(actual[c][r], expected[c][r], 1e-6f);
}

TEST_F(Nodes, RotationsAndTranslations)
{
    KxNode* node = new KxNode;
    node->setTranslation(5, 0, 0);
    node->setRotationZ(90);
    expectNear(translation(node->getMatrix()), glm::vec3(0, 0, 0));

    node->setIdentity();
    node->setTranslation(5, 0, 0);
    node->rotateZ(90);
    expectNear(translation(node->getMatrix()), glm::vec3(5, 0, 0));
    // rotate multiplies on the right: a local translation now moves along the rotated axis.
    node->translate(1, 0, 0);
    expectNear(translation(node->getMatrix()), glm::vec3(5, 1, 0));

    node->setIdentity();
    node->rotateX(90);
    expectNear(glm::vec3(node->getMatrix() * glm::vec4(0, 1, 0, 0)), glm::vec3(0, 0, 1));
    node->setRotationY(90);
    expectNear(glm::vec3(node->getMatrix() * glm::vec4(0, 0, 1, 0)), glm::vec3(1, 0, 0));

    node->setTranslation(glm::vec2(3, 4));
    expectNear(translation(node->getMatrix()), glm::vec3(3, 4, 0));
    node->setMatrix(glm::mat3(2.0f));
    expectNear(translation(node->getMatrix()), glm::vec3(3, 4, 0)); // 3x3 replacement keeps the translation
    EXPECT_FLOAT_EQ(node->getMatrix()[0][0], 2.0f);
    EXPECT_FLOAT_EQ(node->getMatrix()[3][3], 1.0f);
}

TEST_F(Nodes, FlagsAndTarget)
{
    KxNode* node = new KxNode;
    KxNode* target = new KxNode;
    EXPECT_TRUE(node->isVisible());
    EXPECT_FALSE(node->isCastingShadows());
    node->setVisible(false);
    node->setCastShadows(true);
    EXPECT_FALSE(node->isVisible());
    EXPECT_TRUE(node->isCastingShadows());
    EXPECT_EQ(node->getTargetNode(), nullptr);
    node->setTargetNode(target);
    EXPECT_EQ(node->getTargetNode(), target);
    node->setTargetNode(nullptr);
    EXPECT_EQ(node->getTargetNode(), nullptr);
    EXPECT_EQ(node->getTargetNodeName(), "");
}
