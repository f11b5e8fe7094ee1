#include "catalog/catalog_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace lumivor {
namespace {

CatalogRecord Named(const std::string& name) {
  CatalogRecord record;
  record.SetField(kFileName, name);
  return record;
}

std::string Names(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    out += std::to_string(depth) + std::string(node->Field(kFileName)) + " ";
  });
  return out;
}

TEST(CatalogTree, KeepsOrderParentsAndRows) {
  CatalogTree tree;
  EXPECT_TRUE(tree.Empty());
  EXPECT_EQ(tree.Top(), nullptr);
  auto* top = tree.AddChild(nullptr, Named("top"));
  auto* a = tree.AddChild(top, Named("a"));
  auto* b = tree.AddChild(top, Named("b"));
  tree.AddChild(a, Named("a1"));
  EXPECT_EQ(tree.Size(), 4u);
  EXPECT_EQ(tree.Top(), top);
  EXPECT_EQ(b->parent, top);
  EXPECT_EQ(b->row, 1u);
  EXPECT_EQ(top->parent, tree.Root());
  EXPECT_EQ(tree.Depth(a), 1);
  EXPECT_EQ(Names(tree), "0top 1a 2a1 1b ");
}

TEST(CatalogTree, RemovesSubtreesAndRenumbersRows) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Named("top"));
  auto* a = tree.AddChild(top, Named("a"));
  auto* b = tree.AddChild(top, Named("b"));
  auto* c = tree.AddChild(top, Named("c"));
  tree.AddChild(a, Named("a1"));
  tree.Remove(a);
  EXPECT_EQ(tree.Size(), 3u);
  EXPECT_EQ(b->row, 0u);
  EXPECT_EQ(c->row, 1u);
  EXPECT_EQ(Names(tree), "0top 1b 1c ");
  // Freed nodes are reused.
  auto* d = tree.AddChild(top, Named("d"));
  EXPECT_EQ(d->row, 2u);
  tree.Remove(top);
  EXPECT_TRUE(tree.Empty());
  EXPECT_EQ(Names(tree), "");
}

TEST(CatalogTree, SortsEveryLevelStably) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Named("top"));
  auto* z = tree.AddChild(top, Named("z"));
  tree.AddChild(top, Named("m"));
  tree.AddChild(z, Named("q"));
  tree.AddChild(z, Named("b"));
  tree.SortAll([](const CatalogTree::Node* x, const CatalogTree::Node* y) {
    return x->Field(kFileName) < y->Field(kFileName);
  });
  EXPECT_EQ(Names(tree), "0top 1m 1z 2b 2q ");
  EXPECT_EQ(z->row, 1u);
  EXPECT_EQ(z->children[0]->row, 0u);
}

TEST(CatalogTree, MovesAppendsAndClears) {
  CatalogTree first;
  first.AddChild(nullptr, Named("one"));
  CatalogTree second;
  auto* two = second.AddChild(nullptr, Named("two"));
  second.AddChild(two, Named("child"));
  first.Append(std::move(second));
  EXPECT_TRUE(second.Empty());
  EXPECT_EQ(first.Size(), 3u);
  EXPECT_EQ(two->row, 1u);
  EXPECT_EQ(Names(first), "0one 0two 1child ");
  second.AddChild(nullptr, Named("again"));  // the emptied tree is usable
  EXPECT_EQ(Names(second), "0again ");

  CatalogTree moved = std::move(first);
  EXPECT_EQ(moved.Size(), 3u);
  EXPECT_TRUE(first.Empty());
  moved.Clear();
  EXPECT_TRUE(moved.Empty());
  moved.AddChild(nullptr, Named("new"));
  EXPECT_EQ(Names(moved), "0new ");
}

TEST(CatalogTree, HandlesVeryDeepNestingWithoutRecursion) {
  CatalogTree tree;
  CatalogTree::Node* node = nullptr;
  for (int i = 0; i < 200000; ++i) node = tree.AddChild(node, Named("d"));
  int deepest = 0;
  tree.ForEachPreOrder([&](const CatalogTree::Node*, int depth) { deepest = depth; });
  EXPECT_EQ(deepest, 199999);
  tree.SortAll([](const CatalogTree::Node*, const CatalogTree::Node*) { return false; });
  // Destruction frees all of it without recursing.
}

// Assigning over a tree that holds nodes frees its pool (a leak check fails otherwise).
TEST(CatalogTree, MoveAssignmentReleasesTheOldNodes) {
  CatalogTree target;
  for (int i = 0; i < 100; ++i) target.AddChild(nullptr);
  CatalogTree source;
  source.AddChild(source.AddChild(nullptr));
  target = std::move(source);
  EXPECT_EQ(target.Size(), 2u);
  EXPECT_EQ(target.Top()->children.size(), 1u);
  EXPECT_TRUE(source.Empty());
  source.AddChild(nullptr);  // the moved-from tree stays usable
  EXPECT_EQ(source.Size(), 1u);
  target = CatalogTree();
  EXPECT_TRUE(target.Empty());
}

}  // namespace
}  // namespace lumivor
