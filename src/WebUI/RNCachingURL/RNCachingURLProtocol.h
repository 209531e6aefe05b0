// RNCachingURLProtocol sees every http and https request of the web
// interface, classifies it (KXRequestType) and answers it:
//
//   0  a registered local handler answers it from the store;
//   1  a service call that changes data: forwarded with "KX-NeedSync"; when
//      its answer has loaded, a sync is asked for;
//   2  a service call that changes nothing: forwarded with "KX-NoNeedSync";
//   3  an image of an outside image host: fetched with "KX-OutterImage" and
//      an empty "Referer", only with GET, no body and the scheme's default
//      port (else the load fails); the forwarder connects only to public
//      addresses (KXAddressPolicy), checked on the address it connects to;
//   4  a file of the web interface itself, from the downloaded interface
//      (the session's current web path) or from the shipped
//      "UIResources.bundle", never from outside that folder;
//   5  not taken.
//
// Forwarded calls check reachability of the host at that moment (unreachable:
// 500 "NETWORK_UNREACHABLE", nothing sent) and refuse to publish a share of
// a note with unsynced changes (500 "SHARE_BEFORE_SYNC"). Their query loses
// "keyfrom" and gains the common statistics query. A forwarded request
// carries a marker header, so it is never taken a second time; a redirect is
// reported with the markers removed, so the follow-up is classified afresh.
//
// Local handlers are offered only the hosts they answer
// (KXRequestDelegateRegistry::offerOnHost): the service host, or a handler's
// own origin.
//
// Classification never blocks and never reaches the network: it reads the
// request, the host names and the handlers' acceptRequest.
//
// One object serves one load: create, startLoading once, stopLoading when
// the load ends or is cancelled. The loader keeps the object until then: a
// forwarded request's events reach only a living object. Answers (a handler's, the network's) that
// come after stopLoading, and a second answer to one request, are dropped.
//
// Thread safety: the static members may be called from any thread. An
// object's startLoading and stopLoading may be called from any thread;
// events reach the client one at a time, under deliverMu_, and never after
// stopLoading has returned.
#ifndef ZN_WEBUI_RNCACHINGURL_RNCACHINGURLPROTOCOL_H_
#define ZN_WEBUI_RNCACHINGURL_RNCACHINGURLPROTOCOL_H_

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "WebRequest/KXDataRequestController.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXRequestType.h"
#include "WebUI/RNCachingURL/RNURLConnectionFactory.h"
#include "WebUI/RNCachingURL/RNURLProtocolClient.h"
#include "platform/Mutex.h"
#include "platform/URLRequest.h"

class RNCachingURLProtocol : public KXDataRequestController,
                             public std::enable_shared_from_this<RNCachingURLProtocol> {
 public:
  // What the protocol works with. Every member has a default for the
  // program; tests replace the ones they need (setEnvironment).
  struct Environment {
    // The handlers offered every request; the shared registry when null.
    KXRequestDelegateRegistry* registry = nullptr;
    // Forwards types 1, 2 and 3; a process-wide RNTransportConnectionFactory
    // over the shared transport when null.
    std::shared_ptr<RNURLConnectionFactory> connections;
    // The shipped interface files; <resources>/UIResources.bundle when "".
    std::string bundleRoot;
    // The downloaded interface's folder; the session's currentWebPath when
    // unset.
    std::function<std::string()> currentWebPath;
    // Asks for a sync after a type-1 answer has loaded; the note utility's
    // delayed request (KXNoteUtil::startSync) when unset.
    std::function<void()> startSync;
    // Whether the entry must be synced before it is published; the data
    // client's answer (not shared and changed locally) when unset.
    std::function<bool(const std::string& fileId)> mustSyncBeforeShare;
    // The common statistics query; KXStatitisc's when unset.
    std::function<std::string()> commonStatics;
  };

  static constexpr const char* kNetworkOperationHeader = "KX-NetworkOperation";
  static constexpr const char* kCacheHeader = "X-RNCache";
  static constexpr const char* kOutterImageHeader = "KX-OutterImage";
  static constexpr const char* kNoNeedSyncHeader = "KX-NoNeedSync";
  static constexpr const char* kNeedSyncHeader = "KX-NeedSync";
  static constexpr long kLocalFileMaxAge = 60L * 60 * 24 * 30;
  // The largest body a forwarded request that brings its body as a stream
  // may have (it is read whole before it is sent).
  static constexpr std::size_t kForwardedBodyLimit = 32 * 1024 * 1024;

  // The two outside analytics hosts (answered like local files) and the
  // name of the search engine whose image hosts are fetched without a
  // referrer.
  static constexpr const char* kSearchStatisticsHost = "hm.qiansou.com";
  static constexpr const char* kWebAnalyticsHost = "collect.lumetrics.com";
  static constexpr const char* kSearchEngineName = "qiansou";

  // Replaces the process's environment (tests); returns the previous one.
  static std::shared_ptr<const Environment> setEnvironment(std::shared_ptr<const Environment> env);
  static std::shared_ptr<const Environment> environment();

  static std::set<std::string> supportedSchemes();
  static void setSupportedSchemes(std::set<std::string> schemes);

  // Whether the protocol takes `request`: a supported scheme, no marker
  // header, and a type other than 5.
  static bool canInitWithRequest(const kx::URLRequest& request);
  static KXRequestType requestType(const kx::URLRequest& request);
  static KXRequestType requestType(const kx::URLRequest& request,
                                   const KXRequestDelegateRegistry& registry);
  // Whether an outside image may be fetched as asked: GET, no body, the
  // scheme's default port.
  static bool outsideImageAllowed(const kx::URLRequest& request);

  // Appends a handler to the shared registry.
  static void requestDelegateRegister(KXDataRequestDelegate& handler);
  // Registers the shared handlers in their fixed order (those built so far).
  static void requestDelegatesRegister();
  // The fixed order, by class name.
  static std::vector<std::string> sharedHandlerOrder();

  // The URL a service call is forwarded to: without "keyfrom" pairs (the
  // other pairs as written, in order) and with `commonStatics` appended; a
  // URL without a query (or an empty one) stays as it is.
  static kx::URL forwardedURL(const kx::URL& url, const std::string& commonStatics);

  // The file a local-file path names, inside `bundleRoot` or, when
  // `webPath` is not empty, inside `webPath`; nullopt when the path would
  // leave that folder.
  static std::optional<std::string> localFilePath(const kx::URL& url, const std::string& webPath,
                                                  const std::string& bundleRoot);
  // The content type of a local file: by extension from the table, else
  // sniffed from its bytes; "" when neither knows.
  static std::string localFileContentType(const std::string& path,
                                          const std::optional<kx::Bytes>& bytes);

  static std::shared_ptr<RNCachingURLProtocol> create(kx::URLRequest request,
                                                      std::shared_ptr<RNURLProtocolClient> client);
  ~RNCachingURLProtocol() override;

  const kx::URLRequest& request() const { return request_; }

  void startLoading();
  void stopLoading();

  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override;
  // `cancelled` runs when stopLoading comes before the load ended (at once
  // when it already has).
  void whenCancelled(std::function<void()> cancelled) override;

 private:
  class ConnectionEvents;

  RNCachingURLProtocol(kx::URLRequest request, std::shared_ptr<RNURLProtocolClient> client,
                       std::shared_ptr<const Environment> env);

  void loadLocalFile();
  void loadFromHandler();
  void forward(KXRequestType type);
  bool mustSyncBeforeShare(const kx::URLRequest& request) const;
  void startConnection(const kx::URLRequest& request);

  // Connection events.
  void connectionResponse(const kx::HTTPURLResponse& response);
  void connectionData(const kx::Bytes& data);
  void connectionFailed(const kx::Error& error);
  void connectionFinished();

  // Runs `step` with the client unless the load has ended or was stopped;
  // `ends` marks the load ended.
  void deliver(bool ends, const std::function<void(RNURLProtocolClient&)>& step);

  const kx::URLRequest request_;
  const std::shared_ptr<const Environment> env_;

  kx::RecursiveMutex deliverMu_;
  std::shared_ptr<RNURLProtocolClient> client_ GUARDED_BY(deliverMu_);
  bool ended_ GUARDED_BY(deliverMu_) = false;
  bool stopped_ GUARDED_BY(deliverMu_) = false;
  std::vector<std::function<void()>> onStop_ GUARDED_BY(deliverMu_);

  kx::Mutex connectionMu_;
  std::shared_ptr<RNURLConnection> connection_ GUARDED_BY(connectionMu_);
  kx::URLRequest forwarded_ GUARDED_BY(connectionMu_);
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNCACHINGURLPROTOCOL_H_
