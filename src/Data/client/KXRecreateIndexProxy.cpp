#include "Data/client/KXRecreateIndexProxy.h"

#include <memory>
#include <optional>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXMyshareHooks.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/DbState.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/QueueCheck.h"
#include "search/KXSIndexProxy.h"

namespace {

// The keys of a shared entry's hand-off, in the order they are given.
const char* const kSharedInfoKeys[] = {"fileId", "title", "domain", "version"};

kx::Dictionary FileMetaQuery(const std::string& condition) {
  kx::Dictionary query{{kKXQueryEntityKey, kx::Value("FileMeta")},
                       {kKXQueryConditionKey, kx::Value(condition)}};
  query.set(kKXQueryArgumentsKey,
            kx::Value(kx::Array{kx::Value(KXRecreateIndexProxy::kMarkdownSuffix)}));
  return query;
}

}  // namespace

KXRecreateIndexProxy& KXRecreateIndexProxy::defaultProxy() {
  static KXRecreateIndexProxy* proxy =
      new KXRecreateIndexProxy(KXDataClient::defaultDataClient(), KXFileManager::defaultManauger());
  return *proxy;
}

KXRecreateIndexProxy::KXRecreateIndexProxy(KXDataClient& client, KXFileManager& files)
    : client_(client), files_(files) {}

KXRecreateIndexProxy::~KXRecreateIndexProxy() {
  // A run's selections may still wait on the write queue; once they have
  // run, the steps they queued run as indexQueue_ goes.
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (data && !data->isOnWriteQueue()) data->performSyncWriteBlock([](KXManagedObjectContext&) {});
}

bool KXRecreateIndexProxy::isNeedRecreateIndex() {
  if (!client_.state().dbStateValueWithKey(kRecreateIndexDoneKey).boolValue()) return true;
  const kx::Value analysis = client_.state().dbStateValueWithKey(kRecreateIndexAnalysisVersionKey);
  return analysis.isNull() || analysis.intValue() < KXSIndexProxy::kAnalysisVersion;
}

void KXRecreateIndexProxy::startRecreateIndex() {
  if (!isNeedRecreateIndex()) return;
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  std::weak_ptr<KXDataContext> weak = data;
  // Entries indexed since the last save carry hasIndex only in the write
  // context; the selections read saved rows, so save first.
  client_.state().performSave([this, weak](const KXResultInfo&, const kx::Error&) {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return;
    KX_DCHECK_ON_QUEUE(data->dbQueue(), "the selections run on the write queue, in its context");
    std::shared_ptr<KXManagedObjectContext> context = data->writeContext();
    if (context) runSelections(*context);
  });
}

void KXRecreateIndexProxy::runSelections(KXManagedObjectContext& context) {
  if (!resetFlagsForOlderAnalysis(context)) return;

  kx::Error ownError;
  kx::Error sharedError;
  std::optional<std::vector<KXManagedObjectPtr>> own = client_.reads().readFileMetasSyncForQuery(
      kOwnEntriesCondition, {kx::Value(kMarkdownSuffix)}, "FileMeta", &ownError);
  std::optional<std::vector<KXManagedObjectPtr>> shared = client_.reads().readFileMetasSyncForQuery(
      kSharedEntriesCondition, {kx::Value(kMarkdownSuffix)}, "FileMeta", &sharedError);
  if (!own) {
    KXLOG("index rebuild: own entries not read: %s", ownError.localizedDescription().c_str());
  }
  if (!shared) {
    KXLOG("index rebuild: shared entries not read: %s", sharedError.localizedDescription().c_str());
  }
  if (own && shared && own->empty() && shared->empty()) {
    setStateValue(context, kRecreateIndexDoneKey, kx::Value(true));
    client_.state().performSave(nullptr, &context);
    return;
  }
  if (!own && !shared) return;

  // Plain values are handed over, not the read context's objects.
  std::vector<OwnEntry> ownEntries;
  if (own) {
    for (const KXManagedObjectPtr& entry : *own) {
      // A missing title reads as "": the entry is indexed by its text alone.
      ownEntries.push_back({entry->stringValue("fileId"), entry->stringValue("title")});
    }
  }
  std::vector<kx::Dictionary> sharedEntries;
  if (shared) {
    for (const KXManagedObjectPtr& entry : *shared) {
      kx::Dictionary info;
      for (const char* key : kSharedInfoKeys) {
        kx::Value value = entry->value(key);
        if (value.isNull()) break;
        info.set(key, std::move(value));
      }
      sharedEntries.push_back(std::move(info));
    }
  }
  indexQueue_.async(
      [this, ownEntries = std::move(ownEntries), sharedEntries = std::move(sharedEntries)] {
        indexEntries(ownEntries, sharedEntries);
      });
}

bool KXRecreateIndexProxy::resetFlagsForOlderAnalysis(KXManagedObjectContext& context) {
  std::shared_ptr<DbState> recorded =
      client_.readsIn(&context).dbStateObjectWithKey(kRecreateIndexAnalysisVersionKey);
  if (recorded) {
    const kx::Value version = recorded->value("stateValue");
    if (!version.isNull() && version.intValue() >= KXSIndexProxy::kAnalysisVersion) return true;
  }
  // The flags were given under an older analysis: every entry the
  // selections cover is to be indexed again. The cleared flags, the new
  // version and the state key are saved together, so that a failure
  // leaves either the old state or the new one whole.
  std::size_t cleared = 0;
  for (const char* condition :
       {"title ENDSWITH %@ AND hasIndex != nil AND del != 1 AND public_key == nil",
        "(title ENDSWITH %@ OR domain == 0 ) AND hasIndex != nil AND del != 1 AND "
        "public_key != nil"}) {
    kx::Error error;
    std::optional<KXFetchResult> result =
        client_.readsIn(&context).executeSyncQuery("FileMeta", FileMetaQuery(condition), &error);
    if (!result) {
      KXLOG("index rebuild: indexed entries not read: %s", error.localizedDescription().c_str());
      return false;
    }
    for (const KXManagedObjectPtr& entry : result->objects) {
      if (entry->setValue("hasIndex", kx::Value())) ++cleared;
    }
  }
  setStateValue(context, kRecreateIndexAnalysisVersionKey,
                kx::Value(static_cast<std::int64_t>(KXSIndexProxy::kAnalysisVersion)));
  setStateValue(context, kRecreateIndexDoneKey, kx::Value(false));
  bool saved = false;
  client_.state().performSave(
      [&saved](const KXResultInfo& info, const kx::Error&) { saved = info.value.boolValue(); },
      &context);
  if (!saved) {
    KXLOG("index rebuild: the reset for analysis version %d was not saved",
          KXSIndexProxy::kAnalysisVersion);
    return false;
  }
  KXLOG("index rebuild: %zu entries to index again under analysis version %d", cleared,
        KXSIndexProxy::kAnalysisVersion);
  return true;
}

void KXRecreateIndexProxy::setStateValue(KXManagedObjectContext& context, const char* key,
                                         const kx::Value& value) {
  if (std::shared_ptr<DbState> row = client_.readsIn(&context).dbStateObjectWithKey(key)) {
    if (!row->setValue("stateValue", value)) KXLOG("state value of \"%s\" refused", key);
    return;
  }
  client_.writes().addManagedObjectsSync(
      "DbState", &context, {kx::Value::dict({{"stateKey", kx::Value(key)}, {"stateValue", value}})},
      nullptr);
}

void KXRecreateIndexProxy::indexEntries(const std::vector<OwnEntry>& own,
                                        const std::vector<kx::Dictionary>& shared) {
  KX_DCHECK_ON_QUEUE(indexQueue_, "the indexing step runs on the proxy's queue");
  for (const OwnEntry& entry : own) {
    if (entry.fileId.empty()) continue;
    // A missing content file counts as empty text: the entry is found by its
    // title, never by the missing-content placeholder. A content file that
    // cannot be read now is left for a later run: the entry stays unmarked.
    kx::ErrorOr<std::string> content = files_.readContentTextSync(entry.fileId);
    if (!content && !KXFileManager::isMissingContent(content.error())) {
      KXLOG("index rebuild: content of %s not read, left for a later run: %s", entry.fileId.c_str(),
            content.error().localizedDescription().c_str());
      continue;
    }
    std::string text = entry.title;
    text += ' ';
    if (content) text += content.value();
    client_.indexing().indexNotes({kx::Value::dict(
        {{"docContent", kx::Value(std::move(text))}, {"docID", kx::Value(entry.fileId)}})});
  }
  if (!flagNetWorkReached_.load()) return;
  for (const kx::Dictionary& info : shared) KXMyshareHooks::indexForFileInfo(info);
}
