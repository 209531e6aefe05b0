// KXDataConversion: bringing the stored data up to the current data version
// when the client is made, and the way out for a store that a newer client
// wrote.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/User.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXStoreError.h"
#include "platform/MainQueue.h"
#include "platform/Text.h"

using namespace kx_data_client;

namespace {

// The version a step from `version` stores, or nothing when it keeps the
// stored one (3, negatives, current and newer versions).
std::optional<std::int64_t> NextDbVersion(std::int64_t version) {
  if (version == 0) return 1;
  if (version == 1) return 2;
  if (version == 2) return 4;
  if (version >= 4 && version < KXDataConversion::kCurrentDbVersion) return version + 1;
  return std::nullopt;
}

// Sets a flag of an entry; a refused value is logged and changes nothing.
void SetFlag(FileMeta& entry, const char* key, bool value) {
  if (!entry.setValue(key, kx::Value(value))) {
    KXLOG("%s of %s refused while converting", key, entry.fileId().c_str());
  }
}

// Every file entry but the root, or nullopt when they cannot be read.
std::optional<KXFileMetaArray> EntriesToConvert(KXManagedObjectContext* context, kx::Error* error) {
  if (!context) {
    kx::SetError(error, KXStoreMakeError(kKXStoreUnavailableError, "The store is closed"));
    return std::nullopt;
  }
  kx::Error failure;
  std::vector<KXManagedObjectPtr> rows = Fetch(*context, "FileMeta", {}, {}, 0, &failure);
  if (failure) {
    kx::SetError(error, failure);
    return std::nullopt;
  }
  KXFileMetaArray entries = CastAll<FileMeta>(rows);
  std::erase_if(entries, [](const KXFileMetaPtr& entry) { return entry->isKindOfEntity("Root"); });
  return entries;
}

// Drops the local data of the user whose store is open: that user's data
// directory, through the file manager, which takes only a single folder name
// below the application data root and never follows a link out of it. A
// failure is logged and shown.
void DropLocalData(const std::string& userId) {
  kx::ErrorOr<std::string> cleaned =
      KXFileManager::defaultManauger().cleanedUserDataDirectory(userId, true);
  if (cleaned) {
    KXLOG("the local data of %s was removed", userId.c_str());
    return;
  }
  KXLOG("%s: the data directory of \"%s\": %s", kKXErrCannotDeleteFile, userId.c_str(),
        cleaned.error().localizedDescription().c_str());
  KXPresentError(kKXErrCannotDeleteFile);
}

void OpenDownloadPage() {
  std::shared_ptr<KXURLOpener> opener = KXURLOpener::installed();
  std::optional<kx::URL> page =
      kx::URL::parse(KXServiceBaseURL() + KXDataConversion::kDownloadPagePath);
  if (!opener || !page) {
    KXLOG("the download page cannot be opened");
    return;
  }
  opener->openURL(*page);
}

// Asks nothing: hides nothing, answers "update" (the local data stays) and
// does not quit.
class NeutralConversionUI : public KXDataConversionUI {
 public:
  void hideMainWindow() override {}
  void askAboutTooNewStore(std::function<void(TooNewStoreChoice)> completion) override {
    if (completion) completion(TooNewStoreChoice::kUpdateApplication);
  }
  void quit() override {}
};

std::shared_ptr<KXDataConversionUI> NeutralUI() {
  static const std::shared_ptr<KXDataConversionUI> neutral =
      std::make_shared<NeutralConversionUI>();
  return neutral;
}

// On the main queue: hides the main window, asks, acts on the answer and
// quits. `storeUserId` names the directory of the open store; `storedUserId`
// is the store's user row's id ("" when none).
void AskAboutTooNewStore(std::shared_ptr<KXDataConversionUI> ui,
                         std::shared_ptr<KXStoreEnvironment> environment, std::string storeUserId,
                         std::string storedUserId) {
  ui->hideMainWindow();
  ui->askAboutTooNewStore(
      [ui, environment, storeUserId, storedUserId](KXDataConversionUI::TooNewStoreChoice choice) {
        if (choice == KXDataConversionUI::TooNewStoreChoice::kUpdateApplication) {
          OpenDownloadPage();
        } else {
          DropLocalData(storeUserId);
        }
        if (!storedUserId.empty()) {
          KXLOG("dataconvert 初始化 userId is %s", storedUserId.c_str());
          if (environment) environment->setCurrentUser(storedUserId);
        }
        // Queued behind any error shown above, so that it is seen before the end.
        kx::MainQueue::shared().async([ui] { ui->quit(); });
      });
}

}  // namespace

KXDataConversion::KXDataConversion(KXDataClient& client) : client_(client) {}

void KXDataConversion::setUI(std::shared_ptr<KXDataConversionUI> ui) {
  kx::MutexLock lock(mu_);
  ui_ = std::move(ui);
}

std::shared_ptr<KXDataConversionUI> KXDataConversion::ui() const {
  {
    kx::MutexLock lock(mu_);
    if (ui_) return ui_;
  }
  return NeutralUI();
}

bool KXDataConversion::dataConvert() {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  // Without a store there is nothing to convert; its failure to open has
  // been reported already.
  if (!data || data->storePath().empty()) return true;
  std::shared_ptr<KXStoreEnvironment> environment = data->environment();
  const std::string sessionUser = environment ? environment->currentUser() : std::string();

  bool hasUser = false;
  std::string storedUserId;
  std::string storedUserText;
  InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* context) {
    if (std::shared_ptr<User> stored = client_.readsIn(context).user()) {
      hasUser = true;
      storedUserId = stored->userId();
      storedUserText = stored->description();
    }
  });
  if (hasUser && !kx::Text::asciiEqualIgnoringCase(storedUserId, sessionUser)) {
    KXLOG("用户名与数据库中的用户名不一致 self.user = %s, session currentUser = %s",
          storedUserText.c_str(), sessionUser.c_str());
    KXPresentError(kKXErrQueryDatabaseFail);
  }

  const std::int64_t version = client_.state().dbVersion().intValue();
  if (version >= kFirstTooNewDbVersion && version < kTooNewDbVersionEnd) {
    KXLOG("数据库版本有问题，需要转换");
    std::string storeUserId = data->storeUserId();
    kx::MainQueue::shared().async([ui = ui(), environment, storeUserId, storedUserId] {
      AskAboutTooNewStore(ui, environment, storeUserId, storedUserId);
    });
    return false;
  }
  if (version >= kCurrentDbVersion) return true;

  // Steps below 0 change nothing; starting at 0 gives the same result
  // without one empty write block per value for a badly negative version.
  auto runFailed = std::make_shared<bool>(false);
  for (std::int64_t step = std::max<std::int64_t>(version, 0); step < kCurrentDbVersion; ++step) {
    dbConvertFrom(step, runFailed);
  }
  client_.state().performSave(nullptr);
  return true;
}

void KXDataConversion::dbConvertFrom(std::int64_t version) {
  dbConvertFrom(version, std::make_shared<bool>(false));
}

void KXDataConversion::dbConvertFrom(std::int64_t version, std::shared_ptr<bool> runFailed) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, version, runFailed](KXManagedObjectContext& context) {
    const long long from = version;
    if (*runFailed) {
      KXLOG("data version step from %lld skipped: an earlier step was not saved", from);
      return;
    }
    kx::Error error;
    bool converted = true;
    if (version == 1) {
      converted = convertFrom1To2(&context, &error);
    } else if (version == 2) {
      converted = convertFrom2To4(&context, &error);
    }
    if (!converted) {
      *runFailed = true;
      KXLOG("%s: converting data version %lld: %s", kKXErrQueryDatabaseFail, from,
            error.localizedDescription().c_str());
      KXPresentError(kKXErrQueryDatabaseFail);
      return;
    }
    std::optional<std::int64_t> next = NextDbVersion(version);
    if (!next) return;
    // The conversion and the version it leads to go into one save: a failed
    // save keeps both out of the store (the context rolls back to the file).
    if (!client_.state().setDbStateValueSync(kx::Value(static_cast<long long>(*next)),
                                             KXStoreState::kDbVersionKey, context)) {
      *runFailed = true;
      context.reset();
      return;
    }
    bool saved = false;
    client_.state().performSave(
        [&saved](const KXResultInfo& info, const kx::Error&) { saved = info.value.boolValue(); },
        &context);
    if (!saved) *runFailed = true;
  });
}

bool KXDataConversion::convertFrom1To2(KXManagedObjectContext* context, kx::Error* error) {
  std::optional<KXFileMetaArray> entries = EntriesToConvert(context, error);
  if (!entries) return false;

  std::unordered_map<std::string, std::vector<FileMeta*>> children;
  for (const KXFileMetaPtr& entry : *entries) {
    SetFlag(*entry, "deleted", false);
    if (!entry->isNil("parentId")) children[entry->parentId()].push_back(entry.get());
  }
  for (const KXFileMetaPtr& entry : *entries) {
    if (entry->isNil("parentId")) continue;
    if (entry->parentId() != KXDataClient::kTrashParentId && !entry->remoteRemoved()) continue;
    SetFlag(*entry, "deleted", true);
    if (!entry->isKindOfEntity("Notebook")) continue;

    // The notebook's subtree, level by level; folder ids already walked are
    // not walked again, so parent ids that form a cycle end the walk.
    const bool removed = entry->remoteRemoved();
    std::unordered_set<std::string> walked{entry->fileId()};
    std::vector<std::string> folders{entry->fileId()};
    while (!folders.empty()) {
      std::vector<std::string> next;
      for (const std::string& folder : folders) {
        auto found = children.find(folder);
        if (found == children.end()) continue;
        for (FileMeta* child : found->second) {
          SetFlag(*child, "deleted", true);
          if (removed) SetFlag(*child, "remoteRemoved", true);
          if (child->isKindOfEntity("Notebook") && walked.insert(child->fileId()).second) {
            next.push_back(child->fileId());
          }
        }
      }
      folders = std::move(next);
    }
  }
  return true;
}

bool KXDataConversion::convertFrom2To4(KXManagedObjectContext* context, kx::Error* error) {
  std::optional<KXFileMetaArray> entries = EntriesToConvert(context, error);
  if (!entries) return false;
  for (const KXFileMetaPtr& entry : *entries) {
    // An entry the earlier step never reached keeps its trash mark rather
    // than losing it to a missing value.
    if (entry->isNil("deleted")) continue;
    SetFlag(*entry, "del", entry->deleted());
  }
  return true;
}
