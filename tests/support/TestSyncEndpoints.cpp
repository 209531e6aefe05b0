#include "support/TestSyncEndpoints.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <tuple>
#include <utility>

#include "platform/Crypto.h"

namespace kxtest {

namespace {

void appendJSONString(std::string* out, const std::string& text) {
  *out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          *out += buffer;
        } else {
          *out += static_cast<char>(c);
        }
    }
  }
  *out += '"';
}

void appendJSON(std::string* out, const kx::Value& value) {
  if (value.isBool()) {
    *out += value.boolValue() ? "true" : "false";
  } else if (value.isNumber()) {
    *out += value.stringValue();
  } else if (value.isString()) {
    appendJSONString(out, value.string());
  } else if (value.isArray()) {
    *out += '[';
    bool first = true;
    for (const kx::Value& element : value.array()) {
      if (!first) *out += ',';
      first = false;
      appendJSON(out, element);
    }
    *out += ']';
  } else if (value.isDictionary()) {
    *out += '{';
    bool first = true;
    for (const auto& [key, element] : value.dict()) {
      if (!first) *out += ',';
      first = false;
      appendJSONString(out, key);
      *out += ':';
      appendJSON(out, element);
    }
    *out += '}';
  } else {
    *out += "null";
  }
}

std::int64_t versionOf(const kx::Value& entry) { return entry["entry"]["version"].intValue(); }

// The paging marker of an entry: its place in the order of changes.
std::string markerOf(const kx::Value& entry) {
  return std::to_string(versionOf(entry)) + ":" + entry["entry"]["id"].string();
}

std::pair<std::int64_t, std::string> parseMarker(const std::string& marker) {
  std::size_t colon = marker.find(':');
  if (colon == std::string::npos) return {-2, ""};
  return {std::stoll(marker.substr(0, colon)), marker.substr(colon + 1)};
}

}  // namespace

std::string toJSON(const kx::Value& value) {
  std::string out;
  appendJSON(&out, value);
  return out;
}

TestSyncEndpoints::TestSyncEndpoints(TestNoteService& service) : service_(service) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    change(kRootId,
           {{"parentId", kx::Value("0")}, {"name", kx::Value("root")}, {"dir", kx::Value(true)}},
           nullptr);
  }
  service_.route("POST", kSyncPath, [this](const RecordedRequest& request) {
    std::string method = formValue(request.query, "method");
    if (method == "pull") return pull(request);
    if (method == "download") return download(request);
    TestNoteService::Handler other;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (auto it = methods_.find(method); it != methods_.end()) other = it->second;
    }
    if (other) return other(request);
    return Reply::json(400, "{\"error\":400}");
  });
}

TestSyncEndpoints::~TestSyncEndpoints() {
  std::unique_lock<std::mutex> lock(mu_);
  stopping_ = true;
  gateClosed_ = false;
  gateChanged_.notify_all();
  // Downloads held at the gate leave before the endpoints go.
  gateChanged_.wait_for(lock, std::chrono::seconds(30), [&] { return inFlight_ == 0; });
}

std::int64_t TestSyncEndpoints::change(const std::string& id, const kx::Dictionary& fields,
                                       const std::string* body) {
  orderStale_ = true;
  kx::Value& stored = entries_[id];
  if (!stored.isDictionary()) {
    stored = kx::Value::dict({{"entry", kx::Value::dict({{"id", kx::Value(id)},
                                                         {"parentId", kx::Value("")},
                                                         {"dir", kx::Value(false)},
                                                         {"domain", kx::Value(false)},
                                                         {"deleted", kx::Value(false)},
                                                         {"erased", kx::Value(false)},
                                                         {"remoteRemoved", kx::Value(0)}})},
                              {"meta", kx::Value::dict({{"value", kx::Value::dict({})}})}});
  }
  kx::Dictionary& entry = stored.mutableDict().find("entry")->mutableDict();
  for (const auto& [key, value] : fields) entry.set(key, value);
  entry.set("id", kx::Value(id));
  entry.set("version", kx::Value(++rootVersion_));
  if (id != kRootId) {
    // Every change is a change of the tree: the root notebook takes the
    // new root version too.
    entries_[kRootId].mutableDict().find("entry")->mutableDict().set("version",
                                                                     kx::Value(rootVersion_));
  }
  if (body) {
    bodies_[id] = *body;
    entry.set("checksum", kx::Value("c" + std::to_string(std::hash<std::string>()(*body))));
    entry.set("fileSize", kx::Value(static_cast<std::int64_t>(body->size())));
    entry.set("md5", kx::Value(kx::Crypto::md5Hex(kx::ByteView(*body))));
  }
  return rootVersion_;
}

std::int64_t TestSyncEndpoints::putEntry(const std::string& id, const kx::Dictionary& fields,
                                         const std::string* body) {
  std::lock_guard<std::mutex> lock(mu_);
  return change(id, fields, body);
}

std::int64_t TestSyncEndpoints::putNotebook(const std::string& id, const std::string& parentId,
                                            const std::string& name) {
  return putEntry(
      id, {{"parentId", kx::Value(parentId)}, {"name", kx::Value(name)}, {"dir", kx::Value(true)}});
}

std::int64_t TestSyncEndpoints::putNote(const std::string& id, const std::string& parentId,
                                        const std::string& name, const std::string& body) {
  return putEntry(id, {{"parentId", kx::Value(parentId)}, {"name", kx::Value(name)}}, &body);
}

std::int64_t TestSyncEndpoints::putMeta(const std::string& id, const kx::Dictionary& values) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::int64_t version = change(id, {}, nullptr);
  kx::Dictionary& value =
      entries_[id].mutableDict().find("meta")->mutableDict().find("value")->mutableDict();
  for (const auto& [key, element] : values) value.set(key, element);
  return version;
}

std::int64_t TestSyncEndpoints::removeEntry(const std::string& id) {
  return putEntry(id, {{"remoteRemoved", kx::Value(1)}});
}

std::int64_t TestSyncEndpoints::deleteEntry(const std::string& id) {
  return putEntry(id, {{"deleted", kx::Value(true)}, {"parentId", kx::Value("1")}});
}

std::int64_t TestSyncEndpoints::eraseEntry(const std::string& id) {
  return putEntry(id, {{"erased", kx::Value(true)}});
}

void TestSyncEndpoints::setRootVersion(std::int64_t version) {
  std::lock_guard<std::mutex> lock(mu_);
  rootVersion_ = version;
}

std::int64_t TestSyncEndpoints::rootVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rootVersion_;
}

kx::Value TestSyncEndpoints::entry(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(id);
  return it == entries_.end() ? kx::Value() : it->second;
}

std::vector<std::string> TestSyncEndpoints::entryIds() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> ids;
  for (const auto& [id, entry] : entries_) ids.push_back(id);
  return ids;
}

void TestSyncEndpoints::failPullRequest(int n, Reply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  pullFaults_[pulls_ + n] = std::move(reply);
}

void TestSyncEndpoints::failDownload(const std::string& fileId, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  downloadFaults_[fileId] = times;
}

void TestSyncEndpoints::setDownloadGateClosed(bool closed) {
  std::lock_guard<std::mutex> lock(mu_);
  gateClosed_ = closed;
  gateChanged_.notify_all();
}

int TestSyncEndpoints::downloadsInFlight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inFlight_;
}

int TestSyncEndpoints::peakDownloadsInFlight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return peakInFlight_;
}

bool TestSyncEndpoints::waitForDownloadsInFlight(int count, double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(mu_);
  return gateChanged_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                               [&] { return inFlight_ >= count; });
}

void TestSyncEndpoints::handleMethod(const std::string& method, TestNoteService::Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  methods_[method] = std::move(handler);
}

std::size_t TestSyncEndpoints::pullRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::size_t>(pulls_);
}

std::size_t TestSyncEndpoints::downloadRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::size_t>(downloads_);
}

Reply TestSyncEndpoints::pull(const RecordedRequest& request) {
  std::string base = formValue(request.body, "baseVersion");
  std::string lastId = formValue(request.body, "lastId");
  std::string limitText = formValue(request.body, "limit");
  std::lock_guard<std::mutex> lock(mu_);
  ++pulls_;
  if (auto fault = pullFaults_.find(pulls_); fault != pullFaults_.end()) {
    Reply reply = fault->second;
    pullFaults_.erase(fault);
    return reply;
  }
  if (base.empty()) return Reply::json(400, "{\"error\":400,\"message\":\"baseVersion\"}");
  std::int64_t baseVersion = std::stoll(base);
  int limit = limitText.empty() ? kDefaultLimit : std::max(1, std::stoi(limitText));
  if (orderStale_) {
    order_.clear();
    order_.reserve(entries_.size());
    for (const auto& [id, entry] : entries_) order_.push_back({versionOf(entry), id, &entry});
    std::sort(order_.begin(), order_.end(), [](const Ordered& a, const Ordered& b) {
      return std::tie(a.version, a.id) < std::tie(b.version, b.id);
    });
    orderStale_ = false;
  }
  // The changed entries are those after the base version; a page goes on
  // after its marker.
  auto start = order_.begin();
  if (baseVersion >= 0) {
    start = std::partition_point(order_.begin(), order_.end(),
                                 [&](const Ordered& o) { return o.version <= baseVersion; });
  }
  if (!lastId.empty()) {
    const auto after = parseMarker(lastId);
    start = std::partition_point(start, order_.end(), [&](const Ordered& o) {
      return std::tie(o.version, o.id) <= std::tie(after.first, after.second);
    });
  }
  const auto end = order_.end() - start > limit ? start + limit : order_.end();
  kx::Array values;
  for (auto it = start; it != end; ++it) values.push_back(*it->entry);
  bool truncated = end != order_.end();
  kx::Dictionary answer{{"values", kx::Value(std::move(values))},
                        {"truncated", kx::Value(truncated)}};
  if (truncated) answer.set("truncatedMarker", kx::Value(markerOf(*(end - 1)->entry)));
  return Reply::json(200, toJSON(kx::Value(std::move(answer))));
}

Reply TestSyncEndpoints::download(const RecordedRequest& request) {
  std::string fileId = formValue(request.body, "fileId");
  std::unique_lock<std::mutex> lock(mu_);
  ++downloads_;
  ++inFlight_;
  peakInFlight_ = std::max(peakInFlight_, inFlight_);
  gateChanged_.notify_all();
  gateChanged_.wait_for(lock, std::chrono::seconds(30), [&] { return !gateClosed_ || stopping_; });
  --inFlight_;
  gateChanged_.notify_all();
  if (auto fault = downloadFaults_.find(fileId);
      fault != downloadFaults_.end() && fault->second > 0) {
    --fault->second;
    return Reply::json(500, "{\"error\":500}");
  }
  if (!entries_.count(fileId)) {
    return Reply::json(404, "{\"error\":404,\"message\":\"no such entry\"}");
  }
  // An entry put without a body has an empty one.
  auto body = bodies_.find(fileId);
  Reply reply;
  reply.headers.emplace_back("Content-Type", "application/octet-stream");
  if (body != bodies_.end()) reply.body = body->second;
  return reply;
}

}  // namespace kxtest
