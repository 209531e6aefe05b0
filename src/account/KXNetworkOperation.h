// KXNetworkOperation is the one class through which the client's own code
// (sync, sign-in tickets, background packs, script queries, statistics) talks
// to the note service. A caller fills a KXNetworkOperationOptions dictionary,
// hands it over with setOption(), and either starts the operation itself
// (asyncNetworkOperation, asyncNetworkOperationWithCallback,
// syncRequestWithError) or gives it to an operation queue (the transfer
// controllers), which starts it when a slot is free.
//
// The options become one HTTPS request to the default port of the URL's host
// (scheme, port, user and fragment of the given URL are dropped; a host that
// is not a host name once percent-decoded makes the options invalid), with the
// common statistics query appended, the fixed "User-Agent" and
// "KX-NetworkOperation" header fields, and one of four kinds of body and
// answer: plain data, upload of a file from a start byte, download into a
// file, or a multipart form. Requests run on the shared kx::HTTPTransport.
//
// Results go to a block (KXNetworkOperationCallback: any status but 200 is a
// failure, -1011 with "statusCode") or to a KXNetworkOperationDelegate (200
// and 206 are successes; a delegate that handles failures gets only the
// failure, any other is told the code, the headers and then the result).
// With "dataType" "application/json" the result is the parsed body.
//
// A cancelled operation never calls its block or delegate: cancellation is
// checked when the answer is delivered and before each delegate message, so
// an answer already on its way when cancel() is called is dropped. The
// concurrent delegate (an operation queue's owner) is told when the
// operation completes or is cancelled, possibly more than once.
//
// The operation aborts itself when the machine is about to sleep
// (kx::kWorkspaceWillSleepNotification).
//
// Lifetime and threads: create operations with std::make_shared; a running
// request holds its operation weakly, so an operation released meanwhile
// reports nothing. Blocks and delegate messages run on the transport's
// executor (the default global queue), never on the caller's thread, except
// that a request that cannot be built reports at once on the starting thread.
// Every member may be called from any thread. The operation's fields are one
// struct behind one lock (kx::Guarded); starting the transfer and cancelling
// take it, so a cancel either stops the transfer that was started or keeps it
// from starting. No block, delegate or provider is called with the lock held.
// Delegates are held weakly.
#ifndef ZN_ACCOUNT_KXNETWORKOPERATION_H_
#define ZN_ACCOUNT_KXNETWORKOPERATION_H_

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Guarded.h"
#include "platform/HTTPTransport.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/Value.h"

// The header field that marks the client's own requests; the caching URL
// protocol never answers a request that carries it locally.
inline constexpr const char* kKXNetworkOperationHeader = "KX-NetworkOperation";
inline constexpr const char* kKXNetworkOperationUserAgent = "Lumbox Client Mac";

// Option keys.
inline constexpr const char* kKXOptionURL = "url";
inline constexpr const char* kKXOptionMethod = "method";
inline constexpr const char* kKXOptionParams = "params";
inline constexpr const char* kKXOptionHeaders = "headers";
inline constexpr const char* kKXOptionTimeout = "timeout";
inline constexpr const char* kKXOptionSSL = "ssl";
inline constexpr const char* kKXOptionEncoding = "encoding";
inline constexpr const char* kKXOptionDataType = "dataType";
inline constexpr const char* kKXOptionByteFile = "byteFile";
inline constexpr const char* kKXOptionStartByte = "startByte";
inline constexpr const char* kKXOptionDownloadFile = "downloadFile";
inline constexpr const char* kKXOptionStreamData = "KXStreamData";
inline constexpr const char* kKXOptionMultipartData = "multipart/form-data";
inline constexpr const char* kKXOptionName = "name";
inline constexpr const char* kKXOptionContentType = "Content-type";
inline constexpr const char* kKXStreamEncoding = "application/qopal-stream";
inline constexpr const char* kKXJSONDataType = "application/json";

// String keys to values; see the option keys above. Unknown keys are ignored.
using KXNetworkOperationOptions = kx::Dictionary;

class KXNetworkOperation;

// Messages of an operation to its delegate; every one defaults to nothing.
// The operation sends only the success, failure, code and headers messages.
class KXNetworkOperationDelegate {
 public:
  virtual ~KXNetworkOperationDelegate() = default;
  virtual void didNetworkOperationSuccessCompleted(const kx::Value& result,
                                                   KXNetworkOperation& operation) {}
  virtual void didNetworkOperationFailWithError(const kx::Error& error,
                                                KXNetworkOperation& operation) {}
  virtual void didNetworkOperationStateChanged(KXNetworkOperation& operation) {}
  virtual void didNetworkOperationRecievedHttpHeaders(const kx::Dictionary& headers,
                                                      KXNetworkOperation& operation) {}
  virtual void didNetworkOperationClosed(KXNetworkOperation& operation, const kx::Error& error) {}
  virtual void didNetworkOperationRecievedHttpCode(std::int64_t code,
                                                   KXNetworkOperation& operation) {}
  virtual void didNetworkOperationDealWithBigData(KXNetworkOperation& operation,
                                                  const kx::Bytes& data) {}
  // True for a delegate that implements didNetworkOperationFailWithError:
  // failures then go to it alone, with the transport error (empty when only
  // the status failed). A delegate that answers false is told the code, the
  // headers and the result of every answer and judges them by the code.
  virtual bool handlesFailure() const { return false; }
};

// Told when an operation completes or is cancelled (possibly more than once
// for one operation).
class KXConcurrentDelegate {
 public:
  virtual ~KXConcurrentDelegate() = default;
  virtual void completeWithOperator(KXNetworkOperation& operation) = 0;
};

// The block form's outcome: the result (parsed JSON, the body bytes, or the
// downloaded file's URL), the answer's head (status 0: no answer) and the
// error (empty: success).
using KXNetworkOperationCallback = std::function<void(
    const kx::Value& result, const kx::HTTPResponseHead& response, const kx::Error& error)>;

class KXNetworkOperation : public kx::Operation {
 public:
  // Values of state().
  static constexpr std::uint16_t kStateCreated = 0;
  static constexpr std::uint16_t kStateCode = 4;
  static constexpr std::uint16_t kStateHeaders = 5;
  static constexpr std::uint16_t kStateFailed = 999;

  KXNetworkOperation();
  explicit KXNetworkOperation(std::weak_ptr<KXNetworkOperationDelegate> delegate);
  ~KXNetworkOperation() override;

  // The transport every operation uses (the process's shared transport,
  // created once under a once-only guard).
  static kx::HTTPTransport& sharedTransport();
  // The common statistics query appended to every request URL: by default
  // KXStatitisc::commonStaticsString(); tests install their own (null gives
  // an empty query).
  static void setCommonStaticsProvider(std::function<std::string()> provider);
  static std::string commonStaticsString();

  void setOption(KXNetworkOperationOptions options);
  KXNetworkOperationOptions options() const;

  void asyncNetworkOperationWithCallback(KXNetworkOperationCallback callback);
  void asyncNetworkOperation();
  // Both: a cancelled operation runs cancelInternal() (and finishes);
  // otherwise the callback() form when a callback is set, else the delegate
  // form.
  void start() override;
  void main() override;
  bool isAsynchronous() const override { return true; }

  // Sends the request and waits for the answer: a 200 answer's JSON object
  // (a top-level array of objects as {"data": array}); an empty dictionary
  // for any other answer or a failed transfer; null when the options are
  // invalid (then *error is NSURLErrorDomain -1000) or the operation was
  // cancelled.
  kx::Value syncRequestWithError(kx::Error* error);
  // Sends the request and waits: the raw body (null when the request cannot
  // be built, with -1000, or the transfer failed); *response gets the head.
  kx::Value syncNetworkOperationWithResponse(kx::HTTPResponseHead* response, kx::Error* error);

  // cancel() and abort() both run cancelInternal().
  void cancel() override;
  void abort();
  void handleForSleep(const kx::Notification& notification);
  void cancelInternal();
  void eventCompleted();

  bool isComplete() const { return isFinished() || isCancelled(); }
  bool isValidForUse() const { return isCancelled() || isReady(); }

  void setRuntimeData(std::any data);
  std::any runtimeData() const;
  void clearRuntimeData();

  void setDelegate(std::weak_ptr<KXNetworkOperationDelegate> delegate);
  std::shared_ptr<KXNetworkOperationDelegate> delegate() const;
  void setConcurrentDelegate(std::weak_ptr<KXConcurrentDelegate> delegate);
  std::shared_ptr<KXConcurrentDelegate> concurrentDelegate() const;
  void setCallback(KXNetworkOperationCallback callback);
  KXNetworkOperationCallback callback() const;

  kx::Dictionary recievedHeaders() const;
  // The running transfer (0: none).
  kx::HTTPTransport::RequestID networkTask() const;
  std::uint16_t state() const;
  std::string host() const;
  std::string requestURI() const;
  std::string method() const;
  double timeout() const;
  bool useSecurityTransport() const;

  // "url is <url>, state is <state>".
  std::string description() const;
  // Validates the options and builds the request; nullopt when the options
  // are invalid.
  std::optional<kx::HTTPRequest> generateRequest();

  // The body of a multipart upload: a part for each "key=value" pair of
  // `query` (split at "&", each pair at its first "="; pairs without "="
  // skipped; values as they stand), then the file part named `name` with
  // the file name "file", `contentType` and `data`, then the closing line.
  // In the part headers a quote, CR and LF are percent-escaped, so no name
  // or type can end its parameter or add a header.
  static kx::Bytes multipartBody(std::string_view query, std::string_view name,
                                 std::string_view contentType, const kx::Bytes& data,
                                 std::string_view boundary);

 private:
  using Delivery =
      std::function<void(kx::Value data, kx::HTTPResponseHead response, kx::Error error)>;

  // The operation's fields; every read and change goes through state_.
  struct State {
    std::string host;
    std::string requestURI;
    std::string method;
    std::any runtimeData;
    double timeout = 90;
    bool useSecurityTransport = true;
    std::uint16_t state = kStateCreated;
    std::weak_ptr<KXNetworkOperationDelegate> delegate;
    KXNetworkOperationOptions options;
    bool hasOptions = false;
    kx::Dictionary recievedHeaders;
    kx::HTTPTransport::RequestID networkTask = 0;
    std::weak_ptr<KXConcurrentDelegate> concurrentDelegate;
    KXNetworkOperationCallback callback;
  };

  // Starts the transfer unless the operation is cancelled; the outcome goes
  // to `delivery` once.
  void asyncNetworkOperationWithCompletionHandler(Delivery delivery);
  // validate() and generateRequest() on fields the caller holds; `common` is
  // the statistics query.
  static bool validate(State& s, const std::string& common);
  static std::optional<kx::HTTPRequest> generateRequest(State& s, const std::string& common);
  kx::Value handleWithData(const kx::Value& data, const kx::HTTPResponseHead& response);
  void callbackWithCallback(const KXNetworkOperationCallback& callback, const kx::Value& data,
                            const kx::HTTPResponseHead& response, kx::Error error);
  void callbackWithDelegate(const kx::Value& data, const kx::HTTPResponseHead& response,
                            const kx::Error& error);

  kx::Guarded<State> state_;
  kx::NotificationCenter::Token sleepObserver_ = 0;
};

#endif  // ZN_ACCOUNT_KXNETWORKOPERATION_H_
