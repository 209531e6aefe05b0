// KXFileMetaWebUtil turns a stored entry (a Note, Notebook, Root or
// NormalFile) into the JSON the note service would send for it
// (KXWebFileEntry), in the service's field names (KXNameDict):
//
//  - the entry alone (entire false);
//  - entryFromFileMeta with entire: {"entry": ..., "meta": ...};
//  - fileDictFrom with entire: {"fileEntry": ..., "fileMeta": ...,
//    "otherProp": {"pn": last component of namePath, "parentName": ...}}.
//
// On top of the renamed attributes the entry always carries "entryProps"
// (a dictionary), "tags" ("" when none), "userId" (the session's user),
// "subTreeDirNum" for notebooks (notebooks directly below it, deleted ones
// included), "id" "ROOT" for an empty id under parent "0", and "domain" and
// "dir" from the kind unless both are stored numbers. The meta always
// carries "resources" ({"resourceId", "version", "resourceType"} per
// resource), "metaProps" ({"thmv": "thmv", "thmid": id} naming the largest
// image resource of at least 70 by 55 as the thumbnail), and "author" and
// "sourceURL" (null when unset).
//
// Every entry is built from a row (KXStoredRow) in one way: the column ->
// service name pairs of the row's entity are resolved once
// (KXWebEntryNames) and each value is written once, into the entry, the
// meta and the entry properties. A folder's children come as rows straight
// from the store (KXEntryReads::rowsForParentId, fileDictsFromRows); an
// object gives its row (KXManagedObject::storedRow) and takes the same way.
//
// Where the rows' relationships are read (the resources, the share link):
// on the write queue directly; anywhere else through the data client's
// performSyncReadBlock (inline on the read queue), in the context each row
// was read in, the resources of all rows with one store query per context.
// An object's row is taken there too. The session, the notebook count (its
// own synchronous read) and "otherProp" are read on the caller's queue.
//
// Thread safety: no state besides the data client; every member may be
// called from any thread.
#ifndef ZN_DATA_DATAUTIL_KXFILEMETAWEBUTIL_H_
#define ZN_DATA_DATAUTIL_KXFILEMETAWEBUTIL_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/store/KXStoredRow.h"
#include "platform/Value.h"

class FileMeta;
class KXDataClient;
class KXManagedObject;

class KXFileMetaWebUtil {
 public:
  // Minimum size of a thumbnail image, inclusive.
  static constexpr double kThumbnailMinWidth = 70;
  static constexpr double kThumbnailMinHeight = 55;

  // The program's instance, over KXDataClient::defaultDataClient().
  static KXFileMetaWebUtil& sharedHandler();
  // An instance over another client (tests, benchmarks).
  explicit KXFileMetaWebUtil(KXDataClient& client) : client_(client) {}

  // The file dictionary when `entire`, else the entry alone; nullopt when
  // the entry could not be built (no field-name table).
  std::optional<kx::Dictionary> fileDictFrom(const std::shared_ptr<KXManagedObject>& object,
                                             bool entire);
  // fileDictFrom of each object, in order, leaving out those that could
  // not be built. The objects are read in one visit, and the resources of
  // all of them with one store query per context: a folder's listing costs
  // a few queries instead of one per entry.
  kx::Array fileDictsFrom(const std::vector<std::shared_ptr<FileMeta>>& objects, bool entire);
  // fileDictFrom of each row, in order: the rows of a listing
  // (KXEntryReads::rowsForParentId) give the entries their objects would.
  // The rows are taken: each row's values are let go once its entry is
  // built, so that a large listing's memory serves its entries.
  kx::Array fileDictsFromRows(std::vector<KXStoredRow> rows, bool entire);
  // {"entry", "meta"} when `entire`, else the entry alone.
  std::optional<kx::Dictionary> entryFromFileMeta(const std::shared_ptr<KXManagedObject>& object,
                                                  bool entire);
  // Every attribute that has a value, plus "shared" (true) and "shareUrl"
  // when the entry has a share link; empty for an object that is not a
  // FileMeta. Read on the object's queue.
  kx::Dictionary metaOfFileMeta(const std::shared_ptr<KXManagedObject>& object);
  // Sets the meta's "resources" and, when an image qualifies as the
  // thumbnail, its "metaProps". Read on the object's queue. An image size
  // that is not "<width>x<height>" is skipped with a log line.
  void resourceInfoForObject(const std::shared_ptr<KXManagedObject>& object, kx::Dictionary& meta);

 private:
  // What is read of an entry beside its columns: the meta's "resources",
  // the chosen thumbnail, and the share link.
  struct Related {
    kx::Value resources;
    std::optional<std::string> thumbnailId;
    bool shared = false;
    std::optional<std::string> shareUrl;
  };
  struct Built {
    kx::Dictionary entry;
    kx::Dictionary meta;
  };
  // Runs the block where the rows' relationships are read: inline on the
  // write queue, else through the client's performSyncReadBlock.
  void inPlace(const std::function<void()>& block);
  // The related values of each row, read on the rows' queue.
  static std::vector<Related> readRelated(const std::vector<KXStoredRow>& rows);
  // The meta's resources and thumbnail from the resources' rows.
  static Related resourceInfo(const std::vector<const KXStoredRow*>& resources);
  // The entry and the meta of a row, for the session's user `userId`.
  std::optional<Built> build(const KXStoredRow& row, Related related, const kx::Value& userId);
  // The file dictionary of a built entry (or the entry when not `entire`).
  static std::optional<kx::Dictionary> fileDict(const KXStoredRow& row, std::optional<Built> built,
                                                bool entire);
  // The file dictionaries of rows and what was read beside them (both are
  // consumed).
  kx::Array fileDicts(std::vector<KXStoredRow>& rows, std::vector<Related>& related, bool entire);
  // The rows of objects, taken where their relationships are read, with
  // what is read beside them.
  template <class Object>
  void readObjects(const std::vector<std::shared_ptr<Object>>& objects,
                   std::vector<KXStoredRow>* rows, std::vector<Related>* related);

  KXDataClient& client_;
};

#endif  // ZN_DATA_DATAUTIL_KXFILEMETAWEBUTIL_H_
