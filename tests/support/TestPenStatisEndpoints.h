// Two small endpoints of the note service for a TestNoteService:
//
// kxtest::TestPenEndpoints
//   POST "/qrt/api/personal/sync/blepenbook?method=pull"         the next
//        queued reply, else {"listVersion": version} (0 until set)
//   POST "/qrt/api/personal/sync/blepenbook?method=latestPages"  form:
//        entryId. {"entryId": id, "pages": [the pages set for the book]}
//
// kxtest::TestStatisEndpoints
//   GET "/lumbox/rpc/st/op"  the counters as query parameters; answers the
//        reply the test set ({} by default, so the counters are taken).
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTPENSTATISENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTPENSTATISENDPOINTS_H_

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "support/TestNoteService.h"

namespace kxtest {

class TestPenEndpoints {
 public:
  static constexpr const char* kPenPath = "/qrt/api/personal/sync/blepenbook";

  explicit TestPenEndpoints(TestNoteService& service);
  void setListVersion(std::int64_t version);
  // The next pull request answers this instead.
  void queueReply(Reply reply);
  void setPages(const std::string& entryId, const std::string& pagesJSON);

 private:
  std::mutex mu_;
  std::int64_t listVersion_ = 0;              // guarded by mu_
  std::deque<Reply> replies_;                 // guarded by mu_
  std::map<std::string, std::string> pages_;  // guarded by mu_
};

class TestStatisEndpoints {
 public:
  static constexpr const char* kStatisPath = "/lumbox/rpc/st/op";

  explicit TestStatisEndpoints(TestNoteService& service);
  void setReply(Reply reply);

 private:
  std::mutex mu_;
  Reply reply_;  // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTPENSTATISENDPOINTS_H_
