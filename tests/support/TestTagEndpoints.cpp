#include "support/TestTagEndpoints.h"

#include <utility>

#include "support/TestSyncEndpoints.h"

namespace kxtest {

TestTagEndpoints::TestTagEndpoints(TestNoteService& service, Parser parser)
    : service_(service), parser_(std::move(parser)) {
  service_.route("GET", kTagPath, [this](const RecordedRequest&) { return get(); });
  service_.route("POST", kTagPath, [this](const RecordedRequest& request) { return set(request); });
}

Reply TestTagEndpoints::get() {
  std::lock_guard<std::mutex> lock(mu_);
  ++gets_;
  kx::Array list;
  for (const auto& [id, tag] : tags_) list.push_back(tag);
  return Reply::json(
      200,
      toJSON(kx::Value::dict({{"v", kx::Value(version_)}, {"tags", kx::Value(std::move(list))}})));
}

Reply TestTagEndpoints::set(const RecordedRequest& request) {
  std::vector<MultipartPart> parts;
  std::string list;
  bool found = false;
  if (parseMultipart(request.header("Content-Type"), request.body, &parts)) {
    for (const MultipartPart& part : parts) {
      if (part.name == "tags") {
        list = part.data;
        found = true;
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  pushed_.push_back(list);
  if (failSets_ > 0) {
    --failSets_;
    return Reply::json(500, "{\"error\":500}");
  }
  if (!found) return Reply::json(400, "{\"error\":400}");
  if (parser_) {
    kx::Value parsed = parser_(list);
    if (!parsed.isArray()) return Reply::json(400, "{\"error\":400}");
    tags_.clear();
    for (const kx::Value& tag : parsed.array()) tags_[tag["tagid"].stringValue()] = tag;
  }
  ++version_;
  return Reply::json(200, toJSON(kx::Value::dict({{"v", kx::Value(version_)}})));
}

void TestTagEndpoints::putTag(const std::string& tagId, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  ++clock_;
  kx::Value created = tags_.contains(tagId) ? tags_[tagId]["createTime"] : kx::Value(clock_);
  tags_[tagId] = kx::Value::dict({{"tagid", kx::Value(tagId)},
                                  {"name", kx::Value(name)},
                                  {"ptagid", kx::Value("")},
                                  {"createTime", created},
                                  {"modifyTime", kx::Value(clock_)}});
  ++version_;
}

void TestTagEndpoints::removeTag(const std::string& tagId) {
  std::lock_guard<std::mutex> lock(mu_);
  tags_.erase(tagId);
  ++version_;
}

std::int64_t TestTagEndpoints::version() const {
  std::lock_guard<std::mutex> lock(mu_);
  return version_;
}

std::map<std::string, kx::Value> TestTagEndpoints::tags() const {
  std::lock_guard<std::mutex> lock(mu_);
  return tags_;
}

std::string TestTagEndpoints::name(const std::string& tagId) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tags_.find(tagId);
  return it == tags_.end() ? std::string() : it->second["name"].stringValue();
}

void TestTagEndpoints::failNextSets(int n) {
  std::lock_guard<std::mutex> lock(mu_);
  failSets_ = n;
}

std::vector<std::string> TestTagEndpoints::pushedLists() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pushed_;
}

std::size_t TestTagEndpoints::getRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return gets_;
}

}  // namespace kxtest
