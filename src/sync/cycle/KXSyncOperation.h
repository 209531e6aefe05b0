// KXSyncOperation runs one sync cycle: user meta (with self info), the tag and
// my-share hand-offs, the metadata pull when the service is ahead, the push,
// user meta again (without self info), the pull after the push, and the end.
// The sync manager queues it on its width-1 operation queue.
//
//   stage 0 begun -> 1 pull (or straight through when the service is not
//   ahead) -> 2 push -> 3 pull after push -> 5 ended
//
// Any failure leads to stage 5 with sync-end {"sync-result": false} and the
// operation cancelled; success ends with sync-end true. The push stage posts
// sync-push; the metadata pull's applied metadata posts sync-pullFileMeta.
// Notifications are posted on the main queue with the operation as object.
// The index rebuilder is asked to resume after every pull and failed pull.
// After an automatic re-login the cycle restarts once; a second one fails it.
//
// A cancelled cycle (sign-out) posts no sync-end of its own and ignores what
// its workers report afterwards: every step checks the cancellation first, so
// nothing it would write reaches the store. A cycle reports its end once: a
// failure reported after the cycle has ended or was cancelled changes nothing.
//
// Threads: start() runs on a global queue; the workers report on their own
// threads. Every report hops onto the serial queue of the cycles
// ("com.zarvel.note.queue.sync-cycle", shared by all cycles and never freed),
// so the steps of a cycle run one at a time and never inside a worker's call.
// Thread safety: every public member may be called from any thread. mu_
// guards the workers and the stage; the rest is touched only on the cycles' queue.
#ifndef ZN_SYNC_KXSYNCOPERATION_H_
#define ZN_SYNC_KXSYNCOPERATION_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/SerialQueue.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncStage.h"
#include "sync/cycle/KXSyncUserMetaDelegate.h"
#include "sync/cycle/UserMeta.h"
#include "sync/pull/KXSyncPullProxyDelegate.h"
#include "sync/push/KXSyncPushProxyDelegate.h"

class KXSyncOperation final : public kx::Operation,
                              public KXSyncUserMetaDelegate,
                              public KXSyncPullProxyDelegate,
                              public KXSyncPushProxyDelegate {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.sync-cycle";
  // Errors of the cycle itself; they decide that it fails and are not shown.
  static constexpr const char* kErrorDomain = "QopalRequestErrorDomain";
  static constexpr std::int64_t kErrorNoNetwork = 100;
  static constexpr std::int64_t kErrorCancelled = 104;

  // Posts through `center` (the default centre when nullptr).
  explicit KXSyncOperation(std::shared_ptr<KXSyncCycleEnvironment> environment,
                           kx::NotificationCenter* center = nullptr);
  ~KXSyncOperation() override;

  void start() override;
  void cancel() override;
  bool isAsynchronous() const override { return true; }

  KXSyncStage syncStage() const;
  // The serial queue of the cycles' steps (tests wait on it).
  static kx::SerialQueue& queue();

  // KXSyncUserMetaDelegate
  void didPullUserMetaSuccess(const kx::Value& reply) override;
  void didPullUserMetaFail(const kx::Error& error) override;
  void autoLoginSucceedAfterAuthFailed() override;
  // KXSyncPullProxyDelegate
  void didPullSuccess() override;
  void didPullFail(const kx::Error& error) override;
  void didPullFileMetaDone() override;
  // KXSyncPushProxyDelegate
  void didPushSuccess() override;
  void didPushFail(const kx::Error& error) override;

 private:
  // Runs the step on queue(), keeping the operation alive until it has run.
  void hop(std::function<void()> step);
  void startSync();
  // 0 when the cycle may begin; else kErrorNoNetwork or kErrorCancelled.
  std::int64_t beforeSync();
  void handleUserMeta(const kx::Value& reply);
  void handlePullSuccess();
  void handlePushSuccess();
  void eventCompleted();
  void syncFailed();
  void cancelInternal() REQUIRES(mu_);
  void setStage(KXSyncStage stage);
  void post(const char* name, kx::Value userInfo = {});

  const std::shared_ptr<KXSyncCycleEnvironment> environment_;
  kx::NotificationCenter* const center_;

  mutable kx::Mutex mu_;
  std::shared_ptr<KXSyncUserMeta> userMetaProxy_ GUARDED_BY(mu_);
  std::shared_ptr<KXSyncPullProxy> pullProxy_ GUARDED_BY(mu_);
  std::shared_ptr<KXSyncPushProxy> pushProxy_ GUARDED_BY(mu_);
  KXSyncStage syncStage_ GUARDED_BY(mu_) = kKXSyncStageBegun;
  bool ended_ GUARDED_BY(mu_) = false;  // the end was reported

  // Touched only on queue().
  bool hasTriedLogin_ = false;
  std::int64_t rootVersionBeforeSync_ = 0;
  UserMeta userMeta_;
};

#endif  // ZN_SYNC_KXSYNCOPERATION_H_
