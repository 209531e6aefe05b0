#include "account/KXNetworkOperation.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "account/KXStatitisc.h"
#include "platform/Crypto.h"
#include "platform/SleepNotifications.h"
#include "platform/URL.h"

namespace {

// URL error codes of the platform that the operation reports itself.
constexpr std::int64_t kURLErrorBadURL = -1000;
constexpr std::int64_t kURLErrorBadServerResponse = -1011;
constexpr std::int64_t kURLErrorFileDoesNotExist = -1100;
constexpr std::int64_t kURLErrorNoPermissionsToReadFile = -1102;
constexpr double kDefaultTimeout = 90;
// What a request gets when the options ask for "the platform default".
constexpr double kPlatformDefaultTimeout = 60;
// The most of a body that a parse-error log line shows.
constexpr std::size_t kLoggedBodyLimit = 1024;

using StaticsProvider = std::function<std::string()>;

kx::Guarded<StaticsProvider>& provider() {
  static auto* p = new kx::Guarded<StaticsProvider>(
      StaticsProvider([] { return KXStatitisc::commonStaticsString(); }));
  return *p;
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Sets a header field, replacing one of the same name.
void setHeader(kx::HTTPHeaders& headers, const std::string& name, const std::string& value) {
  for (auto& [k, v] : headers) {
    if (sameName(k, name)) {
      k = name;
      v = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

std::string stringOption(const kx::Dictionary& options, const char* key) {
  const kx::Value* v = options.find(key);
  return v && v->isString() ? v->string() : std::string();
}

// Whether a URL's host, percent-decoded, names a host and nothing more:
// labels of letters, digits, "-" and "_" (at most 63 bytes each, 253 in all)
// separated by dots, or an IPv6 address (hex digits, ":" and the dots of an
// embedded IPv4 address). An escape may hide "@", "/", "?" or ":", which
// would send the request somewhere other than its URL.
bool isHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  if (host.find(':') != std::string_view::npos) {
    for (char c : host) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    }
    return host.find(":::") == std::string_view::npos;
  }
  std::size_t label = 0;
  for (char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    if (++label > 63) return false;
  }
  return label > 0 || host.size() > 1;  // one trailing dot is allowed
}

// Text for a part header of a multipart body: a quote (which would end a
// quoted name) and CR and LF (which would start another header) are
// percent-escaped, as browsers send them in form names.
std::string escapedForPartHeader(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': out += "%22"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// A "file://" URL or a plain path, as a path.
std::string filePath(const kx::Value& value) {
  if (!value.isString()) return {};
  const std::string& text = value.string();
  if (text.rfind("file:", 0) == 0) {
    auto url = kx::URL::parse(text);
    return url ? url->path() : std::string();
  }
  return text;
}

// The body's first bytes for a log line, cut at a character boundary.
std::string bodyForLog(const kx::Bytes& body) {
  std::size_t n = std::min(body.size(), kLoggedBodyLimit);
  if (n < body.size()) {
    while (n > 0 && (body[n] & 0xC0) == 0x80) --n;  // not inside a UTF-8 sequence
  }
  return std::string(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string newBoundary() {
  unsigned char b[16];
  if (!kx::Crypto::randomBytes(b, sizeof(b))) {
    for (auto& c : b) c = static_cast<unsigned char>(std::rand());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return std::string("Boundary-") + text;
}

void append(kx::Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

kx::Dictionary headerDictionary(const kx::HTTPHeaders& headers) {
  kx::Dictionary out;
  for (const auto& [name, value] : headers) {
    const std::string* existing = nullptr;
    for (const auto& [key, unused] : out) {
      if (sameName(key, name)) existing = &key;
    }
    if (existing) {
      out.find(*existing)->mutableString() += ", " + value;
    } else {
      out.set(name, kx::Value(value));
    }
  }
  return out;
}

// The answer shapes of a synchronous dictionary request.
kx::Value dictionaryFromBody(const kx::HTTPResponse& response, const kx::Error& error) {
  if (error || response.status != 200 || response.body.empty()) return kx::Value(kx::Dictionary());
  kx::Value parsed = objectFromJSONData(response.body);
  if (parsed.isDictionary()) return parsed;
  if (parsed.isArray()) {
    bool allObjects = true;
    for (const auto& item : parsed.array()) allObjects = allObjects && item.isDictionary();
    if (allObjects) return kx::Value::dict({{"data", parsed}});
  }
  return kx::Value(kx::Dictionary());
}

}  // namespace

KXNetworkOperation::KXNetworkOperation() {
  sharedTransport();
  sleepObserver_ = kx::NotificationCenter::defaultCenter().addObserver(
      kx::kWorkspaceWillSleepNotification, nullptr, nullptr,
      [this](const kx::Notification& notification) { handleForSleep(notification); });
}

KXNetworkOperation::KXNetworkOperation(std::weak_ptr<KXNetworkOperationDelegate> delegate)
    : KXNetworkOperation() {
  state_.set(&State::delegate, std::move(delegate));
}

KXNetworkOperation::~KXNetworkOperation() {
  kx::NotificationCenter::defaultCenter().removeObserver(sleepObserver_);
}

kx::HTTPTransport& KXNetworkOperation::sharedTransport() { return kx::HTTPTransport::shared(); }

void KXNetworkOperation::setCommonStaticsProvider(std::function<std::string()> p) {
  provider().with([&](StaticsProvider& installed) { installed = std::move(p); });
}

std::string KXNetworkOperation::commonStaticsString() {
  StaticsProvider p = provider().with([](const StaticsProvider& installed) { return installed; });
  return p ? p() : std::string();
}

void KXNetworkOperation::setOption(KXNetworkOperationOptions options) {
  state_.with([&](State& s) {
    s.options = std::move(options);
    s.hasOptions = true;
  });
}

KXNetworkOperationOptions KXNetworkOperation::options() const {
  return state_.get(&State::options);
}

// --- building the request ---

bool KXNetworkOperation::validate(State& s, const std::string& common) {
  if (!s.hasOptions) return false;
  const kx::Value* url = s.options.find(kKXOptionURL);
  if (!url || !url->isString() || url->string().empty()) return false;
  std::string text = url->string();
  text += text.find('?') == std::string::npos ? "?" : "&";
  text += common;
  auto parsed = kx::URL::parse(text);
  if (!parsed || !isHostName(parsed->host())) return false;
  // The path stays as written (escaped), so that it survives being put back
  // into a URL.
  s.requestURI = parsed->percentEncodedPath();
  if (parsed->query()) s.requestURI += "?" + *parsed->query();
  s.host = parsed->host();
  const kx::Value* timeout = s.options.find(kKXOptionTimeout);
  s.timeout = timeout && timeout->isNumber() ? timeout->doubleValue() : kDefaultTimeout;
  const kx::Value* ssl = s.options.find(kKXOptionSSL);
  s.useSecurityTransport = ssl && !ssl->isNull() ? ssl->boolValue() : true;
  std::string method = stringOption(s.options, kKXOptionMethod);
  s.method = method.empty() && !s.options.contains(kKXOptionMethod) ? "POST" : method;
  return true;
}

std::optional<kx::HTTPRequest> KXNetworkOperation::generateRequest() {
  const std::string common = commonStaticsString();
  return state_.with([&](State& s) { return generateRequest(s, common); });
}

std::optional<kx::HTTPRequest> KXNetworkOperation::generateRequest(State& s,
                                                                   const std::string& common) {
  if (!validate(s, common)) return std::nullopt;
  const kx::Dictionary& options = s.options;
  const kx::Value* params = options.find(kKXOptionParams);
  bool hasParams = params && params->isDictionary();
  bool post = s.method == "POST";
  if (!post && hasParams) {
    s.requestURI += "&" + NSDictionaryKXHelper::stringForHTTPFormat(params->dict(), "&", "=");
  }
  kx::HTTPRequest request;
  // The host was checked to be a host name, so it cannot change how the
  // rest of the URL reads; user information never goes out.
  const bool ipv6 = s.host.find(':') != std::string::npos;
  request.url = "https://" + (ipv6 ? "[" + s.host + "]" : s.host) + s.requestURI;
  request.timeoutSeconds = s.timeout >= 0 ? s.timeout : kPlatformDefaultTimeout;
  request.method = post ? "POST" : "GET";
  kx::HTTPHeaders& headers = request.headers;
  if (post) {
    if (stringOption(options, kKXOptionEncoding) == kKXStreamEncoding) {
      setHeader(headers, "Content-Type", kKXStreamEncoding);
      if (hasParams) {
        kx::Bytes json = JSONDataWithOptions(*params, JKSerializeOptionPretty, nullptr);
        setHeader(headers, "parameters-length", std::to_string(json.size()));
        request.body = std::move(json);
        const kx::Value* stream = options.find(kKXOptionStreamData);
        if (stream && stream->isData()) {
          setHeader(headers, "File-Size", std::to_string(stream->bytes().size()));
          request.body.insert(request.body.end(), stream->bytes().begin(), stream->bytes().end());
        }
      } else {
        setHeader(headers, "parameters-length", "0");
      }
    } else if (hasParams && !params->dict().empty()) {
      setHeader(headers, "Content-Type", "application/x-www-form-urlencoded");
      append(request.body, NSDictionaryKXHelper::stringForHTTPFormat(params->dict(), "&", "="));
    }
  }
  const kx::Value* extra = options.find(kKXOptionHeaders);
  if (extra && extra->isDictionary()) {
    for (const auto& [name, value] : extra->dict()) setHeader(headers, name, value.stringValue());
  }
  setHeader(headers, "User-Agent", kKXNetworkOperationUserAgent);
  setHeader(headers, kKXNetworkOperationHeader, "");
  return request;
}

kx::Bytes KXNetworkOperation::multipartBody(std::string_view query, std::string_view name,
                                            std::string_view contentType, const kx::Bytes& data,
                                            std::string_view boundary) {
  kx::Bytes body;
  const std::string dashes = "--" + std::string(boundary);
  std::size_t pos = 0;
  while (pos <= query.size()) {
    const std::size_t amp = query.find('&', pos);
    const std::string_view pair =
        query.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos) {
      append(body, dashes + "\r\n");
      append(body, "Content-Disposition: form-data; name=\"" +
                       escapedForPartHeader(pair.substr(0, eq)) + "\"\r\n\r\n");
      append(body, std::string(pair.substr(eq + 1)) + "\r\n");
    }
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
  append(body, dashes + "\r\n");
  append(body, "Content-Disposition: form-data; name=\"" + escapedForPartHeader(name) +
                   "\"; filename=\"file\"\r\n");
  append(body, "Content-Type: " + escapedForPartHeader(contentType) + "\r\n\r\n");
  body.insert(body.end(), data.begin(), data.end());
  append(body, "\r\n" + dashes + "--\r\n");
  return body;
}

// --- starting ---

void KXNetworkOperation::start() {
  if (KXNetworkOperationCallback callback = state_.get(&State::callback)) {
    asyncNetworkOperationWithCallback(std::move(callback));
  } else {
    asyncNetworkOperation();
  }
}

void KXNetworkOperation::main() { start(); }

void KXNetworkOperation::asyncNetworkOperationWithCallback(KXNetworkOperationCallback callback) {
  std::weak_ptr<KXNetworkOperation> weak =
      std::static_pointer_cast<KXNetworkOperation>(shared_from_this());
  asyncNetworkOperationWithCompletionHandler(
      [weak, callback = std::move(callback)](kx::Value data, kx::HTTPResponseHead response,
                                             kx::Error error) {
        if (auto self = weak.lock())
          self->callbackWithCallback(callback, data, response, std::move(error));
      });
}

void KXNetworkOperation::asyncNetworkOperation() {
  std::weak_ptr<KXNetworkOperation> weak =
      std::static_pointer_cast<KXNetworkOperation>(shared_from_this());
  asyncNetworkOperationWithCompletionHandler(
      [weak](kx::Value data, kx::HTTPResponseHead response, kx::Error error) {
        if (auto self = weak.lock()) self->callbackWithDelegate(data, response, error);
      });
}

void KXNetworkOperation::asyncNetworkOperationWithCompletionHandler(Delivery delivery) {
  const std::string common = commonStaticsString();
  // A download that arrives for an operation cancelled or gone in the
  // meantime is not moved into place: nobody would remove it there.
  std::weak_ptr<kx::Operation> owner = weak_from_this();
  const bool owned = !owner.expired();
  enum class Outcome { Started, Cancelled, Failed };
  kx::Error failure;
  // The cancelled check, the executing mark and the transfer's start are one
  // step under the lock, as cancelInternal()'s mark and stop are: a cancel
  // comes either before (nothing starts) or after (the transfer is stopped).
  const Outcome outcome = state_.with([&](State& s) {
    if (isCancelled()) return Outcome::Cancelled;
    setExecuting(true);
    s.networkTask = 0;
    auto fail = [&](kx::Error error) {
      s.state = kStateFailed;
      failure = std::move(error);
      return Outcome::Failed;
    };
    std::optional<kx::HTTPRequest> built = generateRequest(s, common);
    if (!built) return fail(kx::Error(kx::kURLErrorDomain, kURLErrorBadURL));
    kx::HTTPRequest request = std::move(*built);
    const kx::Dictionary& options = s.options;
    std::string destination;
    std::string temporary;
    if (options.contains(kKXOptionByteFile)) {
      // Upload: the file's bytes from the start byte. A file that cannot be
      // read fails the operation rather than sending an empty body.
      std::string path = filePath(options[kKXOptionByteFile]);
      struct stat info {};
      if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        int err = errno;
        return fail(kx::Error(
            kx::kURLErrorDomain, kURLErrorFileDoesNotExist,
            kx::Value::dict({{kx::kFilePathErrorKey, kx::Value(path)},
                             {kx::kUnderlyingErrorKey, kx::Value(std::to_string(err))}})));
      }
      FILE* probe = std::fopen(path.c_str(), "rb");
      if (!probe) {
        return fail(kx::Error(kx::kURLErrorDomain, kURLErrorNoPermissionsToReadFile,
                              kx::Value::dict({{kx::kFilePathErrorKey, kx::Value(path)}})));
      }
      std::fclose(probe);
      const kx::Value* start = options.find(kKXOptionStartByte);
      std::int64_t offset = start && start->isNumber() ? start->intValue() : 0;
      if (offset < 0) offset = 0;
      if (offset > info.st_size) offset = info.st_size;
      request.body.clear();
      request.bodyFile = path;
      request.bodyFileOffset = offset;
      setHeader(request.headers, "Content-Length", std::to_string(info.st_size - offset));
    } else if (options.contains(kKXOptionDownloadFile)) {
      destination = filePath(options[kKXOptionDownloadFile]);
      std::filesystem::path dest(destination);
      // A name of its own for the temporary; all zeros (never unread memory)
      // when the system gives no random bytes.
      unsigned char r[8] = {};
      kx::ignoreError(kx::Crypto::randomBytes(r, sizeof(r)));
      char suffix[17];
      std::snprintf(suffix, sizeof(suffix), "%02x%02x%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2],
                    r[3], r[4], r[5], r[6], r[7]);
      temporary =
          (dest.parent_path() / ("." + dest.filename().string() + ".download-" + suffix)).string();
      request.downloadFile = temporary;
    } else if (options.contains(kKXOptionMultipartData)) {
      std::string boundary = newBoundary();
      setHeader(request.headers, "Content-Type", "multipart/form-data; boundary=" + boundary);
      const std::size_t q = request.url.find('?');
      const std::string query = q == std::string::npos ? std::string() : request.url.substr(q + 1);
      const kx::Value& data = options[kKXOptionMultipartData];
      kx::Bytes body = multipartBody(query, stringOption(options, kKXOptionName),
                                     stringOption(options, kKXOptionContentType),
                                     data.isData() ? data.bytes() : kx::Bytes(), boundary);
      request.method = "POST";
      request.body = std::move(body);
    }

    // The delivery moves into the transfer's completion: once started, the
    // transfer is its only user (only a request that failed before starting
    // is delivered below).
    s.networkTask = sharedTransport().start(
        std::move(request), [delivery = std::move(delivery), destination = std::move(destination),
                             temporary = std::move(temporary), owner,
                             owned](kx::HTTPResponse response, const kx::Error& error) {
          // The head moves out; the body stays in `response`.
          kx::HTTPResponseHead head = std::move(static_cast<kx::HTTPResponseHead&>(response));
          if (temporary.empty()) {
            delivery(kx::Value(std::move(response.body)), std::move(head), error);
            return;
          }
          std::shared_ptr<kx::Operation> self = owner.lock();
          const bool wanted = !owned || (self && !self->isCancelled());
          std::error_code ec;
          if (!wanted) {
            std::filesystem::remove(temporary, ec);
            delivery(kx::Value(), std::move(head), error);
            return;
          }
          if (!error && response.status == 200 && std::filesystem::exists(temporary, ec)) {
            kx::Error moveError;
            std::filesystem::rename(temporary, destination, ec);
            if (ec) moveError = kx::Error::posix(ec.value(), destination);
            delivery(kx::Value(kx::URL::fileURLWithPath(destination).absoluteString()),
                     std::move(head), std::move(moveError));
          } else {
            delivery(kx::Value(kx::URL::fileURLWithPath(temporary).absoluteString()),
                     std::move(head), error);
          }
          std::filesystem::remove(temporary, ec);  // the temporary lives as long as the delivery
        });
    return Outcome::Started;
  });
  switch (outcome) {
    case Outcome::Started: break;
    case Outcome::Cancelled:
      cancelInternal();
      // A cancelled operation that a queue starts must still leave the queue.
      if (!isFinished()) eventCompleted();
      break;
    case Outcome::Failed: delivery(kx::Value(), kx::HTTPResponseHead(), std::move(failure)); break;
  }
}

// --- results ---

kx::Value KXNetworkOperation::handleWithData(const kx::Value& data,
                                             const kx::HTTPResponseHead& response) {
  if (response.status != 0 && response.status != 200) {
    KXLOG("HTTP Request %s Recevied HTTP Code %ld", description().c_str(), response.status);
  }
  kx::Dictionary headers = headerDictionary(response.headers);
  const bool json = state_.with([&](State& s) {
    s.recievedHeaders = std::move(headers);
    return stringOption(s.options, kKXOptionDataType) == kKXJSONDataType;
  });
  if (json && data.isData() && !data.bytes().empty()) {
    kx::Error error;
    kx::Value parsed =
        objectFromJSONDataWithParseOptions(data.bytes(), JKParseOptionValidFlags, &error);
    if (error) {
      KXLOG("HTTP Request %s, parse json error , %s, string is %s", description().c_str(),
            error.localizedDescription().c_str(), bodyForLog(data.bytes()).c_str());
      return kx::Value();
    }
    return parsed;
  }
  return data;
}

void KXNetworkOperation::callbackWithCallback(const KXNetworkOperationCallback& callback,
                                              const kx::Value& data,
                                              const kx::HTTPResponseHead& response,
                                              kx::Error error) {
  kx::Value result = handleWithData(data, response);
  if (response.status != 0 && response.status != 200) {
    error = kx::Error(
        kx::kURLErrorDomain, kURLErrorBadServerResponse,
        kx::Value::dict({{"statusCode", kx::Value(static_cast<std::int64_t>(response.status))}}));
  }
  std::optional<std::string> unwanted;  // set when cancelled: the download to remove, if any
  state_.with([&](State& s) {
    if (isCancelled()) {
      unwanted = s.options.contains(kKXOptionDownloadFile)
                     ? filePath(s.options[kKXOptionDownloadFile])
                     : std::string();
      return;
    }
    if (error) s.state = kStateFailed;
  });
  if (unwanted) {
    // Nobody takes a cancelled download: its file is not left behind.
    std::error_code ec;
    if (!unwanted->empty()) std::filesystem::remove(*unwanted, ec);
    cancelInternal();
    return;
  }
  if (callback)
    kx::Queue::invokeGuarded([&] { callback(result, response, error); }, "KXNetworkOperation");
  eventCompleted();
}

void KXNetworkOperation::callbackWithDelegate(const kx::Value& data,
                                              const kx::HTTPResponseHead& response,
                                              const kx::Error& error) {
  kx::Value result = handleWithData(data, response);
  bool failed = static_cast<bool>(error) || (response.status != 200 && response.status != 206);
  std::shared_ptr<KXNetworkOperationDelegate> target;
  kx::Dictionary headers;
  // Each message is sent only while the operation is not cancelled.
  auto stillWanted = [&]() {
    return state_.with([&](const State& s) {
      if (isCancelled()) return false;
      target = s.delegate.lock();
      return true;
    });
  };
  auto send = [&](const std::function<void()>& message) {
    if (!stillWanted()) return false;
    if (target) kx::Queue::invokeGuarded(message, "KXNetworkOperation");
    return true;
  };
  bool done = false;
  if (failed) {
    state_.set(&State::state, kStateFailed);
    if (!stillWanted()) {
      cancelInternal();
      return;
    }
    if (target && target->handlesFailure()) {
      kx::Queue::invokeGuarded([&] { target->didNetworkOperationFailWithError(error, *this); },
                               "KXNetworkOperation");
      done = true;
    }
  }
  if (!done) {
    auto setState = [&](std::uint16_t value) {
      headers = state_.with([&](State& s) {
        s.state = value;
        return s.recievedHeaders;
      });
    };
    setState(kStateCode);
    if (!send([&] { target->didNetworkOperationRecievedHttpCode(response.status, *this); })) {
      cancelInternal();
      return;
    }
    setState(kStateHeaders);
    if (!send([&] { target->didNetworkOperationRecievedHttpHeaders(headers, *this); })) {
      cancelInternal();
      return;
    }
    if (!result.isNull() &&
        !send([&] { target->didNetworkOperationSuccessCompleted(result, *this); })) {
      cancelInternal();
      return;
    }
  }
  if (isCancelled()) {
    cancelInternal();
    return;
  }
  eventCompleted();
}

// --- synchronous forms ---

kx::Value KXNetworkOperation::syncRequestWithError(kx::Error* error) {
  std::optional<kx::HTTPRequest> request = generateRequest();
  if (!request) {
    kx::SetError(error, kx::Error(kx::kURLErrorDomain, kURLErrorBadURL));
    cancelInternal();
    return kx::Value();
  }
  if (isCancelled()) return kx::Value();
  kx::Error transportError;
  kx::HTTPResponse response = sharedTransport().perform(std::move(*request), &transportError);
  kx::Value result = dictionaryFromBody(response, transportError);
  eventCompleted();
  return result;
}

kx::Value KXNetworkOperation::syncNetworkOperationWithResponse(kx::HTTPResponseHead* response,
                                                               kx::Error* error) {
  std::optional<kx::HTTPRequest> request = generateRequest();
  if (!request) {
    kx::SetError(error, kx::Error(kx::kURLErrorDomain, kURLErrorBadURL));
    if (response) *response = kx::HTTPResponseHead();
    return kx::Value();
  }
  kx::Error transportError;
  kx::HTTPResponse answer = sharedTransport().perform(std::move(*request), &transportError);
  if (response) *response = answer;
  if (transportError) {
    kx::SetError(error, transportError);
    return kx::Value();
  }
  return kx::Value(std::move(answer.body));
}

// --- ending ---

void KXNetworkOperation::cancel() { cancelInternal(); }

void KXNetworkOperation::abort() { cancelInternal(); }

void KXNetworkOperation::handleForSleep(const kx::Notification&) { abort(); }

void KXNetworkOperation::cancelInternal() {
  kx::HTTPTransport::RequestID running = 0;
  bool stopped = false;
  // The mark and the stop are one step under the lock, against the start of
  // the transfer (see asyncNetworkOperationWithCompletionHandler).
  std::shared_ptr<KXConcurrentDelegate> concurrent = state_.with([&](const State& s) {
    if (!isFinished() && !isCancelled()) {
      kx::Operation::cancel();
      if (isExecuting()) {
        running = s.networkTask;
        stopped = true;
      }
    }
    return s.concurrentDelegate.lock();
  });
  if (running) sharedTransport().cancel(running);
  if (stopped) eventCompleted();
  if (concurrent) {
    kx::Queue::invokeGuarded([&] { concurrent->completeWithOperator(*this); },
                             "KXNetworkOperation");
  }
}

void KXNetworkOperation::eventCompleted() {
  std::shared_ptr<KXConcurrentDelegate> concurrent = state_.get(&State::concurrentDelegate).lock();
  setExecuting(false);
  setFinished(true);
  if (concurrent) {
    kx::Queue::invokeGuarded([&] { concurrent->completeWithOperator(*this); },
                             "KXNetworkOperation");
  }
}

// --- accessors ---

void KXNetworkOperation::setRuntimeData(std::any data) {
  state_.set(&State::runtimeData, std::move(data));
}
std::any KXNetworkOperation::runtimeData() const { return state_.get(&State::runtimeData); }
void KXNetworkOperation::clearRuntimeData() {
  state_.with([](State& s) { s.runtimeData.reset(); });
}

void KXNetworkOperation::setDelegate(std::weak_ptr<KXNetworkOperationDelegate> delegate) {
  state_.set(&State::delegate, std::move(delegate));
}
std::shared_ptr<KXNetworkOperationDelegate> KXNetworkOperation::delegate() const {
  return state_.get(&State::delegate).lock();
}
void KXNetworkOperation::setConcurrentDelegate(std::weak_ptr<KXConcurrentDelegate> delegate) {
  state_.set(&State::concurrentDelegate, std::move(delegate));
}
std::shared_ptr<KXConcurrentDelegate> KXNetworkOperation::concurrentDelegate() const {
  return state_.get(&State::concurrentDelegate).lock();
}
void KXNetworkOperation::setCallback(KXNetworkOperationCallback callback) {
  state_.set(&State::callback, std::move(callback));
}
KXNetworkOperationCallback KXNetworkOperation::callback() const {
  return state_.get(&State::callback);
}

kx::Dictionary KXNetworkOperation::recievedHeaders() const {
  return state_.get(&State::recievedHeaders);
}
kx::HTTPTransport::RequestID KXNetworkOperation::networkTask() const {
  return state_.get(&State::networkTask);
}
std::uint16_t KXNetworkOperation::state() const { return state_.get(&State::state); }
std::string KXNetworkOperation::host() const { return state_.get(&State::host); }
std::string KXNetworkOperation::requestURI() const { return state_.get(&State::requestURI); }
std::string KXNetworkOperation::method() const { return state_.get(&State::method); }
double KXNetworkOperation::timeout() const { return state_.get(&State::timeout); }
bool KXNetworkOperation::useSecurityTransport() const {
  return state_.get(&State::useSecurityTransport);
}

std::string KXNetworkOperation::description() const {
  return state_.with([](const State& s) {
    const kx::Value* url = s.options.find(kKXOptionURL);
    std::string shown = url && url->isString() ? url->string() : s.requestURI;
    return "url is " + shown + ", state is " + std::to_string(s.state);
  });
}
