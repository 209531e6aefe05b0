// KXObjectPuller fetches what the metadata pull could not store by itself
// for one pulled note or file: its body. The pull's applier makes one per
// entry whose content is new or changed on the service (and one per
// "(Sync Conflicted)" copy), and the pull starts them, at most 7 downloads
// at once through the pull controller.
//
//   download  the body of (file id, version) through a KXFilePuller into a
//             temporary file of its own (a body that is read whole, a
//             note's or a markdown file's, comes in memory and is written
//             to one here);
//   content   a note's text, summary (its first characters) and index text
//             (title without extension and plain text); a markdown file's
//             text and title; any other file by title only;
//   place     the temporary file synced, moved over the entry's content
//             file by the file manager, and the content folder synced, so
//             that the store never records a body a crash could still lose
//             (the temporary is gone once the content is stored; on any
//             failure it is removed and the entry stays owed its body);
//   store     in one write block: an existing entry takes "summary",
//             "contentChanged" NO and "md5" (the service's, else the MD5 of
//             the body), so its body counts as the service's; a conflict
//             copy is inserted as a new entry holding the service's text,
//             and only then does the local entry take the service's version
//             (a copy that cannot be stored leaves the local entry as it
//             was, and the pull-failure list brings the conflict back);
//   index     the entry's document handed to the full-text index, which
//             takes it once a save commits the entry: the pullers save the
//             store once every kBodiesPerSave bodies, so a long pull
//             neither holds its entries and texts until its end nor loses
//             what it stored when cut short.
//
// A body that arrives after the entry was changed here (it took the
// service's version when the metadata was applied) does not replace the
// local text: it is stored as a "(Sync Conflicted)" copy like any other
// conflict, so a later push of the entry loses neither text.
//
// Resources: when the item expects some ("resourcesExpected"), a
// KXResourcePuller fetches their metadata and files after the body (for a
// conflict copy every file, under new resource ids). A note's text then
// refers to each resource as "//<service host>/src/<id>" (the copy's new
// ids for a conflict copy), which the local resource-data handler answers.
// The note is stored first and then its resources, each through the
// store's resource writes with its downloaded file; the entry is complete
// (the puller succeeds) only once every resource is stored. A resource the
// service does not describe or deliver fails the puller, so the entry stays
// in the pull-failure list and the next pull fetches it again; nothing of
// it is stored then.
//
// Publish links: a puller made without a body (pullFile false) fetches the
// link of a shared entry through a KXPublishLinkPuller and stores it with
// the item's "searchEngineEnable"; a body puller later told to pull the body
// too (setNeedPullFile) does both. A puller that fetches no link leaves the
// entry's link as it is, so a remote edit of a shared entry keeps its link.
//
// The completion is called exactly once, with an empty error or the error
// ("com.zarvel.note.Error", 0x400000002), unless clearEnvironment() came
// first: after it (cancellation, sign-out) a late download or write step
// writes nothing, removes its temporary file and reports nothing.
//
// Create with pullerWithfileId. Thread safety: every member may be called
// from any thread; mu_ guards the running state. Steps run on the
// transport's threads, the global queue (reading and syncing a body, syncing
// its content folder), the file manager's content queue and the store's
// write queue.
#ifndef ZN_SYNC_KXOBJECTPULLER_H_
#define ZN_SYNC_KXOBJECTPULLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"
#include "sync/pull/KXSyncObjectPull.h"

class KXConcurrentController;
class KXDataClient;
class KXFilePuller;
class KXManagedObject;
class KXManagedObjectContext;
class KXPublishLinkPuller;
class KXResourcePuller;

class KXObjectPuller : public KXSyncObjectPull,
                       public std::enable_shared_from_this<KXObjectPuller> {
 public:
  using FilePullerFactory = std::function<std::shared_ptr<KXFilePuller>(const std::string& fileId,
                                                                        const kx::Value& version)>;
  // What a puller works with; empty members take the program's (the data
  // client of whoever is signed in, KXFilePuller::pullerWithFileId,
  // KXServiceBaseURL(), the pull controller).
  struct Services {
    KXDataClient* client = nullptr;
    FilePullerFactory filePuller;
    std::string serviceBaseURL;
    KXConcurrentController* controller = nullptr;
  };

  // `fileId`: the pulled entry. `info`: the item in store field names, as
  // it is to be stored (for a conflict copy: with the copy's own "fileId"
  // and title). `pullFile`: download the body (a puller without it has
  // only the publish link of a shared entry to fetch). `pullLink` is not
  // kept: a puller made with a body skips the link. `isNew`: the entry is inserted when the store
  // does not hold it. `isConflict`: `info` is a conflict copy.
  static std::shared_ptr<KXObjectPuller> pullerWithfileId(const std::string& fileId,
                                                          kx::Dictionary info, bool pullFile,
                                                          bool pullLink, bool isNew,
                                                          bool isConflict, Services services);
  static std::shared_ptr<KXObjectPuller> pullerWithfileId(const std::string& fileId,
                                                          kx::Dictionary info, bool pullFile,
                                                          bool pullLink, bool isNew,
                                                          bool isConflict);

  KXObjectPuller(std::string fileId, kx::Dictionary info, bool pullFile, bool isNew,
                 bool isConflict, Services services);

  // Bodies stored between two saves of the store by the pullers.
  static constexpr std::uint64_t kBodiesPerSave = 500;

  std::string fileId() const override { return fileId_; }
  void pullWithCallback(std::function<void(const kx::Error& error)> done) override;
  void clearEnvironment() override;
  void setNeedPullFile(bool needPullFile);

  // The file id the body is stored under (a conflict copy's own).
  std::string storeId() const;
  // "Notebook", "NormalFile" or "Note", by the item's "dir" and "domain".
  const std::string& entity() const { return entity_; }

  // The summary and the index text of a body (title T, text as read;
  // nullopt for a file that is not read).
  struct IndexInfo {
    std::string summary;
    std::string indexText;
  };
  static IndexInfo indexAndSummary(const std::string& entity, const std::string& title,
                                   const std::optional<std::string>& content);

  // `text` with every reference to a resource of `resourceInfos` (service
  // id → record) pointing at "<prefix><id>", the id being the record's
  // "resourceID" (a conflict copy's new one). References that already hold
  // the prefix are left as they are; longer ids go first, so an id that is
  // part of another never splits it.
  static std::string referencesRewritten(const std::string& text,
                                         const kx::Dictionary& resourceInfos,
                                         const std::string& prefix);
  // "//<host of the service origin>/src/".
  static std::string resourceSourcePrefix(const std::string& serviceBaseURL);

 private:
  void bodyPulled(const kx::Value& result, const kx::Error& error);
  void resourcesPulled(const std::string& tmpPath, std::optional<std::string> text,
                       const kx::Value& result, const kx::Error& error);
  void prepareBody(const std::string& tmpPath, const std::optional<std::string>& text,
                   const std::string& bodyMd5);
  void placeContent(const std::string& tmpPath);
  // After the entry is stored: its resources, then the link, then the end.
  void storeResources(const std::string& noteId);
  void pullLink();
  void removeResourceFiles();
  std::string serviceBaseURL() const;
  void store(const std::string& target);
  // On the write queue, after an entry took its body: saves the store once
  // every kBodiesPerSave bodies.
  static void saveEveryFewBodies(KXManagedObjectContext& context);
  // Whether the body is read whole for its summary and index text (a note,
  // a markdown file).
  bool readsBody() const;
  // Whether the body is stored as a "(Sync Conflicted)" copy: made as one,
  // or turned into one by becomeConflictCopy.
  bool asCopy() const;
  // The title the content file is named by (a NormalFile's).
  std::string storeTitle() const;
  // Turns this pull of `local`'s body into a conflict copy beside it (a new
  // file id and the copy's title); returns the copy's file id.
  std::string becomeConflictCopy(const KXManagedObject& local);
  // Ends once with the error (empty: success); nothing after clearEnvironment.
  void finish(const kx::Error& error);
  bool cleared() const;
  KXDataClient& client() const;

  const std::string fileId_;
  const std::string entity_;
  const std::string title_;
  const bool isNew_;
  const Services services_;

  mutable kx::Mutex mu_;
  kx::Dictionary info_ GUARDED_BY(mu_);
  bool needPullFile_ GUARDED_BY(mu_);
  std::function<void(const kx::Error&)> done_ GUARDED_BY(mu_);
  const bool needPullLink_;
  std::shared_ptr<KXFilePuller> filePuller_ GUARDED_BY(mu_);
  std::shared_ptr<KXResourcePuller> resourcePuller_ GUARDED_BY(mu_);
  std::shared_ptr<KXPublishLinkPuller> publishPuller_ GUARDED_BY(mu_);
  // Service resource id → record of the resource pull (with its file).
  kx::Dictionary resourceInfos_ GUARDED_BY(mu_);
  // The downloaded body while its resources are fetched.
  std::string bodyWaiting_ GUARDED_BY(mu_);
  bool started_ GUARDED_BY(mu_) = false;
  bool cleared_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
  bool asCopy_ GUARDED_BY(mu_);
  std::string text_ GUARDED_BY(mu_);  // the index text
};

#endif  // ZN_SYNC_KXOBJECTPULLER_H_
