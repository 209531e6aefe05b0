// kxtest::TestPushEndpoints adds the push side of the note service to a
// TestNoteService, over the tree of a TestSyncEndpoints (so that a push is
// seen by the next pull, as on the service):
//
//   POST "/qrt/api/personal/sync?method=push"  a stream body (the
//        parameters as JSON, "parameters-length" bytes) or, with "erased",
//        a form body. A push stores the entry ("name", "parentId", "dir",
//        "domain", "modifyTime", "createTime"; the body from "bodyString",
//        or a file's bytes from the upload session "transmitId") as one
//        change and answers the stored file entry {"entry", "meta"}. An
//        erase marks the entry erased and answers {} (also for an entry the
//        service no longer holds).
//   POST "/qrt/api/personal/file/<id>?method=getById"  {"fileMeta":
//        {"resources": [...]}} from the entry's meta "resources".
//   POST "/qrt/api/personal/sync/upload"  with "File-Size": a new session,
//        {"transmitId": id}. POST ".../upload/<id>": a body (from the byte
//        of its "Content-Range", else 0) is written into the session; a
//        check ("Content-Range: bytes */*") answers "Range: bytes=0-<last>"
//        for the bytes held (no "Range" while none).
//
// Faults: replies for the next pushes of an entry (a service error such as
// {"error": 20102, "message": "..."}, a reply without "entry"), failing
// getById reads, an upload body cut after a number of bytes, and a gate that
// holds pushes inside the service. It counts pushes in flight (and the most
// at once, of all and of notebooks) and logs the order in which pushes and
// erases arrived ("push:<id>", "erase:<id>").
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTPUSHENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTPUSHENDPOINTS_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"

namespace kxtest {

class TestPushEndpoints {
 public:
  static constexpr const char* kUploadPath = "/qrt/api/personal/sync/upload";
  static constexpr const char* kFilePath = "/qrt/api/personal/file/";

  // Both must outlive this object's use.
  TestPushEndpoints(TestNoteService& service, TestSyncEndpoints& sync);
  ~TestPushEndpoints();

  // The next `times` pushes of `fileId` are answered with `reply`.
  void failPush(const std::string& fileId, Reply reply, int times = 1);
  // {"error": code, "message": message} with status 500.
  static Reply serviceError(std::int64_t code, const std::string& message,
                            const std::string& extraJSON = "");
  void failGetById(bool fail);
  // The next upload body keeps only its first `bytes` bytes and answers 500.
  void cutNextUploadBody(std::int64_t bytes);
  // While closed, pushes wait inside the service.
  void setPushGateClosed(bool closed);
  bool waitForPushesInFlight(int count, double timeoutSeconds = 10) const;

  std::vector<std::string> order() const;
  void clearOrder();
  int peakPushesInFlight() const;
  int peakNotebookPushesInFlight() const;
  std::size_t pushRequests() const;
  std::size_t eraseRequests() const;
  // The parameters of every push of `fileId`, in order.
  std::vector<kx::Dictionary> pushesOf(const std::string& fileId) const;
  // Bytes held by an upload session.
  std::string uploaded(const std::string& transmitId) const;

 private:
  Reply push(const RecordedRequest& request);
  Reply getById(const std::string& fileId);
  Reply openUpload(const RecordedRequest& request);
  Reply uploadBody(const std::string& transmitId, const RecordedRequest& request);

  TestNoteService& service_;
  TestSyncEndpoints& sync_;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<std::string, std::deque<Reply>> pushFaults_;        // guarded by mu_
  std::map<std::string, std::vector<kx::Dictionary>> pushes_;  // guarded by mu_
  std::map<std::string, std::string> sessions_;                // guarded by mu_
  std::vector<std::string> order_;                             // guarded by mu_
  std::int64_t cutAfter_ = -1;                                 // guarded by mu_
  bool failGetById_ = false;                                   // guarded by mu_
  bool gateClosed_ = false;                                    // guarded by mu_
  bool stopping_ = false;                                      // guarded by mu_
  int inFlight_ = 0;                                           // guarded by mu_
  int handling_ = 0;                                           // guarded by mu_
  int peak_ = 0;                                               // guarded by mu_
  int notebooksInFlight_ = 0;                                  // guarded by mu_
  int notebookPeak_ = 0;                                       // guarded by mu_
  std::size_t pushCount_ = 0;                                  // guarded by mu_
  std::size_t eraseCount_ = 0;                                 // guarded by mu_
  int nextSession_ = 0;                                        // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTPUSHENDPOINTS_H_
