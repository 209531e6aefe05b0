// KXConcurrentController limits how many sync transfers run at once: it owns
// an operation queue of fixed width ("com.zarvel.note.queue.concurrent") into
// which the sync classes put their HTTP operations with a completion block.
// Two process-wide controllers exist: the pull controller (width 7) for
// downloads and the push controller (width 3) for uploads.
//
// clearEnvironment() cancels every operation of the controller, waiting and
// running. A cancelled operation never calls its block (KXNetworkOperation
// drops answers once cancelled), so a caller whose transfers were cleared
// hears nothing more from them.
//
// Controllers are shared objects (std::make_shared): each operation holds its
// controller weakly as its concurrent delegate.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXCONCURRENTCONTROLLER_H_
#define ZN_SYNC_KXCONCURRENTCONTROLLER_H_

#include <cstdint>
#include <memory>

#include "account/KXNetworkOperation.h"
#include "platform/OperationQueue.h"

class KXConcurrentController : public KXConcurrentDelegate,
                               public std::enable_shared_from_this<KXConcurrentController> {
 public:
  static constexpr const char* kQueueName = "com.zarvel.note.queue.concurrent";
  static constexpr std::int64_t kDefaultConcurrentLen = 7;
  static constexpr std::int64_t kPullConcurrentLen = 7;
  static constexpr std::int64_t kPushConcurrentLen = 3;

  // The shared controllers, created once, never freed.
  static KXConcurrentController& pullController();
  static KXConcurrentController& pushController();

  KXConcurrentController();
  explicit KXConcurrentController(std::int64_t concurrentLen);
  // Cancels what is left and waits for the running operations to finish.
  ~KXConcurrentController() override;
  KXConcurrentController(const KXConcurrentController&) = delete;
  KXConcurrentController& operator=(const KXConcurrentController&) = delete;

  // Makes this controller the operation's concurrent delegate, stores the
  // block as its callback and queues it; the queue starts it when a slot is
  // free. An operation already queued once is refused (false, logged).
  bool concurrentResumeWithOperator(const std::shared_ptr<KXNetworkOperation>& operation,
                                    KXNetworkOperationCallback callback);
  // Cancels every operation of the queue, running and waiting.
  void clearEnvironment();
  // Sent by an operation when it completes or is cancelled; nothing to do.
  void completeWithOperator(KXNetworkOperation& operation) override {}

  std::int64_t concurrentLen() const { return concurrentLen_; }
  kx::OperationQueue& workQueue() { return workQueue_; }

 private:
  const std::int64_t concurrentLen_;
  kx::OperationQueue workQueue_;
};

#endif  // ZN_SYNC_KXCONCURRENTCONTROLLER_H_
