// KXEditorSave: resource rows and the entries that name their stored files.
#include <ctime>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXTimeUtil.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Semaphore.h"

using namespace kx_data_client;

namespace {

// How the meta step treats a new entry's data hash.
enum class HashOf {
  // Recorded at once: no file is promised by this call.
  NewEntryNow,
  // Left for the caller to record once the entry's file is on disk, so that
  // no entry whose file never arrived can be found by its hash.
  NewEntryWhenStored,
};

struct MetaOutcome {
  std::shared_ptr<Resource> resource;
  std::shared_ptr<ResourceEntry> entry;  // attached by this call
  bool entryIsNew = false;
  std::string pendingHash;  // the hash a new entry is to take once its file is stored
};

bool Present(const kx::Dictionary& info, const char* key) {
  const kx::Value* value = info.find(key);
  return value && !value->isNull();
}

// The resource's stored file is on disk and, for an office document (the
// one kind whose stored file keeps its title), is stored under the name of
// an ordinary file too: an office document's entry naming a note file is
// written again. Other resources are stored under their entry's uuid, a name
// without an extension, which is no reason to write them again.
bool HasGoodFile(const std::shared_ptr<Resource>& resource) {
  std::shared_ptr<ResourceEntry> entry = resource ? resource->entry() : nullptr;
  if (!entry || entry->isNil("file") || entry->file().empty()) return false;
  const std::string file = entry->file();
  bool isDirectory = false;
  if (!kx::FileSystem::Default().exists(file, &isDirectory) || isDirectory) return false;
  if (NSStringDupTitle::isOfficeFile(resource->title()) &&
      NSStringDupTitle::isNormalFile(resource->title())) {
    return NSStringDupTitle::isNormalFile(kx::Path::lastPathComponent(file));
  }
  return true;
}

kx::Dictionary FileInfoFor(const std::shared_ptr<Resource>& resource,
                           const std::shared_ptr<ResourceEntry>& entry) {
  return kx::Dictionary{
      {kKXResourceFileInfoEntryUuid, kx::Value(entry->uuid())},
      {kKXResourceFileInfoEntryId, kx::Value(static_cast<long long>(entry->entryID()))},
      {kKXResourceFileInfoFileId, kx::Value(resource->fileId())},
      {kKXResourceFileInfoTitle, kx::Value(resource->title())},
  };
}

// Records the stored file of the entry, and the hash it was waiting for.
void RecordStoredFile(const MetaOutcome& outcome, const std::shared_ptr<ResourceEntry>& entry,
                      const std::string& path) {
  if (!entry->setValue("file", kx::Value(path))) {
    KXLOG("could not record the file of resource entry %s", entry->uuid().c_str());
  }
  if (entry == outcome.entry && !outcome.pendingHash.empty()) {
    kx::ignoreError(entry->setValue("dataHash", kx::Value(outcome.pendingHash)));
  }
}

// What a file manager queue reports back to the waiting write queue. It is
// shared with the completion, which may still be inside signal() when the
// waiter goes on.
struct FileOutcome {
  kx::Semaphore done;
  std::string path;
  std::string hash;
  kx::Error error;
};

KXResultInfo ResultFor(const std::shared_ptr<Resource>& resource) {
  if (!resource) return KXResultInfo::none();
  return KXResultInfo::withObjects({resource});
}

}  // namespace

// The meta step shared by the three writers, in the write context.
static MetaOutcome ResourceMetaSync(KXDataClient& client, const kx::Dictionary& info,
                                    KXManagedObjectContext& context, HashOf hashOf) {
  MetaOutcome outcome;
  const std::string resourceId = info[KXEditorSave::kResourceInfoIdKey].stringValue();

  std::shared_ptr<Resource> resource = client.readsIn(&context).objectForResourceID(resourceId);
  if (!resource) {
    resource = KXCast<Resource>(context.insertNewObject("Resource"));
    if (!resource) {
      KXLOG("the resource %s could not be made", resourceId.c_str());
      return outcome;
    }
    const kx::Value now(static_cast<long long>(std::time(nullptr)));
    kx::ignoreError(resource->setValue("fileId", kx::Value(resourceId)));
    kx::ignoreError(resource->setValue("createTime", now));
    kx::ignoreError(resource->setValue("modifyTime", now));
  }
  outcome.resource = resource;

  if (Present(info, "modifyTime"))
    kx::ignoreError(resource->setValue("modifyTime", info["modifyTime"]));
  if (Present(info, "version")) {
    kx::ignoreError(resource->setValue(
        "version", kx::Value(static_cast<long long>(info["version"].intValue()))));
  }
  if (Present(info, "mediaType"))
    kx::ignoreError(resource->setValue("meidaType", info["mediaType"]));
  if (Present(info, "title")) kx::ignoreError(resource->setValue("title", info["title"]));
  if (Present(info, "size")) kx::ignoreError(resource->setValue("size", info["size"]));

  const kx::Value* hashValue = info.find("dataHash");
  const bool hasHash =
      hashValue && !hashValue->isNull() && !(hashValue->isNumber() && !hashValue->boolValue());
  if (hasHash) {
    const std::string hash = hashValue->stringValue();
    // An entry is shared only with a resource whose own folder holds its
    // file; of several entries of the hash, one that does is taken.
    std::shared_ptr<ResourceEntry> entry;
    if (!resourceId.empty()) {
      for (const auto& candidate : CastAll<ResourceEntry>(
               Fetch(context, "ResourceEntry", "dataHash = %@", {kx::Value(hash)}))) {
        const std::string file = candidate->file();
        if (!file.empty() && file.find(resourceId) != std::string::npos) {
          entry = candidate;
          break;
        }
      }
    }
    if (!entry) {
      entry = KXCast<ResourceEntry>(context.insertNewObject("ResourceEntry"));
      if (entry) {
        outcome.entryIsNew = true;
        kx::ignoreError(entry->setValue(
            "entryID", kx::Value(static_cast<long long>(KXTimeUtil::currentTime()))));
        kx::ignoreError(entry->setValue("uuid", kx::Value(Resource::resourceFileID())));
        if (Present(info, "mimeType"))
          kx::ignoreError(entry->setValue("mimeType", info["mimeType"]));
        if (hashOf == HashOf::NewEntryNow) {
          kx::ignoreError(entry->setValue("dataHash", kx::Value(hash)));
        } else {
          outcome.pendingHash = hash;
        }
      } else {
        KXLOG("a resource entry for %s could not be made", resourceId.c_str());
      }
    }
    if (entry) {
      outcome.entry = entry;
      kx::ignoreError(resource->setObject("entry", entry));
      kx::ignoreError(resource->setValue("imageSize", info["imageSize"]));
      if (Present(info, "resOwner"))
        kx::ignoreError(resource->setValue("resOwner", info["resOwner"]));
    }
  }

  if (Present(info, "noteId")) {
    if (KXFileMetaPtr note =
            client.readsIn(&context).objectForFileMetaID(info["noteId"].stringValue())) {
      bool held = false;
      for (const KXManagedObjectPtr& object : note->objects("resources")) {
        if (object == resource) held = true;
      }
      if (!held) kx::ignoreError(note->addObject("resources", resource));
    }
  }
  if (info[KXEditorSave::kResourceInfoModifiedInLocalKey].boolValue()) {
    kx::ignoreError(resource->setValue("localModified", kx::Value(true)));
  }
  return outcome;
}

void KXEditorSave::createOrUpdateResourceMeta(const kx::Dictionary& resourceInfo,
                                              KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock(
      [this, resourceInfo, callback = std::move(callback)](KXManagedObjectContext& context) {
        MetaOutcome outcome = ResourceMetaSync(client_, resourceInfo, context, HashOf::NewEntryNow);
        if (callback) callback(ResultFor(outcome.resource), kx::Error());
      });
}

void KXEditorSave::createOrUpdateResource(const kx::Dictionary& resourceInfo,
                                          KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  kx::Dictionary info = resourceInfo;
  kx::Value bytes = info[kResourceInfoDataKey];
  info.remove(kResourceInfoDataKey);
  data->performWriteBlock([this, info, bytes,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    MetaOutcome outcome = ResourceMetaSync(client_, info, context, HashOf::NewEntryWhenStored);
    std::shared_ptr<ResourceEntry> entry = outcome.resource ? outcome.resource->entry() : nullptr;
    kx::Error failure;
    const bool hasData = bytes.isData() || bytes.isString();
    if (hasData && !entry) {
      // Without a data hash there is no entry to name the file.
      KXLOG("resource %s: data without a data hash is not stored",
            info[kResourceInfoIdKey].stringValue().c_str());
    }
    if (entry && hasData && !HasGoodFile(outcome.resource)) {
      kx::Dictionary fileInfo = FileInfoFor(outcome.resource, entry);
      fileInfo.set(kKXResourceFileInfoEntryData, bytes);
      // The entry names its file only once the writer has the bytes on
      // disk; the write queue waits for it so that a save queued after this
      // call stores the path. The resource-write queue never waits for the
      // store's queues.
      auto written = std::make_shared<FileOutcome>();
      KXFileManager::defaultManauger().writeResourceFile(
          kx::Value(fileInfo),
          [written](const std::string& path, const std::string& hash, const kx::Error& error) {
            written->path = path;
            written->hash = hash;
            written->error = error;
            written->done.signal();
          });
      written->done.wait();
      failure = written->error;
      if (!failure && !written->path.empty()) {
        if (!outcome.pendingHash.empty() && written->hash != outcome.pendingHash) {
          KXLOG("resource %s: stored bytes hash to %s, not %s", outcome.resource->fileId().c_str(),
                written->hash.c_str(), outcome.pendingHash.c_str());
        }
        RecordStoredFile(outcome, entry, written->path);
      } else {
        KXLOG("resource %s: its data was not stored: %s", outcome.resource->fileId().c_str(),
              failure.localizedDescription().c_str());
      }
    }
    if (callback) callback(ResultFor(outcome.resource), failure);
  });
}

void KXEditorSave::createOrUpdateResource(const kx::Dictionary& resourceInfo,
                                          const std::optional<std::string>& tmpPath,
                                          KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, resourceInfo, tmpPath,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    MetaOutcome outcome =
        ResourceMetaSync(client_, resourceInfo, context, HashOf::NewEntryWhenStored);
    std::shared_ptr<ResourceEntry> entry = outcome.resource ? outcome.resource->entry() : nullptr;
    kx::Error failure;
    // An entry whose file is on disk keeps it; the temporary file stays
    // where it is.
    if (entry && tmpPath && !tmpPath->empty() && !HasGoodFile(outcome.resource)) {
      KXFileManager& files = KXFileManager::defaultManauger();
      const std::string target =
          files.resourceFileURL(kx::Value(FileInfoFor(outcome.resource, entry)));
      auto moved = std::make_shared<FileOutcome>();
      files.moveFileFromPath(*tmpPath, target, [moved](const kx::Error& error) {
        moved->error = error;
        moved->done.signal();
      });
      moved->done.wait();
      failure = moved->error;
      if (!failure) {
        RecordStoredFile(outcome, entry, target);
      } else {
        KXLOG("resource %s: its file was not moved into place: %s",
              outcome.resource->fileId().c_str(), failure.localizedDescription().c_str());
      }
    }
    if (callback) callback(ResultFor(outcome.resource), failure);
  });
}
