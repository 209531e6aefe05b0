// KXSyncPullProxy is the metadata pull of one sync cycle: it brings the
// store level with the service's tree of entries. The cycle makes one per
// cycle and uses it for the first pull and the pull after the push.
//
//   pages   POST "/qrt/api/personal/sync?method=pull" {"baseVersion": the
//           root entry's version (-1 during a full pull), "lastId": the
//           marker of the previous page ("" first), "limit": 512}, until a
//           page says "truncated" false. Nothing is applied before the last
//           page; a failed page, or one that is not a dictionary, fails the
//           pull and applies nothing (so the root version stays and the next
//           cycle asks again). A truncated page without a new marker fails
//           too, instead of asking for the same page for ever.
//   collect the entries of every page, then those of the pull-failure list
//           still to be retried; de-duplicated by file id (the first wins,
//           so a fresh entry beats a retried one); entries without an
//           "entry" object or file id are skipped with a log line.
//   order   parents first (KXTopoSeqUtil); "erased" of a notebook reaches
//           everything below it in the batch; entries on a parent cycle are
//           in no list and go to the failure list instead.
//   sort    into the six lists of KXSyncPullBatch.
//   apply   through the KXSyncPullApplier (the store); a pull with entries
//           and no applier fails. The new root entry is added, the store
//           saved, didPullFileMetaDone sent, then the object pulls start.
//   end     each failed object pull records its entry in the failure list,
//           each successful one clears it; when all have ended the root
//           version is set from the pulled root notebook (when the batch
//           held it), the store saved, and didPullSuccess sent.
//
// Each pull reports once: a failure, or success. clearEnvironment() (and a
// new pull) makes every answer still on its way stale: a late page or
// object pull writes nothing and reports nothing.
//
// pullMyshares() and pullPen() are the hand-offs to the my-share and
// pen-note pulls, which are not built: both only log.
//
// Create with std::make_shared. Thread safety: every member may be called
// from any thread; mu_ guards the pull's state. Page answers and object pull
// completions arrive on the transport's threads; the applier is called
// without the lock held.
#ifndef ZN_SYNC_KXSYNCPULLPROXY_H_
#define ZN_SYNC_KXSYNCPULLPROXY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/store/KXManagedObject.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"
#include "sync/pull/KXSyncPullApplier.h"
#include "sync/pull/KXSyncPullBatch.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxyDelegate.h"

class KXSyncPullProxy : public std::enable_shared_from_this<KXSyncPullProxy> {
 public:
  static constexpr const char* kPullPath = "/qrt/api/personal/sync?method=pull";
  static constexpr std::int64_t kPageLimit = 512;
  static constexpr const char* kErrorDomain = "com.zarvel.note.Error";
  static constexpr std::int64_t kErrorCode = 0x400000002;

  // `environment` nullptr: the program's.
  explicit KXSyncPullProxy(std::weak_ptr<KXSyncPullProxyDelegate> delegate,
                           std::shared_ptr<KXSyncPullEnvironment> environment = nullptr);
  virtual ~KXSyncPullProxy() = default;
  KXSyncPullProxy(const KXSyncPullProxy&) = delete;
  KXSyncPullProxy& operator=(const KXSyncPullProxy&) = delete;

  virtual void pull();
  virtual void pullAfterPush();
  virtual void pullMyshares();
  virtual void pullPen();
  // Stops the pull: answers on their way become stale, object pulls are
  // cleared and forgotten, the collected entries dropped.
  virtual void clearEnvironment();

  // Converts, de-duplicates, orders and sorts raw service entries.
  static KXSyncPullBatch sortMetalist(
      const kx::Array& metaList,
      const std::function<std::optional<kx::Dictionary>(const kx::Value&)>& convert);

  // ---- Rules the store's applier follows (KXSyncPullProxyRules.cpp) -------
  // Pure functions of the batch and the local entry, so that they are
  // tested apart from the store.

  // Whether following "parentId" through the batch from `fileId` comes back
  // to an entry already passed (the entry lies on a parent cycle, or below
  // one). NO once an item or a parent id is missing, or the parent is "1"
  // or "0".
  static bool ringAppear(const kx::Dictionary& idDict, const std::string& fileId);
  // The parent normalisation of a pulled item whose parent is a folder
  // (not "1" nor "0"): the item leaves the trash ("del" NO) unless its
  // parent in the batch is in it; for a notebook (`notebook`) whose parent
  // in the batch is removed for good, the item is removed too and marked
  // modified. Changes the item and its idDict entry.
  static void normalizeParent(kx::Dictionary& item, kx::Dictionary& idDict, bool notebook);
  // The pulled item merged over a locally modified entry: the local
  // modification time, title, author and source URL stay when set, and
  // the local placement stays (parentId, del and remoteRemoved removed);
  // for a local entry in the trash with a deleted parent the pulled "del"
  // is dropped so it stays there. An entry not modified locally takes the
  // item as it is. `storedParentDeleted`: the local parent entry is in
  // the trash.
  static kx::Dictionary mergeMeta(const KXManagedObject& local, kx::Dictionary item,
                                  bool storedParentDeleted);
  // Whether a pulled note or file conflicts with its local entry: its
  // content changed on both sides (checksums differ and the local content
  // changed), or the editor is changing it now (`editingFileId`).
  static bool isContentConflict(const kx::Dictionary& item, const KXManagedObject& local,
                                const std::string& editingFileId);
  // The title of a conflict copy: "Report.txt" -> "Report(Sync
  // Conflicted).txt", "Plan" -> "Plan(Sync Conflicted)." (the dot stays, as
  // the service's other clients name it), no title -> "(Sync Conflicted)".
  static std::string conflictTitle(const std::optional<std::string>& title);
  // Whether a pulled item is skipped: the local version is at least the
  // remote one and no full pull runs.
  static bool skipByVersion(std::int64_t localVersion, std::int64_t remoteVersion,
                            bool fullPulling);
  // A child of a stored notebook, as the subtree walk needs it.
  struct StoredChild {
    std::string fileId;
    bool isNotebook = false;
    bool localModified = false;
  };
  // Paths "<notebook>/<child>[/...]" to the locally modified entries under
  // a stored notebook, through notebooks that are not modified themselves.
  // `childrenOf` lists a stored notebook's live children. A notebook met
  // twice (a stored parent cycle) is not walked again.
  static std::vector<std::string> subTreeModifiedMetaUnderNotebook(
      const std::string& notebookId,
      const std::function<std::vector<StoredChild>(const std::string&)>& childrenOf);

 protected:
  // The delegate, or nullptr when it is gone.
  std::shared_ptr<KXSyncPullProxyDelegate> delegate() const;

 private:
  void begin(const char* logLine);
  void pullData(std::uint64_t generation);
  void handlePage(std::uint64_t generation, const kx::Value& result);
  void applyBatch(std::uint64_t generation);
  void startPullers(std::uint64_t generation);
  void pullerEnded(std::uint64_t generation, const std::shared_ptr<KXSyncObjectPull>& puller,
                   const kx::Error& error);
  void checkPullObjects(std::uint64_t generation);
  // Reports the failure once, when the pull is still current.
  void fail(std::uint64_t generation, const kx::Error& error);
  // The raw entry of a file id in this pull, as JSON text; "" when none.
  std::string entryJSON(const std::string& fileId) const REQUIRES(mu_);
  bool isCurrent(std::uint64_t generation) const;

  const std::shared_ptr<KXSyncPullEnvironment> environment_;

  mutable kx::Mutex mu_;
  std::weak_ptr<KXSyncPullProxyDelegate> delegate_ GUARDED_BY(mu_);
  std::uint64_t generation_ GUARDED_BY(mu_) = 0;
  bool reported_ GUARDED_BY(mu_) = false;
  kx::Array metaList_ GUARDED_BY(mu_);
  std::string truncatedMarker_ GUARDED_BY(mu_);
  std::optional<kx::Dictionary> rootInfo_ GUARDED_BY(mu_);
  bool rootInfoTag_ GUARDED_BY(mu_) = false;
  std::vector<std::shared_ptr<KXSyncObjectPull>> objectPullers_ GUARDED_BY(mu_);
  bool pullersStarted_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXSYNCPULLPROXY_H_
