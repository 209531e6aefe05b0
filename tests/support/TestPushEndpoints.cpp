#include "support/TestPushEndpoints.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace kxtest {

namespace {

// A small JSON reader for the parameters the client sends.
class JSONReader {
 public:
  explicit JSONReader(const std::string& text) : s_(text) {}

  bool read(kx::Value* out) {
    if (!value(out)) return false;
    blanks();
    return i_ == s_.size();
  }

 private:
  void blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  bool literal(const char* word) {
    std::size_t n = std::char_traits<char>::length(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  bool string(std::string* out) {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'u': {
          if (i_ + 4 > s_.size()) return false;
          unsigned code =
              static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
          i_ += 4;
          if (code >= 0xD800 && code <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
            unsigned low =
                static_cast<unsigned>(std::strtoul(s_.substr(i_ + 2, 4).c_str(), nullptr, 16));
            i_ += 6;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          if (code < 0x80) {
            *out += static_cast<char>(code);
          } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
          } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: *out += e;
      }
    }
    if (i_ >= s_.size()) return false;
    ++i_;
    return true;
  }
  bool value(kx::Value* out) {
    blanks();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') {
      ++i_;
      kx::Dictionary dict;
      blanks();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        *out = kx::Value(std::move(dict));
        return true;
      }
      for (;;) {
        blanks();
        std::string key;
        if (!string(&key)) return false;
        blanks();
        if (i_ >= s_.size() || s_[i_++] != ':') return false;
        kx::Value element;
        if (!value(&element)) return false;
        dict.set(key, std::move(element));
        blanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == '}') {
          ++i_;
          break;
        }
        return false;
      }
      *out = kx::Value(std::move(dict));
      return true;
    }
    if (c == '[') {
      ++i_;
      kx::Array array;
      blanks();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        *out = kx::Value(std::move(array));
        return true;
      }
      for (;;) {
        kx::Value element;
        if (!value(&element)) return false;
        array.push_back(std::move(element));
        blanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == ']') {
          ++i_;
          break;
        }
        return false;
      }
      *out = kx::Value(std::move(array));
      return true;
    }
    if (c == '"') {
      std::string text;
      if (!string(&text)) return false;
      *out = kx::Value(std::move(text));
      return true;
    }
    if (literal("true")) {
      *out = kx::Value(true);
      return true;
    }
    if (literal("false")) {
      *out = kx::Value(false);
      return true;
    }
    if (literal("null")) {
      *out = kx::Value();
      return true;
    }
    std::size_t start = i_;
    bool real = false;
    while (i_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '-' ||
                              s_[i_] == '+' || s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) {
      real = real || s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E';
      ++i_;
    }
    if (start == i_) return false;
    std::string number = s_.substr(start, i_ - start);
    if (real) {
      *out = kx::Value(std::strtod(number.c_str(), nullptr));
    } else {
      *out = kx::Value(static_cast<long long>(std::strtoll(number.c_str(), nullptr, 10)));
    }
    return true;
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

bool truthy(const kx::Value& value) {
  if (value.isString()) return value.string() == "true" || value.string() == "1";
  return value.boolValue();
}

}  // namespace

TestPushEndpoints::TestPushEndpoints(TestNoteService& service, TestSyncEndpoints& sync)
    : service_(service), sync_(sync) {
  sync_.handleMethod("push", [this](const RecordedRequest& request) {
    // Counted for its whole length: the destructor waits for every push
    // still using this object, also past the gate.
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++handling_;
    }
    Reply reply = push(request);
    std::lock_guard<std::mutex> lock(mu_);
    --handling_;
    changed_.notify_all();
    return reply;
  });
  service_.route("POST", kUploadPath,
                 [this](const RecordedRequest& request) { return openUpload(request); });
}

TestPushEndpoints::~TestPushEndpoints() {
  sync_.handleMethod("push", nullptr);
  std::unique_lock<std::mutex> lock(mu_);
  stopping_ = true;
  gateClosed_ = false;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::seconds(30),
                    [&] { return inFlight_ == 0 && handling_ == 0; });
}

Reply TestPushEndpoints::serviceError(std::int64_t code, const std::string& message,
                                      const std::string& extraJSON) {
  std::string body = "{\"error\":" + std::to_string(code) +
                     ",\"message\":" + toJSON(kx::Value(message)) +
                     (extraJSON.empty() ? "" : "," + extraJSON) + "}";
  return Reply::json(500, body);
}

void TestPushEndpoints::failPush(const std::string& fileId, Reply reply, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < times; ++i) pushFaults_[fileId].push_back(reply);
}

void TestPushEndpoints::failGetById(bool fail) {
  std::lock_guard<std::mutex> lock(mu_);
  failGetById_ = fail;
}

void TestPushEndpoints::cutNextUploadBody(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  cutAfter_ = bytes;
}

void TestPushEndpoints::setPushGateClosed(bool closed) {
  std::lock_guard<std::mutex> lock(mu_);
  gateClosed_ = closed;
  changed_.notify_all();
}

bool TestPushEndpoints::waitForPushesInFlight(int count, double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return inFlight_ >= count; });
}

std::vector<std::string> TestPushEndpoints::order() const {
  std::lock_guard<std::mutex> lock(mu_);
  return order_;
}

void TestPushEndpoints::clearOrder() {
  std::lock_guard<std::mutex> lock(mu_);
  order_.clear();
}

int TestPushEndpoints::peakPushesInFlight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return peak_;
}

int TestPushEndpoints::peakNotebookPushesInFlight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return notebookPeak_;
}

std::size_t TestPushEndpoints::pushRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pushCount_;
}

std::size_t TestPushEndpoints::eraseRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eraseCount_;
}

std::vector<kx::Dictionary> TestPushEndpoints::pushesOf(const std::string& fileId) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = pushes_.find(fileId);
  return it == pushes_.end() ? std::vector<kx::Dictionary>{} : it->second;
}

std::string TestPushEndpoints::uploaded(const std::string& transmitId) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(transmitId);
  return it == sessions_.end() ? std::string() : it->second;
}

Reply TestPushEndpoints::push(const RecordedRequest& request) {
  kx::Dictionary params;
  const std::string type = request.header("Content-Type");
  const bool erase = type.find("x-www-form-urlencoded") != std::string::npos;
  if (erase) {
    for (const auto& [key, value] : splitQuery(request.body)) {
      params.set(key, kx::Value(formValue(request.body, key)));
    }
  } else {
    const std::string lengthText = request.header("parameters-length");
    const std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    kx::Value parsed;
    if (length > request.body.size() || !JSONReader(request.body.substr(0, length)).read(&parsed) ||
        !parsed.isDictionary()) {
      return Reply::json(400, "{\"error\":400,\"message\":\"parameters\"}");
    }
    params = parsed.dict();
  }
  const std::string fileId = params["fileId"].stringValue();
  const bool notebook = truthy(params["dir"]);
  std::unique_lock<std::mutex> lock(mu_);
  ++inFlight_;
  peak_ = std::max(peak_, inFlight_);
  if (notebook && !erase) {
    ++notebooksInFlight_;
    notebookPeak_ = std::max(notebookPeak_, notebooksInFlight_);
  }
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !gateClosed_ || stopping_; });
  --inFlight_;
  if (notebook && !erase) --notebooksInFlight_;
  changed_.notify_all();
  order_.push_back((erase ? "erase:" : "push:") + fileId);
  pushes_[fileId].push_back(params);
  if (erase) {
    ++eraseCount_;
  } else {
    ++pushCount_;
  }
  // The version read of a pushed entry answers from now on.
  service_.route("POST", std::string(kFilePath) + fileId,
                 [this, fileId](const RecordedRequest&) { return getById(fileId); });
  if (auto fault = pushFaults_.find(fileId); fault != pushFaults_.end() && !fault->second.empty()) {
    Reply reply = fault->second.front();
    fault->second.pop_front();
    return reply;
  }
  if (erase) {
    lock.unlock();
    if (sync_.entry(fileId).isDictionary()) sync_.eraseEntry(fileId);
    return Reply::json(200, "{}");
  }
  std::string body;
  bool hasBody = false;
  if (params["bodyString"].isString()) {
    body = params["bodyString"].string();
    hasBody = true;
  } else if (params["transmitId"].isString() && !notebook) {
    auto session = sessions_.find(params["transmitId"].string());
    if (session == sessions_.end()) {
      return Reply::json(500, "{\"error\":500,\"message\":\"NO_SUCH_UPLOAD\"}");
    }
    body = session->second;
    hasBody = true;
  }
  lock.unlock();
  kx::Dictionary fields{{"name", kx::Value(params["name"].stringValue())},
                        {"dir", kx::Value(notebook)},
                        {"domain", kx::Value(params["domain"].intValue() != 0)},
                        {"modifyTime", kx::Value(params["modifyTime"].intValue())},
                        {"createTime", kx::Value(params["createTime"].intValue())},
                        {"deleted", kx::Value(params["parentId"].stringValue() == "1")}};
  if (params.contains("parentId")) fields.set("parentId", params["parentId"]);
  sync_.putEntry(fileId, fields, hasBody ? &body : nullptr);
  // The resources the note now holds ("<id>:<version>;..."), for the next
  // pull's "resourcesExpected".
  if (const std::string list = params["resources"].stringValue(); !list.empty()) {
    kx::Array resources;
    std::size_t at = 0;
    while (at < list.size()) {
      std::size_t end = list.find(';', at);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(at, end - at);
      const std::size_t colon = item.find(':');
      if (colon != std::string::npos) {
        resources.push_back(
            kx::Value::dict({{"resourceId", kx::Value(item.substr(0, colon))},
                             {"version", kx::Value(static_cast<long long>(std::strtoll(
                                             item.c_str() + colon + 1, nullptr, 10)))}}));
      }
      at = end + 1;
    }
    sync_.putMeta(fileId, {{"resources", kx::Value(std::move(resources))}});
  }
  return Reply::json(200, toJSON(sync_.entry(fileId)));
}

Reply TestPushEndpoints::getById(const std::string& fileId) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (failGetById_) return Reply::json(500, "{\"error\":500}");
  }
  kx::Value entry = sync_.entry(fileId);
  kx::Value resources = entry["meta"]["value"]["resources"];
  if (!resources.isArray()) resources = kx::Value(kx::Array{});
  return Reply::json(
      200, toJSON(kx::Value::dict({{"fileMeta", kx::Value::dict({{"resources", resources}})}})));
}

Reply TestPushEndpoints::openUpload(const RecordedRequest& request) {
  if (request.header("File-Size").empty()) {
    return Reply::json(400, "{\"error\":400,\"message\":\"File-Size\"}");
  }
  std::string id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = "T" + std::to_string(++nextSession_);
    sessions_[id] = std::string();
  }
  service_.route("POST", std::string(kUploadPath) + "/" + id,
                 [this, id](const RecordedRequest& r) { return uploadBody(id, r); });
  return Reply::json(200, "{\"transmitId\":\"" + id + "\"}");
}

Reply TestPushEndpoints::uploadBody(const std::string& transmitId, const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string& held = sessions_[transmitId];
  const std::string range = request.header("Content-Range");
  if (range == "bytes */*") {
    Reply reply = Reply::json(200, "{}");
    if (!held.empty()) {
      reply.headers.emplace_back("Range", "bytes=0-" + std::to_string(held.size() - 1));
    }
    return reply;
  }
  std::size_t start = 0;
  if (range.rfind("bytes ", 0) == 0) start = std::stoul(range.substr(6));
  std::string body = request.body;
  bool cut = false;
  if (cutAfter_ >= 0 && static_cast<std::size_t>(cutAfter_) < body.size()) {
    body.resize(static_cast<std::size_t>(cutAfter_));
    cutAfter_ = -1;
    cut = true;
  }
  if (start > held.size()) return Reply::json(416, "{\"error\":416}");
  held.resize(start);
  held += body;
  return cut ? Reply::json(500, "{\"error\":500}") : Reply::json(200, "{}");
}

}  // namespace kxtest
