#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/MagicKit/GEMagicKit.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "WebRequest/KXClientErrorBody.h"
#include "WebRequest/KXContainedPath.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXRequestBody.h"
#include "WebRequest/KXSingleAnswerController.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebBgImageHandler.h"
#include "WebRequest/KXWebEditorHandler.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/KXWebLocalFileHandler.h"
#include "WebRequest/KXWebPenNoteHandler.h"
#include "WebRequest/KXWebPreviewRequestHandler.h"
#include "WebRequest/KXWebPushServerHandler.h"
#include "WebRequest/KXWebResourceDataHandler.h"
#include "WebRequest/KXWebSearchRequestHandler.h"
#include "WebRequest/KXWebSyncRequestHandler.h"
#include "WebRequest/KXWebTagRequestHandler.h"
#include "WebRequest/KXWebUserRequestHandler.h"
#include "WebRequest/Reachability.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "account/KXSession.h"
#include "account/KXStatitisc.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"

namespace {

// The shared handlers in the order they are offered requests. A handler is
// listed here when it is built; the order of this table is the order of the
// registry, whatever order the handlers are built in.
struct SharedHandlerSlot {
  const char* className;
  KXDataRequestDelegate& (*sharedHandler)();  // null until the handler exists
};

constexpr SharedHandlerSlot kSharedHandlers[] = {
    {"KXWebUserRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebUserRequestHandler::sharedHandler(); }},
    {"KXWebFileRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebFileRequestHandler::sharedHandler(); }},
    {"KXWebSyncRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebSyncRequestHandler::sharedHandler(); }},
    {"KXWebResourceDataHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebResourceDataHandler::sharedHandler(); }},
    {"KXWebTagRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebTagRequestHandler::sharedHandler(); }},
    {"KXWebPushServerHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebPushServerHandler::sharedHandler(); }},
    {"KXWebSearchRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebSearchRequestHandler::sharedHandler(); }},
    {"KXWebPreviewRequestHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebPreviewRequestHandler::sharedHandler(); }},
    {"KXWebBgImageHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebBgImageHandler::sharedHandler(); }},
    {"KXWebLocalFileHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebLocalFileHandler::sharedHandler(); }},
    {"KXWebEditorHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebEditorHandler::sharedHandler(); }},
    {"KXWebPenNoteHandler",
     +[]() -> KXDataRequestDelegate& { return KXWebPenNoteHandler::sharedHandler(); }},
};

struct MimeEntry {
  const char* extension;
  const char* type;
};

constexpr MimeEntry kMimeTable[] = {
    {"html", "text/html"},    {"css", "text/css"},  {"js", "application/octet-stream"},
    {"svg", "image/svg+xml"}, {"gif", "image/gif"}, {"png", "image/png"},
};

const char* mimeForExtension(std::string_view extension) {
  for (const MimeEntry& entry : kMimeTable) {
    if (extension == entry.extension) return entry.type;
  }
  return nullptr;
}

kx::Mutex& schemesMutex() {
  static kx::Mutex* mu = new kx::Mutex();
  return *mu;
}

std::set<std::string>& schemesSlot() REQUIRES(schemesMutex()) {
  static auto* schemes = new std::set<std::string>{"http", "https"};
  return *schemes;
}

kx::Mutex& environmentMutex() {
  static kx::Mutex* mu = new kx::Mutex();
  return *mu;
}

std::shared_ptr<const RNCachingURLProtocol::Environment>& environmentSlot()
    REQUIRES(environmentMutex()) {
  static auto* env = new std::shared_ptr<const RNCachingURLProtocol::Environment>(
      std::make_shared<const RNCachingURLProtocol::Environment>());
  return *env;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return kx::HTTPHeaderFields::namesEqual(a, b);
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The URL's path without its first character, split at "/": "/qrt/api"
// gives {"qrt", "api"}. An empty path, and "/", give no components.
std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (path.size() <= 1) return components;
  std::string_view rest(path);
  rest.remove_prefix(1);
  while (true) {
    std::size_t slash = rest.find('/');
    components.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return components;
}

bool isQrtPersonal(const std::vector<std::string>& c, const char* fourth) {
  return c.size() >= 4 && c[0] == "qrt" && c[2] == "personal" && c[3] == fourth;
}

KXRequestType serviceHostType(const std::vector<std::string>& c) {
  if (c.empty()) return KXRequestTypeServiceChange;
  if (c[0] == "signIn" && c.size() >= 2 && c[1] != "macVmo.html" &&
      c[1] != "macLoginSuccess.html") {
    return KXRequestTypeLocalFile;
  }
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "mapi" && c[2] == "user") {
    return KXRequestTypeServiceChange;
  }
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "mapi" && c[2] == "share") {
    return KXRequestTypeServiceChange;
  }
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "api" && c[2] == "self") {
    return KXRequestTypeServiceChange;
  }
  if (isQrtPersonal(c, "share")) {
    return c.back() == "comment" ? KXRequestTypeServiceRead : KXRequestTypeServiceChange;
  }
  if (isQrtPersonal(c, "myshare")) return KXRequestTypeServiceRead;
  static const char* const kInterfaceFolders[] = {"web",        "md",      "editor",
                                                  "pdf-viewer", "penPage", "mindmap"};
  for (const char* folder : kInterfaceFolders) {
    if (c[0] == folder) return KXRequestTypeLocalFile;
  }
  return KXRequestTypeServiceRead;
}

std::string bundleRootOf(const RNCachingURLProtocol::Environment& env) {
  if (!env.bundleRoot.empty()) return env.bundleRoot;
  return kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), "UIResources.bundle");
}

RNURLConnectionFactory& connectionsOf(const RNCachingURLProtocol::Environment& env) {
  if (env.connections) return *env.connections;
  static RNTransportConnectionFactory* shared = new RNTransportConnectionFactory();
  return *shared;
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

// Hands a connection's events to the protocol while it lives.
class RNCachingURLProtocol::ConnectionEvents : public RNURLConnectionDelegate {
 public:
  explicit ConnectionEvents(std::weak_ptr<RNCachingURLProtocol> protocol)
      : protocol_(std::move(protocol)) {}

  void connectionDidReceiveResponse(const kx::HTTPURLResponse& response) override {
    if (auto p = protocol_.lock()) p->connectionResponse(response);
  }
  void connectionDidReceiveData(const kx::Bytes& data) override {
    if (auto p = protocol_.lock()) p->connectionData(data);
  }
  void connectionDidFailWithError(const kx::Error& error) override {
    if (auto p = protocol_.lock()) p->connectionFailed(error);
  }
  void connectionDidFinishLoading() override {
    if (auto p = protocol_.lock()) p->connectionFinished();
  }

 private:
  const std::weak_ptr<RNCachingURLProtocol> protocol_;
};

// ---------------------------------------------------------------------------
// Class-level state

std::shared_ptr<const RNCachingURLProtocol::Environment> RNCachingURLProtocol::setEnvironment(
    std::shared_ptr<const Environment> env) {
  if (!env) env = std::make_shared<const Environment>();
  kx::MutexLock lock(environmentMutex());
  std::shared_ptr<const Environment> previous = std::move(environmentSlot());
  environmentSlot() = std::move(env);
  return previous;
}

std::shared_ptr<const RNCachingURLProtocol::Environment> RNCachingURLProtocol::environment() {
  kx::MutexLock lock(environmentMutex());
  return environmentSlot();
}

std::set<std::string> RNCachingURLProtocol::supportedSchemes() {
  kx::MutexLock lock(schemesMutex());
  return schemesSlot();
}

void RNCachingURLProtocol::setSupportedSchemes(std::set<std::string> schemes) {
  kx::MutexLock lock(schemesMutex());
  schemesSlot() = std::move(schemes);
}

void RNCachingURLProtocol::requestDelegateRegister(KXDataRequestDelegate& handler) {
  KXRequestDelegateRegistry::sharedRegistry().add(handler);
}

void RNCachingURLProtocol::requestDelegatesRegister() {
  // Every store handler answers the service host only. The local-file
  // handler answers its own origin only. The push-server handler accepts
  // "/pushserver3/..." by path alone; on any host but the service host such
  // a request is no longer answered here and goes the way of other hosts
  // (to the network, or refused by the front).
  for (const SharedHandlerSlot& slot : kSharedHandlers) {
    if (!slot.sharedHandler) continue;
    const bool ownOrigin = std::string_view(slot.className) == "KXWebLocalFileHandler";
    KXRequestDelegateRegistry::sharedRegistry().add(
        slot.sharedHandler(), ownOrigin ? KXHandlerHosts::OwnOrigin : KXHandlerHosts::ServiceHost);
  }
}

std::vector<std::string> RNCachingURLProtocol::sharedHandlerOrder() {
  std::vector<std::string> names;
  for (const SharedHandlerSlot& slot : kSharedHandlers) names.emplace_back(slot.className);
  return names;
}

// ---------------------------------------------------------------------------
// Classification

bool RNCachingURLProtocol::canInitWithRequest(const kx::URLRequest& request) {
  {
    kx::MutexLock lock(schemesMutex());
    if (schemesSlot().count(request.url().scheme()) == 0) return false;
  }
  static const char* const kMarkers[] = {kNetworkOperationHeader, kCacheHeader, kOutterImageHeader,
                                         kNoNeedSyncHeader, kNeedSyncHeader};
  for (const char* marker : kMarkers) {
    if (request.allHTTPHeaderFields().contains(marker)) return false;
  }
  return requestType(request) != KXRequestTypeNotTaken;
}

KXRequestType RNCachingURLProtocol::requestType(const kx::URLRequest& request) {
  std::shared_ptr<const Environment> env = environment();
  return requestType(request,
                     env->registry ? *env->registry : KXRequestDelegateRegistry::sharedRegistry());
}

KXRequestType RNCachingURLProtocol::requestType(const kx::URLRequest& request,
                                                const KXRequestDelegateRegistry& registry) {
  const kx::URL& url = request.url();
  const std::string& host = url.host();
  const std::string query = url.query().value_or("");
  const bool serviceHost = equalsIgnoringCase(host, KXServiceHost());

  if (std::optional<std::string> referer = request.valueForHTTPHeaderField("Referer")) {
    if (contains(*referer, "newhistory") || contains(*referer, "charge/macMeal.html")) {
      return KXRequestTypeServiceRead;
    }
  }
  // A path whose escapes do not decode to UTF-8 is classified by its
  // segments as written ("/web/%FF.js" is still under "web").
  const std::string decodedPath = url.path();
  std::vector<std::string> components =
      pathComponents(decodedPath.empty() ? url.percentEncodedPath() : decodedPath);
  if (serviceHost && contains(query, "myShare=true")) {
    if (isQrtPersonal(components, "myshare")) {
      return contains(query, "method=list") ? KXRequestTypeLocalHandler : KXRequestTypeServiceRead;
    }
    return KXRequestTypeServiceRead;
  }
  // Handlers are offered only the hosts they answer (the service host, or a
  // handler's own origin), so that no other origin reads the store.
  if (registry.firstAcceptorOnHost(request)) return KXRequestTypeLocalHandler;
  if (host == "127.0.0.1") return KXRequestTypeLocalFile;
  if (serviceHost) return serviceHostType(components);
  if (equalsIgnoringCase(host, kSearchStatisticsHost) ||
      equalsIgnoringCase(host, kWebAnalyticsHost)) {
    return KXRequestTypeLocalFile;
  }
  std::string lowerHost = host;
  std::transform(lowerHost.begin(), lowerHost.end(), lowerHost.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (contains(lowerHost, kSearchEngineName)) return KXRequestTypeOutsideImage;
  return KXRequestTypeNotTaken;
}

// ---------------------------------------------------------------------------
// Pure helpers

kx::URL RNCachingURLProtocol::forwardedURL(const kx::URL& url, const std::string& commonStatics) {
  if (!url.query() || url.query()->empty()) return url;
  const std::string& query = *url.query();
  std::string kept;
  std::string_view rest(query);
  while (true) {
    std::size_t amp = rest.find('&');
    std::string_view piece = rest.substr(0, amp);
    std::string_view key = piece.substr(0, piece.find('='));
    if (!piece.empty() && key != "keyfrom") {
      if (!kept.empty()) kept += '&';
      kept += piece;
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  std::string newQuery = kept.empty() ? commonStatics : kept + "&" + commonStatics;

  // Rebuilt from its parts: everything before the query's "?" (no "?" can
  // come earlier in a URL), the new query, the fragment.
  const std::string& absolute = url.absoluteString();
  std::string rebuilt = absolute.substr(0, absolute.find('?')) + "?" + newQuery;
  if (url.fragment()) rebuilt += "#" + *url.fragment();
  std::optional<kx::URL> result = kx::URL::parse(rebuilt);
  if (!result) {
    KXLOG("could not rebuild %s with the statistics query", absolute.c_str());
    return url;
  }
  return *result;
}

std::optional<std::string> RNCachingURLProtocol::localFilePath(const kx::URL& url,
                                                               const std::string& webPath,
                                                               const std::string& bundleRoot) {
  // The path is decoded once and has no trailing "/" ("/web/app/" is
  // "/web/app"); a path without an extension names its folder's index.html.
  std::string path = url.path();
  // A path whose escapes do not decode names no file (not the root's index).
  if (path.empty() && !url.percentEncodedPath().empty()) return std::nullopt;
  if (path.empty()) path = "/";
  if (!KXContainedPath::segmentsAllowed(path)) return std::nullopt;
  std::string last = kx::Path::lastPathComponent(path);
  std::string folder;
  std::string fileName;
  if (!kx::Path::pathExtension(last).empty()) {
    folder = kx::Path::deletingLastPathComponent(path);
    fileName = last;
  } else {
    folder = path;
    fileName = "index.html";
  }
  if (!KXContainedPath::segmentsAllowed(folder) || !KXContainedPath::segmentsAllowed(fileName)) {
    return std::nullopt;
  }
  if (!webPath.empty()) {
    std::string relative = folder == "/" ? "/" + fileName : folder + "/" + fileName;
    return KXContainedPath::join(webPath, relative);
  }
  if (contains(fileName, "KaTeX") && folder == "/web/style/fonts") folder = "/md/fonts";
  std::string relative = folder == "/" ? "/" + fileName : folder + "/" + fileName;
  return KXContainedPath::join(bundleRoot, relative);
}

std::string RNCachingURLProtocol::localFileContentType(const std::string& path,
                                                       const std::optional<kx::Bytes>& bytes) {
  if (const char* type = mimeForExtension(kx::Path::pathExtension(path))) return type;
  if (!bytes) return "";
  std::optional<GEMagicResult> magic = GEMagicKit::magicForData(*bytes);
  if (!magic) return "";
  std::string type = magic->mimeType();
  std::size_t semicolon = type.find(';');
  if (semicolon != std::string::npos) type.resize(semicolon);
  return type;
}

// ---------------------------------------------------------------------------
// One load

std::shared_ptr<RNCachingURLProtocol> RNCachingURLProtocol::create(
    kx::URLRequest request, std::shared_ptr<RNURLProtocolClient> client) {
  return std::shared_ptr<RNCachingURLProtocol>(
      new RNCachingURLProtocol(std::move(request), std::move(client), environment()));
}

RNCachingURLProtocol::RNCachingURLProtocol(kx::URLRequest request,
                                           std::shared_ptr<RNURLProtocolClient> client,
                                           std::shared_ptr<const Environment> env)
    : request_(std::move(request)), env_(std::move(env)), client_(std::move(client)) {}

RNCachingURLProtocol::~RNCachingURLProtocol() = default;

void RNCachingURLProtocol::deliver(bool ends,
                                   const std::function<void(RNURLProtocolClient&)>& step) {
  kx::RecursiveMutexLock lock(deliverMu_);
  if (ended_ || stopped_ || !client_) return;
  if (ends) ended_ = true;
  // Keep the client while it runs: it may stop the load from inside.
  std::shared_ptr<RNURLProtocolClient> client = client_;
  step(*client);
}

void RNCachingURLProtocol::startLoading() {
  KXRequestType type = requestType(
      request_, env_->registry ? *env_->registry : KXRequestDelegateRegistry::sharedRegistry());
  switch (type) {
    case KXRequestTypeLocalFile: loadLocalFile(); return;
    case KXRequestTypeLocalHandler: loadFromHandler(); return;
    case KXRequestTypeServiceChange:
    case KXRequestTypeServiceRead:
    case KXRequestTypeOutsideImage: forward(type); return;
    case KXRequestTypeNotTaken: break;
  }
  deliver(true, [](RNURLProtocolClient& client) {
    client.didFailWithError(KXURLError::make(KXURLErrorBadURL));
  });
}

void RNCachingURLProtocol::stopLoading() {
  std::shared_ptr<RNURLConnection> connection;
  {
    kx::MutexLock lock(connectionMu_);
    connection = std::move(connection_);
  }
  if (connection) connection->cancel();
  std::vector<std::function<void()>> cancelled;
  {
    kx::RecursiveMutexLock lock(deliverMu_);
    stopped_ = true;
    client_.reset();
    if (!ended_) cancelled.swap(onStop_);
    onStop_.clear();
  }
  for (auto& call : cancelled) call();
}

void RNCachingURLProtocol::whenCancelled(std::function<void()> cancelled) {
  if (!cancelled) return;
  {
    kx::RecursiveMutexLock lock(deliverMu_);
    if (!stopped_) {
      onStop_.push_back(std::move(cancelled));
      return;
    }
    if (ended_) return;
  }
  cancelled();
}

void RNCachingURLProtocol::loadLocalFile() {
  std::string webPath =
      env_->currentWebPath ? env_->currentWebPath() : KXSession::defaultSession().currentWebPath();
  std::optional<std::string> path = localFilePath(request_.url(), webPath, bundleRootOf(*env_));
  if (!path) {
    KXLOG("refused local file for %s", request_.url().absoluteString().c_str());
    deliver(true, [](RNURLProtocolClient& client) {
      client.didFailWithError(KXURLError::make(KXURLErrorCannotConnectToHost));
    });
    return;
  }
  std::optional<kx::Bytes> bytes;
  kx::Bytes read;
  if (kx::FileSystem::Default().readFile(*path, &read, nullptr)) bytes = std::move(read);
  std::string type = localFileContentType(*path, bytes);
  if (type.empty()) {
    deliver(true, [](RNURLProtocolClient& client) {
      client.didFailWithError(KXURLError::make(KXURLErrorCannotConnectToHost));
    });
    return;
  }
  kx::HTTPURLResponse response = KXLocalResponse::response(
      request_.url(), 200,
      kx::HTTPHeaderFields{{"Content-Type", type},
                           {"Cache-Control", "max-age=" + std::to_string(kLocalFileMaxAge)}});
  deliver(true, [&](RNURLProtocolClient& client) {
    client.didReceiveResponse(response, RNURLCacheStoragePolicy::Allowed);
    if (bytes && !bytes->empty()) client.didLoadData(*bytes);
    client.didFinishLoading();
  });
}

void RNCachingURLProtocol::loadFromHandler() {
  const KXRequestDelegateRegistry& registry =
      env_->registry ? *env_->registry : KXRequestDelegateRegistry::sharedRegistry();
  auto sender = std::make_shared<KXSingleAnswerController>(shared_from_this(),
                                                           request_.url().absoluteString());
  if (!registry.offerOnHost(request_, sender)) {
    sender->localReceiveResponse(std::nullopt, std::nullopt, KXURLError::make(KXURLErrorBadURL));
  }
}

void RNCachingURLProtocol::localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                                                std::optional<kx::Bytes> data, kx::Error error) {
  {
    kx::RecursiveMutexLock lock(deliverMu_);
    if (ended_) {
      KXLOG("second answer for %s ignored", request_.url().absoluteString().c_str());
      return;
    }
  }
  deliver(true, [&](RNURLProtocolClient& client) {
    if (error) {
      client.didFailWithError(error);
      return;
    }
    client.didReceiveResponse(response ? *response : KXLocalResponse::response(request_.url(), 200),
                              RNURLCacheStoragePolicy::NotAllowed);
    if (data && !data->empty()) client.didLoadData(*data);
    client.didFinishLoading();
  });
}

bool RNCachingURLProtocol::mustSyncBeforeShare(const kx::URLRequest& request) const {
  const kx::URL& url = request.url();
  std::vector<std::string> c = pathComponents(url.path());
  if (c.size() <= 3 || !equalsIgnoringCase(url.host(), KXServiceHost()) || c[0] != "qrt" ||
      c[2] != "personal" || c[3] != "share") {
    return false;
  }
  const std::optional<kx::Bytes>& body = request.HTTPBody();
  if (!body) return false;
  std::string text(body->begin(), body->end());
  kx::Dictionary form = NSDictionaryKXHelper::dictionaryFromQuery(text, kKXRawEncoding);
  if (form["method"].stringValue() != "publish") return false;
  std::string fileId = form["fileId"].stringValue();
  if (env_->mustSyncBeforeShare) return env_->mustSyncBeforeShare(fileId);
  KXFileMetaPtr entry = KXDataClient::defaultDataClient().reads().objectForFileMetaID(fileId);
  return entry && !entry->shared() && entry->localModified() > 0;
}

bool RNCachingURLProtocol::outsideImageAllowed(const kx::URLRequest& request) {
  const kx::URL& url = request.url();
  if (request.HTTPMethod() != "GET") return false;
  if (request.HTTPBody() || request.HTTPBodyStream()) return false;
  if (!url.port()) return true;
  return (url.scheme() == "http" && *url.port() == 80) ||
         (url.scheme() == "https" && *url.port() == 443);
}

void RNCachingURLProtocol::forward(KXRequestType type) {
  kx::URLRequest copy = request_;
  if (type == KXRequestTypeOutsideImage) {
    if (!outsideImageAllowed(request_)) {
      KXLOG("refused outside image %s %s", request_.HTTPMethod().c_str(),
            request_.url().absoluteString().c_str());
      deliver(true, [](RNURLProtocolClient& client) {
        client.didFailWithError(KXURLError::make(KXURLErrorCannotConnectToHost));
      });
      return;
    }
    copy.setValue("", kOutterImageHeader);
    copy.setValue("", "Referer");
    startConnection(copy);
    return;
  }

  // The network gets a body whole: one that only streams is read here, up
  // to the limit a forwarded body has at the front.
  if (!copy.HTTPBody() && copy.HTTPBodyStream()) {
    kx::Error error;
    std::optional<kx::Bytes> body = KXRequestBody::bodyOf(copy, kForwardedBodyLimit, &error);
    if (!body) {
      deliver(true, [&](RNURLProtocolClient& client) { client.didFailWithError(error); });
      return;
    }
    copy.setHTTPBody(std::move(*body));
    copy.setHTTPBodyStream(nullptr);
  }

  std::unique_ptr<Reachability> reachability =
      Reachability::reachabilityWithHostName(request_.url().host());
  if (Reachability::currentReachabilityStatus(reachability.get()) == NotReachable) {
    auto self = shared_from_this();
    KXClientErrorBody::send(*self, request_.url(), kKXClientErrorNetworkUnreachable);
    return;
  }
  if (mustSyncBeforeShare(copy)) {
    auto self = shared_from_this();
    KXClientErrorBody::send(*self, request_.url(), kKXClientErrorShareBeforeSync);
    return;
  }
  copy.setValue("", type == KXRequestTypeServiceChange ? kNeedSyncHeader : kNoNeedSyncHeader);
  std::string statics =
      env_->commonStatics ? env_->commonStatics() : KXStatitisc::commonStaticsString();
  copy.setURL(forwardedURL(copy.url(), statics));
  startConnection(copy);
}

void RNCachingURLProtocol::startConnection(const kx::URLRequest& request) {
  {
    kx::MutexLock lock(connectionMu_);
    forwarded_ = request;
  }
  auto events = std::make_shared<ConnectionEvents>(weak_from_this());
  std::shared_ptr<RNURLConnection> connection = connectionsOf(*env_).start(request, events);
  bool stopped;
  {
    kx::RecursiveMutexLock lock(deliverMu_);
    stopped = stopped_;
  }
  kx::MutexLock lock(connectionMu_);
  if (stopped) {
    if (connection) connection->cancel();
    return;
  }
  connection_ = std::move(connection);
}

void RNCachingURLProtocol::connectionResponse(const kx::HTTPURLResponse& response) {
  kx::URLRequest forwarded;
  {
    kx::MutexLock lock(connectionMu_);
    forwarded = forwarded_;
  }
  std::optional<std::string> location = response.valueForHTTPHeaderField("Location");
  if (isRedirectStatus(response.statusCode()) && location) {
    std::optional<kx::URL> target = kx::URL::parse(*location, forwarded.url());
    if (target) {
      kx::URLRequest next = forwarded;
      next.setURL(*target);
      for (const char* marker :
           {kCacheHeader, kOutterImageHeader, kNeedSyncHeader, kNoNeedSyncHeader}) {
        next.removeHTTPHeaderField(marker);
      }
      int status = response.statusCode();
      if (status == 303 || ((status == 301 || status == 302) && forwarded.HTTPMethod() == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
      }
      // The client loads the target afresh; this load ends here.
      deliver(true,
              [&](RNURLProtocolClient& client) { client.wasRedirectedToRequest(next, response); });
      std::shared_ptr<RNURLConnection> connection;
      {
        kx::MutexLock lock(connectionMu_);
        connection = std::move(connection_);
      }
      if (connection) connection->cancel();
      return;
    }
  }
  if (request_.url().path() == "/newhistory") {
    kx::HTTPHeaderFields headers = response.allHeaderFields();
    headers.set("Cache-control", "no-cache");
    kx::HTTPURLResponse rebuilt(response.url(), response.statusCode(),
                                KXLocalResponse::kHTTPVersion, std::move(headers));
    deliver(false, [&](RNURLProtocolClient& client) {
      client.didReceiveResponse(rebuilt, RNURLCacheStoragePolicy::NotAllowed);
    });
    return;
  }
  deliver(false, [&](RNURLProtocolClient& client) {
    client.didReceiveResponse(response, RNURLCacheStoragePolicy::NotAllowed);
  });
}

void RNCachingURLProtocol::connectionData(const kx::Bytes& data) {
  deliver(false, [&](RNURLProtocolClient& client) { client.didLoadData(data); });
}

void RNCachingURLProtocol::connectionFailed(const kx::Error& error) {
  {
    kx::MutexLock lock(connectionMu_);
    connection_.reset();
  }
  deliver(true, [&](RNURLProtocolClient& client) { client.didFailWithError(error); });
}

void RNCachingURLProtocol::connectionFinished() {
  bool needSync;
  {
    kx::MutexLock lock(connectionMu_);
    connection_.reset();
    needSync = forwarded_.allHTTPHeaderFields().contains(kNeedSyncHeader);
  }
  bool delivered = false;
  deliver(true, [&](RNURLProtocolClient& client) {
    client.didFinishLoading();
    delivered = true;
  });
  if (delivered && needSync) {
    if (env_->startSync) {
      env_->startSync();
    } else {
      KXNoteUtil::sharedUtil().startSync();
    }
  }
}
