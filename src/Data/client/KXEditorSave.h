// KXEditorSave writes what the editor and the push hand back: the editor's
// save of a note or Markdown file with its resources, resource records made
// or updated from the service or the page (with their stored files), and the
// outcomes of pushes (remote URLs of resources, an entry's pushed state).
//
// Queues: saves and resource updates run as blocks on the write queue, in
// the write context; their completions run there unless they say otherwise.
// Members that take a `KXManagedObjectContext*` run in that context on the
// caller's queue (the write queue). Nothing is saved: the caller saves.
//
// Thread safety: any thread may call the queued forms. The version provider
// is guarded by mu_ and called outside it.
#ifndef ZN_DATA_KXEDITORSAVE_H_
#define ZN_DATA_KXEDITORSAVE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXDataClientTypes.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXDataClient;
class KXManagedObjectContext;
class Resource;
class ResourceEntry;

class KXEditorSave {
 public:
  // Saves into the client's store. The client owns this object.
  explicit KXEditorSave(KXDataClient& client);
  KXEditorSave(const KXEditorSave&) = delete;
  KXEditorSave& operator=(const KXEditorSave&) = delete;

  // The version a note made by the editor takes while the store has no
  // root entry (-1: none). The sync layer installs the first download's
  // version here; unset, such a note takes -1.
  using NewEntryVersionProvider = std::function<std::int64_t()>;
  void setNewEntryVersionProvider(NewEntryVersionProvider provider);
  // The installed provider's answer, or -1 without one.
  std::int64_t versionForNewEntryWithoutRoot() const;

  // ---- Saving from the editor; push outcomes (KXEditorSave.cpp) -------------

  // Keys of the editor's save parameters (KXNoteSaveParams): "note", the
  // entry's fields; "resource", an array whose element 0 lists the note's
  // new resources and element 1 the resources it had (any further element,
  // such as the list of removed resources the web service sends, is not
  // read).
  static constexpr const char* kNoteSaveNoteKey = "note";
  static constexpr const char* kNoteSaveResourceKey = "resource";
  // Localisation key of a new entry's title.
  static constexpr const char* kEmptyTitleKey = "Empty Title.note";
  // Code of the error of a title taken in the folder (kx::kCocoaErrorDomain);
  // its user info is the title check's answer (KXDupTitleInfo).
  static constexpr std::int64_t kDupTitleErrorCode = 1024;

  // Saves the editor's note or Markdown file, in one block on the write
  // queue: the entry (made when the store has no entry of the file id) takes
  // the properties of "note", a title free in its folder, its resources,
  // size and summary, and stays marked for the next push (unless "note"
  // holds "stick"); its search document goes to the indexer. A title taken
  // in the folder by another entry ends the save before anything is written
  // when a completion is given: the completion gets the title check's
  // answer as its value and an error of code kDupTitleErrorCode with that
  // answer as user info. Otherwise the completion gets an empty dictionary
  // and no error once every change is written to the write context's open
  // transaction; a failed lookup, insert, write or resource copy is reported
  // as the error instead (never as success), so that the page keeps the
  // edit. A failed resource step leaves the note's former resources. A save
  // without a file id is refused. Nothing is saved: the caller saves. The
  // completion runs on the write queue.
  void saveNoteOrMd(const kx::Dictionary& params, KXDataCallback completion);
  // The older form, with the entity always "Note" and four resource lists
  // (new, existing, modified, duplicated). When "note" holds "bgImageId" and
  // the entry is the one open in the main page, the touch bar shows that
  // background (KXShellStateHooks). Nothing calls it.
  void saveNote(const kx::Dictionary& params, KXDataCallback completion);

  // What the resource step answers: the note's resources (objects of the
  // context) and the sum of their sizes; error set when a lookup or a copy
  // into the store failed (the item is then left out).
  struct ResourceStepResult {
    std::vector<std::shared_ptr<Resource>> resourceSet;
    std::int64_t resourceTotalSize = 0;
    kx::Error error;
  };
  // The resource step of the saves, in `context` on its queue (the write
  // queue): the existing resources of element 1 (unknown ids left out; a
  // size of 0 or none keeps the stored size), then the new resources of
  // element 0 (made with their stored file when unknown; an item whose file
  // is not on disk is left out).
  ResourceStepResult processResourceInfo(const kx::Array& resourceInfo,
                                         KXManagedObjectContext* context);
  // The stored file for the content at the file URL (or path): the entry of
  // the same data hash when there is one, else a new entry whose file the
  // file manager copies into the store (the write queue waits for it).
  // nullptr and *error when the file cannot be read or copied.
  std::shared_ptr<ResourceEntry> createResourceEntryForURL(const std::string& url,
                                                           KXManagedObjectContext* context,
                                                           kx::Error* error = nullptr);
  // YES when the resource exists and its stored file is held by exactly one
  // resource; read on the read queue.
  bool isSingleResource(const std::string& resourceId);
  // After the resource's upload, on the write queue: records the remote
  // URL, source and version given, and clears localModified. An unknown
  // resource changes nothing. Not saved.
  void setRemoteURLForResource(const std::string& resourceId, const std::optional<std::string>& url,
                               const std::optional<std::string>& src,
                               const std::optional<std::int64_t>& version);
  // After the entry's push, with the service's answer in the store's field
  // names: the entry takes the answer and is no longer marked for a push. An
  // entry edited while it was pushed (its modifyTime is no longer the
  // pushed one) takes only the new version and stays marked. The share link
  // follows the answer's share state (KXShareLinkHooks), also on that
  // reduced path. A file id the store does not hold is skipped with a log
  // line. Reads on the read queue, writes through modifyFileMetas.
  void updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData);
  // The push's form: decides and writes in one write block, so that an edit
  // written before it is always seen. The marks are cleared only when the
  // entry's change counter (FileMeta::localChangeCount) still is
  // `changeCount` (read when the push read the entry) and the modify time
  // rule above agrees; otherwise the entry takes only the version. Not
  // saved. `done` (may be empty) runs after the write, off the write queue,
  // with whether the marks were cleared; false also when the store holds no
  // such entry or is closed (nothing is written then).
  void updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData,
                              std::uint64_t changeCount, std::function<void(bool cleared)> done);

  // ---- Resource records (KXEditorSaveResources.cpp) -------------------------

  // Key of the one object in a resource completion's result.
  static constexpr const char* kResourceResultKey = "Resource";
  // Keys of a resource description (KXResourceInfo); all optional.
  static constexpr const char* kResourceInfoIdKey = "resourceID";
  static constexpr const char* kResourceInfoModifiedInLocalKey = "modifiedInLocal";
  static constexpr const char* kResourceInfoDataKey = "data";

  // Queues on the write queue: the resource of "resourceID" (made when
  // missing, with createTime and modifyTime now) takes "modifyTime",
  // "version", "mediaType" (as meidaType), "title" and "size" when given.
  // A "dataHash" attaches a resource entry: a stored entry of that hash is
  // shared only when its file lies in this resource's own folder (its path
  // holds the resource id), otherwise a new entry is made; "imageSize" is
  // set (cleared when absent) and "resOwner" when given. "noteId" adds the
  // resource to that note; "modifiedInLocal" true marks it changed here.
  // The callback gets the resource as its one object and no error. Not
  // saved.
  void createOrUpdateResourceMeta(const kx::Dictionary& resourceInfo, KXDataCallback callback);
  // The same, then, unless the entry's file is on disk already (and names a
  // file of the title's kind), writes "data" through the file manager and
  // waits for it: the entry records its file, and the data hash of a new
  // entry, only once the bytes are on disk, so an entry whose write failed
  // is never shared. The callback gets the resource, and the write's error
  // when it failed. The write queue waits for the file manager's
  // resource-write queue (and, for the move below, its content queue), so
  // work on those queues must never wait for the write queue.
  void createOrUpdateResource(const kx::Dictionary& resourceInfo, KXDataCallback callback);
  // The same with a finished temporary file moved into place (when the
  // entry has no file on disk yet) instead of data.
  void createOrUpdateResource(const kx::Dictionary& resourceInfo,
                              const std::optional<std::string>& tmpPath, KXDataCallback callback);

 private:
  KXDataClient& client_;
  mutable kx::Mutex mu_;
  NewEntryVersionProvider newEntryVersion_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_KXEDITORSAVE_H_
