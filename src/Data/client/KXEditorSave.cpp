// KXEditorSave: the editor's save of a note or stored file, and what a push
// records of its outcome (the entry's state after the service answered, the
// remote address of an uploaded resource).
#include <cerrno>
#include <string>
#include <unordered_map>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXTimeUtil.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXResourceUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXShareLinkHooks.h"
#include "Data/client/KXShellStateHooks.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/Root.h"
#include "Data/store/KXStoreError.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/Path.h"
#include "platform/Semaphore.h"
#include "platform/Time.h"
#include "platform/URL.h"

using namespace kx_data_client;

KXEditorSave::KXEditorSave(KXDataClient& client) : client_(client) {}

void KXEditorSave::setNewEntryVersionProvider(NewEntryVersionProvider provider) {
  kx::MutexLock lock(mu_);
  newEntryVersion_ = std::move(provider);
}

std::int64_t KXEditorSave::versionForNewEntryWithoutRoot() const {
  NewEntryVersionProvider provider;
  {
    kx::MutexLock lock(mu_);
    provider = newEntryVersion_;
  }
  return provider ? provider() : -1;
}

namespace {

// Which of the two saves runs: the editor's, or the older one whose
// resource array also lists modified and duplicated resources.
enum class SaveForm { Editor, Older };

const kx::Array& EmptyArray() {
  static const kx::Array* empty = new kx::Array();
  return *empty;
}

bool Present(const kx::Dictionary& info, const char* key) {
  const kx::Value* value = info.find(key);
  return value && !value->isNull();
}

// The path of a file URL; a plain path stays as it is.
std::string PathOfFileURL(const std::string& text) {
  if (text.rfind("file:", 0) != 0) return text;
  std::optional<kx::URL> url = kx::URL::parse(text);
  return url ? url->path() : std::string();
}

bool IsRegularFile(const std::string& path) {
  bool isDirectory = false;
  return !path.empty() && kx::FileSystem::Default().exists(path, &isDirectory) && !isDirectory;
}

// What a file manager queue reports back to the waiting write queue; shared
// with the completion, which may still be inside signal() when the waiter
// goes on.
struct CopyOutcome {
  kx::Semaphore done;
  std::string path;
  std::string hash;
  kx::Error error;
};

void AddOnce(std::vector<std::shared_ptr<Resource>>& set,
             const std::shared_ptr<Resource>& resource) {
  for (const auto& held : set) {
    if (held == resource) return;
  }
  set.push_back(resource);
}

// The resource of the id in the context; a failed fetch is told apart from
// a missing row.
std::shared_ptr<Resource> LookUpResource(KXManagedObjectContext& context, const std::string& id,
                                         kx::Error* error) {
  if (id.empty()) return nullptr;
  return KXCast<Resource>(FetchFirst(context, "Resource", "fileId = %@", {kx::Value(id)}, error));
}

}  // namespace

// ---- The resource step ----------------------------------------------------------

std::shared_ptr<ResourceEntry> KXEditorSave::createResourceEntryForURL(
    const std::string& url, KXManagedObjectContext* context, kx::Error* error) {
  if (!context) return nullptr;
  const std::string path = PathOfFileURL(url);
  std::optional<std::string> hash = KXFileManager::datahashForResourceURL(path);
  if (!hash) {
    kx::SetError(error, kx::Error::posix(IsRegularFile(path) ? EIO : ENOENT, path));
    return nullptr;
  }
  // Resources with equal content share one stored file.
  if (std::shared_ptr<ResourceEntry> shared =
          client_.readsIn(context).resourceEntryForHashCode(*hash)) {
    return shared;
  }

  // The bytes go into the store first; the entry is made only once they are
  // there, so that no entry ever names a file that is not on disk.
  const std::int64_t entryId = KXTimeUtil::currentTime();
  const std::string uuid = Resource::resourceFileID();
  kx::Dictionary fileInfo{
      {kKXResourceFileInfoExternFile, kx::Value(path)},
      {kKXResourceFileInfoEntryId, kx::Value(static_cast<long long>(entryId))},
      {kKXResourceFileInfoEntryUuid, kx::Value(uuid)},
  };
  // The write queue waits for the file manager's resource queue, which never
  // waits for the store's queues.
  auto copied = std::make_shared<CopyOutcome>();
  KXFileManager::defaultManauger().copyResourceFileFormExtern(
      kx::Value(fileInfo),
      [copied](const std::string& stored, const std::string& storedHash, const kx::Error& failure) {
        copied->path = stored;
        copied->hash = storedHash;
        copied->error = failure;
        copied->done.signal();
      });
  copied->done.wait();
  if (copied->error || copied->path.empty()) {
    KXLOG("resource file %s not copied into the store: %s", path.c_str(),
          copied->error.localizedDescription().c_str());
    kx::SetError(error, copied->error ? copied->error
                                      : KXStoreMakeError(kKXStoreUnavailableError,
                                                         "no place for the resource file"));
    return nullptr;
  }
  if (copied->hash != *hash) {
    // The outside file changed between hashing and copying: the entry
    // describes the bytes it holds.
    KXLOG("resource file %s changed while copied", path.c_str());
  }

  kx::Error insertError;
  auto entry = KXCast<ResourceEntry>(context->insertNewObject("ResourceEntry", &insertError));
  if (!entry) {
    KXLOG("resource entry for %s not made: %s", path.c_str(),
          insertError.localizedDescription().c_str());
    kx::SetError(error, insertError);
    return nullptr;
  }
  kx::ignoreError(entry->setValue("file", kx::Value(copied->path)));
  kx::ignoreError(entry->setValue("uuid", kx::Value(uuid)));
  kx::ignoreError(entry->setValue("entryID", kx::Value(static_cast<long long>(entryId))));
  kx::ignoreError(entry->setValue("dataHash", kx::Value(copied->hash)));
  return entry;
}

KXEditorSave::ResourceStepResult KXEditorSave::processResourceInfo(
    const kx::Array& resourceInfo, KXManagedObjectContext* context) {
  ResourceStepResult result;
  if (!context) {
    result.error = KXStoreMakeError(kKXStoreUnavailableError, "no context for the resources");
    return result;
  }
  const kx::Array& added = !resourceInfo.empty() ? resourceInfo[0].array() : EmptyArray();
  const kx::Array& held = resourceInfo.size() > 1 ? resourceInfo[1].array() : EmptyArray();
  result.resourceSet.reserve(added.size() + held.size());

  auto fail = [&result](const kx::Error& error) {
    if (!result.error) result.error = error;
  };

  // Every resource the lists name, in one fetch; the first of an id in
  // store order answers for it, as a lookup by id does.
  std::unordered_map<std::string, std::shared_ptr<Resource>> known;
  {
    kx::Array ids;
    ids.reserve(added.size() + held.size());
    for (const kx::Array* list : {&held, &added}) {
      for (const kx::Value& item : *list) {
        std::string id = item["id"].stringValue();
        if (!id.empty()) ids.emplace_back(std::move(id));
      }
    }
    if (!ids.empty()) {
      kx::Error error;
      std::vector<KXManagedObjectPtr> found =
          Fetch(*context, "Resource", "fileId IN %@", {kx::Value(std::move(ids))}, 0, &error);
      if (error) {
        // Not knowing which resources exist, the step cannot tell the
        // note's set.
        fail(error);
        return result;
      }
      for (const auto& resource : CastAll<Resource>(found)) {
        known.emplace(resource->fileId(), resource);
      }
    }
  }
  auto lookUp = [&known](const std::string& id) -> std::shared_ptr<Resource> {
    auto it = known.find(id);
    return it == known.end() ? nullptr : it->second;
  };

  // Resources the note had: the stored size is kept unless the item gives
  // one.
  for (const kx::Value& item : held) {
    const std::string id = item["id"].stringValue();
    std::shared_ptr<Resource> resource = lookUp(id);
    if (!resource) {
      KXLOG("resource %s of the note is not in the store: left out", id.c_str());
      continue;
    }
    std::int64_t size = item["size"].intValue();
    if (size == 0) size = resource->size();
    if (size != resource->size()) {
      kx::ignoreError(resource->setValue("size", kx::Value(static_cast<long long>(size))));
    }
    result.resourceTotalSize += size;
    AddOnce(result.resourceSet, resource);
  }

  // New resources: made with their stored file unless the store has them.
  for (const kx::Value& item : added) {
    const std::string id = item["id"].stringValue();
    kx::Error error;
    std::shared_ptr<Resource> resource = lookUp(id);
    if (!resource) {
      const std::string path = PathOfFileURL(item["filePath"].stringValue());
      if (id.empty() || !IsRegularFile(path)) {
        KXLOG("new resource %s has no file at %s: left out", id.c_str(), path.c_str());
        continue;
      }
      std::shared_ptr<ResourceEntry> entry = createResourceEntryForURL(path, context, &error);
      if (!entry) {
        fail(error);
        continue;
      }
      resource = KXCast<Resource>(context->insertNewObject("Resource", &error));
      if (!resource) {
        fail(error);
        continue;
      }
      kx::ignoreError(resource->setValue("title", item["title"]));
      kx::ignoreError(resource->setValue(
          "createTime", kx::Value(static_cast<long long>(item["createTime"].intValue()))));
      kx::ignoreError(resource->setValue(
          "meidaType", kx::Value(Resource::resourceTypeName(item["type"].intValue()))));
      kx::ignoreError(resource->setValue("localModified", kx::Value(true)));
      kx::ignoreError(resource->setValue("fileId", kx::Value(id)));
      kx::ignoreError(resource->setObject("entry", entry));
      kx::ignoreError(
          resource->setValue("size", kx::Value(static_cast<long long>(item["size"].intValue()))));
      const std::string imageSize = item["imageSize"].stringValue();
      if (!imageSize.empty())
        kx::ignoreError(resource->setValue("imageSize", kx::Value(imageSize)));
      known.emplace(id, resource);
    }
    result.resourceTotalSize += resource->size();
    AddOnce(result.resourceSet, resource);
  }
  return result;
}

// ---- The saves ------------------------------------------------------------------

namespace {

// What the older save does with its two extra resource lists, in the write
// context: element 2 lists resources whose data the editor changed (their
// new bytes wait in the file manager's temporary file of the resource id),
// element 3 resources to copy ({"id": the new resource id, "originId": the
// resource copied}). Answers the resources to add to the note.
std::vector<std::shared_ptr<Resource>> OlderResourceLists(KXDataClient& client,
                                                          const kx::Array& resourceInfo,
                                                          KXManagedObjectContext& context,
                                                          std::int64_t* totalSize,
                                                          kx::Error* failure) {
  std::vector<std::shared_ptr<Resource>> out;
  KXFileManager& files = KXFileManager::defaultManauger();
  KXResourceUtil& previews = KXResourceUtil::sharedUtil();
  const kx::Array& modified = resourceInfo.size() > 2 ? resourceInfo[2].array() : EmptyArray();
  const kx::Array& duplicated = resourceInfo.size() > 3 ? resourceInfo[3].array() : EmptyArray();
  for (const kx::Value& item : modified) {
    kx::Error error;
    std::shared_ptr<Resource> resource = LookUpResource(context, item["id"].stringValue(), &error);
    if (!resource) {
      if (error && !*failure) *failure = error;
      continue;
    }
    const std::string temporary = files.URLForTempResourceFileWithID(
        resource->fileId(), kx::Path::lastPathComponent(resource->title()));
    if (IsRegularFile(temporary)) {
      std::shared_ptr<ResourceEntry> entry =
          client.editorSave().createResourceEntryForURL(temporary, &context, &error);
      if (!entry) {
        if (!*failure) *failure = error;
        continue;
      }
      kx::ignoreError(resource->setObject("entry", entry));
      kx::ignoreError(resource->setValue("localModified", kx::Value(true)));
      if (Present(item.dict(), "size")) kx::ignoreError(resource->setValue("size", item["size"]));
      previews.updatePreviewForResource(kx::Dictionary{
          {kKXResourceIDKey, kx::Value(resource->fileId())},
          {kKXResourceTitleKey, kx::Value(resource->title())},
          {kKXResourceSizeKey, kx::Value(static_cast<long long>(resource->size()))},
          {kKXResourceCreateTimeKey, resource->value("createTime")},
      });
    }
    *totalSize += resource->size();
    AddOnce(out, resource);
  }
  for (const kx::Value& item : duplicated) {
    kx::Error error;
    std::shared_ptr<Resource> origin =
        LookUpResource(context, item["originId"].stringValue(), &error);
    const std::string id = item["id"].stringValue();
    if (!origin || id.empty()) {
      if (error && !*failure) *failure = error;
      continue;
    }
    std::shared_ptr<Resource> copy = LookUpResource(context, id, &error);
    if (!copy) {
      copy = KXCast<Resource>(context.insertNewObject("Resource", &error));
      if (!copy) {
        if (!*failure) *failure = error;
        continue;
      }
      for (const char* key : {"title", "meidaType", "size", "imageSize"}) {
        kx::ignoreError(copy->setValue(key, origin->value(key)));
      }
      kx::ignoreError(copy->setValue("fileId", kx::Value(id)));
      kx::ignoreError(
          copy->setValue("createTime", kx::Value(static_cast<long long>(kx::Time::nowSeconds()))));
      kx::ignoreError(copy->setValue("localModified", kx::Value(true)));
      kx::ignoreError(copy->setObject("entry", origin->entry()));
      previews.copyPreivewFrom(kx::Dictionary{{kKXResourceIDKey, kx::Value(origin->fileId())}},
                               kx::Dictionary{{kKXResourceIDKey, kx::Value(id)}});
    }
    *totalSize += copy->size();
    AddOnce(out, copy);
  }
  return out;
}

void Fail(const KXDataCallback& completion, const std::string& fileId, const kx::Error& error) {
  KXLOG("save of %s failed: %s", fileId.c_str(), error.localizedDescription().c_str());
  if (completion) completion(KXResultInfo::none(), error);
}

}  // namespace

// The body of both saves, in the write context on the write queue.
static void SaveSync(KXDataClient& client, const kx::Dictionary& params,
                     KXManagedObjectContext& context, SaveForm form,
                     const KXDataCallback& completion) {
  const kx::Dictionary& note = params[KXEditorSave::kNoteSaveNoteKey].dict();
  const std::string fileId = note["fileId"].stringValue();
  const std::string title = note["title"].stringValue();
  const bool hasText = Present(note, "text");
  const std::int64_t size = note["size"].intValue();
  const kx::Value* resourceInfo = params.find(KXEditorSave::kNoteSaveResourceKey);
  const bool hasResources = resourceInfo && resourceInfo->isArray();

  // An entry without an id could never be found again.
  if (fileId.empty()) {
    Fail(completion, fileId, KXStoreMakeError(kKXStoreTypeError, "a save without a file id"));
    return;
  }

  // A failed lookup is not a missing entry: making one would store the note
  // twice.
  kx::Error error;
  KXFileMetaPtr entry;
  if (fileId == KXDataClient::kRootFileId) {
    entry = client.reads().rootEntryWithContext(&context);
  } else {
    entry = KXCast<FileMeta>(
        FetchFirst(context, "FileMeta", "fileId = %@", {kx::Value(fileId)}, &error));
  }
  if (error) {
    Fail(completion, fileId, error);
    return;
  }
  const kx::Value now(static_cast<long long>(kx::Time::nowSeconds()));

  const std::string entity =
      form == SaveForm::Older || note["domain"].intValue() == 0 ? "Note" : "NormalFile";
  const std::string folder = entry ? entry->parentId() : note["parentId"].stringValue();

  // A title another entry of the folder carries is refused before anything
  // is written, when there is someone to tell.
  struct TitleQuestion {
    std::optional<std::string> title, parentId, overLook;
    std::string className;
    bool operator==(const TitleQuestion&) const = default;
  };
  std::optional<TitleQuestion> asked;
  if (!title.empty() && !folder.empty()) {
    asked = TitleQuestion{title, folder, entry ? std::optional<std::string>(fileId) : std::nullopt,
                          entity};
    kx::Dictionary dup = client.readsIn(&context).titleOfDuplicateTitle(
        asked->title, asked->parentId, asked->overLook, entity);
    if (dup[kKXDupTitleIsDupKey].boolValue()) {
      if (completion) {
        KXLOG("save of %s: the title is taken in %s", fileId.c_str(), folder.c_str());
        completion(
            KXResultInfo::withValue(kx::Value(dup)),
            kx::Error(kx::kCocoaErrorDomain, KXEditorSave::kDupTitleErrorCode, kx::Value(dup)));
        return;
      }
      asked.reset();  // the second check renames
    }
  }

  // The resources are looked up (and new ones made) before the entry
  // changes: their reads then find no change of the entry waiting to be
  // written, and a failed step leaves the entry as it was.
  KXEditorSave::ResourceStepResult step;
  std::int64_t total = size;
  if (hasResources) {
    step = client.editorSave().processResourceInfo(resourceInfo->array(), &context);
    if (!step.error && form == SaveForm::Older) {
      for (const auto& resource : OlderResourceLists(client, resourceInfo->array(), context,
                                                     &step.resourceTotalSize, &step.error)) {
        AddOnce(step.resourceSet, resource);
      }
    }
    // A partial set would drop resources the note holds: the note keeps its
    // former set and the caller hears of the failure.
    if (step.error) {
      Fail(completion, fileId, step.error);
      return;
    }
    total += step.resourceTotalSize;
  }

  const bool isNew = !entry;
  if (isNew) {
    entry = KXCast<FileMeta>(context.insertNewObject(entity, &error));
    if (!entry) {
      Fail(completion, fileId, error);
      return;
    }
    std::int64_t version = client.readsIn(&context).baseVersion();
    if (version == -1) version = client.editorSave().versionForNewEntryWithoutRoot();
    const kx::Dictionary fields{
        {"createTime", now},
        {"fileId", kx::Value(fileId)},
        {"title", kx::Value(kx::LocalizedStrings::localized(KXEditorSave::kEmptyTitleKey))},
        {"del", kx::Value(false)},
        {"encrypted", kx::Value(false)},
        {"parentId", note["parentId"]},
        {"dir", kx::Value(false)},
        {"domain", kx::Value(0)},
        {"entryType", kx::Value(0)},
        {"namePath", kx::Value("")},
        {"transactionId", kx::Value(fileId)},
        {"favorited", kx::Value(false)},
        {"noteType", kx::Value(0)},
        {"version", kx::Value(static_cast<long long>(version))},
    };
    if (!entry->setValuesForKeys(fields))
      KXLOG("new entry %s: a field was refused", fileId.c_str());
    kx::ignoreError(entry->setObjects("resources", {}));
  }

  // Every property the editor sends reaches the entry. An empty title is no
  // title: it leaves the entry's title as it is.
  kx::Dictionary untitled;
  if (title.empty()) {
    untitled = note;
    untitled.remove("title");
  }
  if (!entry->setValuesForKeys(title.empty() ? untitled : note)) {
    KXLOG("save of %s: a value of the note was refused", fileId.c_str());
  }

  if (hasText) {
    kx::ignoreError(entry->setValue("summary", note["summary"]));
    kx::ignoreError(entry->setValue("contentChanged", kx::Value(true)));
    kx::ignoreError(entry->setValue("transactionTime", now));
    kx::ignoreError(entry->setValue("modifyTime", now));
  }
  bool titleChanged = false;
  if (!title.empty()) {
    kx::ignoreError(entry->setValue("title", kx::Value(title)));
    kx::ignoreError(entry->setValue("transactionTime", now));
    kx::ignoreError(entry->setValue("modifyTime", now));
    titleChanged = true;
  }

  // Whatever the title is now, it must be free in the entry's folder. The
  // same question as the first check's, answered free there, is not asked
  // again (it reads the same saved state).
  const TitleQuestion secondQuestion{
      entry->isNil("title") ? std::nullopt : std::optional<std::string>(entry->title()),
      entry->isNil("parentId") ? std::nullopt : std::optional<std::string>(entry->parentId()),
      fileId, entry->entity().name()};
  if (!asked || !(*asked == secondQuestion)) {
    kx::Dictionary dup = client.readsIn(&context).titleOfDuplicateTitle(
        secondQuestion.title, secondQuestion.parentId, secondQuestion.overLook,
        secondQuestion.className);
    if (dup[kKXDupTitleIsDupKey].boolValue()) {
      kx::ignoreError(entry->setValue("title", dup[kKXDupTitleNewTitleKey]));
      titleChanged = true;
    }
  }

  if (!note.contains("stick")) kx::ignoreError(entry->setValue("localModified", kx::Value(1)));

  // The note's resources, now that its fields are set. The size the text
  // brings goes in first, so that the entry's changes reach the store in
  // one write, with its links.
  if (hasText) {
    kx::ignoreError(entry->setValue("size", kx::Value(static_cast<long long>(total))));
  }
  if (hasResources) {
    std::vector<KXManagedObjectPtr> objects(step.resourceSet.begin(), step.resourceSet.end());
    if (!entry->setObjects("resources", objects)) {
      Fail(completion, fileId,
           KXStoreMakeError(kKXStoreTypeError, "the note's resources were refused"));
      return;
    }
  }

  // The search document.
  const std::string base = kx::Path::deletingPathExtension(entry->title());
  std::optional<std::string> docContent;
  if (hasText) {
    const kx::Value& text = note["text"];
    docContent = base + " " + (text.isString() ? text.string() : text.stringValue());
  } else if (isNew) {
    docContent = base;
  } else if (titleChanged) {
    // A note without a content file is found by its title, never by the
    // placeholder that readers show in its place. A content file that is
    // there but cannot be read now leaves the index's document as it is
    // (its text still finds it) and the entry unmarked, so that a later
    // indexing tries again.
    kx::ErrorOr<std::string> content = KXFileManager::defaultManauger().readContentTextSync(fileId);
    if (content) {
      const std::string text = NSStringDupTitle::plainText(content.value());
      docContent = text.empty() ? base : base + " " + text;
    } else if (KXFileManager::isMissingContent(content.error())) {
      docContent = base;
    } else {
      KXLOG("save of %s: content not read for the index: %s", fileId.c_str(),
            content.error().localizedDescription().c_str());
      kx::ignoreError(entry->setValue("hasIndex", kx::Value()));
    }
  }

  if (form == SaveForm::Older && Present(note, "bgImageId")) {
    std::optional<std::string> open = KXShellStateHooks::currentFileId();
    if (open && *open == fileId) {
      KXShellStateHooks::changeCurrentBgImageId(note["bgImageId"].stringValue());
    }
  }

  // The changes are written to the open transaction now, so that a write
  // the store refused is told to the caller and not found only by the save.
  if (context.count("FileMeta", "fileId = %@", {kx::Value(fileId)}, &error) < 0) {
    Fail(completion, fileId, error);
    return;
  }

  if (docContent) {
    client.indexing().indexNotes({kx::Value::dict(
        {{"docContent", kx::Value(std::move(*docContent))}, {"docID", kx::Value(fileId)}})});
  }
  if (completion) completion(KXResultInfo::withValue(kx::Value(kx::Dictionary{})), kx::Error());
}

namespace {

// Queues one save of the given form on the write queue.
void QueueSave(KXDataClient& client, const kx::Dictionary& params, SaveForm form,
               KXDataCallback completion) {
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) {
    // The edit must not vanish without a word: the page keeps it.
    if (completion) {
      completion(KXResultInfo::none(),
                 KXStoreMakeError(kKXStoreUnavailableError, "the store is closed"));
    }
    return;
  }
  data->performWriteBlock(
      [&client, params, form, completion = std::move(completion)](KXManagedObjectContext& context) {
        SaveSync(client, params, context, form, completion);
      });
}

}  // namespace

void KXEditorSave::saveNoteOrMd(const kx::Dictionary& params, KXDataCallback completion) {
  QueueSave(client_, params, SaveForm::Editor, std::move(completion));
}

void KXEditorSave::saveNote(const kx::Dictionary& params, KXDataCallback completion) {
  QueueSave(client_, params, SaveForm::Older, std::move(completion));
}

// ---- Resources after their upload ----------------------------------------------

bool KXEditorSave::isSingleResource(const std::string& resourceId) {
  return InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* context) {
    std::shared_ptr<Resource> resource = client_.readsIn(context).objectForResourceID(resourceId);
    if (!resource) return false;
    std::shared_ptr<ResourceEntry> entry = resource->entry();
    return entry && entry->resourceHolders().size() == 1;
  });
}

void KXEditorSave::setRemoteURLForResource(const std::string& resourceId,
                                           const std::optional<std::string>& url,
                                           const std::optional<std::string>& src,
                                           const std::optional<std::int64_t>& version) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, resourceId, url, src, version](KXManagedObjectContext& context) {
    std::shared_ptr<Resource> resource = client_.readsIn(&context).objectForResourceID(resourceId);
    if (!resource) {
      KXLOG("upload of resource %s not recorded: no such resource", resourceId.c_str());
      return;
    }
    if (src) kx::ignoreError(resource->setValue("remoteSrc", kx::Value(*src)));
    if (url) kx::ignoreError(resource->setValue("remoteURL", kx::Value(*url)));
    if (version) {
      kx::ignoreError(resource->setValue("version", kx::Value(static_cast<long long>(*version))));
    }
    kx::ignoreError(resource->setValue("localModified", kx::Value(false)));
  });
}

// ---- Entries after their push --------------------------------------------------

void KXEditorSave::updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData) {
  remoteData.set("localModified", kx::Value(0));
  remoteData.set("contentChanged", kx::Value(false));
  if (!Present(remoteData, "parentId") || remoteData["parentId"].stringValue().empty()) {
    remoteData.remove("parentId");
  }

  KXFileMetaPtr entry;
  std::int64_t storedModifyTime = 0;
  KXObjectID identity;
  InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* context) {
    entry = client_.readsIn(context).objectForFileMetaID(fileId);
    if (entry) {
      storedModifyTime = entry->modifyTime();
      identity = entry->objectID();
    }
  });
  if (!entry) {
    // An update without an identity names nothing to update.
    KXLOG("push outcome of %s skipped: the store holds no such entry", fileId.c_str());
    return;
  }

  if (!remoteData["shared"].boolValue()) remoteData.set("shareUrl", kx::Value(""));

  kx::Dictionary fields = remoteData;
  if (Present(remoteData, "modifyTime") && Present(remoteData, "version") &&
      remoteData["modifyTime"].intValue() != storedModifyTime) {
    // Edited while it was pushed: it keeps its changes and its mark for the
    // next push, and takes only the version the service gave.
    KXLOG("modified while pushing file");
    fields = kx::Dictionary{{"version", remoteData["version"]}};
  }

  if (Present(remoteData, "md5")) {
    KXLOG("update file md5--%s", remoteData["md5"].stringValue().c_str());
  }
  if (Present(remoteData, "version")) {
    KXLOG("update filemeta--%s", remoteData["version"].stringValue().c_str());
  }
  kx::Array items{kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, identity.toValue()},
                                   {KXEntryWrites::kModifyFieldsKey, kx::Value(fields)}})};
  client_.writes().modifyFileMetas(items, nullptr);

  // The share state comes from the whole answer, also when the entry kept
  // its local changes: the service's view of the link does not depend on
  // them, and a reduced answer would read as "not shared".
  KXShareLinkHooks::handleShareLink(client_, remoteData, entry);
}

void KXEditorSave::updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData,
                                          std::uint64_t changeCount,
                                          std::function<void(bool cleared)> done) {
  remoteData.set("localModified", kx::Value(0));
  remoteData.set("contentChanged", kx::Value(false));
  if (!Present(remoteData, "parentId") || remoteData["parentId"].stringValue().empty()) {
    remoteData.remove("parentId");
  }
  if (!remoteData["shared"].boolValue()) remoteData.set("shareUrl", kx::Value(""));
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  auto report = [done](bool cleared) {
    if (!done) return;
    kx::GlobalQueue::get().async([done, cleared] { done(cleared); });
  };
  if (!data) {
    report(false);
    return;
  }
  data->performWriteBlock([this, fileId, remoteData, changeCount, report,
                           done](KXManagedObjectContext& context) {
    KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId);
    if (!entry) {
      KXLOG("push outcome of %s skipped: the store holds no such entry", fileId.c_str());
      report(false);
      return;
    }
    const bool counterMoved = FileMeta::localChangeCount(fileId) != changeCount;
    const bool timeMoved = Present(remoteData, "modifyTime") && Present(remoteData, "version") &&
                           remoteData["modifyTime"].intValue() != entry->modifyTime();
    kx::Dictionary fields = remoteData;
    const bool cleared = !counterMoved && !timeMoved;
    if (!cleared) {
      KXLOG("modified while pushing file");
      fields = kx::Dictionary{};
      if (Present(remoteData, "version")) fields.set("version", remoteData["version"]);
    }
    if (Present(remoteData, "version")) {
      KXLOG("update filemeta--%s", remoteData["version"].stringValue().c_str());
    }
    // The title the entry already has is not asked for again: a modify that
    // names a title checks it against the siblings, and a title that two
    // siblings share (as the service allows) would be renamed and marked
    // for the next push, every time.
    if (fields.contains("title") && fields["title"].stringValue() == entry->title()) {
      fields.remove("title");
    }
    kx::Array items{
        kx::Value::dict({{KXEntryWrites::kModifyIdentityKey, entry->objectID().toValue()},
                         {KXEntryWrites::kModifyFieldsKey, kx::Value(fields)}})};
    client_.writes().modifyManagedObjectSync("FileMeta", &context, items, nullptr);
    kx::GlobalQueue::get().async([this, fileId, remoteData, done, cleared] {
      KXShareLinkHooks::handleShareLink(client_, remoteData,
                                        client_.reads().objectForFileMetaID(fileId));
      if (done) done(cleared);
    });
  });
}
