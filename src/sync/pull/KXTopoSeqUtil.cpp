#include "sync/pull/KXTopoSeqUtil.h"

#include <cstddef>

#include "CommonUtils/KXLogger.h"

KXTopoSeq KXTopoSeqUtil::topoSeqFrom(const std::vector<KXTopoNode*>& nodes) {
  KXTopoSeq seq;
  seq.ordered.reserve(nodes.size());

  // The ready nodes, in the order they became ready; `next` is the first one
  // not yet emitted.
  std::vector<KXTopoNode*> ready;
  ready.reserve(nodes.size());
  for (KXTopoNode* node : nodes) {
    if (node != nullptr && node->parentNum < 1 && !node->seen_) {
      node->seen_ = true;
      ready.push_back(node);
    }
  }
  for (std::size_t next = 0; next < ready.size(); ++next) {
    KXTopoNode* node = ready[next];
    for (KXTopoNode* child : node->children) {
      if (child == nullptr) continue;
      --child->parentNum;
      if (child->parentNum < 1 && !child->seen_) {
        child->seen_ = true;
        ready.push_back(child);
      }
    }
    seq.ordered.push_back(node->Obj);
  }

  // Everything not emitted is on a cycle or below one. Listed nodes first, in
  // input order, then the unlisted nodes below them.
  std::vector<KXTopoNode*> left;
  for (KXTopoNode* node : nodes) {
    if (node != nullptr && !node->seen_) {
      node->seen_ = true;
      left.push_back(node);
    }
  }
  for (std::size_t i = 0; i < left.size(); ++i) {
    for (KXTopoNode* child : left[i]->children) {
      if (child != nullptr && !child->seen_) {
        child->seen_ = true;
        left.push_back(child);
      }
    }
  }
  if (!left.empty()) {
    KXLOG("tree order: %zu of %zu entries lie on a parent cycle or below one and are left out",
          left.size(), left.size() + seq.ordered.size());
    seq.cyclic.reserve(left.size());
    for (KXTopoNode* node : left) seq.cyclic.push_back(node->Obj);
  }

  // Leave the nodes as a fresh ordering would find them, except parentNum.
  for (KXTopoNode* node : ready) node->seen_ = false;
  for (KXTopoNode* node : left) node->seen_ = false;
  return seq;
}
