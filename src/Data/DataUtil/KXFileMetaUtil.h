// KXFileMetaUtil holds the steps that callers outside the store need to
// create, move and copy file entries of any kind: the defaults of a new
// entry (KXFileEntryInfo), new ids for copies, the copies' content files,
// and the full-text documents of copied notes and Markdown files.
//
// Thread safety: one instance for the process (sharedUtil); an instance
// keeps no state of its own and every member may be called from any thread.
// Inserts, moves and copies are queued on the store's write queue; the
// completions of addFileInfos and of the copies run there once the work is
// done, those of the moves before it is done.
#ifndef ZN_DATA_DATAUTIL_KXFILEMETAUTIL_H_
#define ZN_DATA_DATAUTIL_KXFILEMETAUTIL_H_

#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "platform/Error.h"
#include "platform/Value.h"

class KXFileMetaUtil {
 public:
  // Name of the exception raised for an info without "fileId" (a caller's
  // programming error), and its reason.
  static constexpr const char* kArgumentsInvalid = "KXArgumentsInvalid";
  static constexpr const char* kArgumentsInvalidReason = "arguments invalid";
  // Key of the ids in the error of a move without ids or target.
  static constexpr const char* kErrorPathKey = "errorPath";
  // Code of that error (NSCocoaErrorDomain).
  static constexpr std::int64_t kMoveArgumentsErrorCode = 2;

  // The helper over KXDataClient::defaultDataClient(), made on first use.
  static KXFileMetaUtil& sharedUtil();
  // A helper over the given client (tests make their own).
  explicit KXFileMetaUtil(KXDataClient& client) : client_(&client) {}

  // The attribute values of a new file entry: the defaults (localised
  // "Empty Title.note", now for every time, version 0, changed here, a
  // note: dir 0, domain 0, entry type 7 when the info's "entryType" reads
  // as the integer 7 and 0 otherwise, the file id as transactionId unless
  // the info's "dir" is true), then every key of the info. Raises
  // kArgumentsInvalid without "fileId".
  static kx::Dictionary fileEntryInfo(const kx::Dictionary& info);

  // What the three helpers share of a new entry: its "fileId" (raises
  // kArgumentsInvalid when the info has none) ...
  static const kx::Value& requiredFileId(const kx::Dictionary& info);
  // ... and the defaults every new entry starts from (title, times, version,
  // flags, parent, kind, counts); with `asFile` also the fields of a file
  // (transaction, author, size, contentChanged). The caller's info goes on
  // top.
  static kx::Dictionary newEntryDefaults(const kx::Value& fileId, const std::string& titleKey,
                                         const kx::Value& parentId, bool dir, int domain,
                                         bool asFile);
  // The error of a move without ids or target: NSCocoaErrorDomain, code
  // 2, the ids under "errorPath".
  static kx::Error moveArgumentsError(const std::vector<std::string>& fileIds);

  // Inserts one entry per info (its kind chosen by "dir" and "domain"),
  // each from fileEntryInfo; the callback gets the insert's result and
  // error on the write queue. Raises kArgumentsInvalid (before anything is
  // queued) when an info has no "fileId".
  void addFileInfos(const kx::Array& infos, KXDataCallback callback);
  // Moves entries of any kind (KXDataClient::moveFileMetas) and calls back
  // at once with no result; with no ids or no target ("") nothing moves and
  // the callback gets moveArgumentsError.
  void movefileIds(const std::vector<std::string>& fileIds, const std::string& notebookId,
                   KXDataCallback callback);
  // Copies the entries under new ids (copyFileInfos with {source id:
  // {"fileId": new id}}); answers the new ids, in source order.
  std::vector<std::string> copyFileIds(const std::vector<std::string>& fileIds,
                                       const std::string& notebookId, KXDataCallback callback,
                                       bool isConflicted);
  // Copies entries from file parts (KXDataClient::copyFileParts). When the
  // store took them, each copy's content file is copied and a copied note
  // (its title without extension and the plain text of its content) or
  // Markdown file (its title and raw text) goes to the full-text index; a
  // copy whose content is missing is indexed by its title alone. The
  // callback gets the map {source id: copy's fields} and the store's error;
  // an error means no content file was copied.
  void copyFileInfos(const kx::Dictionary& fileParts, const std::string& notebookId,
                     KXDataCallback callback, bool isConflicted);

 private:
  KXDataClient* client_;
};

#endif  // ZN_DATA_DATAUTIL_KXFILEMETAUTIL_H_
