#include "sync/cycle/KXSyncTagProxy.h"
#include "sync/cycle/KXSyncState.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/DataUtil/KXTagUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXDataContext.h"
#include "platform/Semaphore.h"
#include "sync/cycle/KXSyncServiceCall.h"
#include "sync/push/KXSyncPushTagStep.h"

namespace {

using TagList = std::vector<std::shared_ptr<Tag>>;

bool HasLocalMark(const Tag& tag) {
  return tag.isLocalCreated() || tag.isLocalModified() || tag.isLocalRemoved();
}

// Runs `start` with a store callback and waits until the callback ran.
void WaitForStore(const std::function<void(KXDataCallback)>& start) {
  auto done = std::make_shared<kx::Semaphore>();
  start([done](const KXResultInfo&, const kx::Error&) { done->signal(); });
  done->wait();
}

std::vector<KXObjectID> ObjectIDs(const TagList& tags) {
  std::vector<KXObjectID> ids;
  for (const auto& tag : tags) ids.push_back(tag->objectID());
  return ids;
}

// Deletes the rows: a live tag is first marked removed (and taken off the
// entries that carry it), then deleted.
void DeleteTagRows(KXDataClient& client, const TagList& tags) {
  if (tags.empty()) return;
  TagList live;
  for (const auto& tag : tags) {
    if (!tag->isLocalRemoved()) live.push_back(tag);
  }
  if (!live.empty()) client.writes().deleteTags(ObjectIDs(live), nullptr);
  WaitForStore(
      [&](KXDataCallback done) { client.writes().deleteTags(ObjectIDs(tags), std::move(done)); });
}

// What a sent tag was when its list was read.
struct SentTag {
  std::string tagId;
  std::string name;
  std::int64_t dateUpdated;
};

// Clears the local marks of the tags the service now holds as they were
// sent. A tag changed or removed here while the list was on its way (its
// name or change time differs) keeps its marks, so the next push sends the
// change instead of losing it.
void SettleSentTags(KXDataClient& client, const TagList& sent) {
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data || sent.empty()) return;
  std::vector<SentTag> tags;
  for (const auto& tag : sent) tags.push_back({tag->tagId(), tag->name(), tag->dateUpdated()});
  data->performWriteBlock([&client, tags](KXManagedObjectContext& context) {
    for (const SentTag& sentTag : tags) {
      std::shared_ptr<Tag> stored = client.readsIn(&context).objectForTagID(sentTag.tagId);
      if (!stored || stored->name() != sentTag.name ||
          stored->dateUpdated() != sentTag.dateUpdated || stored->isLocalRemoved()) {
        continue;
      }
      for (const char* flag : {"isLocalModified", "isLocalRemoved", "isLocalCreated"}) {
        kx::ignoreError(stored->setValue(flag, kx::Value(false)));
      }
    }
  });
  WaitForStore([&](KXDataCallback done) { client.state().performSave(std::move(done)); });
}

}  // namespace

KXSyncTagProxy& KXSyncTagProxy::defaultProxy() {
  static KXSyncTagProxy* proxy = new KXSyncTagProxy();
  return *proxy;
}

KXSyncTagProxy::KXSyncTagProxy(KXDataClient* client, std::string serviceBaseURL)
    : client_(client), serviceBaseURL_(std::move(serviceBaseURL)), queue_(kQueueLabel) {}

KXSyncTagProxy::~KXSyncTagProxy() = default;

KXDataClient& KXSyncTagProxy::client() {
  return client_ != nullptr ? *client_ : KXDataClient::defaultDataClient();
}

std::string KXSyncTagProxy::baseURL() const {
  return serviceBaseURL_.empty() ? KXServiceBaseURL() : serviceBaseURL_;
}

void KXSyncTagProxy::pullTags() {
  queue_.async([this] { runPull(); });
}

void KXSyncTagProxy::pushTags(PushCompletion completion) {
  queue_.async([this, completion = std::move(completion)] { runPush(completion); });
}

void KXSyncTagProxy::runPull() {
  KXNetworkOperationOptions options{{kKXOptionURL, kx::Value(baseURL() + kTagPath + "?method=get")},
                                    {kKXOptionDataType, kx::Value(kKXJSONDataType)},
                                    {kKXOptionMethod, kx::Value("GET")},
                                    {kKXOptionParams, kx::Value(kx::Dictionary())}};
  KXSyncServiceReply reply = KXSyncServiceCall(options, true);
  if (!reply.ok() || !reply.json.isDictionary()) {
    KXLOG("tag pull failed: %s", reply.error.localizedDescription().c_str());
    return;
  }
  const std::int64_t version = reply.json["v"].intValue();
  std::vector<kx::Dictionary> remote;
  std::set<std::string> remoteIds;
  if (reply.json["tags"].isArray()) {
    for (const kx::Value& tag : reply.json["tags"].array()) {
      std::optional<kx::Dictionary> mapped =
          KXNameDict::namesConvertFromRemoteToLocal(tag, KXNameDict::kTagNamespace);
      if (!mapped || mapped->operator[]("tagId").stringValue().empty()) continue;
      remoteIds.insert((*mapped)["tagId"].stringValue());
      remote.push_back(std::move(*mapped));
    }
  }

  KXDataClient& store = client();
  kx::Error error;
  std::optional<TagList> local = store.tags().readTagSyncForCondition(
      kx::Dictionary{{kKXQueryConditionKey, kx::Value("tagId != nil")}}, &error);
  if (!local) {
    KXLOG("tag pull: local tags unreadable: %s", error.localizedDescription().c_str());
    return;
  }
  // Tags changed here keep their change until the push has sent it.
  std::set<std::string> marked;
  TagList gone;
  for (const auto& tag : *local) {
    if (HasLocalMark(*tag)) {
      marked.insert(tag->tagId());
    } else if (!remoteIds.contains(tag->tagId())) {
      gone.push_back(tag);
    }
  }
  DeleteTagRows(store, gone);
  for (const kx::Dictionary& tag : remote) {
    if (marked.contains(tag["tagId"].stringValue())) continue;
    store.tags().createOrUpdateTag(tag);
  }
  WaitForStore([&](KXDataCallback done) {
    store.state().setDbTagVersion(kx::Value(version), std::move(done));
  });
}

void KXSyncTagProxy::runPush(const PushCompletion& completion) {
  auto finish = [&](std::int64_t version, const kx::Error& error) {
    if (completion) completion(version, error);
  };
  KXDataClient& store = client();
  WaitForStore([&](KXDataCallback done) { store.state().performSave(std::move(done)); });
  kx::Error error;
  std::optional<TagList> tags = store.tags().readTagSyncForCondition(kx::Dictionary(), &error);
  if (!tags) {
    finish(-1, error);
    return;
  }
  TagList toDelete;
  TagList toSend;
  bool changed = false;
  for (const auto& tag : *tags) {
    if (tag->isLocalRemoved() || tag->tagId().empty()) {
      toDelete.push_back(tag);
      changed = true;
    } else {
      toSend.push_back(tag);
      if (tag->isLocalModified() || tag->isLocalCreated()) changed = true;
    }
  }
  if (!changed) {
    finish(-1, kx::Error());
    return;
  }
  kx::Array list;
  for (const auto& tag : toSend) {
    std::optional<kx::Dictionary> remote = KXNameDict::namesConvertFromLocalToRemote(
        kx::Value(KXTagUtil::dictOfTag(tag)), KXNameDict::kTagNamespace);
    list.push_back(kx::Value(remote.value_or(kx::Dictionary())));
  }
  kx::Error encodeError;
  kx::Bytes json =
      JSONDataWithOptions(kx::Value(std::move(list)), JKSerializeOptionPretty, &encodeError);
  if (encodeError) {
    finish(-1, encodeError);
    return;
  }
  KXNetworkOperationOptions options{{kKXOptionURL, kx::Value(baseURL() + kTagPath + "?method=set")},
                                    {kKXOptionDataType, kx::Value(kKXJSONDataType)},
                                    {kKXOptionMultipartData, kx::Value(std::move(json))},
                                    {kKXOptionName, kx::Value("tags")},
                                    {kKXOptionContentType, kx::Value("application/octet-stream")},
                                    {kKXOptionMethod, kx::Value("POST")}};
  KXSyncServiceReply reply = KXSyncServiceCall(options, true);
  if (reply.ok() && (!reply.json.isDictionary() || !reply.json["v"].isNumber())) {
    reply.error = KXSyncAnswerError("tag push answer without \"v\"");
  }
  if (!reply.ok()) {
    KXLOG("tag push failed: %s", reply.error.localizedDescription().c_str());
    finish(-1, reply.error);
    return;
  }
  SettleSentTags(store, toSend);
  // The removals have reached the service only now.
  DeleteTagRows(store, toDelete);
  const std::int64_t version = reply.json["v"].intValue();
  WaitForStore([&](KXDataCallback done) {
    store.state().setDbTagVersion(kx::Value(version), std::move(done));
  });
  KXSyncState::shared().setCurrentSessionVersion(kx::Value(version));
  finish(version, kx::Error());
}

namespace {

// The push's tag step: the shared proxy's tag push, whatever its outcome.
class TagProxyPushStep : public KXSyncPushTagStep {
 public:
  void pushTags(std::function<void()> done) override {
    KXSyncTagProxy::defaultProxy().pushTags(
        [done = std::move(done)](std::int64_t, const kx::Error&) {
          if (done) done();
        });
  }
};

}  // namespace

void KXSyncTagProxy::installPushStep() {
  KXSyncPushTagStep::install(std::make_shared<TagProxyPushStep>());
}

bool KXSyncTagProxy::isPushStepInstalled() {
  return dynamic_cast<TagProxyPushStep*>(KXSyncPushTagStep::installed().get()) != nullptr;
}
