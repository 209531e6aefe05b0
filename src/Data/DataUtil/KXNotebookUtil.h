// KXNotebookUtil holds the steps that callers outside the store need for
// notebooks: a new notebook with its defaults, conflict and plain copies
// under new ids, moves, the number of notebooks directly under one (for
// the web file entry), and a pending-change record of a notebook being
// edited.
//
// Thread safety: one instance for the process (sharedUtil); every member
// may be called from any thread, the read queue included for
// getSubDirNumOfNotebook. The pending-change record is guarded by mu_.
// Inserts, copies and moves are queued on the store's write queue; the
// completions here run before that work is done.
#ifndef ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_
#define ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXNotebookUtil {
 public:
  // The helper over KXDataClient::defaultDataClient() (looked up when it
  // is first needed).
  static KXNotebookUtil& sharedUtil();
  // A helper over the given client (tests make their own).
  explicit KXNotebookUtil(KXDataClient& client) : client_(&client) {}

  // The attribute values of a new notebook under the parent id: localised
  // "New Notebook", now for both times, version 0, changed here, dir 1,
  // domain 1, entry type 0; then every key of the info. Raises
  // "KXArgumentsInvalid" without "fileId".
  static kx::Dictionary notebookEntryInfo(const kx::Dictionary& info, const std::string& parentId);

  // Inserts one notebook under the info's "parentId", looked up first. The
  // callback runs at once, before the insert: with no error once the insert
  // is queued, or with a store error (kKXStoreObjectNotFoundError) when the
  // parent is not stored (nothing is inserted). Raises "KXArgumentsInvalid"
  // without "fileId".
  void addNotebook(const kx::Dictionary& info, KXDataCallback callback);
  // Queues copies of the notebooks (not their children) into the target
  // under new ids and answers those ids in source order. The callback is
  // not called.
  std::vector<std::string> copyNotebooks(const std::vector<std::string>& fileIds,
                                         const std::string& notebookId, KXDataCallback callback,
                                         bool isConflicted);
  // Moves the notebooks and calls back at once with no result; with no ids
  // or no target ("") nothing moves and the callback gets the "errorPath"
  // error (KXFileMetaUtil::moveArgumentsError).
  void moveNotebooks(const std::vector<std::string>& fileIds, const std::string& notebookId,
                     KXDataCallback callback);

  // The notebooks whose parent is `fileId`, deleted ones included, counted
  // on the read queue of the client (inline when the caller is there).
  std::uint64_t getSubDirNumOfNotebook(const std::string& fileId);
  static std::uint64_t getSubDirNumOfNotebook(KXDataClient& client, const std::string& fileId);

  // The pending-change record: "content" of uncommitData holds the changed
  // fields.
  std::int64_t modifyType() const;
  void setModifyType(std::int64_t modifyType);
  std::optional<kx::Dictionary> uncommitData() const;
  void setUncommitData(std::optional<kx::Dictionary> data);
  // Drops uncommitData.
  void rollbackChange();
  // Record a changed title / encryption flag in uncommitData's "content",
  // when there is uncommitData (the flag only while modifyType is 2).
  void setTitle(const std::string& title);
  void setEncrypted(bool encrypted);

 private:
  KXNotebookUtil() = default;
  KXDataClient& client() const;

  KXDataClient* client_ = nullptr;  // nullptr: the program's client
  mutable kx::Mutex mu_;
  std::int64_t modifyType_ GUARDED_BY(mu_) = 0;
  std::optional<kx::Dictionary> uncommitData_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_
