#include "sync/cycle/KXSyncMyshare.h"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXMyshareHooks.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "platform/Path.h"
#include "platform/Semaphore.h"
#include "platform/Time.h"
#include "sync/cycle/KXSyncMyshareServiceFetcher.h"
#include "sync/cycle/KXSyncServiceCall.h"

namespace {

std::string StringFor(const kx::Dictionary& info, const char* key) {
  const kx::Value* value = info.find(key);
  return value && !value->isNull() ? value->stringValue() : std::string();
}

kx::Array IndexItem(const std::string& fileId, std::string content) {
  return {kx::Value::dict(
      {{"docContent", kx::Value(std::move(content))}, {"docID", kx::Value(fileId)}})};
}

// The index text of a shared document: the title (a note's without its
// extension), a blank and the text (a note's XML as plain text).
std::string DocumentContent(const std::string& title, bool isNote, const std::string& content) {
  std::string name = title;
  const std::string extension = kx::Path::pathExtension(title);
  if (isNote && !extension.empty()) name.resize(title.size() - extension.size() - 1);
  const std::string text = isNote ? NSStringDupTitle::plainText(content) : content;
  return name.empty() ? text : name + " " + text;
}

}  // namespace

KXSyncMyshare& KXSyncMyshare::defaultProxy() {
  static KXSyncMyshare* proxy = [] {
    auto* made = new KXSyncMyshare();
    made->setContentFetcher(std::make_shared<KXSyncMyshareServiceFetcher>());
    return made;
  }();
  return *proxy;
}

void KXSyncMyshare::installIndexHook() {
  KXMyshareHooks::install(
      [](const kx::Dictionary& fileInfo) { defaultProxy().indexForFileInfo(fileInfo); });
}

KXSyncMyshare::KXSyncMyshare(KXDataClient* client, std::string serviceBaseURL)
    : client_(client), serviceBaseURL_(std::move(serviceBaseURL)), queue_(kQueueLabel) {}

KXDataClient& KXSyncMyshare::client() {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

std::string KXSyncMyshare::baseURL() const {
  return serviceBaseURL_.empty() ? KXServiceBaseURL() : serviceBaseURL_;
}

std::string KXSyncMyshare::truncatedMarker() const {
  kx::MutexLock lock(mu_);
  return truncatedMarker_;
}

void KXSyncMyshare::startPull() {
  {
    kx::MutexLock lock(mu_);
    if (pullQueued_) return;  // the queued pull covers this request
    pullQueued_ = true;
  }
  queue_.async([this] {
    {
      kx::MutexLock lock(mu_);
      pullQueued_ = false;
    }
    pull();
  });
}

void KXSyncMyshare::pull() {
  KXDataClient& store = client();
  const kx::Value lastTime = store.state().dbStateValueWithKey(std::string(kLastTimeKey));
  for (int request = 0; request < kMaxRequests; ++request) {
    std::string cursor;
    {
      kx::MutexLock lock(mu_);
      cursor = truncatedMarker_;
      if (!runStartTime_) runStartTime_ = static_cast<std::int64_t>(kx::Time::nowSeconds());
    }
    kx::Dictionary params{{"lastId", kx::Value(cursor)}, {"limit", kx::Value(kPageLimit)}};
    if (!lastTime.isNull()) params.set("lastTime", kx::Value(lastTime.intValue()));
    KXNetworkOperationOptions options{
        {kKXOptionURL, kx::Value(baseURL() + kMysharePath + "?method=pull")},
        {kKXOptionParams, kx::Value(std::move(params))}};
    KXSyncServiceReply reply = KXSyncServiceCall(options, true);
    if (!reply.ok() || !reply.json.isDictionary() || !reply.json["values"].isArray()) {
      KXLOG("myshare page failed: %s", reply.error.localizedDescription().c_str());
      continue;  // asked again while the requests last
    }
    if (!applyPage(reply.json["values"].array())) return;
    const bool truncated = reply.json["truncated"].boolValue();
    std::optional<std::int64_t> finishedRun;
    {
      kx::MutexLock lock(mu_);
      if (truncated) {
        truncatedMarker_ = reply.json["truncatedMarker"].stringValue();
      } else {
        finishedRun = runStartTime_;
        truncatedMarker_.clear();
        runStartTime_.reset();
      }
    }
    if (!truncated) {
      // Every page of the run is in the store: later pulls start from here.
      auto done = std::make_shared<kx::Semaphore>();
      store.state().setDbStateValue(kx::Value(*finishedRun), std::string(kLastTimeKey));
      store.state().performSave([done](const KXResultInfo&, const kx::Error&) { done->signal(); });
      done->wait();
      return;
    }
  }
  KXLOG("myshare pull goes on at the next cycle");
}

bool KXSyncMyshare::applyPage(const kx::Array& values) {
  KXDataClient& store = client();
  kx::Array changes;
  kx::Array additions;
  std::vector<kx::Dictionary> items;
  for (const kx::Value& value : values) {
    std::optional<kx::Dictionary> item =
        KXNameDict::namesConvertFromRemoteToLocalForFileMeta(value);
    if (!item) continue;
    const std::string fileId = StringFor(*item, "fileId");
    if (fileId.empty()) continue;
    if (KXFileMetaPtr stored = store.reads().objectForFileMetaID(fileId)) {
      changes.push_back(
          kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, stored->objectID().toValue()},
                           {KXEntryWrites::kModifyFieldsKey, kx::Value(*item)}}));
    } else {
      kx::Dictionary added = *item;
      added.set("localModified", kx::Value(false));
      additions.push_back(kx::Value(std::move(added)));
    }
    items.push_back(std::move(*item));
  }
  auto done = std::make_shared<kx::Semaphore>();
  auto failed = std::make_shared<std::atomic<bool>>(false);
  auto note = [done, failed](const KXResultInfo&, const kx::Error& error) {
    if (error) {
      KXLOG("myshare page not stored: %s", error.localizedDescription().c_str());
      failed->store(true);
    }
    done->signal();
  };
  int waits = 0;
  if (!changes.empty()) {
    store.writes().modifyFileMetas(changes, note);
    ++waits;
  }
  if (!additions.empty()) {
    store.writes().addFileMetas(additions, false, note);
    ++waits;
  }
  store.state().performSave(note);
  ++waits;
  for (int i = 0; i < waits; ++i) done->wait();
  if (failed->load()) return false;
  for (const kx::Dictionary& item : items) indexForFileInfo(item);
  return true;
}

void KXSyncMyshare::setContentFetcher(std::shared_ptr<KXSyncMyshareContentFetcher> fetcher) {
  kx::MutexLock lock(mu_);
  fetcher_ = std::move(fetcher);
}

void KXSyncMyshare::indexForFileInfo(const kx::Dictionary& fileInfo) {
  const std::string fileId = StringFor(fileInfo, "fileId");
  if (fileId.empty()) {
    KXLOG("shared entry without a file id not indexed");
    return;
  }
  const std::string title = StringFor(fileInfo, "title");
  const kx::Value* domain = fileInfo.find("domain");
  if (domain && domain->boolValue() && kx::Path::pathExtension(title) != "md") {
    // A stored file other than Markdown: its title is all there is to find.
    client().indexing().indexNotes(IndexItem(fileId, title));
    return;
  }
  std::shared_ptr<KXSyncMyshareContentFetcher> fetcher;
  {
    kx::MutexLock lock(mu_);
    fetcher = fetcher_;
  }
  if (!fetcher) {
    KXLOG("shared entry %s left unindexed: its content cannot be fetched yet", fileId.c_str());
    return;
  }
  const kx::Value* version = fileInfo.find("version");
  KXDataClient* target = &client();
  const bool isNote = !(domain && domain->boolValue());
  fetcher->fetchContent(
      fileId, version ? *version : kx::Value(),
      [target, fileId, title, isNote](const std::optional<std::string>& content,
                                      const kx::Error& error) {
        if (!content) {
          KXLOG("shared entry %s left unindexed: %s", fileId.c_str(),
                error.localizedDescription().c_str());
          return;
        }
        target->indexing().indexNotes(IndexItem(fileId, DocumentContent(title, isNote, *content)));
      });
}
