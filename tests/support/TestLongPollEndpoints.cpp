#include "support/TestLongPollEndpoints.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace kxtest {

struct TestLongPollEndpoints::State {
  std::function<std::int64_t()> rootVersion;
  mutable std::mutex mu;
  mutable std::condition_variable changed;
  std::int64_t counter = 0;          // guarded by mu
  std::int64_t shareTime = 0;        // guarded by mu
  int held = 0;                      // guarded by mu
  bool shutdown = false;             // guarded by mu
  std::vector<std::string> cursors;  // guarded by mu

  Reply poll(const RecordedRequest& request) {
    const std::string lp = queryValue(request.query, "lp");
    std::int64_t since = 0;
    try {
      since = lp.empty() ? 0 : std::stoll(lp);
    } catch (...) {
      since = 0;
    }
    std::unique_lock<std::mutex> lock(mu);
    cursors.push_back(lp);
    ++held;
    changed.notify_all();
    changed.wait(lock, [&] { return shutdown || counter > since; });
    --held;
    changed.notify_all();
    if (shutdown) return Reply::json(503, "{\"error\":503}");
    const std::int64_t counterNow = counter;
    const std::int64_t share = shareTime;
    lock.unlock();
    const std::int64_t rv = rootVersion ? rootVersion() : 0;
    return Reply::json(200, "{\"rv\":" + std::to_string(rv) +
                                ",\"lp\":" + std::to_string(counterNow) +
                                ",\"MYSHARE_UPDATE_TIME\":" + std::to_string(share) + "}");
  }
};

TestLongPollEndpoints::TestLongPollEndpoints(TestNoteService& service,
                                             std::function<std::int64_t()> rootVersion)
    : state_(std::make_shared<State>()) {
  state_->rootVersion = std::move(rootVersion);
  std::shared_ptr<State> state = state_;
  service.route("GET", kPollPath,
                [state](const RecordedRequest& request) { return state->poll(request); });
}

TestLongPollEndpoints::~TestLongPollEndpoints() { shutdown(); }

void TestLongPollEndpoints::change(const std::function<void()>& edit,
                                   std::optional<std::int64_t> shareTime) {
  if (edit) edit();
  std::lock_guard<std::mutex> lock(state_->mu);
  if (shareTime) state_->shareTime = *shareTime;
  ++state_->counter;
  state_->changed.notify_all();
}

void TestLongPollEndpoints::shutdown() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->shutdown = true;
  state_->changed.notify_all();
}

int TestLongPollEndpoints::heldPolls() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->held;
}

bool TestLongPollEndpoints::waitForHeldPolls(int count, double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                  [&] { return state_->held >= count; });
}

std::vector<std::string> TestLongPollEndpoints::cursors() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->cursors;
}

}  // namespace kxtest
