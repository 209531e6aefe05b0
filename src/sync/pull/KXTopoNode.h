// KXTopoNode is one entry of a batch that is to be put in parent-before-child
// order by KXTopoSeqUtil. The caller makes one node per entry, links each
// node to the node of its parent when that parent is in the same batch
// (addChild), and hands the list of nodes to KXTopoSeqUtil::topoSeqFrom.
// A node whose parent is not in the batch keeps parentNum 0: it is a root of
// the batch.
//
// Nodes do not own each other: `children` points at nodes that the caller
// keeps alive for as long as the ordering runs (typically the same list that
// is handed to topoSeqFrom). Ordering consumes parentNum.
//
// Thread safety: none; a batch of nodes belongs to one thread.
#ifndef ZN_SYNC_KXTOPONODE_H_
#define ZN_SYNC_KXTOPONODE_H_

#include <any>
#include <cstdint>
#include <vector>

class KXTopoNode {
 public:
  KXTopoNode() = default;
  explicit KXTopoNode(std::any obj) : Obj(std::move(obj)) {}
  KXTopoNode(const KXTopoNode&) = delete;
  KXTopoNode& operator=(const KXTopoNode&) = delete;

  // Makes `child` a child of this node: appends it to children and sets its
  // parentNum to 1 (an entry has one parent).
  void addChild(KXTopoNode* child) {
    children.push_back(child);
    child->parentNum = 1;
  }

  // The payload: a pulled entry's dictionary, a stored entry, ...
  std::any Obj;
  // Parents of this node inside the batch that are not yet emitted.
  std::int64_t parentNum = 0;
  // The nodes whose parent is this node, in the order they were linked.
  std::vector<KXTopoNode*> children;

 private:
  friend class KXTopoSeqUtil;
  // Set by the ordering once the node is ready (or reported), so that a node
  // listed or linked twice is handled once.
  bool seen_ = false;
};

#endif  // ZN_SYNC_KXTOPONODE_H_
