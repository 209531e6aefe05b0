#include "support/TestMyshareEndpoints.h"

#include <algorithm>

#include "support/TestSyncEndpoints.h"

namespace kxtest {

TestMyshareEndpoints::TestMyshareEndpoints(TestNoteService& service) {
  service.route("POST", kMysharePath, [this](const RecordedRequest& request) {
    const std::string method = queryValue(request.query, "method");
    if (method == "pull") return pull(request);
    if (method == "download") return download(request);
    return Reply::json(404, "{\"error\":404}");
  });
}

void TestMyshareEndpoints::putShare(const std::string& id, const std::string& name, bool domain,
                                    const std::string& content, std::int64_t time) {
  std::lock_guard<std::mutex> lock(mu_);
  order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
  order_.push_back(id);
  const std::int64_t version =
      entries_.contains(id) ? entries_[id]["entry"]["version"].intValue() + 1 : 1;
  entries_[id] =
      kx::Value::dict({{"entry", kx::Value::dict({{"id", kx::Value(id)},
                                                  {"parentId", kx::Value("SHARED")},
                                                  {"name", kx::Value(name)},
                                                  {"dir", kx::Value(false)},
                                                  {"domain", kx::Value(domain ? 1 : 0)},
                                                  {"version", kx::Value(version)}})},
                       {"meta", kx::Value::dict({{"value", kx::Value(kx::Dictionary())}})}});
  contents_[id] = content;
  times_[id] = time;
}

void TestMyshareEndpoints::setPageSize(int size) {
  std::lock_guard<std::mutex> lock(mu_);
  pageSize_ = size;
}

void TestMyshareEndpoints::failPullRequest(int n) {
  std::lock_guard<std::mutex> lock(mu_);
  failing_.insert(pulls_ + n);
}

std::size_t TestMyshareEndpoints::pullRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::size_t>(pulls_);
}

Reply TestMyshareEndpoints::pull(const RecordedRequest& request) {
  const std::string lastId = formValue(request.body, "lastId");
  const std::string lastTimeText = formValue(request.body, "lastTime");
  const std::string limitText = formValue(request.body, "limit");
  std::lock_guard<std::mutex> lock(mu_);
  ++pulls_;
  if (failing_.erase(pulls_) > 0) return Reply::json(500, "{\"error\":500}");
  const std::int64_t lastTime = lastTimeText.empty() ? -1 : std::stoll(lastTimeText);
  const int limit = std::min(limitText.empty() ? 512 : std::stoi(limitText), pageSize_);
  std::vector<std::string> changed;
  for (const std::string& id : order_) {
    if (times_[id] > lastTime) changed.push_back(id);
  }
  auto from = changed.begin();
  if (!lastId.empty()) {
    auto at = std::find(changed.begin(), changed.end(), lastId);
    from = at == changed.end() ? changed.end() : at + 1;
  }
  kx::Array values;
  std::string marker;
  for (auto it = from; it != changed.end() && static_cast<int>(values.size()) < limit; ++it) {
    values.push_back(entries_[*it]);
    marker = *it;
  }
  const bool truncated = from + static_cast<std::ptrdiff_t>(values.size()) != changed.end();
  return Reply::json(200, toJSON(kx::Value::dict({{"values", kx::Value(std::move(values))},
                                                  {"truncated", kx::Value(truncated)},
                                                  {"truncatedMarker", kx::Value(marker)}})));
}

Reply TestMyshareEndpoints::download(const RecordedRequest& request) {
  const std::string id = formValue(request.body, "entryId");
  std::lock_guard<std::mutex> lock(mu_);
  auto it = contents_.find(id);
  if (it == contents_.end()) return Reply::json(404, "{\"error\":404}");
  Reply reply;
  reply.headers.emplace_back("Content-Type", "application/octet-stream");
  reply.body = it->second;
  return reply;
}

}  // namespace kxtest
