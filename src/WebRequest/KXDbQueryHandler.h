// KXDbQueryHandler is the receiver of one database query of the page's
// script: the script object offers a request to its own list of handlers
// with this object as the sender, and the answer becomes one call of the
// page's callback with the body and the JSON text of the answer's header
// fields ("{}" when there are none).
//
// The callback runs on the main queue (kx::MainQueue), whatever queue the
// handler answered from. An error, or an answer without a body, never
// reaches the page: it is logged and dropped.
//
// Thread safety: localReceiveResponse may be called from any thread; the
// callback is read and replaced under mu_ and called outside it.
#ifndef ZN_WEBREQUEST_KXDBQUERYHANDLER_H_
#define ZN_WEBREQUEST_KXDBQUERYHANDLER_H_

#include <functional>
#include <memory>
#include <string>

#include "WebRequest/KXDataRequestController.h"
#include "platform/Mutex.h"
#include "platform/Queue.h"

class KXDbQueryHandler : public KXDataRequestController {
 public:
  // The page's callback, called with [body, header JSON text].
  using Callback = std::function<void(const kx::Bytes& body, const std::string& headers)>;

  // `queue` null: the main queue.
  static std::shared_ptr<KXDbQueryHandler> handlerWithCallback(Callback callback,
                                                               kx::Queue* queue = nullptr);
  KXDbQueryHandler(Callback callback, kx::Queue* queue);

  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override;

  Callback callback() const;
  void setCallback(Callback callback);

  // The JSON text of `headers` ("{}" for none; of a repeated name the last).
  static std::string headerJSON(const kx::HTTPHeaderFields& headers);

 private:
  kx::Queue& queue_;
  mutable kx::Mutex mu_;
  Callback callback_ GUARDED_BY(mu_);
};

#endif  // ZN_WEBREQUEST_KXDBQUERYHANDLER_H_
