// KXNormalFileUtil holds the steps that callers outside the store need for
// stored files that are not notes: a new file entry with its defaults,
// moves, copies (the stored file first, then the entry), and deletion that
// saves itself.
//
// Thread safety: one instance for the process (sharedUtil); an instance
// keeps no state of its own and every member may be called from any thread.
// Lookups wait for the store's read queue; inserts, copies, moves and
// deletes are queued on the write queue. The completions run before that
// work is done, except deleteNormalFiles', which runs once the delete is
// saved.
#ifndef ZN_DATA_DATAUTIL_KXNORMALFILEUTIL_H_
#define ZN_DATA_DATAUTIL_KXNORMALFILEUTIL_H_

#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "platform/Value.h"

class KXNormalFileUtil {
 public:
  // The helper over KXDataClient::defaultDataClient(), made on first use.
  static KXNormalFileUtil& sharedUtil();
  // A helper over the given client (tests make their own).
  explicit KXNormalFileUtil(KXDataClient& client) : client_(&client) {}

  // The attribute values of a new normal file under the parent id:
  // localised "New NormalFile", now for every time, version 0, changed
  // here, dir 0, domain 1, entry type 0, the file id as transactionId;
  // then every key of the info. Raises "KXArgumentsInvalid" without
  // "fileId".
  static kx::Dictionary normalFileEntryInfo(const kx::Dictionary& info,
                                            const std::string& parentId);

  // Inserts one normal file under the info's "parentId", looked up first.
  // The callback runs at once, before the insert: with no error once the
  // insert is queued, or with a store error (kKXStoreObjectNotFoundError)
  // when the parent is not stored (nothing is inserted). Raises
  // "KXArgumentsInvalid" without "fileId".
  void addNormalFile(const kx::Dictionary& info, KXDataCallback callback);
  // Moves the files and calls back at once with no result; with no ids or
  // no target ("") nothing moves and the callback gets the "errorPath"
  // error (KXFileMetaUtil::moveArgumentsError).
  void moveNormalFiles(const std::vector<std::string>& fileIds, const std::string& notebookId,
                       KXDataCallback callback);
  // Copies each stored file at once on the calling thread under a new id,
  // then queues the entries' copies (KXDataClient::copyNormalFiles) and
  // calls back with no result. Unknown ids are skipped.
  void copyNormalFiles(const std::vector<std::string>& fileIds, const std::string& notebookId,
                       KXDataCallback callback, bool isConflicted);
  // In one block on the write queue: deletes the files (a live one goes to
  // the trash, one in the trash is purged) and saves. Only once that save
  // succeeded are the content files of the purged ones removed; a failed
  // save leaves rows and files as they were and its error reaches the
  // callback (on the write queue, after the removals).
  void deleteNormalFiles(const std::vector<std::string>& fileIds, KXDataCallback callback);

 private:
  KXDataClient* client_;
};

#endif  // ZN_DATA_DATAUTIL_KXNORMALFILEUTIL_H_
