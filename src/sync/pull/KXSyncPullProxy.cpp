#include "sync/pull/KXSyncPullProxy.h"

#include <algorithm>
#include <any>
#include <atomic>
#include <map>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "account/KXNetworkOperation.h"
#include "sync/pull/KXTopoNode.h"
#include "sync/pull/KXTopoSeqUtil.h"

namespace {

bool isRemoved(const kx::Value& item) { return item["remoteRemoved"].intValue() == 1; }

}  // namespace

KXSyncPullProxy::KXSyncPullProxy(std::weak_ptr<KXSyncPullProxyDelegate> delegate,
                                 std::shared_ptr<KXSyncPullEnvironment> environment)
    : environment_(environment ? std::move(environment)
                               : std::make_shared<KXSyncPullEnvironment>()),
      delegate_(std::move(delegate)) {}

std::shared_ptr<KXSyncPullProxyDelegate> KXSyncPullProxy::delegate() const {
  kx::MutexLock lock(mu_);
  return delegate_.lock();
}

bool KXSyncPullProxy::isCurrent(std::uint64_t generation) const {
  kx::MutexLock lock(mu_);
  return generation == generation_ && !reported_;
}

void KXSyncPullProxy::pull() { begin("begin first pull"); }

void KXSyncPullProxy::pullAfterPush() { begin("begin second pull (after push)"); }

void KXSyncPullProxy::pullMyshares() {
  KXLOG("begin pull myshares");
  environment_->startMysharePull();
}

void KXSyncPullProxy::pullPen() { KXLOG("begin pull penNote"); }

void KXSyncPullProxy::begin(const char* logLine) {
  KXLOG("%s", logLine);
  std::uint64_t generation;
  std::vector<std::shared_ptr<KXSyncObjectPull>> stale;
  {
    kx::MutexLock lock(mu_);
    generation = ++generation_;
    reported_ = false;
    metaList_ = kx::Array();
    truncatedMarker_.clear();
    rootInfo_.reset();
    rootInfoTag_ = false;
    stale.swap(objectPullers_);
    pullersStarted_ = false;
  }
  for (auto it = stale.rbegin(); it != stale.rend(); ++it) (*it)->clearEnvironment();
  pullData(generation);
}

void KXSyncPullProxy::clearEnvironment() {
  std::vector<std::shared_ptr<KXSyncObjectPull>> pullers;
  {
    kx::MutexLock lock(mu_);
    ++generation_;
    metaList_ = kx::Array();
    rootInfo_.reset();
    rootInfoTag_ = false;
    pullers.swap(objectPullers_);
  }
  // Last started first: the downloads still queued go before the running
  // ones free their slots, so none of them starts on its way out.
  for (auto it = pullers.rbegin(); it != pullers.rend(); ++it) (*it)->clearEnvironment();
}

void KXSyncPullProxy::fail(std::uint64_t generation, const kx::Error& error) {
  std::shared_ptr<KXSyncPullProxyDelegate> d;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_ || reported_) return;
    reported_ = true;
    d = delegate_.lock();
  }
  if (d) d->didPullFail(error);
}

void KXSyncPullProxy::pullData(std::uint64_t generation) {
  if (!environment_->canConnect()) {
    KXLOG("network unreachable");
    fail(generation, kx::Error());
    return;
  }
  std::string marker;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
    rootInfo_.reset();
    rootInfoTag_ = false;
    marker = truncatedMarker_;
  }
  std::int64_t base = environment_->baseVersion();
  environment_->setCurrentSessionVersion(base);
  std::int64_t sent = environment_->isFullPulling() ? -1 : base;

  KXNetworkOperationOptions options;
  options.set(kKXOptionURL, kx::Value(environment_->serviceBaseURL() + kPullPath));
  options.set(kKXOptionParams, kx::Value::dict({{"baseVersion", kx::Value(sent)},
                                                {"lastId", kx::Value(marker)},
                                                {"limit", kx::Value(kPageLimit)}}));
  options.set(kKXOptionDataType, kx::Value(kKXJSONDataType));
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  // The operation is kept by its own block until it answers; the proxy only
  // weakly.
  auto keep = std::make_shared<std::shared_ptr<KXNetworkOperation>>(operation);
  std::weak_ptr<KXSyncPullProxy> weak = weak_from_this();
  operation->asyncNetworkOperationWithCallback([weak, keep, generation](const kx::Value& result,
                                                                        const kx::HTTPResponseHead&,
                                                                        const kx::Error& error) {
    keep->reset();
    std::shared_ptr<KXSyncPullProxy> self = weak.lock();
    if (!self || !self->isCurrent(generation)) return;
    if (!error.domain().empty() || !result.isDictionary()) {
      KXLOG("pull fileMeta failed: %s", error.localizedDescription().c_str());
      self->fail(generation, kx::Error(kErrorDomain, kErrorCode));
      return;
    }
    self->handlePage(generation, result);
  });
}

void KXSyncPullProxy::handlePage(std::uint64_t generation, const kx::Value& result) {
  const kx::Value* values = result.find("values");
  if (values == nullptr) {
    KXLOG("Pull all meta get unexpected result %s", result.stringValue().c_str());
    fail(generation, kx::Error());
    return;
  }
  const bool truncated = result["truncated"].boolValue();
  std::string next = result["truncatedMarker"].stringValue();
  bool stuck = false;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
    if (values->isArray()) {
      for (const kx::Value& entry : values->array()) metaList_.push_back(entry);
    }
    KXLOG("one page meta %ld    pull meta list total %ld",
          static_cast<long>(values->array().size()), static_cast<long>(metaList_.size()));
    if (truncated) {
      stuck = next.empty() || next == truncatedMarker_;
      if (!stuck) truncatedMarker_ = next;
    }
  }
  if (stuck) {
    // The same page again would never end.
    KXLOG("pull page truncated without a new marker (\"%s\"): the pull fails", next.c_str());
    fail(generation, kx::Error(kErrorDomain, kErrorCode));
    return;
  }
  if (truncated) {
    pullData(generation);
    return;
  }
  applyBatch(generation);
}

KXSyncPullBatch KXSyncPullProxy::sortMetalist(
    const kx::Array& metaList,
    const std::function<std::optional<kx::Dictionary>(const kx::Value&)>& convert) {
  KXSyncPullBatch batch;
  std::vector<std::string> order;  // file ids in input order
  for (const kx::Value& raw : metaList) {
    std::optional<kx::Dictionary> item = convert(raw);
    const kx::Value* id = item ? item->find("fileId") : nullptr;
    if (id == nullptr || !id->isString() || id->string().empty()) {
      ++batch.skipped;
      KXLOG("pulled entry without an entry or file id skipped");
      continue;
    }
    const std::string fileId = id->string();
    if (batch.idDict.contains(fileId)) continue;  // the first of a file id wins
    order.push_back(fileId);
    batch.idDict.set(fileId, kx::Value(std::move(*item)));
  }

  // Parents first. Entries whose parent ids loop inside the batch are not
  // left out (they would stay missing until the service touched them
  // again): every entry of a loop is cut from it and placed under the root
  // notebook (the store's applier keeps an existing one where it is); what
  // hangs below the loop follows. The pull records the cut entries as failed,
  // so that they are applied again from a later pull once the service has
  // repaired its tree.
  KXTopoSeq seq;
  for (;;) {
    std::vector<std::unique_ptr<KXTopoNode>> nodes;
    std::map<std::string, KXTopoNode*> byId;
    for (const std::string& fileId : order) {
      nodes.push_back(std::make_unique<KXTopoNode>(std::any(fileId)));
      byId[fileId] = nodes.back().get();
    }
    std::vector<KXTopoNode*> list;
    for (const auto& node : nodes) {
      list.push_back(node.get());
      const std::string& fileId = std::any_cast<const std::string&>(node->Obj);
      const std::string parentId = batch.idDict[fileId]["parentId"].stringValue();
      auto parent = byId.find(parentId);
      if (parent != byId.end()) parent->second->addChild(node.get());
    }
    seq = KXTopoSeqUtil::topoSeqFrom(list);
    if (seq.complete()) break;
    // Follow the parents of the first entry left over until one repeats:
    // from there on the walk is the loop.
    std::vector<std::string> walked;
    std::string at = std::any_cast<std::string>(seq.cyclic.front());
    while (std::find(walked.begin(), walked.end(), at) == walked.end()) {
      walked.push_back(at);
      at = batch.idDict[at]["parentId"].stringValue();
    }
    for (auto it = std::find(walked.begin(), walked.end(), at); it != walked.end(); ++it) {
      KXLOG("pulled entry %s lies on a parent cycle: placed under the root for now", it->c_str());
      batch.idDict.find(*it)->mutableDict().set("parentId", kx::Value(KXDataClient::kRootFileId));
      batch.cyclic.push_back(*it);
    }
  }

  for (const std::any& payload : seq.ordered) {
    const std::string& fileId = std::any_cast<const std::string&>(payload);
    kx::Value* item = batch.idDict.find(fileId);
    // Parents come first, so a parent's mark already holds what lies above it.
    const kx::Value* parent = batch.idDict.find((*item)["parentId"].stringValue());
    if (parent != nullptr && (*parent)["erased"].boolValue()) {
      item->mutableDict().set("erased", kx::Value(true));
    }
    const kx::Dictionary& dict = item->dict();
    const bool removed = isRemoved(*item);
    if ((*item)["dir"].boolValue()) {
      (removed ? batch.deleteNotebooks : batch.newAndModifyNotebooks).push_back(dict);
    } else if ((*item)["domain"].boolValue()) {
      (removed ? batch.deleteFiles : batch.newAndModifyFiles).push_back(dict);
    } else {
      (removed ? batch.deleteNotes : batch.newAndModifyNotes).push_back(dict);
    }
  }
  std::reverse(batch.deleteNotebooks.begin(), batch.deleteNotebooks.end());
  return batch;
}

std::string KXSyncPullProxy::entryJSON(const std::string& fileId) const {
  for (const kx::Value& raw : metaList_) {
    if (raw["entry"]["id"].stringValue() != fileId) continue;
    kx::Bytes json = JSONDataWithOptions(raw, JKSerializeOptionPretty, nullptr);
    return std::string(json.begin(), json.end());
  }
  return std::string();
}

void KXSyncPullProxy::applyBatch(std::uint64_t generation) {
  // Entries that failed before come after the fresh ones, so a fresh entry
  // of the same file id wins.
  kx::Array retried = environment_->fetchPullFailed();
  kx::Array metaList;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
    for (const kx::Value& entry : retried) metaList_.push_back(entry);
    metaList = metaList_;
  }
  KXSyncPullApplication application;
  if (!metaList.empty()) {
    std::shared_ptr<KXSyncPullApplier> applier = environment_->applier();
    if (!applier) {
      KXLOG("%ld pulled entries and nothing to apply them to the store",
            static_cast<long>(metaList.size()));
      fail(generation, kx::Error(kErrorDomain, kErrorCode));
      return;
    }
    KXSyncPullBatch batch =
        sortMetalist(metaList, [this](const kx::Value& raw) { return environment_->convert(raw); });
    {
      kx::MutexLock lock(mu_);
      if (generation != generation_) return;
      // Entries cut from a parent cycle are applied again by later pulls
      // until the service's tree holds them without one. A notebook offered
      // again that now fits its tree is done with (notes and files leave
      // the list when their bodies arrive).
      for (const std::string& fileId : batch.cyclic) {
        std::string json = entryJSON(fileId);
        if (!json.empty()) environment_->pullFailedFileId(fileId, json);
      }
      for (const kx::Value& entry : retried) {
        const std::string fileId = entry["entry"]["id"].stringValue();
        if (entry["entry"]["dir"].boolValue() &&
            std::find(batch.cyclic.begin(), batch.cyclic.end(), fileId) == batch.cyclic.end()) {
          environment_->deletePullFailedFileId(fileId);
        }
      }
    }
    application = applier->apply(batch);
    if (application.rootInfo && !application.rootInfoIsModify) {
      kx::Dictionary root = *application.rootInfo;
      for (const char* key : {"version", "del", "encrypted", "parentId", "remoteRemoved"}) {
        root.remove(key);
      }
      applier->addRoot(root);
      KXLOG("after pull,updateRootInfoWithoutVersion");
    }
  }
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) {
      for (const auto& puller : application.pullers) puller->clearEnvironment();
      return;
    }
    rootInfo_ = std::move(application.rootInfo);
    rootInfoTag_ = application.rootInfoIsModify;
    objectPullers_ = std::move(application.pullers);
    KXLOG("pullFileMetaDone, pull num %ld", static_cast<long>(objectPullers_.size()));
  }
  std::weak_ptr<KXSyncPullProxy> weak = weak_from_this();
  environment_->save([weak, generation] {
    std::shared_ptr<KXSyncPullProxy> self = weak.lock();
    if (!self || !self->isCurrent(generation)) return;
    if (auto d = self->delegate()) d->didPullFileMetaDone();
    self->startPullers(generation);
  });
}

void KXSyncPullProxy::startPullers(std::uint64_t generation) {
  std::vector<std::shared_ptr<KXSyncObjectPull>> pullers;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
    pullers = objectPullers_;
    pullersStarted_ = true;
  }
  std::weak_ptr<KXSyncPullProxy> weak = weak_from_this();
  for (const auto& puller : pullers) {
    std::weak_ptr<KXSyncObjectPull> weakPuller = puller;
    auto once = std::make_shared<std::atomic<bool>>(false);
    puller->pullWithCallback([weak, weakPuller, generation, once](const kx::Error& error) {
      if (once->exchange(true)) return;
      std::shared_ptr<KXSyncPullProxy> self = weak.lock();
      std::shared_ptr<KXSyncObjectPull> ended = weakPuller.lock();
      if (self && ended) self->pullerEnded(generation, ended, error);
    });
  }
  checkPullObjects(generation);
}

void KXSyncPullProxy::pullerEnded(std::uint64_t generation,
                                  const std::shared_ptr<KXSyncObjectPull>& puller,
                                  const kx::Error& error) {
  const std::string fileId = puller->fileId();
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_) return;
    auto it = std::find(objectPullers_.begin(), objectPullers_.end(), puller);
    if (it == objectPullers_.end()) return;
    objectPullers_.erase(it);
    if (!error.domain().empty()) {
      std::string json = entryJSON(fileId);
      KXLOG("object pull of %s failed: %s", fileId.c_str(), error.localizedDescription().c_str());
      if (!json.empty()) environment_->pullFailedFileId(fileId, json);
    } else {
      environment_->deletePullFailedFileId(fileId);
    }
  }
  checkPullObjects(generation);
}

void KXSyncPullProxy::checkPullObjects(std::uint64_t generation) {
  std::optional<kx::Dictionary> rootInfo;
  bool rootInfoTag;
  {
    kx::MutexLock lock(mu_);
    if (generation != generation_ || reported_ || !pullersStarted_ || !objectPullers_.empty()) {
      return;
    }
    reported_ = true;  // the end is decided; nothing else reports for this pull
    rootInfo = rootInfo_;
    rootInfoTag = rootInfoTag_;
  }
  if (rootInfo) {
    const kx::Value* fields = rootInfoTag ? rootInfo->find("fields") : nullptr;
    const kx::Value* version =
        rootInfoTag ? (fields ? fields->find("version") : nullptr) : rootInfo->find("version");
    if (version != nullptr && !version->isNull()) {
      if (std::shared_ptr<KXSyncPullApplier> applier = environment_->applier()) {
        applier->updateRootVersion(version->intValue());
      }
      environment_->setCurrentSessionVersion(version->intValue());
      KXLOG("update rootVersion:%s", version->stringValue().c_str());
    }
  }
  std::weak_ptr<KXSyncPullProxy> weak = weak_from_this();
  environment_->save([weak, generation] {
    std::shared_ptr<KXSyncPullProxy> self = weak.lock();
    if (!self) return;
    std::shared_ptr<KXSyncPullProxyDelegate> d;
    {
      kx::MutexLock lock(self->mu_);
      if (generation != self->generation_) return;
      d = self->delegate_.lock();
    }
    if (d) d->didPullSuccess();
  });
}
