// KXTopoSeqUtil puts a batch of entries in parent-before-child order, so that
// a notebook is created before what lies in it (reverse the order to remove
// children first).
//
// topoSeqFrom is Kahn's ordering over the nodes (see KXTopoNode), linear in
// the number of nodes and links, with no limit on the batch's size. Ready
// nodes are taken first in, first out, starting from the roots in input
// order, so the order of siblings follows the order they became ready.
//
// Nodes that never become ready sit on a cycle of parent ids inside the batch
// or below such a cycle. They are never put in the order; they are returned
// in `cyclic` (input order, then the nodes below them that were not listed)
// and logged, and the caller must decide what to do with them.
//
// Thread safety: topoSeqFrom is a pure function of its nodes; the nodes of
// one call must not be used by another thread meanwhile.
#ifndef ZN_SYNC_KXTOPOSEQUTIL_H_
#define ZN_SYNC_KXTOPOSEQUTIL_H_

#include <any>
#include <vector>

#include "sync/pull/KXTopoNode.h"

// The outcome of one ordering.
struct KXTopoSeq {
  // Payloads in parent-before-child order.
  std::vector<std::any> ordered;
  // Payloads of the nodes on a parent cycle or below one; empty when the
  // whole batch was ordered.
  std::vector<std::any> cyclic;

  bool complete() const { return cyclic.empty(); }
};

class KXTopoSeqUtil {
 public:
  KXTopoSeqUtil() = delete;

  // Orders the nodes' payloads. Consumes the nodes' parentNum; a node listed
  // twice is emitted once.
  static KXTopoSeq topoSeqFrom(const std::vector<KXTopoNode*>& nodes);
};

#endif  // ZN_SYNC_KXTOPOSEQUTIL_H_
