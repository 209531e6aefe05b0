// KXSyncStorePullApplier writes a metadata pull's batch into the note store
// through the data client: the six lists in the order the batch gives them
// (deleted notes, files, notebooks children first; then new and changed
// notebooks, notes and files parents first), each item against its local
// entry with the conflict manager's verdict.
//
//  - New entries are inserted as the service has them (not modified here).
//  - Changed entries: local wins keeps the local entry (children then see
//    its local placement); remote wins modifies it; a note or file whose
//    content changed on both sides gets a "(Sync Conflicted)" copy holding
//    the service's state: its object puller downloads the service's body,
//    stores the copy, and only then gives the local entry the service's
//    version. A copy that could not be fetched or stored fails its puller,
//    so the entry lands in the pull-failure list and the next pull tries
//    again instead of pushing over the service's text.
//  - Entries removed on the service follow the removal when nothing local
//    keeps them; a removed notebook that still holds entries changed here is
//    kept and marked to be pushed again. Entries erased on the service (and
//    everything under an erased notebook) are erased here unless they were
//    changed here.
//  - Every pulled value goes through the store's coercion first; an entry
//    the store would refuse is skipped with a log line and the rest of the
//    batch is applied.
//  - Bodies are not downloaded here: a new entry, or one whose content
//    changed on the service, is stored with an empty "md5" (its stored body
//    is not the service's) and a KXObjectPuller for its body is handed
//    back; the puller sets "md5" once the body is stored. An entry whose
//    body is still owed (empty "md5", or a row in the pull-failure list,
//    and not changed here) is not skipped by its version, so a failed,
//    given-up or interrupted download is fetched again whenever the entry
//    comes again (a full pull brings every entry).
//
// apply() runs as one block on the store's write queue and saves once every
// kItemsPerSave items, each unit holding whole items, so a long pull keeps
// what it applied if it is cut short (the root version moves on only at the
// pull's end, so the next pull brings those entries again and fetches the
// bodies they are owed); the pull saves once after apply() and once at its
// end.
//
// Thread safety: every member may be called from any thread except the
// store's write queue (apply() waits for it).
#ifndef ZN_SYNC_KXSYNCSTOREPULLAPPLIER_H_
#define ZN_SYNC_KXSYNCSTOREPULLAPPLIER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "platform/Value.h"
#include "sync/pull/KXObjectPuller.h"
#include "sync/pull/KXSyncPullApplier.h"
#include "sync/pull/KXSyncPullProxy.h"

class KXManagedObjectContext;

class KXSyncStorePullApplier : public KXSyncPullApplier {
 public:
  // Writes through the program's data client, looked up at each call (the
  // store of whoever is signed in then).
  KXSyncStorePullApplier() = default;
  // Writes through `client`, which must outlive the applier.
  // `filePuller` makes the body downloads (empty: the program's).
  explicit KXSyncStorePullApplier(KXDataClient& client,
                                  KXObjectPuller::FilePullerFactory filePuller = {})
      : client_(&client), filePuller_(std::move(filePuller)) {}

  // Items applied between two saves of the store by apply(): a page of
  // the service's entries.
  static constexpr std::size_t kItemsPerSave = KXSyncPullProxy::kPageLimit;

  KXSyncPullApplication apply(KXSyncPullBatch& batch) override;
  void addRoot(const kx::Dictionary& rootInfo) override;
  void updateRootVersion(std::int64_t version) override;

  // Why the store would refuse the item's values for the entity ("" when it
  // takes them all); keys that are not attributes of the entity are not
  // looked at.
  static std::string refusedValues(const std::string& entityName, const kx::Dictionary& item);

 protected:
  // The file id of a new conflict copy.
  virtual std::string newFileId();

 private:
  struct Pass;

  void applyDeletedNotesOrFiles(Pass& pass, const std::vector<kx::Dictionary>& list,
                                const std::string& entity);
  void applyDeletedNotebooks(Pass& pass, const std::vector<kx::Dictionary>& list);
  void applyNotebooks(Pass& pass, const std::vector<kx::Dictionary>& list);
  void applyNotesOrFiles(Pass& pass, const std::vector<kx::Dictionary>& list,
                         const std::string& entity);

  // Modifies one stored object; false (logged) when the store refused it.
  bool modify(Pass& pass, const std::string& entity, const kx::Dictionary& info);
  // A notebook the service put in its trash while entries under it changed
  // here: the changed entries move into a copy of it (and copies of the
  // notebooks between) in its old parent, so they are not trashed unseen.
  void rescueModifiedEntries(Pass& pass, const std::string& notebookId,
                             const std::string& localParentId);
  // Saves the store once every kItemsPerSave applied items.
  void saveEveryPageOfItems(Pass& pass);
  // Logs a new entry whose parent is neither stored nor in the batch: no
  // view reaches it until its parent arrives.
  void logMissingParent(Pass& pass, const std::string& fileId, const std::string& parentId);
  // Inserts one item; false (logged) when the store refused or skipped it.
  bool insert(Pass& pass, const std::string& entity, const kx::Dictionary& item);
  // Removes the entry and, for a notebook, everything beneath it.
  void erase(Pass& pass, const std::string& fileId);
  // Paths "notebook/…/entry" to the entries changed here under the notebook.
  std::vector<std::string> modifiedUnder(Pass& pass, const std::string& notebookId);

  // Hands back an object puller for the item's body (`body`), its publish
  // link (`link`), or both.
  void pullObject(Pass& pass, const std::string& fileId, kx::Dictionary item, bool body, bool link,
                  bool isNew);
  // Hands back the object puller of an item's body.
  void pullBody(Pass& pass, const std::string& fileId, kx::Dictionary item, bool isNew,
                bool isConflict);

  KXDataClient& client() const;

  KXDataClient* const client_ = nullptr;  // nullptr: the program's client
  const KXObjectPuller::FilePullerFactory filePuller_;
};

#endif  // ZN_SYNC_KXSYNCSTOREPULLAPPLIER_H_
