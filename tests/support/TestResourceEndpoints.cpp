#include "support/TestResourceEndpoints.h"

#include <algorithm>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"

namespace kxtest {

TestResourceEndpoints::TestResourceEndpoints(TestNoteService& service, TestSyncEndpoints& sync,
                                             TestPushEndpoints* push)
    : service_(service), sync_(sync), push_(push) {
  service_.route("POST", kResourcePath, [this](const RecordedRequest& request) {
    if (queryValue(request.query, "method") != "batchMetas") {
      return Reply::json(400, "{\"error\":400}");
    }
    return batchMetas(request);
  });
  service_.route("GET", kSharePath,
                 [this](const RecordedRequest& request) { return share(request); });
  if (push_ != nullptr) {
    sync_.handleMethod("putResource",
                       [this](const RecordedRequest& request) { return putFromUpload(request); });
  }
}

TestResourceEndpoints::~TestResourceEndpoints() = default;

std::string TestResourceEndpoints::downloadPath(const std::string& id) {
  return std::string(kResourcePath) + "/" + id;
}

void TestResourceEndpoints::routeResource(const std::string& id) {
  service_.route("GET", downloadPath(id), [this, id](const RecordedRequest& request) {
    if (queryValue(request.query, "method") != "getResource") return Reply::json(400, "{}");
    return bytesOf(id, true);
  });
  service_.route("GET", "/src/" + id,
                 [this, id](const RecordedRequest&) { return bytesOf(id, false); });
}

void TestResourceEndpoints::putResource(const std::string& id, StoredResource resource) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    resources_[id] = std::move(resource);
  }
  routeResource(id);
}

std::int64_t TestResourceEndpoints::attachToNote(const std::string& noteId,
                                                 const std::vector<std::string>& ids) {
  kx::Array list;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const std::string& id : ids) {
      auto it = resources_.find(id);
      const std::int64_t version = it == resources_.end() ? 1 : it->second.version;
      list.push_back(kx::Value::dict({{"resourceId", kx::Value(id)},
                                      {"version", kx::Value(static_cast<long long>(version))}}));
    }
  }
  return sync_.putMeta(noteId, {{"resources", kx::Value(std::move(list))}});
}

bool TestResourceEndpoints::hasResource(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return resources_.count(id) != 0;
}

TestResourceEndpoints::StoredResource TestResourceEndpoints::resource(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = resources_.find(id);
  return it == resources_.end() ? StoredResource{} : it->second;
}

void TestResourceEndpoints::setPublishLink(const std::string& fileId, const std::string& url) {
  std::lock_guard<std::mutex> lock(mu_);
  links_[fileId] = url;
}

void TestResourceEndpoints::setBatchReversed(bool reversed) {
  std::lock_guard<std::mutex> lock(mu_);
  reversed_ = reversed;
}

void TestResourceEndpoints::setBatchLeavesOut(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  leftOut_ = id;
}

void TestResourceEndpoints::setPutAnswersWithoutAddress(bool without) {
  std::lock_guard<std::mutex> lock(mu_);
  withoutAddress_ = without;
}

int TestResourceEndpoints::downloadsOf(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = downloads_.find(id);
  return it == downloads_.end() ? 0 : it->second;
}

std::size_t TestResourceEndpoints::batchRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return batches_;
}

std::size_t TestResourceEndpoints::shareRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return shares_;
}

std::vector<kx::Dictionary> TestResourceEndpoints::putResourceParams() const {
  std::lock_guard<std::mutex> lock(mu_);
  return puts_;
}

Reply TestResourceEndpoints::batchMetas(const RecordedRequest& request) {
  const std::string idversions = formValue(request.body, "idversions");
  std::vector<std::string> ids;
  std::size_t at = 0;
  while (at <= idversions.size()) {
    std::size_t end = idversions.find(';', at);
    if (end == std::string::npos) end = idversions.size();
    const std::string item = idversions.substr(at, end - at);
    if (!item.empty()) ids.push_back(item.substr(0, item.find(':')));
    at = end + 1;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++batches_;
  if (reversed_) std::reverse(ids.begin(), ids.end());
  kx::Array answer;
  for (const std::string& id : ids) {
    auto it = resources_.find(id);
    if (it == resources_.end() || id == leftOut_) continue;
    const StoredResource& r = it->second;
    kx::Dictionary value{
        {"resourceId", kx::Value(id)},
        {"fileName", kx::Value(r.fileName)},
        {"fileSize", kx::Value(static_cast<long long>(r.bytes.size()))},
        {"version", kx::Value(static_cast<long long>(r.version))},
        {"metaProps", kx::Value::dict({{"restype", kx::Value(static_cast<long long>(r.restype))},
                                       {"resowner", kx::Value(r.resowner)}})}};
    if (!r.mimeType.empty()) value.set("mimeType", kx::Value(r.mimeType));
    answer.push_back(kx::Value::dict({{"value", kx::Value(std::move(value))}}));
  }
  return Reply::json(200, toJSON(kx::Value(std::move(answer))));
}

Reply TestResourceEndpoints::bytesOf(const std::string& id, bool counted) {
  std::lock_guard<std::mutex> lock(mu_);
  if (counted) ++downloads_[id];
  auto it = resources_.find(id);
  if (it == resources_.end()) return Reply::json(404, "{\"error\":404}");
  Reply reply;
  reply.headers.emplace_back("Content-Type", "application/octet-stream");
  reply.body = it->second.bytes;
  return reply;
}

Reply TestResourceEndpoints::share(const RecordedRequest& request) {
  const std::string fileId = queryValue(request.query, "fileId");
  std::lock_guard<std::mutex> lock(mu_);
  ++shares_;
  if (queryValue(request.query, "from") != "kxpublisher") return Reply::json(400, "{}");
  auto it = links_.find(fileId);
  if (it == links_.end()) return Reply::json(404, "{\"error\":404}");
  return Reply::json(200, toJSON(kx::Value::dict({{"url", kx::Value(it->second)}})));
}

Reply TestResourceEndpoints::putFromUpload(const RecordedRequest& request) {
  const std::string lengthText = request.header("parameters-length");
  const std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
  if (length > request.body.size()) return Reply::json(400, "{\"error\":400}");
  const std::string json = request.body.substr(0, length);
  kx::Value parsed = objectFromJSONData(kx::Bytes(json.begin(), json.end()));
  if (!parsed.isDictionary()) return Reply::json(400, "{\"error\":400}");
  const kx::Dictionary params = parsed.dict();
  const std::string id = params["resourceId"].stringValue();
  const std::string transmitId = params["transmitId"].stringValue();
  if (id.empty() || transmitId.empty()) return Reply::json(400, "{\"error\":400}");
  const std::string bytes = push_->uploaded(transmitId);
  std::int64_t version = 1;
  bool withoutAddress = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    puts_.push_back(params);
    StoredResource& r = resources_[id];
    version = r.version = r.bytes.empty() && r.fileName.empty() ? 1 : r.version + 1;
    r.bytes = bytes;
    r.fileName = params["resourceName"].stringValue();
    r.mimeType = params["resourceMime"].stringValue();
    r.restype = std::stoll("0" + params["metaProps"]["restype"].stringValue());
    r.resowner = params["metaProps"]["resowner"].stringValue();
    withoutAddress = withoutAddress_;
  }
  routeResource(id);
  Reply reply = Reply::json(200, "{\"fileSize\":" + std::to_string(bytes.size()) + "}");
  if (!withoutAddress) {
    reply.headers.emplace_back("url", service_.baseURL() + "/src/" + id);
    reply.headers.emplace_back("src", "//" + service_.host() + "/src/" + id);
  }
  reply.headers.emplace_back("ROOT-VERSION", std::to_string(version));
  return reply;
}

}  // namespace kxtest
