// KXEntryWrites changes entries: the generic insert, delete and modify, the
// per-entity wrappers, erases, name-path folders made again, copy, move and
// recover, the trash and the clean-up of deleted data, summaries, and the
// entry read back for a writer.
//
// Queues: a member that takes a `KXManagedObjectContext*` works in that
// context on the caller's queue, which must own it (the write queue inside
// a write block). Every other member queues one block on the write queue
// and works in the write context there; completions run on the write queue
// unless they say otherwise. Nothing is saved unless a member says so: the
// caller saves (KXStoreState::performSave). After closeDB the queued forms
// do nothing.
//
// Thread safety: any thread may call the queued forms; the in-context forms
// run on the queue that owns their context. The clean-up registry of content
// files is guarded by mu_.
#ifndef ZN_DATA_KXENTRYWRITES_H_
#define ZN_DATA_KXENTRYWRITES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Data/client/KXDataClientTypes.h"
#include "Data/store/KXManagedObject.h"
#include "Data/store/KXObjectID.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXDataClient;
class KXManagedObjectContext;
class Resource;

class KXEntryWrites {
 public:
  // Writes of the client's store. The client owns this object.
  explicit KXEntryWrites(KXDataClient& client);
  KXEntryWrites(const KXEntryWrites&) = delete;
  KXEntryWrites& operator=(const KXEntryWrites&) = delete;

  // ---- The generic insert --------------------------------------------------

  // The object that a relation record names (KXRelationInfo keys, KXDataClientTypes.h), in
  // `context` on its queue: the first object of "relationObject" whose
  // attribute "relationName" equals "relationValue", else "default"; else,
  // unless "relationAutoCreate" is NO, one made from
  // "relationAutoCreateInfo" by the generic insert. "relationName" must be
  // an attribute of that entity in the model; anything else is refused
  // (logged, nullptr). nullptr when nothing is found or made.
  KXManagedObjectPtr relationObjectSync(const kx::Dictionary& relationInfo,
                                        KXManagedObjectContext* context);

  // The generic insert, in `context` on its queue: one object per insert
  // item, in item order. For "FileMeta" each item chooses its kind ("dir"
  // true: Notebook; else a non-zero "domain": NormalFile; else Note). A file
  // entry whose "fileId" is stored already is skipped; one whose title is
  // taken in its folder by a sibling of its kind gets the title check's new
  // title and localModified YES. Tags get the current time as dateCreated
  // and dateUpdated and are marked created here. A relation record in the
  // item links the object it names under "relationKey". Every other key
  // that names a property of the entity is copied. The callback (when
  // given) receives the inserted objects; nothing is saved.
  std::vector<KXManagedObjectPtr> addManagedObjectsSync(const std::string& entityName,
                                                        KXManagedObjectContext* context,
                                                        const kx::Array& items,
                                                        const KXDataCallback& callback);

  // ---- Writing entries (KXEntryWrites.cpp, KXEntryWritesEdits.cpp) --------
  //
  // The wrappers below queue one block on the write queue, call the generic
  // body there with the write context, and call back on the write queue.
  // Nothing is saved: the caller saves. Result records: inserts answer the
  // objects (fetch.objects), deletes and modifies the object IDs as an
  // array of KXObjectID::toValue (value).

  // Insert items, with their entity: "FileMeta" (each item chooses its kind),
  // "Root", "Notebook", "Note", "NormalFile", "Tag". `local` changes nothing.
  void addFileMetas(const kx::Array& items, bool local, KXDataCallback callback);
  void addRoot(const kx::Array& items, bool local, KXDataCallback callback);
  void addNotebooks(const kx::Array& items, bool local, KXDataCallback callback);
  void addNotes(const kx::Array& items, bool local, KXDataCallback callback);
  void addNormalFiles(const kx::Array& items, bool local, KXDataCallback callback);
  void addTags(const kx::Array& items, KXDataCallback callback);
  // Sets the version of the first Root entry, when there is one.
  void updateRootVersion(std::int64_t version);
  // Each queues an empty write block: resource entries are written with
  // their resources.
  void updateResourceEntry(const KXManagedObjectPtr& entry);
  void addResourceEntry(const KXManagedObjectPtr& entry);

  // Deletes by object ID, in `context` on its queue. A live file entry goes
  // to the trash (parent "1", del YES, its former folder path in namePath,
  // localModified YES); one already in the trash is purged (remoteRemoved,
  // trashModifyData "trucate", localTrashOp) and, when the entity is
  // "Note", its document leaves the full-text index. A notebook takes its
  // whole subtree along (children keep their parent ids). A tag is marked
  // removed and stripped from the entries that carry it, and deleted by a
  // second delete. Any other object is deleted. An ID that names no object
  // is skipped with a log line. Answers (and calls back with) the IDs given.
  std::vector<KXObjectID> deleteManagedObjectSync(const std::string& entityName,
                                                  KXManagedObjectContext* context,
                                                  const std::vector<KXObjectID>& objectIDs,
                                                  const KXDataCallback& callback);
  void deleteNotebooks(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteNotes(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteNormalFiles(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteResources(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteTags(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);

  // Keys of a modify item (KXModifyInfo).
  static constexpr const char* kModifyIdentityKey = "identity";        // KXObjectID::toValue
  static constexpr const char* kModifyFieldsKey = "fields";            // dictionary
  static constexpr const char* kModifyContentKey = "modifyContent";    // plain text
  static constexpr const char* kModifyAddRelationKey = "addRelation";  // relation record
  static constexpr const char* kModifyVersionKey = "version";          // number

  // Applies modify items in `context` on its queue. The "fields" values of
  // the properties of `entityName` are set through the store's coercion; a
  // top-level "version" sets the object's version. A file entry's requested
  // title that a sibling carries becomes the title check's new title (with
  // localModified YES); a notebook's or file's changed title or new content
  // is re-indexed; a tag is stamped dateUpdated and isLocalModified. An
  // item is applied whole or not at all: an item without identity, naming
  // no stored object, or with a value the store refuses is left out of the
  // answer, and the callback's error says which items failed and why.
  // Answers the IDs of the items applied, in item order.
  std::vector<KXObjectID> modifyManagedObjectSync(const std::string& entityName,
                                                  KXManagedObjectContext* context,
                                                  const kx::Array& infos,
                                                  const KXDataCallback& callback);
  void modifyFileMetas(const kx::Array& infos, KXDataCallback callback);
  void modifyNotebooks(const kx::Array& infos, KXDataCallback callback);
  void modifyNotes(const kx::Array& infos, KXDataCallback callback);
  void modifyNormalFiles(const kx::Array& infos, KXDataCallback callback);
  void modifyTags(const kx::Array& infos, KXDataCallback callback);
  void modifyResources(const kx::Array& infos, KXDataCallback callback);

  // Remove rows outright, without telling the service, in a write block.
  // Items are dictionaries with "fileId"; a file id not stored deletes
  // nothing. A notebook goes with every entry beneath it (those go even
  // when the notebook itself is not stored).
  void eraseNotes(const kx::Array& items);
  void eraseNormalFiles(const kx::Array& items);
  void eraseNotebooks(const kx::Array& items);
  // Each object by its kind (note, notebook, other file); others skipped.
  void eraseObjects(const std::vector<KXManagedObjectPtr>& objects);

  // Key of the folder id in the answer of a name-path creation.
  static constexpr const char* kNamePathParentIdKey = "parentId";

  // The folder a name path names, made when missing: the live folders of
  // the path are looked up in `context` (on its queue) and the missing
  // titles are made one below the other (completeNamePath). The callback
  // (when given) gets {"parentId": folder id} as its value, or the error of
  // the insert that failed; it is called once: at once when nothing had to
  // be made, otherwise on the write queue once the folders exist. Answers
  // the id the deepest folder has or will have ("" without a root entry).
  std::string NotebookIdFromNamePath(const std::string& namePath, KXManagedObjectContext* context,
                                     KXDataCallback callback);
  // Makes folders one below the other under `parentId`, the n-th with the
  // n-th id and title, in one block on the write queue. Each title is
  // looked up again under its parent first: a live folder made meanwhile
  // (another restore into the same vanished folder) is taken instead of
  // making a second one. The callback gets {"parentId": the last folder's
  // id} (`parentId` itself for no titles), or the insert's error (the
  // folders made so far stay). Ids and titles must be as many.
  void completeNamePath(const std::string& parentId, const std::vector<std::string>& fileIds,
                        const std::vector<std::string>& names, KXDataCallback callback);

  // ---- Copy, move and recover (KXEntryWritesCopies.cpp) --------------------
  //
  // They change entries only in the context they work in (the write
  // context for every wrapper, whose blocks run on the write queue in order
  // with every other write); they never save and never touch content files
  // (the notebook, file-meta and normal-file helpers copy those).
  // [source file id, new file id] pairs of a copy.
  using KXCopyPairs = std::vector<std::pair<std::string, std::string>>;

  // The conflict copy's title: "plan.docx" -> "plan(S).docx", "Plan" ->
  // "Plan(S)", where S is the localised "Sync Conflicted". With
  // keepExtension false the extension is not looked at ("a.b" -> "a.b(S)").
  static std::string conflictTitle(const std::string& title, bool keepExtension = true);

  // Copies entries from file parts ({source file id: fields that the copy
  // takes instead of the source's, at least a new "fileId"}) into the
  // folder: version 0, changed here, unshared, not pinned, no tags, only
  // the editor type of the entry properties kept, the conflict title when
  // `isConflicted`. Unknown sources are skipped. The copies go through the
  // generic insert ("FileMeta"). The callback (when given) gets the map
  // {source id: copy's fields} as its value, the copies inserted (an id
  // stored already makes none) as fetch.objects, and the insert's error.
  void copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                     KXDataCallback callback, bool isConflicted, KXManagedObjectContext* context);
  void copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                     KXDataCallback callback, bool isConflicted);
  // Write blocks: a new normal file / notebook per pair in the folder (none
  // when the folder is missing), at the Root's version, its title indexed.
  // A notebook's children are not copied.
  void copyNormalFiles(const KXCopyPairs& pairs, const std::string& notebookId, bool isConflicted);
  void copyNotebooks(const KXCopyPairs& pairs, const std::string& notebookId, bool isConflicted);

  // Puts the entries into the folder (unknown ids skipped): changed here; a
  // deleted entry comes out of the trash with a pending "recovery" (and a
  // notebook with every deleted entry below it); a title taken in the
  // folder is renumbered. A move into the entry itself or into its own
  // subtree is skipped with a log line. Times and the index are not
  // touched.
  void moveFileMetas(const std::vector<std::string>& fileIds, const std::string& notebookId,
                     KXManagedObjectContext* context);
  // The same as write blocks, for the pull and for each helper.
  void moveFileMetas(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNotes(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNormalFiles(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNotebooks(const std::vector<std::string>& fileIds, const std::string& notebookId);

  // Restores deleted entries, in order. An entry in the trash itself goes
  // back to the folder of its name path (made again when it is gone, see
  // NotebookIdFromNamePath) with a pending "recovery"; an entry inside a
  // deleted folder comes back with every deleted folder above it. The
  // callback is called once per restored entry (no result, no error, or
  // the error of making its folder); an unknown or live id calls it with
  // NSURLErrorDomain -1100 and stops (later ids stay deleted).
  void recoverFileMetas(const std::vector<std::string>& fileIds, KXManagedObjectContext* context,
                        KXDataCallback callback);
  void recoverFileMetas(const std::vector<std::string>& fileIds, KXDataCallback callback);

  // Legacy: must not be called; raises NSInternalInconsistencyException.
  [[noreturn]] void addGroupSync(const kx::Value& group, const kx::Array& fromNotebooks,
                                 KXManagedObjectContext* context);

  // ---- The trash and clean-up (KXEntryWritesCleanup.cpp) -------------------

  // Empties the trash for good: the notes in the trash not yet removed for
  // good are marked removed (remoteRemoved, localTrashOp, trashModifyData
  // "trucate"), which the next push sends. Nothing changes when any of them
  // is encrypted, or when the notes cannot be read. Runs on the write queue
  // and waits (inline when called there). Not saved.
  void clearTrash();
  // Kept for their callers: no note or resource waits for its content.
  KXFileMetaArray notesForContentNotSynced() { return {}; }
  std::vector<std::shared_ptr<Resource>> fetchAllEmptyResources() { return {}; }
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] void updateFromVersion(const kx::Value& version, KXDataCallback callback);

  // Queues cleanDeleteDataSync on the write queue, then calls back there
  // with no result and no error.
  void cleanDeletedData(KXDataCallback callback);
  // In the write context, on the write queue: deletes every resource entry
  // that no resource holds and saves; only when that save succeeded are the
  // entries' stored files removed (a file that cannot be removed is logged
  // and left). False when the fetch or the save failed (nothing removed).
  bool cleanDeleteDataSync(KXManagedObjectContext* context);

  // Content files of deleted notes go only once the delete is in the file
  // (KXEntryWritesCleanup.cpp). Call on the write queue, after the write
  // block that purged the entries (put them in the trash's "trucate" state)
  // in `context` and before any save: each entry's content file is removed
  // after the next successful save of that context that holds the entry
  // purged. A save that fails (rolled back) removes nothing; an entry that a
  // later save holds not purged is forgotten with its file kept.
  void removeContentFilesAfterSave(const std::vector<std::pair<KXObjectID, std::string>>& entries,
                                   KXManagedObjectContext& context);

  // Queues on the write queue: the entry's summary becomes the text without
  // leading and trailing carriage returns, line feeds and blanks. Not saved;
  // an unknown file id changes nothing.
  void updateNotesSummary(const std::string& fileId, const std::string& summary);

  // Queues on the write queue, behind every write queued before it: looks
  // the entry up in the write context (so unsaved changes are seen) and
  // builds its web file entry (KXFileMetaWebUtil): `convert` false gives
  // entryFromFileMeta(entry, entire), true fileDictFrom(entry, entire). The
  // callback gets the dictionary as its value on the high-priority global
  // queue; no such entry (or no entry built) calls back once on the write
  // queue with no result and no error.
  void entryOnWrittenContextForFileId(const std::string& fileId, bool entire, bool convert,
                                      KXDataCallback callback);

 private:
  // The pair copies of copyNormalFiles and copyNotebooks, as entities of
  // `entityName`, in one write block.
  void copyPairs(const std::string& entityName, const KXCopyPairs& pairs,
                 const std::string& notebookId, bool isConflicted);

  KXDataClient& client_;
  mutable kx::Mutex mu_;
  struct ContentRemovals;
  // Made at the first removeContentFilesAfterSave; it listens for saves
  // until the client goes.
  std::shared_ptr<ContentRemovals> contentRemovals_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_KXENTRYWRITES_H_
