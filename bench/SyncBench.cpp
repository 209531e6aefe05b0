// Sync engine benchmarks.
//
// Tree order: 100,000 entries with random parents (each parent an earlier
// entry, listed shuffled), ordered parent-before-child by KXTopoSeqUtil
// against a plain std::sort of the same entries by their depth. Both start
// from the same (id, parent id) list and include finding each entry's parent
// by id: the tree order links nodes, the sort computes depths.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchRandom.h"
#include "sync/KXTopoNode.h"
#include "sync/KXTopoSeqUtil.h"

namespace {

struct Entry {
  std::string id;
  std::string parentId;
};

const std::vector<Entry>& entries(std::size_t count) {
  static std::vector<Entry> list = [count] {
    BenchRandom random(26);
    std::vector<Entry> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back({"entry-" + std::to_string(i),
                     i == 0 ? std::string("0") : "entry-" + std::to_string(random.below(i))});
    }
    for (std::size_t i = count - 1; i > 0; --i) std::swap(out[i], out[random.below(i + 1)]);
    return out;
  }();
  return list;
}

void BM_TreeOrder(benchmark::State& state) {
  const std::vector<Entry>& list = entries(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::unique_ptr<KXTopoNode[]> storage(new KXTopoNode[list.size()]);
    std::vector<KXTopoNode*> nodes;
    nodes.reserve(list.size());
    std::unordered_map<std::string_view, KXTopoNode*> byId;
    byId.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      KXTopoNode& node = storage[i];
      node.Obj = &list[i];
      nodes.push_back(&node);
      byId.emplace(list[i].id, &node);
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      auto parent = byId.find(list[i].parentId);
      if (parent != byId.end()) parent->second->addChild(nodes[i]);
    }
    KXTopoSeq seq = KXTopoSeqUtil::topoSeqFrom(nodes);
    benchmark::DoNotOptimize(seq.ordered.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TreeOrder)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SortByDepth(benchmark::State& state) {
  const std::vector<Entry>& list = entries(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::unordered_map<std::string_view, std::size_t> byId;
    byId.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) byId.emplace(list[i].id, i);
    std::vector<std::int64_t> parent(list.size(), -1);
    for (std::size_t i = 0; i < list.size(); ++i) {
      auto found = byId.find(list[i].parentId);
      if (found != byId.end()) parent[i] = static_cast<std::int64_t>(found->second);
    }
    // Depths by walking up to the first entry whose depth is known.
    std::vector<std::int64_t> depth(list.size(), -1);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::size_t at = i;
      while (depth[at] < 0 && parent[at] >= 0) {
        path.push_back(at);
        at = static_cast<std::size_t>(parent[at]);
      }
      std::int64_t d = depth[at] < 0 ? (depth[at] = 0) : depth[at];
      while (!path.empty()) {
        depth[path.back()] = ++d;
        path.pop_back();
      }
    }
    std::vector<const Entry*> order;
    order.reserve(list.size());
    for (const Entry& entry : list) order.push_back(&entry);
    std::sort(order.begin(), order.end(), [&](const Entry* a, const Entry* b) {
      return depth[static_cast<std::size_t>(a - list.data())] <
             depth[static_cast<std::size_t>(b - list.data())];
    });
    benchmark::DoNotOptimize(order.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortByDepth)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
