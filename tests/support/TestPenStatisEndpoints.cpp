#include "support/TestPenStatisEndpoints.h"

#include <utility>

namespace kxtest {

TestPenEndpoints::TestPenEndpoints(TestNoteService& service) {
  service.route("POST", kPenPath, [this](const RecordedRequest& request) {
    const std::string method = queryValue(request.query, "method");
    std::lock_guard<std::mutex> lock(mu_);
    if (method == "pull") {
      if (!replies_.empty()) {
        Reply reply = replies_.front();
        replies_.pop_front();
        return reply;
      }
      return Reply::json(200, "{\"listVersion\":" + std::to_string(listVersion_) + "}");
    }
    if (method == "latestPages") {
      const std::string id = formValue(request.body, "entryId");
      auto it = pages_.find(id);
      return Reply::json(200, "{\"entryId\":\"" + id +
                                  "\",\"pages\":" + (it == pages_.end() ? "[]" : it->second) + "}");
    }
    return Reply::json(404, "{\"error\":404}");
  });
}

void TestPenEndpoints::setListVersion(std::int64_t version) {
  std::lock_guard<std::mutex> lock(mu_);
  listVersion_ = version;
}

void TestPenEndpoints::queueReply(Reply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_.push_back(std::move(reply));
}

void TestPenEndpoints::setPages(const std::string& entryId, const std::string& pagesJSON) {
  std::lock_guard<std::mutex> lock(mu_);
  pages_[entryId] = pagesJSON;
}

TestStatisEndpoints::TestStatisEndpoints(TestNoteService& service) {
  reply_ = Reply::json(200, "{}");
  service.route("GET", kStatisPath, [this](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mu_);
    return reply_;
  });
}

void TestStatisEndpoints::setReply(Reply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  reply_ = std::move(reply);
}

}  // namespace kxtest
