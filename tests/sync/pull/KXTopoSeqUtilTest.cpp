#include "sync/pull/KXTopoSeqUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sync/pull/KXTopoNode.h"

namespace {

struct Entry {
  std::string id;
  std::string parentId;
};

// Nodes for a batch of entries, linked by parent id the way the sync classes
// link them. `nodes` repeats a node when the batch lists its entry twice.
struct Batch {
  std::deque<KXTopoNode> storage;
  std::vector<KXTopoNode*> nodes;
  std::unordered_map<std::string, std::string> parentOf;

  explicit Batch(const std::vector<Entry>& entries) {
    std::unordered_map<std::string, KXTopoNode*> byId;
    for (const Entry& entry : entries) {
      auto found = byId.find(entry.id);
      if (found != byId.end()) {
        nodes.push_back(found->second);
        continue;
      }
      KXTopoNode& node = storage.emplace_back(std::any(entry.id));
      byId[entry.id] = &node;
      nodes.push_back(&node);
      parentOf[entry.id] = entry.parentId;
    }
    for (const auto& [id, parentId] : parentOf) {
      auto parent = byId.find(parentId);
      if (parent != byId.end()) parent->second->addChild(byId[id]);
    }
  }
};

std::vector<std::string> ids(const std::vector<std::any>& payloads) {
  std::vector<std::string> out;
  for (const std::any& payload : payloads) out.push_back(std::any_cast<std::string>(payload));
  return out;
}

// Every entry comes after its parent when the parent was ordered too, and no
// entry comes twice.
void expectParentsFirst(const Batch& batch, const std::vector<std::string>& order) {
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_TRUE(position.emplace(order[i], i).second) << order[i] << " emitted twice";
  }
  for (const std::string& id : order) {
    auto parent = position.find(batch.parentOf.at(id));
    if (parent != position.end()) {
      EXPECT_LT(parent->second, position[id]) << id << " before its parent";
    }
  }
}

struct TreeCase {
  const char* name;
  std::vector<Entry> entries;
  std::set<std::string> expectedCyclic;
};

TEST(KXTopoSeqUtilTest, OrdersTableOfTrees) {
  const std::vector<TreeCase> cases = {
      {"empty", {}, {}},
      {"single root", {{"r", "0"}}, {}},
      {"all parents outside the batch", {{"a", "x"}, {"b", "y"}, {"c", "0"}}, {}},
      {"children listed before parents",
       {{"c", "b"}, {"b", "a"}, {"a", "r"}, {"r", "0"}, {"d", "r"}},
       {}},
      {"two trees and an orphan",
       {{"n1", "0"}, {"n2", "n1"}, {"n3", "n1"}, {"m1", "1"}, {"m2", "m1"}, {"o", "gone"}},
       {}},
      {"self parent", {{"s", "s"}, {"r", "0"}}, {"s"}},
      {"two nodes each other's parent", {{"a", "b"}, {"b", "a"}}, {"a", "b"}},
      {"cycle beside a tree", {{"a", "b"}, {"b", "a"}, {"r", "0"}, {"k", "r"}}, {"a", "b"}},
      {"below a cycle, listed first",
       {{"x", "c1"}, {"y", "x"}, {"c1", "c2"}, {"c2", "c3"}, {"c3", "c1"}, {"r", "0"}},
       {"x", "y", "c1", "c2", "c3"}},
      {"entry listed twice", {{"r", "0"}, {"a", "r"}, {"r", "0"}, {"a", "r"}}, {}},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Batch batch(c.entries);
    KXTopoSeq seq = KXTopoSeqUtil::topoSeqFrom(batch.nodes);
    std::vector<std::string> order = ids(seq.ordered);
    std::vector<std::string> cyclic = ids(seq.cyclic);
    expectParentsFirst(batch, order);
    EXPECT_EQ(std::set<std::string>(cyclic.begin(), cyclic.end()), c.expectedCyclic);
    EXPECT_EQ(cyclic.size(), c.expectedCyclic.size()) << "an entry reported twice";
    EXPECT_EQ(seq.complete(), c.expectedCyclic.empty());
    // Nothing is dropped: every distinct entry is either ordered or reported.
    EXPECT_EQ(order.size() + cyclic.size(), batch.parentOf.size());
  }
}

TEST(KXTopoSeqUtilTest, ChainComesRootFirstAndReversesForRemoval) {
  Batch batch({{"b", "a"}, {"a", "root"}, {"root", "0"}});
  std::vector<std::string> order = ids(KXTopoSeqUtil::topoSeqFrom(batch.nodes).ordered);
  EXPECT_EQ(order, (std::vector<std::string>{"root", "a", "b"}));
  std::reverse(order.begin(), order.end());
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "root"}));
}

TEST(KXTopoSeqUtilTest, OrdersLargeBatchesWithoutALimit) {
  constexpr int kCount = 100000;
  // A chain deeper than any round limit, and a random tree listed shuffled.
  std::vector<Entry> chain;
  for (int i = 0; i < kCount; ++i) {
    chain.push_back({"c" + std::to_string(i), i == 0 ? "0" : "c" + std::to_string(i - 1)});
  }
  std::mt19937 random(26);
  std::vector<Entry> tree;
  for (int i = 0; i < kCount; ++i) {
    std::string parent = i == 0 ? "0" : "t" + std::to_string(random() % i);
    tree.push_back({"t" + std::to_string(i), parent});
  }
  std::shuffle(tree.begin(), tree.end(), random);
  for (const auto* entries : {&chain, &tree}) {
    Batch batch(*entries);
    KXTopoSeq seq = KXTopoSeqUtil::topoSeqFrom(batch.nodes);
    ASSERT_TRUE(seq.complete());
    ASSERT_EQ(seq.ordered.size(), static_cast<std::size_t>(kCount));
    expectParentsFirst(batch, ids(seq.ordered));
  }
}

TEST(KXTopoSeqUtilTest, ReportsEverythingBelowACycleEvenWhenNotListed) {
  // The caller linked a child it did not list: it still is not lost.
  KXTopoNode a(std::any(std::string("a"))), b(std::any(std::string("b"))),
      below(std::any(std::string("below")));
  a.addChild(&b);
  b.addChild(&a);
  b.addChild(&below);
  KXTopoSeq seq = KXTopoSeqUtil::topoSeqFrom({&a, &b});
  EXPECT_TRUE(seq.ordered.empty());
  EXPECT_EQ(ids(seq.cyclic), (std::vector<std::string>{"a", "b", "below"}));
}

}  // namespace
