// kxtest::TestMyshareEndpoints adds the user's shares to a TestNoteService:
//
//   POST "/qrt/api/personal/myshare?method=pull"  form: lastId, limit,
//        lastTime. Answers the shared entries changed after lastTime (all
//        without it), in the order they were put, `pageSize` at a time (the
//        smaller of the limit and the page size the test sets):
//        {"values": [entry...], "truncated": bool, "truncatedMarker": id of
//        the page's last entry}; the next page has lastId = that id.
//   POST "/qrt/api/personal/myshare?method=download"  form: entryId,
//        version. The entry's content; 404 for an unknown entry.
//
// An entry is a service file entry {"entry": {"id", "parentId", "name",
// "dir", "domain", "version", "ownerFigure"}, "meta": {"value": {}}}.
//
// Faults: the `n`th pull request from now answers 500.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTMYSHAREENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTMYSHAREENDPOINTS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "support/TestNoteService.h"

namespace kxtest {

class TestMyshareEndpoints {
 public:
  static constexpr const char* kMysharePath = "/qrt/api/personal/myshare";

  explicit TestMyshareEndpoints(TestNoteService& service);

  // Adds or changes a shared entry, changed at `time` (Unix seconds).
  void putShare(const std::string& id, const std::string& name, bool domain,
                const std::string& content, std::int64_t time);
  void setPageSize(int size);
  void failPullRequest(int n);
  std::size_t pullRequests() const;

 private:
  Reply pull(const RecordedRequest& request);
  Reply download(const RecordedRequest& request);

  mutable std::mutex mu_;
  std::vector<std::string> order_;               // guarded by mu_
  std::map<std::string, kx::Value> entries_;     // guarded by mu_
  std::map<std::string, std::string> contents_;  // guarded by mu_
  std::map<std::string, std::int64_t> times_;    // guarded by mu_
  int pageSize_ = 512;                           // guarded by mu_
  int pulls_ = 0;                                // guarded by mu_
  std::set<int> failing_;                        // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTMYSHAREENDPOINTS_H_
