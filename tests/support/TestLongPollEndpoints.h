// kxtest::TestLongPollEndpoints adds the push server's long poll to a
// TestNoteService:
//
//   GET "/pushserver3/client?app=lumbox&cl=mac&lp=<cursor>&cto=<ms>"
//       answers at once when the service's change counter is above "lp",
//       else holds the request until the next change (or shutdown(), which
//       lets held polls answer 503). The answer is {"rv": the root version,
//       "lp": the change counter, "MYSHARE_UPDATE_TIME": the share time}.
//
// change() is the control a test uses to make a change on the service while
// a poll is held: it runs the edit (on the service's model, e.g. the sync
// endpoints' putNote), raises the counter and wakes the held polls.
//
// Thread safety: every member may be called from any thread. The state is
// shared with the route, so a poll that outlives this object is answered.
#ifndef ZN_TESTS_SUPPORT_TESTLONGPOLLENDPOINTS_H_
#define ZN_TESTS_SUPPORT_TESTLONGPOLLENDPOINTS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/TestNoteService.h"

namespace kxtest {

class TestLongPollEndpoints {
 public:
  static constexpr const char* kPollPath = "/pushserver3/client";

  // `rootVersion` gives "rv" (null: 0). `service` must outlive this
  // object's use.
  TestLongPollEndpoints(TestNoteService& service, std::function<std::int64_t()> rootVersion);
  // shutdown()
  ~TestLongPollEndpoints();

  // Runs `edit` (when given), sets the share time (when given), raises the
  // change counter and answers the held polls.
  void change(const std::function<void()>& edit = nullptr,
              std::optional<std::int64_t> shareTime = std::nullopt);
  // Held polls answer 503; later polls too.
  void shutdown();

  // Polls being held now.
  int heldPolls() const;
  bool waitForHeldPolls(int count, double timeoutSeconds = 10) const;
  // The "lp" of every poll received, in order.
  std::vector<std::string> cursors() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTLONGPOLLENDPOINTS_H_
