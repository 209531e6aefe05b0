// kxtest::TestSyncEndpoints adds the pull and download endpoints of the note
// service to a TestNoteService, over an in-memory tree of entries:
//
//   POST "/qrt/api/personal/sync?method=pull"      form: baseVersion, lastId,
//        limit (default 512). Answers the entries whose version is above
//        baseVersion (every entry for -1), oldest change first, `limit` at a
//        time: {"values": [entry...], "truncated": bool, "truncatedMarker":
//        text}; the next page is asked for with lastId = the marker.
//   POST "/qrt/api/personal/sync?method=download"  form: fileId, version.
//        Answers the entry's body (application/octet-stream; empty for an
//        entry put without one), 404 for an unknown entry. An entry's "md5"
//        is the MD5 of its body.
//
// An entry is the service's file entry {"entry": {"id", "parentId", "name",
// "dir", "domain", "version", "deleted", "erased", "remoteRemoved",
// "checksum", ...}, "meta": {"value": {...}}}. The root version is the
// version of the last change; each change (put, remove, delete, erase)
// raises it by one and gives the changed entry and the root notebook
// (id "ROOT", parent "0", there from the start at version 1) that version,
// as another client's edits would between two cycles.
//
// Faults: a pull page answered with a chosen reply (by the number of the pull
// request), a download failing a number of times for a file id, and a gate
// that holds downloads inside the service while counting how many are in
// flight (and the most at once).
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTSYNCENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTSYNCENDPOINTS_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "support/TestNoteService.h"

namespace kxtest {

// `value` as JSON text (strings, numbers, Booleans, null, arrays,
// dictionaries; other kinds as null).
std::string toJSON(const kx::Value& value);

class TestSyncEndpoints {
 public:
  static constexpr const char* kSyncPath = "/qrt/api/personal/sync";
  static constexpr int kDefaultLimit = 512;
  static constexpr const char* kRootId = "ROOT";

  // Installs the routes; `service` must outlive this object's use.
  explicit TestSyncEndpoints(TestNoteService& service);
  ~TestSyncEndpoints();

  // ---- The service side, edited as another client would ----------------
  // Adds or changes an entry: `fields` are merged into its "entry" part
  // ("id" and "version" are set here); `body` replaces its body when given.
  // Returns the new root version.
  std::int64_t putEntry(const std::string& id, const kx::Dictionary& fields,
                        const std::string* body = nullptr);
  std::int64_t putNotebook(const std::string& id, const std::string& parentId,
                           const std::string& name);
  std::int64_t putNote(const std::string& id, const std::string& parentId, const std::string& name,
                       const std::string& body);
  // Merges `values` into the entry's "meta" "value" part (as "resources",
  // the resources its body refers to), as a change of the entry.
  std::int64_t putMeta(const std::string& id, const kx::Dictionary& values);
  // Marks the entry: removed for good, in the trash, erased.
  std::int64_t removeEntry(const std::string& id);
  std::int64_t deleteEntry(const std::string& id);
  std::int64_t eraseEntry(const std::string& id);
  // Sets the root version without a change (a service that is ahead).
  void setRootVersion(std::int64_t version);

  std::int64_t rootVersion() const;
  // The service's file entry of `id`; null when unknown.
  kx::Value entry(const std::string& id) const;
  std::vector<std::string> entryIds() const;

  // ---- Faults -------------------------------------------------------------
  // The `n`th pull request from now (1: the next) is answered with `reply`.
  void failPullRequest(int n, Reply reply);
  // The next `times` downloads of `fileId` answer 500.
  void failDownload(const std::string& fileId, int times);
  // While closed, downloads wait inside the service.
  void setDownloadGateClosed(bool closed);
  int downloadsInFlight() const;
  int peakDownloadsInFlight() const;
  bool waitForDownloadsInFlight(int count, double timeoutSeconds = 10) const;

  // Answers the sync path's requests of another "method" (more endpoints
  // over the same tree, as TestPushEndpoints).
  void handleMethod(const std::string& method, TestNoteService::Handler handler);

  // What the service received.
  std::size_t pullRequests() const;
  std::size_t downloadRequests() const;

 private:
  Reply pull(const RecordedRequest& request);
  Reply download(const RecordedRequest& request);
  std::int64_t change(const std::string& id, const kx::Dictionary& fields, const std::string* body)
      /* requires mu_ */;

  TestNoteService& service_;
  mutable std::mutex mu_;
  mutable std::condition_variable gateChanged_;
  std::map<std::string, kx::Value> entries_;  // guarded by mu_
  // The entries in the order of changes (version, then id), made again by
  // the first pull after a change, so that a page does not sort the whole
  // tree (the map's values stay where they are).
  struct Ordered {
    std::int64_t version;
    std::string id;
    const kx::Value* entry;
  };
  std::vector<Ordered> order_;                               // guarded by mu_
  bool orderStale_ = true;                                   // guarded by mu_
  std::map<std::string, std::string> bodies_;                // guarded by mu_
  std::int64_t rootVersion_ = 0;                             // guarded by mu_
  std::map<int, Reply> pullFaults_;                          // guarded by mu_; by pull number
  std::map<std::string, TestNoteService::Handler> methods_;  // guarded by mu_
  int pulls_ = 0;                                            // guarded by mu_
  int downloads_ = 0;                                        // guarded by mu_
  std::map<std::string, int> downloadFaults_;                // guarded by mu_
  bool gateClosed_ = false;                                  // guarded by mu_
  bool stopping_ = false;                                    // guarded by mu_
  int inFlight_ = 0;                                         // guarded by mu_
  int peakInFlight_ = 0;                                     // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTSYNCENDPOINTS_H_
