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
#include "BenchRatio.h"
#ifdef ZN_SYNC_BENCH_SERVICE
#include <atomic>

#include "account/KXNetworkOperation.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/Semaphore.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "support/TestUserEndpoints.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncNotificationNames.h"
#include "sync/cycle/KXSyncOperation.h"
#include "sync/cycle/KXSyncUserMeta.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"
#endif
#include "sync/pull/KXTopoNode.h"
#include "sync/pull/KXTopoSeqUtil.h"

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

#ifdef ZN_SYNC_BENCH_SERVICE
// One empty sync cycle (user meta with self info, nothing to pull or push,
// user meta again, the pull after the push with its one empty page) against
// the local test note service: wall time per cycle and the requests it sent
// (4: user meta twice, self info, one pull page).
class BenchUserEnvironment : public KXSyncUserMetaEnvironment {
 public:
  explicit BenchUserEnvironment(std::string base) : base_(std::move(base)) {}
  std::string serviceBaseURL() override { return base_; }
  std::string currentUser() override { return "u1"; }
  bool isLogin() override { return true; }
  void updateUserMeta(const kx::Dictionary&) override {}
  void setCurrentSessionVersion(const kx::Value&) override {}
  bool isFirstLoginDownloading() override { return false; }

 private:
  std::string base_;
};

// The store of the bench is level with the service at `version`; nothing
// fails, saves cost nothing.
class BenchPullEnvironment : public KXSyncPullEnvironment {
 public:
  BenchPullEnvironment(std::string base, std::int64_t version)
      : base_(std::move(base)), version_(version) {}
  std::string serviceBaseURL() override { return base_; }
  bool canConnect() override { return true; }
  std::int64_t baseVersion() override { return version_; }
  bool isFullPulling() override { return false; }
  void setCurrentSessionVersion(std::int64_t) override {}
  kx::Array fetchPullFailed() override { return {}; }
  void pullFailedFileId(const std::string&, const std::string&) override {}
  void deletePullFailedFileId(const std::string&) override {}
  void save(std::function<void()> done) override {
    if (done) done();
  }

 private:
  std::string base_;
  std::int64_t version_;
};

class BenchCycleEnvironment : public KXSyncCycleEnvironment {
 public:
  BenchCycleEnvironment(std::shared_ptr<KXSyncUserMetaEnvironment> user,
                        std::shared_ptr<KXSyncPullEnvironment> pull, std::int64_t version)
      : user_(std::move(user)), pull_(std::move(pull)), version_(version) {}
  bool canConnect() override { return true; }
  std::int64_t rootVersion() override { return version_; }
  std::int64_t dbStateInteger(const std::string&) override { return 10; }
  void setDbStateInteger(const std::string&, std::int64_t) override {}
  bool isFullPulling() override { return false; }
  void setIsFullPulling(bool) override {}
  std::shared_ptr<KXSyncUserMeta> makeUserMeta(std::weak_ptr<KXSyncUserMetaDelegate> d) override {
    auto puller = std::make_shared<KXSyncUserMeta>(user_);
    puller->setDelegate(std::move(d));
    return puller;
  }
  std::shared_ptr<KXSyncPullProxy> makePullProxy(
      std::weak_ptr<KXSyncPullProxyDelegate> d) override {
    return std::make_shared<KXSyncPullProxy>(std::move(d), pull_);
  }

 private:
  std::shared_ptr<KXSyncUserMetaEnvironment> user_;
  std::shared_ptr<KXSyncPullEnvironment> pull_;
  std::int64_t version_;
};

void BM_EmptySyncCycle(benchmark::State& state) {
  kxtest::TestNoteService service;
  if (!service.start(nullptr)) {
    state.SkipWithError("test note service did not start");
    return;
  }
  service.attach(KXNetworkOperation::sharedTransport());
  kxtest::TestUserEndpoints endpoints(service);
  kxtest::TestSyncEndpoints syncEndpoints(service);
  const std::int64_t version = syncEndpoints.rootVersion();
  endpoints.setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(version) + R"(,"tv":0})");
  endpoints.setSelfInfo(R"({"userId":"u1"})");
  auto env = std::make_shared<BenchCycleEnvironment>(
      std::make_shared<BenchUserEnvironment>(service.baseURL()),
      std::make_shared<BenchPullEnvironment>(service.baseURL(), version), version);
  kx::NotificationCenter center;
  std::atomic<int> ends{0};
  center.addObserver(kKXSyncEndNotification, nullptr, nullptr,
                     [&](const kx::Notification&) { ++ends; });
  kx::OperationQueue queue("bench.sync", 1);
  std::size_t cycles = 0;
  for (auto _ : state) {
    int before = ends.load();
    queue.addOperation(std::make_shared<KXSyncOperation>(env, &center));
    kx::MainQueue::shared().runUntil([&] { return ends.load() > before; }, 30);
    ++cycles;
  }
  service.waitForInFlight(0, 30);
  state.counters["requests_per_cycle"] =
      static_cast<double>(service.requests().size()) / static_cast<double>(cycles);
  queue.waitUntilAllOperationsAreFinished(30);
  service.stop();
}
BENCHMARK(BM_EmptySyncCycle)->Unit(benchmark::kMillisecond)->UseRealTime();

// The metadata pull of a first download: 200 notebooks and N notes (N + 201
// entries with the root, pages of 512) from the local test note service,
// collected, converted, ordered parents first and sorted; the applier does
// nothing (the store writes are measured with them). Baseline: the same
// page requests, sent one after the other with the same options and parsed
// the same way, and nothing else; the difference is what collecting,
// converting and ordering cost.
class NoApplier : public KXSyncPullApplier {
 public:
  KXSyncPullApplication apply(KXSyncPullBatch& batch) override {
    items = batch.itemCount();
    return {};
  }
  void addRoot(const kx::Dictionary&) override {}
  void updateRootVersion(std::int64_t) override {}
  std::size_t items = 0;
};

class PullDone : public KXSyncPullProxyDelegate {
 public:
  void didPullSuccess() override { done.signal(); }
  void didPullFail(const kx::Error&) override {
    failed = true;
    done.signal();
  }
  kx::Semaphore done;
  std::atomic<bool> failed{false};
};

class BenchPullWithApplier : public BenchPullEnvironment {
 public:
  BenchPullWithApplier(std::string base, std::shared_ptr<KXSyncPullApplier> applier)
      : BenchPullEnvironment(std::move(base), 0), applier_(std::move(applier)) {}
  std::shared_ptr<KXSyncPullApplier> applier() override { return applier_; }

 private:
  std::shared_ptr<KXSyncPullApplier> applier_;
};

struct PullService {
  explicit PullService(int notes) {
    ok = service.start(nullptr);
    if (!ok) return;
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<kxtest::TestSyncEndpoints>(service);
    for (int i = 0; i < 200; ++i) endpoints->putNotebook("NB" + std::to_string(i), "ROOT", "nb");
    for (int i = 0; i < notes; ++i) {
      endpoints->putNote("N" + std::to_string(i), "NB" + std::to_string(i % 200),
                         "note " + std::to_string(i) + ".note", "body");
    }
  }
  ~PullService() {
    endpoints.reset();
    service.stop();
  }
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> endpoints;
  bool ok = false;
};

void BM_MetadataPull(benchmark::State& state) {
  PullService fixture(static_cast<int>(state.range(0)));
  if (!fixture.ok) {
    state.SkipWithError("test note service did not start");
    return;
  }
  auto applier = std::make_shared<NoApplier>();
  auto environment = std::make_shared<BenchPullWithApplier>(fixture.service.baseURL(), applier);
  for (auto _ : state) {
    auto delegate = std::make_shared<PullDone>();
    auto proxy = std::make_shared<KXSyncPullProxy>(delegate, environment);
    proxy->pull();
    if (!delegate->done.wait(60) || delegate->failed) {
      state.SkipWithError("the pull did not succeed");
      break;
    }
  }
  state.counters["entries"] = static_cast<double>(applier->items);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(applier->items));
}
BENCHMARK(BM_MetadataPull)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MetadataPullPagesOnly(benchmark::State& state) {
  PullService fixture(static_cast<int>(state.range(0)));
  if (!fixture.ok) {
    state.SkipWithError("test note service did not start");
    return;
  }
  std::size_t entries = 0;
  for (auto _ : state) {
    std::string marker;
    entries = 0;
    for (;;) {
      KXNetworkOperationOptions options;
      options.set(kKXOptionURL, kx::Value(fixture.service.baseURL() + KXSyncPullProxy::kPullPath));
      options.set(kKXOptionParams,
                  kx::Value::dict({{"baseVersion", kx::Value(0)},
                                   {"lastId", kx::Value(marker)},
                                   {"limit", kx::Value(KXSyncPullProxy::kPageLimit)}}));
      options.set(kKXOptionDataType, kx::Value(kKXJSONDataType));
      auto operation = std::make_shared<KXNetworkOperation>();
      operation->setOption(std::move(options));
      kx::Error error;
      kx::Value page = operation->syncRequestWithError(&error);
      entries += page["values"].array().size();
      if (!page["truncated"].boolValue()) break;
      marker = page["truncatedMarker"].stringValue();
    }
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(entries));
}
BENCHMARK(BM_MetadataPullPagesOnly)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

// EmptySyncCycle has no baseline; it prints no ratio.
int main(int argc, char** argv) {
  znbench::MedianReporter reporter;
  if (int status = znbench::RunWithMedians(argc, argv, reporter)) return status;
  reporter.printRatio("Sync/TreeOrder/100000", "BM_TreeOrder/100000", "BM_SortByDepth/100000",
                      "ms");
  reporter.printRatio("Sync/MetadataPull/10000", "BM_MetadataPull/10000/real_time",
                      "BM_MetadataPullPagesOnly/10000/real_time", "ms");
  return 0;
}
