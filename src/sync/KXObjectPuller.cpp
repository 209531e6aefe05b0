#include "sync/KXObjectPuller.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataContext.h"
#include "Data/KXFileManager.h"
#include "Data/KXManagedObjectContext.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "sync/KXFilePuller.h"
#include "sync/KXSyncPullProxy.h"
#include "sync/KXSyncScriptBridge.h"

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

bool expectsResources(const kx::Dictionary& info) {
  const kx::Value* expected = info.find("resourcesExpected");
  return expected != nullptr && expected->isArray() && !expected->array().empty();
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
    // Nothing of this entry is fetched here yet: its publish link comes
    // with the resource pulls.
    finish(kx::Error());
    return;
  }
  std::shared_ptr<KXFilePuller> puller = services_.filePuller
                                             ? services_.filePuller(fileId_, version)
                                             : KXFilePuller::pullerWithFileId(fileId_, version);
  if (!puller) {
    finish(pullError());
    return;
  }
  {
    kx::MutexLock lock(mu_);
    if (cleared_) return;
    filePuller_ = puller;
  }
  std::weak_ptr<KXObjectPuller> weak = weak_from_this();
  puller->pullWithCallback([weak](const kx::Value& result, const kx::Error& error) {
    if (std::shared_ptr<KXObjectPuller> self = weak.lock()) {
      self->bodyPulled(result, error);
    } else {
      removeQuietly(result[KXFilePuller::kTmpFilePathKey].stringValue());
    }
  });
}

void KXObjectPuller::bodyPulled(const kx::Value& result, const kx::Error& error) {
  KXLOG("pull file fileId %s, title %s", fileId_.c_str(), title_.empty() ? "null" : title_.c_str());
  const std::string tmpPath = result[KXFilePuller::kTmpFilePathKey].stringValue();
  if (cleared()) {
    removeQuietly(tmpPath);
    return;
  }
  if (!error.domain().empty() || tmpPath.empty()) {
    removeQuietly(tmpPath);
    finish(pullError());
    return;
  }
  // Notes and markdown files are read for their summary and index text.
  std::optional<std::string> text;
  if (entity_ == "Note" || (entity_ == "NormalFile" && isMarkdown(title_))) {
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
  // The body reaches the disk before the rename makes it the content: once
  // the store records its md5, a crash must not leave a short or empty file
  // under an entry that claims the service's body.
  kx::Error syncError;
  if (!kx::FileSystem::Default().syncFile(tmpPath, &syncError)) {
    KXLOG("downloaded body of %s not synced: %s", fileId_.c_str(),
          syncError.localizedDescription().c_str());
    removeQuietly(tmpPath);
    finish(pullError());
    return;
  }
  std::string md5;
  {
    kx::MutexLock lock(mu_);
    md5 = info_["md5"].isString() ? info_["md5"].string() : std::string();
  }
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
    KXFileMetaPtr entry = self->client().objectForFileMetaID(id, &context);
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
      // Moved or not, the downloaded file is not left behind.
      removeQuietly(tmpPath);
      if (!error.domain().empty()) {
        KXLOG("body of %s not moved into place: %s", self->fileId_.c_str(),
              error.localizedDescription().c_str());
        self->finish(pullError());
        return;
      }
      // The rename itself is durable only once its folder is synced; until
      // then the store does not record the body as the service's.
      kx::Error syncError;
      if (!kx::FileSystem::Default().syncDirectory(kx::Path::deletingLastPathComponent(target),
                                                   &syncError)) {
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
          !client
               .addManagedObjectsSync(self->entity_, &context, kx::Array{kx::Value(info)}, nullptr)
               .empty();
      if (!stored) {
        KXLOG("conflict copy of %s not stored", self->fileId_.c_str());
        removeQuietly(target);
      } else if (KXFileMetaPtr local = client.objectForFileMetaID(self->fileId_, &context)) {
        // The service's text is kept beside it: the local entry may now be
        // pushed over the service's version.
        kx::Dictionary modify{{KXDataClient::kModifyIdentityKey, local->objectID().toValue()},
                              {KXDataClient::kModifyFieldsKey, kx::Value::dict({})},
                              {KXDataClient::kModifyVersionKey, info["version"]}};
        if (client
                .modifyManagedObjectSync(self->entity_, &context, kx::Array{kx::Value(modify)},
                                         nullptr)
                .empty()) {
          KXLOG("local entry %s did not take the service's version", self->fileId_.c_str());
        }
      }
    } else if (KXFileMetaPtr entry = client.objectForFileMetaID(id, &context)) {
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
      kx::Dictionary modify{{KXDataClient::kModifyIdentityKey, entry->objectID().toValue()},
                            {KXDataClient::kModifyFieldsKey, kx::Value(std::move(fields))}};
      stored = !client
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
          !client
               .addManagedObjectsSync(self->entity_, &context, kx::Array{kx::Value(info)}, nullptr)
               .empty();
    }
    if (!stored) {
      KXLOG("entry %s not stored after its body", id.c_str());
      self->finish(pullError());
      return;
    }
    client.indexNotes(kx::Array{kx::Value::dict(
        {{"docID", kx::Value(id)}, {"docContent", kx::Value(std::move(indexText))}})});
    if (expectsResources(info)) {
      // Its body keeps the service's resource references; the entry stays
      // in the pull-failure list until its resources are fetched.
      KXLOG("resources of %s still to fetch: kept for a later pull", self->fileId_.c_str());
      self->finish(pullError());
      return;
    }
    self->finish(kx::Error());
  });
}

void KXObjectPuller::finish(const kx::Error& error) {
  std::function<void(const kx::Error&)> done;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    done.swap(done_);
    filePuller_.reset();
  }
  if (done) done(error);
}

void KXObjectPuller::clearEnvironment() {
  std::shared_ptr<KXFilePuller> puller;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    done_ = nullptr;
    puller.swap(filePuller_);
  }
  if (puller) puller->clearEnvironment();
}
