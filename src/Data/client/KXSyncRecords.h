// KXSyncRecords keeps the records the sync engine writes beside the
// entries: share links, pull failures, usage counters, pen pages, push
// marks (content changed, checksum, failed pushes) and the operation log.
//
// Queues: readers hop to the read queue and wait, or run in the context
// given on its queue (nullptr: the read queue). Writers queue one block on
// the write queue and do not save (the pen-page update and the counter
// deduction are the exceptions), unless they say they wait.
//
// Thread safety: no state of its own; any thread may call it, within the
// queue rules above.
#ifndef ZN_DATA_KXSYNCRECORDS_H_
#define ZN_DATA_KXSYNCRECORDS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXDataClientTypes.h"
#include "Data/store/KXObjectID.h"
#include "platform/Value.h"

class KXDataClient;
class KXDataContext;
class KXManagedObjectContext;
class FailedInfo;
class OperationLog;
class PenEntry;
class Statistic;

class KXSyncRecords {
 public:
  // Records of the client's store. The client owns this object.
  explicit KXSyncRecords(KXDataClient& client);
  KXSyncRecords(const KXSyncRecords&) = delete;
  KXSyncRecords& operator=(const KXSyncRecords&) = delete;

  // Entries whose pull failed are offered again until their count passes
  // this; a failed pull is counted up to one more.
  static constexpr std::int64_t kMaxPullRetry = 4;

  // The entry's share link: set (the row made and attached when the entry
  // has none) when the URL is given and not "" and the entry is not in the
  // trash; otherwise its link row, if any, is detached and deleted. A file
  // id the store does not hold changes nothing. The form with a data
  // context uses that context's write queue.
  void updateShareInfo(const std::optional<std::string>& shareUrl, bool searchEngineEnable,
                       const std::string& fileId);
  void updateShareInfo(const std::optional<std::string>& shareUrl, bool searchEngineEnable,
                       const std::string& fileId, KXDataContext& dataContext);

  // The pull-failure row of a file id in the context (nullptr: the read
  // queue), or nullptr.
  std::shared_ptr<FailedInfo> failedInfoWithFileId(const std::string& fileId,
                                                   KXManagedObjectContext* context);
  // Records one more failed pull of the entry with its JSON text: a new row
  // with retry 1, or the row replaced with retry + 1; a row whose retry is
  // above kMaxPullRetry stays as it is. Ignored unless both are given.
  void pullFailedFileId(const std::optional<std::string>& fileId,
                        const std::optional<std::string>& meta);
  // Deletes the file id's row, if any; ignored for nullopt.
  void deletePullFailedFileId(const std::optional<std::string>& fileId);
  // The parsed entries of the rows with retry at most kMaxPullRetry (rows
  // whose text does not parse are left out), read on the read queue.
  kx::Array fetchPullFailed();
  // The file ids whose pulls gave up (retry above kMaxPullRetry): no longer
  // offered by ordinary pulls, kept until a pull of the entry succeeds (a
  // full pull offers every entry). Read on the read queue, in file id order.
  std::vector<std::string> pullGaveUpFileIds();

  // The counter row of a key in the context (nullptr: the read queue).
  std::shared_ptr<Statistic> statisticWithKey(const std::string& key,
                                              KXManagedObjectContext* context);
  // Adds the integer of the value (null: 1) to the key's counter, made at 0
  // when missing.
  void addStatisKey(const std::string& key, const kx::Value& value = kx::Value());
  // Key -> count of the counters above 0, read on the read queue.
  kx::Dictionary fetchStatisInfo();
  // Sets every counter to 0; the rows stay.
  void ZeroingStatisInfo();
  // Takes the counts the service accepted (key -> count, as fetched) off
  // the counters, so that what was counted meanwhile stays; then saves.
  // `done` (when given) runs on the write queue after the save.
  void deductStatisInfo(const kx::Dictionary& sent, std::function<void()> done = nullptr);

  // The pen pages that have an entry id, read on the read queue / in the
  // context (nullptr: the read queue); a pen page by its entry id, likewise.
  std::vector<std::shared_ptr<PenEntry>> penNotesList();
  std::vector<std::shared_ptr<PenEntry>> penNotesWithContext(KXManagedObjectContext* context);
  std::shared_ptr<PenEntry> objectForPenNnoteID(const std::string& entryId,
                                                KXManagedObjectContext* context);
  // Takes one pen page of the service ("avtice", "createTime", "deleted",
  // "entryId", "entryType", "erased", "favorited", "fileSize",
  // "modDeleted", "modifyTime", "name", "typeId", "userId", "version"):
  // a stored page marked deleted is queued for deletion; a stored page whose
  // version is not below the incoming one is otherwise left as it is; else
  // the page is made or updated. Then the write context is saved.
  void createUpdatePenNote(const kx::Dictionary& page);
  // Deletes the pen pages by object ID; the callback (when given) receives
  // the IDs given (KXObjectID::toValue) as its value.
  void deletePenNote(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);

  // Sets the entry's contentChanged / checksum when the entry is stored.
  void updateContentChanged(const kx::Value& contentChanged, const std::string& fileId);
  void updateChecksum(const std::string& checksum, const std::string& fileId);
  // Marks the entry's push as failed (localModified 2), waiting for the
  // write queue (inline when called there); ignored for nullopt.
  void markPushFailedWithId(const std::optional<std::string>& fileId);
  // Marks every entry of the user's tree changed here (localModified YES)
  // as failed, waiting for the write queue (inline when called there).
  void markPushFailed();

  // Records an operation of the type (with its data when not null) unless
  // one of that type is recorded already.
  void addOperationLog(std::int64_t type, const kx::Value& data);
  // The recorded operation of the type, read in the context (nullptr: the
  // read queue).
  std::shared_ptr<OperationLog> objectForOperationType(std::int64_t type,
                                                       KXManagedObjectContext* context = nullptr);
  // Does nothing.
  void freshNoteListAndContent() {}

 private:
  KXDataClient& client_;
};

#endif  // ZN_DATA_KXSYNCRECORDS_H_
