#include "sync/push/KXSyncPushProxy.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FileMeta.h"
#include "platform/GlobalQueue.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/pull/KXTopoNode.h"
#include "sync/pull/KXTopoSeqUtil.h"
#include "sync/push/KXMetaPusher.h"
#include "sync/push/KXObjectPusher.h"
#include "sync/push/KXSyncPushTagStep.h"

KXSyncPushProxy::KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate)
    : KXSyncPushProxy(std::move(delegate), KXSyncPushServices{}) {}

KXSyncPushProxy::KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate,
                                 KXSyncPushServices services,
                                 std::shared_ptr<KXSyncPushTagStep> tagStep)
    : services_(std::move(services)),
      tagStep_(std::move(tagStep)),
      delegate_(std::move(delegate)) {}

KXSyncPushProxy::~KXSyncPushProxy() = default;

std::shared_ptr<KXSyncPushProxyDelegate> KXSyncPushProxy::delegate() const {
  kx::MutexLock lock(mu_);
  return delegate_.lock();
}

bool KXSyncPushProxy::isCancelled() const {
  kx::MutexLock lock(mu_);
  return isCancelled_;
}

void KXSyncPushProxy::setIsCancelled(bool cancelled) {
  kx::MutexLock lock(mu_);
  isCancelled_ = cancelled;
}

KXSyncPushProxy::Lists KXSyncPushProxy::sortItems(const std::vector<Item>& items) {
  std::vector<std::unique_ptr<KXTopoNode>> nodes;
  std::map<std::string, KXTopoNode*> byId;
  for (std::size_t i = 0; i < items.size(); ++i) {
    nodes.push_back(std::make_unique<KXTopoNode>(std::any(i)));
    byId.emplace(items[i].fileId, nodes.back().get());
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto parent = byId.find(items[i].parentId);
    if (parent != byId.end() && parent->second != nodes[i].get()) {
      parent->second->addChild(nodes[i].get());
    }
  }
  std::vector<KXTopoNode*> list;
  for (auto& node : nodes) list.push_back(node.get());
  KXTopoSeq seq = KXTopoSeqUtil::topoSeqFrom(list);
  for (const std::any& payload : seq.cyclic) {
    const Item& item = items[std::any_cast<std::size_t>(payload)];
    KXLOG("push skips %s: its parents form a cycle", item.fileId.c_str());
  }
  Lists lists;
  for (const std::any& payload : seq.ordered) {
    const Item& item = items[std::any_cast<std::size_t>(payload)];
    if (item.removed && item.notebook) {
      lists.deleteNotebooks.push_back(item);
    } else if (item.removed) {
      lists.deleteNotesFiles.push_back(item);
    } else if (item.notebook) {
      lists.notebooks.push_back(item);
    } else {
      lists.notesFiles.push_back(item);
    }
  }
  std::reverse(lists.deleteNotebooks.begin(), lists.deleteNotebooks.end());
  return lists;
}

void KXSyncPushProxy::push() {
  {
    kx::MutexLock lock(mu_);
    if (phase_ != Phase::kIdle || isCancelled_) return;
    phase_ = Phase::kTags;
  }
  std::shared_ptr<KXSyncPushTagStep> tags = tagStep_ ? tagStep_ : KXSyncPushTagStep::installed();
  auto self = shared_from_this();
  tags->pushTags([self] {
    self->fetchUnPushedMeta();
    self->startPhase(Phase::kNotebooks);
  });
}

void KXSyncPushProxy::fetchUnPushedMeta() {
  KXLOG("fetchUnPushedMeta");
  KXSyncPushServices services = services_.resolved();
  KXDataClient& client = *services.client;
  std::vector<Item> items;
  KXFileMetaArray entries = client.reads().readForUnpushedFilemeta();
  client.reads().performSyncReadBlock([&] {
    for (const auto& entry : entries) {
      Item item;
      item.fileId = entry->fileId();
      item.parentId = entry->parentId();
      item.title = entry->title();
      item.notebook = entry->isKindOfEntity("Notebook");
      item.removed = entry->remoteRemoved();
      items.push_back(std::move(item));
    }
  });
  // An entry whose pulled body is still owed (its download failed) is held
  // back: pushing it now would put this machine's text over the service's
  // before the pull has kept the service's as a conflict copy. The pull
  // fetches it again, and a later push sends it.
  std::set<std::string> owed;
  for (const kx::Value& failed : client.records().fetchPullFailed()) {
    for (const kx::Value& id : {failed["entry"]["id"], failed["id"], failed["fileId"]}) {
      if (id.isString() && !id.string().empty()) owed.insert(id.string());
    }
  }
  if (!owed.empty()) {
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const Item& item) {
                                 if (item.removed || item.notebook || !owed.count(item.fileId)) {
                                   return false;
                                 }
                                 KXLOG("push holds %s back: its pulled body is still owed",
                                       item.fileId.c_str());
                                 return true;
                               }),
                items.end());
  }
  Lists lists = sortItems(items);
  KXLOG(
      "End fetch unpushed meta, deleted notes and files %ld, delete notebooks %ld, normal notes "
      "and files is %ld, normal notebooks %ld",
      static_cast<long>(lists.deleteNotesFiles.size()),
      static_cast<long>(lists.deleteNotebooks.size()), static_cast<long>(lists.notesFiles.size()),
      static_cast<long>(lists.notebooks.size()));
  kx::MutexLock lock(mu_);
  normalNotebookItems_.assign(lists.notebooks.begin(), lists.notebooks.end());
  deleteNoteAndFileItems_ = std::move(lists.deleteNotesFiles);
  normalNoteAndFileItems_ = std::move(lists.notesFiles);
  deleteNotebookItems_ = std::move(lists.deleteNotebooks);
}

namespace {

const char* phaseLog(int phase) {
  switch (phase) {
    case 2: return "1--pushNotebooks";
    case 4: return "2--deleteNotesFiles";
    case 5: return "3--pushNotesAndFiles";
    case 6: return "4--deleteNotebooks";
    default: return nullptr;
  }
}

}  // namespace

void KXSyncPushProxy::startPhase(Phase phase) {
  {
    kx::MutexLock lock(mu_);
    if (isCancelled_ || failing_ || reported_) return;
    phase_ = phase;
    phaseClosing_ = false;
    switch (phase) {
      case Phase::kNotebooks:
        phaseItems_ = std::move(normalNotebookItems_);
        normalNotebookItems_.clear();
        break;
      case Phase::kRepush:
        phaseItems_.assign(pushNotebookConflictArray_.begin(), pushNotebookConflictArray_.end());
        pushNotebookConflictArray_.clear();
        break;
      case Phase::kDeleteNotesFiles:
        phaseItems_.assign(deleteNoteAndFileItems_.begin(), deleteNoteAndFileItems_.end());
        deleteNoteAndFileItems_.clear();
        break;
      case Phase::kNotesFiles:
        phaseItems_.assign(normalNoteAndFileItems_.begin(), normalNoteAndFileItems_.end());
        normalNoteAndFileItems_.clear();
        break;
      case Phase::kDeleteNotebooks:
        phaseItems_.assign(deleteNotebookItems_.begin(), deleteNotebookItems_.end());
        deleteNotebookItems_.clear();
        break;
      default: break;
    }
  }
  if (const char* text = phaseLog(static_cast<int>(phase))) KXLOG("%s", text);
  fillWindow();
}

void KXSyncPushProxy::fillWindow() {
  {
    kx::MutexLock lock(mu_);
    if (filling_) {
      refill_ = true;
      return;
    }
    filling_ = true;
  }
  for (;;) {
    std::vector<std::pair<std::shared_ptr<KXObjectPusher>, Item>> toStart;
    {
      kx::MutexLock lock(mu_);
      refill_ = false;
      // Notebooks go one at a time: a parent is created before its children
      // and erased only after them, in the order the service receives.
      const std::size_t window = phase_ == Phase::kNotebooks || phase_ == Phase::kRepush ||
                                         phase_ == Phase::kDeleteNotebooks
                                     ? 1
                                     : kPhaseWindow;
      while (!isCancelled_ && !failing_ && pushers_.size() < window && !phaseItems_.empty()) {
        Item item = std::move(phaseItems_.front());
        phaseItems_.pop_front();
        auto pusher = KXObjectPusher::objectPusherWithMeta(item.fileId, services_);
        pushers_.push_back(pusher);
        toStart.emplace_back(std::move(pusher), std::move(item));
      }
      if (toStart.empty() && !refill_) {
        filling_ = false;
        break;
      }
    }
    for (auto& started : toStart) {
      const std::shared_ptr<KXObjectPusher>& pusher = started.first;
      const Item item = started.second;
      std::weak_ptr<KXSyncPushProxy> weak = weak_from_this();
      std::weak_ptr<KXObjectPusher> weakPusher = pusher;
      pusher->pushWithCallback([weak, weakPusher, item](const kx::Value&, const kx::Error& error) {
        auto self = weak.lock();
        if (self) self->pusherEnded(weakPusher.lock(), item, error);
      });
    }
  }
  maybeAdvance();
}

bool KXSyncPushProxy::isParkCode(const kx::Error& error) const {
  return error.domain() == KXMetaPusher::kErrorDomain &&
         std::find(std::begin(kParkCodes), std::end(kParkCodes), error.code()) !=
             std::end(kParkCodes);
}

void KXSyncPushProxy::pusherEnded(const std::shared_ptr<KXObjectPusher>& pusher, const Item& item,
                                  const kx::Error& error) {
  bool stopNow = false;
  bool saveLate = false;
  {
    kx::MutexLock lock(mu_);
    auto it = std::find(pushers_.begin(), pushers_.end(), pusher);
    if (it != pushers_.end()) pushers_.erase(it);
    // An answer stored after a cancel is saved by itself: no phase end
    // follows to save it.
    saveLate = isCancelled_ && !error;
    if (!isCancelled_ && !failing_) {
      const char* what = item.removed
                             ? (item.notebook ? "delete notebook" : "push delete note and file")
                             : (item.notebook ? "push notebook" : "push note and file");
      if (!error) {
        KXLOG("%s id %s, title %s, success %d", what, item.fileId.c_str(), item.title.c_str(), 1);
      } else if (phase_ == Phase::kNotebooks && isParkCode(error)) {
        KXLOG("push notebook ERROR: %s fileID=%s title=%s", error.localizedDescription().c_str(),
              item.fileId.c_str(), item.title.c_str());
        pushNotebookConflictArray_.push_back(item);
        KXLOG("%s id %s, title %s, success %d", what, item.fileId.c_str(), item.title.c_str(), 0);
      } else if (phase_ == Phase::kRepush && isParkCode(error)) {
        // Parked again: it keeps its marks for a later cycle.
        KXLOG("retry push notebook ERROR: %s fileID=%s title=%s",
              error.localizedDescription().c_str(), item.fileId.c_str(), item.title.c_str());
      } else if (KXMetaPusher::failsEntryOnly(error)) {
        KXLOG("%s ERROR: %s fileID=%s title=%s", what, error.localizedDescription().c_str(),
              item.fileId.c_str(), item.title.c_str());
        if (!entryFailure_) entryFailure_ = error;
      } else {
        KXLOG("%s ERROR: %s fileID=%s title=%s", what, error.localizedDescription().c_str(),
              item.fileId.c_str(), item.title.c_str());
        failing_ = true;
        pushFailure_ = error;
        stopNow = true;
      }
    }
  }
  if (saveLate) save([] {});
  if (stopNow) stopAll();
  fillWindow();
}

void KXSyncPushProxy::maybeAdvance() {
  Phase phase;
  bool end = false;
  {
    kx::MutexLock lock(mu_);
    if (filling_ || !pushers_.empty() || reported_) return;
    if (isCancelled_) return;
    if (failing_) {
      end = true;
    } else {
      if (!phaseItems_.empty() || phaseClosing_) return;
      if (phase_ == Phase::kIdle || phase_ == Phase::kTags || phase_ == Phase::kEnded) return;
      phaseClosing_ = true;
    }
    phase = phase_;
  }
  if (end) {
    endPush();
    return;
  }
  phaseDone(phase);
}

void KXSyncPushProxy::phaseDone(Phase phase) {
  auto self = shared_from_this();
  switch (phase) {
    case Phase::kNotebooks: {
      bool parked = false;
      {
        kx::MutexLock lock(mu_);
        parked = !pushNotebookConflictArray_.empty();
      }
      // The parked notebooks go once more, in order, before any child.
      if (parked) {
        startPhase(Phase::kRepush);
      } else {
        save([self] { self->startPhase(Phase::kDeleteNotesFiles); });
      }
      break;
    }
    case Phase::kRepush: save([self] { self->startPhase(Phase::kDeleteNotesFiles); }); break;
    case Phase::kDeleteNotesFiles: save([self] { self->startPhase(Phase::kNotesFiles); }); break;
    case Phase::kNotesFiles: save([self] { self->startPhase(Phase::kDeleteNotebooks); }); break;
    case Phase::kDeleteNotebooks:
      KXLOG("push success");
      save([self] { self->endPush(); });
      break;
    default: break;
  }
}

void KXSyncPushProxy::endPush() {
  kx::Error failure;
  {
    kx::MutexLock lock(mu_);
    if (reported_ || isCancelled_) return;
    reported_ = true;
    phase_ = Phase::kEnded;
    failure = failing_ ? pushFailure_ : entryFailure_;
    if (failing_ && !failure)
      failure = kx::Error(KXMetaPusher::kErrorDomain, KXMetaPusher::kErrorCode);
  }
  auto self = shared_from_this();
  if (failure) {
    KXLOG("push fail");
    save([self, failure] {
      if (auto d = self->delegate()) d->didPushFail(failure);
    });
    return;
  }
  if (auto d = delegate()) d->didPushSuccess();
}

void KXSyncPushProxy::save(std::function<void()> then) {
  KXSyncPushServices services = services_.resolved();
  if (!services.client->dataContext()) {
    then();
    return;
  }
  services.client->state().performSave([then](const KXResultInfo&, const kx::Error& error) {
    if (error) KXLOG("push save failed: %s", error.localizedDescription().c_str());
    // Off the write queue: the next phase reads and writes the store.
    kx::GlobalQueue::get().async(then);
  });
}

void KXSyncPushProxy::stopAll() {
  std::vector<std::shared_ptr<KXObjectPusher>> pushers;
  {
    kx::MutexLock lock(mu_);
    phaseItems_.clear();
    pushers = pushers_;
  }
  for (auto& pusher : pushers) pusher->stop();
}

void KXSyncPushProxy::clearEnvironment() {
  std::shared_ptr<KXSyncPushTagStep> tags;
  {
    kx::MutexLock lock(mu_);
    isCancelled_ = true;
    normalNotebookItems_.clear();
    pushNotebookConflictArray_.clear();
    deleteNoteAndFileItems_.clear();
    normalNoteAndFileItems_.clear();
    deleteNotebookItems_.clear();
    if (phase_ == Phase::kTags) tags = tagStep_ ? tagStep_ : KXSyncPushTagStep::installed();
  }
  if (tags) tags->clearEnvironment();
  stopAll();
}

void KXSyncPushProxy::changeNetWorkStatus(bool reachable) {
  if (!reachable) clearEnvironment();
}
