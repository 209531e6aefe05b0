// KXSingleAnswerController stands between a handler and the receiver of its
// answer and makes "exactly once" hold whatever the handler does:
//  - the first answer goes to the receiver;
//  - every later answer is logged and dropped;
//  - when the last reference goes away unanswered (the handler dropped the
//    request), the receiver gets error -1000 of the URL error domain, so
//    the request never hangs.
//
// Thread safety: localReceiveResponse may be called from any thread; the
// answered flag is atomic, the receiver is called outside any lock.
#ifndef ZN_WEBREQUEST_KXSINGLEANSWERCONTROLLER_H_
#define ZN_WEBREQUEST_KXSINGLEANSWERCONTROLLER_H_

#include <atomic>
#include <memory>
#include <string>

#include "WebRequest/KXDataRequestController.h"

class KXSingleAnswerController : public KXDataRequestController {
 public:
  // `description` names the request in log lines (its URL).
  KXSingleAnswerController(std::shared_ptr<KXDataRequestController> receiver,
                           std::string description);
  ~KXSingleAnswerController() override;

  KXSingleAnswerController(const KXSingleAnswerController&) = delete;
  KXSingleAnswerController& operator=(const KXSingleAnswerController&) = delete;

  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override;
  // Passed on to the receiver.
  void whenCancelled(std::function<void()> cancelled) override;

  bool answered() const { return answered_.load(); }

 private:
  const std::shared_ptr<KXDataRequestController> receiver_;
  const std::string description_;
  std::atomic<bool> answered_{false};
};

#endif  // ZN_WEBREQUEST_KXSINGLEANSWERCONTROLLER_H_
