#include "sync/pull/KXObjectPuller.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/Crypto.h"
#include "platform/DirectorySyncer.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/URL.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/pull/KXFilePuller.h"
#include "sync/pull/KXPublishLinkPuller.h"
#include "sync/pull/KXResourcePuller.h"
#include "sync/pull/KXSyncPullProxy.h"

namespace {

kx::Error pullError() {
  return kx::Error(KXSyncPullProxy::kErrorDomain, KXSyncPullProxy::kErrorCode);
}

std::string entityOf(const kx::Dictionary& info) {
  if (info["dir"].boolValue()) return "Notebook";
  if (info["domain"].boolValue()) return "NormalFile";
  return "Note";
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool isMarkdown(const std::string& title) { return kx::Path::pathExtension(title) == "md"; }

void removeQuietly(const std::string& path) {
  if (path.empty()) return;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (!fs.exists(path)) return;
  kx::Error error;
  if (!fs.removeItem(path, &error)) {
    KXLOG("downloaded file %s not removed: %s", path.c_str(), error.localizedDescription().c_str());
  }
}

bool expectsResources(const kx::Value& expected) {
  return expected.isArray() && !expected.array().empty();
}

}  // namespace

std::shared_ptr<KXObjectPuller> KXObjectPuller::pullerWithfileId(const std::string& fileId,
                                                                 kx::Dictionary info, bool pullFile,
                                                                 bool /*pullLink*/, bool isNew,
                                                                 bool isConflict,
                                                                 Services services) {
  return std::make_shared<KXObjectPuller>(fileId, std::move(info), pullFile, isNew, isConflict,
                                          std::move(services));
}

std::shared_ptr<KXObjectPuller> KXObjectPuller::pullerWithfileId(const std::string& fileId,
                                                                 kx::Dictionary info, bool pullFile,
                                                                 bool pullLink, bool isNew,
                                                                 bool isConflict) {
  return pullerWithfileId(fileId, std::move(info), pullFile, pullLink, isNew, isConflict,
                          Services{});
}

KXObjectPuller::KXObjectPuller(std::string fileId, kx::Dictionary info, bool pullFile, bool isNew,
                               bool isConflict, Services services)
    : fileId_(std::move(fileId)),
      entity_(entityOf(info)),
      title_(info["title"].isString() ? info["title"].string() : std::string()),
      isNew_(isNew),
      services_(std::move(services)),
      info_(std::move(info)),
      needPullFile_(pullFile),
      needPullLink_(pullFile),
      asCopy_(isConflict) {}

KXDataClient& KXObjectPuller::client() const {
  return services_.client != nullptr ? *services_.client : KXDataClient::defaultDataClient();
}

std::string KXObjectPuller::storeId() const {
  kx::MutexLock lock(mu_);
  const std::string id = info_["fileId"].stringValue();
  return id.empty() ? fileId_ : id;
}

void KXObjectPuller::setNeedPullFile(bool needPullFile) {
  kx::MutexLock lock(mu_);
  needPullFile_ = needPullFile;
}

bool KXObjectPuller::cleared() const {
  kx::MutexLock lock(mu_);
  return cleared_;
}

KXObjectPuller::IndexInfo KXObjectPuller::indexAndSummary(
    const std::string& entity, const std::string& title,
    const std::optional<std::string>& content) {
  IndexInfo info;
  if (entity == "Note") {
    const std::string plain = trimmed(NSStringDupTitle::plainText(content.value_or("")));
    info.summary = NSStringDupTitle::summaryString(plain);
    info.indexText = kx::Path::deletingPathExtension(title) + " " + plain;
  } else if (entity == "NormalFile" && isMarkdown(title)) {
    info.indexText = title + " " + content.value_or("");
  } else {
    info.indexText = title;
  }
  return info;
}

void KXObjectPuller::pullWithCallback(std::function<void(const kx::Error& error)> done) {
  bool pullFile;
  kx::Value version;
  {
    kx::MutexLock lock(mu_);
    if (started_ || cleared_) return;
    started_ = true;
    done_ = std::move(done);
    pullFile = needPullFile_;
    version = info_["version"];
  }
  KXLOG("start pull fileId %s, title %s", fileId_.c_str(),
        title_.empty() ? "null" : title_.c_str());
  if (!pullFile) {
    pullLink();
    return;
  }
  std::shared_ptr<KXFilePuller> puller = services_.filePuller
                                             ? services_.filePuller(fileId_, version)
                                             : KXFilePuller::pullerWithFileId(fileId_, version);
  if (!puller) {
    finish(pullError());
    return;
  }
  // A body read whole anyway comes in memory: written here once, it is
  // neither written through a download file nor read back.
  if (readsBody()) puller->setKeepsBodyInMemory(true);
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    filePuller_ = puller;
  }
  std::weak_ptr<KXObjectPuller> weak = weak_from_this();
  puller->pullWithCallback([weak](const kx::Value& result, const kx::Error& error) {
    // The download's place among the seven at once is given back when this
    // returns: reading and syncing the body wait for the disk, so they run
    // after it, and the next download starts meanwhile.
    kx::GlobalQueue::get().async([weak, result, error] {
      if (std::shared_ptr<KXObjectPuller> self = weak.lock()) {
        self->bodyPulled(result, error);
      } else {
        removeQuietly(result[KXFilePuller::kTmpFilePathKey].stringValue());
      }
    });
  });
}

void KXObjectPuller::bodyPulled(const kx::Value& result, const kx::Error& error) {
  KXLOG("pull file fileId %s, title %s", fileId_.c_str(), title_.empty() ? "null" : title_.c_str());
  std::string tmpPath = result[KXFilePuller::kTmpFilePathKey].stringValue();
  const kx::Value* inMemory = result.isDictionary() ? result.find(KXFilePuller::kBodyKey) : nullptr;
  if (cleared()) {
    removeQuietly(tmpPath);
    return;
  }
  if (!error.domain().empty() || (tmpPath.empty() && inMemory == nullptr)) {
    removeQuietly(tmpPath);
    finish(pullError());
    return;
  }
  // Notes and markdown files are read for their summary and index text.
  std::optional<std::string> text;
  if (inMemory != nullptr) {
    const kx::Bytes& bytes = inMemory->bytes();
    text = std::string(bytes.begin(), bytes.end());
    // Placed like a download: from a temporary file of its own.
    tmpPath = KXFileManager::defaultManauger().URLForTempFile();
    kx::Error writeError;
    if (tmpPath.empty() || !kx::FileSystem::Default().writeFile(tmpPath, *text, &writeError)) {
      KXLOG("downloaded body of %s not written: %s", fileId_.c_str(),
            writeError.localizedDescription().c_str());
      removeQuietly(tmpPath);
      finish(pullError());
      return;
    }
  } else if (readsBody()) {
    std::string body;
    kx::Error readError;
    if (!kx::FileSystem::Default().readFile(tmpPath, &body, &readError)) {
      KXLOG("downloaded body of %s not read: %s", fileId_.c_str(),
            readError.localizedDescription().c_str());
      removeQuietly(tmpPath);
      finish(pullError());
      return;
    }
    text = std::move(body);
  }
  kx::Value expected;
  bool copy = false;
  {
    kx::MutexLock lock(mu_);
    expected = info_["resourcesExpected"];
    copy = asCopy_;
  }
  if (expectsResources(expected)) {
    KXResourcePuller::Services services{services_.client, serviceBaseURL(), services_.controller,
                                        nullptr};
    auto puller = KXResourcePuller::pullerWithResourceIdents(expected.array(), services);
    // A conflict copy holds resources of its own.
    puller->setEntirePull(copy && entity_ == "Note");
    {
      kx::MutexLock lock(mu_);
      if (cleared_) {
        removeQuietly(tmpPath);
        return;
      }
      resourcePuller_ = puller;
      bodyWaiting_ = tmpPath;
    }
    std::weak_ptr<KXObjectPuller> weak = weak_from_this();
    puller->pullWithCallback(
        [weak, tmpPath, text](const kx::Value& result, const kx::Error& resourceError) {
          if (auto self = weak.lock()) {
            self->resourcesPulled(tmpPath, text, result, resourceError);
            return;
          }
          removeQuietly(tmpPath);
          for (const auto& [id, record] : result[KXResourcePuller::kResourceInfosKey].dict()) {
            removeQuietly(record[KXResourcePuller::kTmpFileKey].stringValue());
          }
        });
    return;
  }
  prepareBody(tmpPath, text, std::string());
}

void KXObjectPuller::resourcesPulled(const std::string& tmpPath, std::optional<std::string> text,
                                     const kx::Value& result, const kx::Error& error) {
  KXLOG("pull resources fileId %s, title %s", fileId_.c_str(),
        title_.empty() ? "null" : title_.c_str());
  const kx::Dictionary infos = result[KXResourcePuller::kResourceInfosKey].isDictionary()
                                   ? result[KXResourcePuller::kResourceInfosKey].dict()
                                   : kx::Dictionary();
  auto dropFiles = [&] {
    removeQuietly(tmpPath);
    for (const auto& [id, record] : infos) {
      removeQuietly(record[KXResourcePuller::kTmpFileKey].stringValue());
    }
  };
  {
    kx::MutexLock lock(mu_);
    resourcePuller_.reset();
    bodyWaiting_.clear();
    if (cleared_) {
      dropFiles();
      return;
    }
    resourceInfos_ = infos;
  }
  if (error) {
    dropFiles();
    finish(pullError());
    return;
  }
  std::string bodyMd5;
  if (text && entity_ == "Note" && !infos.empty()) {
    // The digest stays the service's body's; the stored text refers to the
    // resources as this client serves them.
    bodyMd5 = kx::Crypto::md5Hex(kx::ByteView(*text));
    std::string rewritten =
        referencesRewritten(*text, infos, resourceSourcePrefix(serviceBaseURL()));
    kx::Error writeError;
    if (!kx::FileSystem::Default().writeFile(tmpPath, rewritten, &writeError)) {
      KXLOG("body of %s not rewritten: %s", fileId_.c_str(),
            writeError.localizedDescription().c_str());
      removeResourceFiles();
      removeQuietly(tmpPath);
      finish(pullError());
      return;
    }
    text = std::move(rewritten);
  }
  prepareBody(tmpPath, text, bodyMd5);
}

void KXObjectPuller::prepareBody(const std::string& tmpPath, const std::optional<std::string>& text,
                                 const std::string& bodyMd5) {
  // The body reaches the disk before the rename makes it the content: once
  // the store records its md5, a crash must not leave a short or empty file
  // under an entry that claims the service's body.
  kx::Error syncError;
  if (!kx::FileSystem::Default().syncFile(tmpPath, &syncError)) {
    KXLOG("downloaded body of %s not synced: %s", fileId_.c_str(),
          syncError.localizedDescription().c_str());
    removeResourceFiles();
    removeQuietly(tmpPath);
    finish(pullError());
    return;
  }
  std::string md5;
  {
    kx::MutexLock lock(mu_);
    md5 = info_["md5"].isString() ? info_["md5"].string() : std::string();
  }
  if (md5.empty() && !bodyMd5.empty()) md5 = bodyMd5;
  if (md5.empty()) {
    // The service gave none: the body's own digest marks it as the service's.
    md5 = text ? kx::Crypto::md5Hex(kx::ByteView(*text))
               : KXFileManager::datahashForResourceURL(tmpPath).value_or("");
  }
  const IndexInfo index = indexAndSummary(entity_, title_, text);
  {
    kx::MutexLock lock(mu_);
    if (!asCopy_) info_.set("contentChanged", kx::Value(false));
    info_.set("summary", kx::Value(index.summary));
    info_.set("md5", kx::Value(md5));
    text_ = index.indexText;
  }
  placeContent(tmpPath);
}

void KXObjectPuller::placeContent(const std::string& tmpPath) {
  std::shared_ptr<KXDataContext> data = client().dataContext();
  if (!data) {
    KXLOG("body of %s not stored: the store is closed", fileId_.c_str());
    removeQuietly(tmpPath);
    finish(pullError());
    return;
  }
  std::shared_ptr<KXObjectPuller> self = shared_from_this();
  // Checked on the write queue before the content file is touched, so that
  // a body never lands over an entry it does not belong to.
  data->performWriteBlock([self, tmpPath](KXManagedObjectContext& context) {
    if (self->cleared()) {
      removeQuietly(tmpPath);
      return;
    }
    std::string id = self->storeId();
    KXFileMetaPtr entry = self->client().readsIn(&context).objectForFileMetaID(id);
    const bool asCopy = self->asCopy();
    std::string refusal;
    if (asCopy && entry) {
      refusal = "the copy's file id " + id + " is taken";
    } else if (!asCopy && !entry && !self->isNew_) {
      refusal = "the entry is no longer stored";
    } else if (!asCopy && entry && entry->contentChanged()) {
      // Edited here after the entry took the service's version: the local
      // text stays under its id and the service's is kept beside it, so a
      // later push of the entry loses neither.
      KXLOG("body of %s arrived after a local edit: kept as a conflict copy",
            self->fileId_.c_str());
      id = self->becomeConflictCopy(*entry);
    }
    if (!refusal.empty()) {
      KXLOG("body of %s not stored: %s", self->fileId_.c_str(), refusal.c_str());
      removeQuietly(tmpPath);
      self->finish(pullError());
      return;
    }
    const std::string title = self->storeTitle();
    KXFileManager& files = KXFileManager::defaultManauger();
    const std::string target = self->entity_ == "NormalFile"
                                   ? files.URLForContentFile(id, false, title)
                                   : files.URLForContentFile(id, false);
    if (target.empty()) {
      KXLOG("body of %s not stored: no content location", self->fileId_.c_str());
      removeQuietly(tmpPath);
      self->finish(pullError());
      return;
    }
    files.moveFileFromPath(tmpPath, target, [self, tmpPath, target](const kx::Error& error) {
      if (!error.domain().empty()) {
        // Not moved: the downloaded file is not left behind.
        removeQuietly(tmpPath);
        KXLOG("body of %s not moved into place: %s", self->fileId_.c_str(),
              error.localizedDescription().c_str());
        self->finish(pullError());
        return;
      }
      // The rename itself is durable only once its folder is synced; until
      // then the store does not record the body as the service's. The sync
      // waits for the disk, so it runs off the content queue; the bodies
      // moved into one folder meanwhile share a sync of it.
      kx::DirectorySyncer::shared().syncDirectory(
          kx::Path::deletingLastPathComponent(target), [self, target](const kx::Error& syncError) {
            if (syncError) {
              KXLOG("body of %s not durable in place: %s", self->fileId_.c_str(),
                    syncError.localizedDescription().c_str());
              // A copy's content has no entry to own it; an entry's content file
              // holds the service's body while its md5 says it is still owed.
              if (self->asCopy()) removeQuietly(target);
              self->finish(pullError());
              return;
            }
            self->store(target);
          });
    });
  });
}

bool KXObjectPuller::readsBody() const {
  return entity_ == "Note" || (entity_ == "NormalFile" && isMarkdown(title_));
}

bool KXObjectPuller::asCopy() const {
  kx::MutexLock lock(mu_);
  return asCopy_;
}

std::string KXObjectPuller::storeTitle() const {
  kx::MutexLock lock(mu_);
  return asCopy_ && info_["title"].isString() ? info_["title"].string() : title_;
}

std::string KXObjectPuller::becomeConflictCopy(const KXManagedObject& local) {
  const std::string copyId = FileMeta::idForFileMeta();
  kx::MutexLock lock(mu_);
  asCopy_ = true;
  // The pulled values left out of the entry's merge (it was changed here)
  // are the entry's own.
  for (const char* key : {"parentId", "title", "dir", "domain"}) {
    if (!info_.contains(key)) info_.set(key, local.value(key));
  }
  info_.set("fileId", kx::Value(copyId));
  info_.set("title",
            kx::Value(KXSyncPullProxy::conflictTitle(
                info_["title"].isString() ? std::optional<std::string>(info_["title"].string())
                                          : std::nullopt)));
  info_.set("localModified", kx::Value(1));
  info_.set("contentChanged", kx::Value(true));
  info_.remove("checksum");
  return copyId;
}

void KXObjectPuller::store(const std::string& target) {
  std::shared_ptr<KXDataContext> data = client().dataContext();
  if (!data) {
    finish(pullError());
    return;
  }
  std::shared_ptr<KXObjectPuller> self = shared_from_this();
  data->performWriteBlock([self, target](KXManagedObjectContext& context) {
    kx::Dictionary info;
    std::string indexText;
    bool asCopy = false;
    {
      kx::MutexLock lock(self->mu_);
      if (self->cleared_) {
        // A copy nobody will store must not leave its body behind.
        if (self->asCopy_) removeQuietly(target);
        return;
      }
      info = self->info_;
      indexText = self->text_;
      asCopy = self->asCopy_;
    }
    KXDataClient& client = self->client();
    const std::string id =
        info["fileId"].stringValue().empty() ? self->fileId_ : info["fileId"].stringValue();
    bool stored = false;
    if (asCopy) {
      stored =
          !client.writes()
               .addManagedObjectsSync(self->entity_, &context, kx::Array{kx::Value(info)}, nullptr)
               .empty();
      if (!stored) {
        KXLOG("conflict copy of %s not stored", self->fileId_.c_str());
        removeQuietly(target);
      } else if (KXFileMetaPtr local =
                     client.readsIn(&context).objectForFileMetaID(self->fileId_)) {
        // The service's text is kept beside it: the local entry may now be
        // pushed over the service's version.
        kx::Dictionary modify{{KXEntryWrites::kModifyIdentityKey, local->objectID().toValue()},
                              {KXEntryWrites::kModifyFieldsKey, kx::Value::dict({})},
                              {KXEntryWrites::kModifyVersionKey, info["version"]}};
        if (client.writes()
                .modifyManagedObjectSync(self->entity_, &context, kx::Array{kx::Value(modify)},
                                         nullptr)
                .empty()) {
          KXLOG("local entry %s did not take the service's version", self->fileId_.c_str());
        }
      }
    } else if (KXFileMetaPtr entry = client.readsIn(&context).objectForFileMetaID(id)) {
      if (entry->contentChanged()) {
        // Edited here while the body was being placed: the edit must still
        // be pushed, so the entry is not marked as holding the service's
        // body.
        KXLOG("entry %s changed here while its body was placed: not recorded", id.c_str());
        self->finish(pullError());
        return;
      }
      kx::Dictionary fields{
          {"summary", info["summary"]}, {"contentChanged", kx::Value(false)}, {"md5", info["md5"]}};
      kx::Dictionary modify{{KXEntryWrites::kModifyIdentityKey, entry->objectID().toValue()},
                            {KXEntryWrites::kModifyFieldsKey, kx::Value(std::move(fields))}};
      stored = !client.writes()
                    .modifyManagedObjectSync(self->entity_, &context,
                                             kx::Array{kx::Value(std::move(modify))}, nullptr)
                    .empty();
      if (stored && !self->isNew_ && self->entity_ == "NormalFile") {
        // A document open in the page shows the file's new bytes.
        kx::MainQueue::shared().async([] { KXSyncScriptBridge::installed()->refreshOffice(); });
      }
    } else if (self->isNew_) {
      info.set("localModified", kx::Value(0));
      stored =
          !client.writes()
               .addManagedObjectsSync(self->entity_, &context, kx::Array{kx::Value(info)}, nullptr)
               .empty();
    }
    if (!stored) {
      KXLOG("entry %s not stored after its body", id.c_str());
      self->finish(pullError());
      return;
    }
    client.indexing().indexNotes(kx::Array{kx::Value::dict(
        {{"docID", kx::Value(id)}, {"docContent", kx::Value(std::move(indexText))}})});
    saveEveryFewBodies(context);
    self->storeResources(id);
  });
}

void KXObjectPuller::saveEveryFewBodies(KXManagedObjectContext& context) {
  // Counted over every puller of the process. Without it a long pull holds
  // every stored entry and every index text (handed over at the save that
  // commits the entry) until its end; so the index takes them as the pull
  // goes, and what it has stored is kept if it is cut short.
  static std::atomic<std::uint64_t> bodies{0};
  if (++bodies % kBodiesPerSave != 0) return;
  kx::Error error;
  if (!context.save(&error)) {
    KXLOG("pulled bodies not saved: %s", error.localizedDescription().c_str());
  }
}

void KXObjectPuller::storeResources(const std::string& noteId) {
  kx::Dictionary infos;
  {
    kx::MutexLock lock(mu_);
    infos = std::move(resourceInfos_);
    resourceInfos_ = kx::Dictionary();
  }
  std::shared_ptr<KXDataContext> data = client().dataContext();
  if (infos.empty() || !data) {
    if (!infos.empty()) {
      for (const auto& [id, record] : infos) {
        removeQuietly(record[KXResourcePuller::kTmpFileKey].stringValue());
      }
      finish(pullError());
      return;
    }
    pullLink();
    return;
  }
  struct Progress {
    kx::Mutex mu;
    std::size_t left GUARDED_BY(mu) = 0;
    bool failed GUARDED_BY(mu) = false;
  };
  auto progress = std::make_shared<Progress>();
  {
    kx::MutexLock lock(progress->mu);
    progress->left = infos.size();
  }
  std::shared_ptr<KXObjectPuller> self = shared_from_this();
  for (const auto& [serviceId, value] : infos) {
    kx::Dictionary record = value.dict();
    const std::string tmpFile = record[KXResourcePuller::kTmpFileKey].stringValue();
    record.remove(KXResourcePuller::kTmpFileKey);
    record.set("noteId", kx::Value(noteId));
    const std::string resourceId = serviceId;
    client().editorSave().createOrUpdateResource(
        record, tmpFile.empty() ? std::nullopt : std::optional<std::string>(tmpFile),
        [self, progress, tmpFile, resourceId](const KXResultInfo&, const kx::Error& error) {
          // Moved into place, or not needed: the download is not left.
          removeQuietly(tmpFile);
          bool last = false;
          bool failed = false;
          {
            kx::MutexLock lock(progress->mu);
            if (error) {
              KXLOG("resource %s of %s not stored: %s", resourceId.c_str(), self->fileId_.c_str(),
                    error.localizedDescription().c_str());
              progress->failed = true;
            }
            last = --progress->left == 0;
            failed = progress->failed;
          }
          if (!last) return;
          if (failed) {
            self->finish(pullError());
          } else {
            self->pullLink();
          }
        });
  }
}

void KXObjectPuller::pullLink() {
  bool shared = false;
  bool searchEngine = false;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    shared = info_["shared"].boolValue();
    searchEngine = info_["searchEngineEnable"].boolValue();
  }
  // A puller made for the body leaves the entry's link as it is.
  if (!shared || needPullLink_) {
    finish(kx::Error());
    return;
  }
  auto puller =
      KXPublishLinkPuller::pullerWithFileId(fileId_, serviceBaseURL(), services_.controller);
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    publishPuller_ = puller;
  }
  std::weak_ptr<KXObjectPuller> weak = weak_from_this();
  puller->pullWithCallback([weak, searchEngine](const kx::Value& reply, const kx::Error& error) {
    auto self = weak.lock();
    if (!self || self->cleared()) return;
    if (error) {
      self->finish(pullError());
      return;
    }
    std::shared_ptr<KXDataContext> data = self->client().dataContext();
    if (!data) {
      self->finish(pullError());
      return;
    }
    self->client().records().updateShareInfo(reply["url"].string(), searchEngine, self->fileId_,
                                             *data);
    // Reported once the link is written.
    data->performWriteBlock([self](KXManagedObjectContext&) { self->finish(kx::Error()); });
  });
}

void KXObjectPuller::removeResourceFiles() {
  kx::Dictionary infos;
  {
    kx::MutexLock lock(mu_);
    infos = std::move(resourceInfos_);
    resourceInfos_ = kx::Dictionary();
  }
  for (const auto& [id, record] : infos) {
    removeQuietly(record[KXResourcePuller::kTmpFileKey].stringValue());
  }
}

std::string KXObjectPuller::serviceBaseURL() const {
  return services_.serviceBaseURL.empty() ? KXServiceBaseURL() : services_.serviceBaseURL;
}

std::string KXObjectPuller::resourceSourcePrefix(const std::string& serviceBaseURL) {
  std::optional<kx::URL> url = kx::URL::parse(serviceBaseURL);
  const std::string host = url ? url->host() : std::string();
  return "//" + host + "/src/";
}

std::string KXObjectPuller::referencesRewritten(const std::string& text,
                                                const kx::Dictionary& resourceInfos,
                                                const std::string& prefix) {
  std::vector<std::pair<std::string, std::string>> ids;
  for (const auto& [serviceId, record] : resourceInfos) {
    if (serviceId.empty()) continue;
    std::string target = record[KXEditorSave::kResourceInfoIdKey].stringValue();
    ids.emplace_back(serviceId, target.empty() ? serviceId : target);
  }
  std::stable_sort(ids.begin(), ids.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  std::string out = text;
  for (const auto& [from, to] : ids) {
    std::string next;
    next.reserve(out.size());
    std::size_t at = 0;
    for (;;) {
      const std::size_t found = out.find(from, at);
      if (found == std::string::npos) break;
      next.append(out, at, found - at);
      const bool prefixed =
          found >= prefix.size() && out.compare(found - prefix.size(), prefix.size(), prefix) == 0;
      // Part of a longer id already written out (its prefix lies before it).
      bool inside = false;
      if (!prefixed) {
        const std::size_t slash = out.rfind(prefix, found);
        inside = slash != std::string::npos && slash + prefix.size() <= found &&
                 out.find_first_of("\"' <>", slash + prefix.size()) >= found;
      }
      next += prefixed || inside ? from : prefix + to;
      at = found + from.size();
    }
    next.append(out, at, std::string::npos);
    out = std::move(next);
  }
  return out;
}

void KXObjectPuller::finish(const kx::Error& error) {
  // A failed pull stores none of its downloaded resources.
  if (error) removeResourceFiles();
  std::function<void(const kx::Error&)> done;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    done.swap(done_);
    filePuller_.reset();
    resourcePuller_.reset();
    publishPuller_.reset();
  }
  if (done) done(error);
}

void KXObjectPuller::clearEnvironment() {
  std::shared_ptr<KXFilePuller> puller;
  std::shared_ptr<KXResourcePuller> resources;
  std::shared_ptr<KXPublishLinkPuller> link;
  std::string body;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    done_ = nullptr;
    puller.swap(filePuller_);
    resources.swap(resourcePuller_);
    link.swap(publishPuller_);
    body.swap(bodyWaiting_);
  }
  // A body waiting for its resources is nobody's now.
  removeQuietly(body);
  if (puller) puller->clearEnvironment();
  if (resources) resources->clearEnvironment();
  if (link) link->clearEnvironment();
  removeResourceFiles();
}
