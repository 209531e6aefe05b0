// KXReachabilityWatcher keeps track of whether the note service's host can
// be reached, and broadcasts "com.zarvel.note.notification.net" (object
// nullptr, user info {"isConnection": bool}) on its own serial queue,
// "com.zarvel.note.queue.net-reach", each time the answer changes; never on
// the main queue, and never when a check gives the same answer as the last
// one. The first answer after start() is the starting state and is not
// broadcast.
//
// The host is checked by a KXReachabilityProbe, once at start(), again
// whenever the KXNetworkChangeMonitor reports a change of the machine's
// network, and every pollIntervalSeconds (0: no poll) in case a change went
// unnoticed.
//
// Thread safety: every public member may be called from any thread. Checks
// run on the queue; the last answer is guarded by mu_. The destructor stops
// the monitor and the poll, and waits for a check in progress.
#ifndef ZN_COMMONUTILS_KXREACHABILITYWATCHER_H_
#define ZN_COMMONUTILS_KXREACHABILITYWATCHER_H_

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "CommonUtils/KXNetworkChangeMonitor.h"
#include "CommonUtils/KXReachabilityProbe.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"

class KXReachabilityWatcher {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.net-reach";
  static constexpr const char* kNotificationName = "com.zarvel.note.notification.net";
  static constexpr const char* kIsConnectionKey = "isConnection";
  static constexpr double kDefaultPollIntervalSeconds = 30;

  // `monitor` may be nullptr (poll only). Posts through `center` (the
  // default centre when nullptr).
  KXReachabilityWatcher(std::string host, std::unique_ptr<KXReachabilityProbe> probe,
                        std::unique_ptr<KXNetworkChangeMonitor> monitor, double pollIntervalSeconds,
                        kx::NotificationCenter* center = nullptr);
  ~KXReachabilityWatcher();
  KXReachabilityWatcher(const KXReachabilityWatcher&) = delete;
  KXReachabilityWatcher& operator=(const KXReachabilityWatcher&) = delete;

  // Starts the monitor and the poll, and queues the first check.
  void start();
  // The last answer; before any check has finished, one is made on the
  // queue and waited for.
  bool canConnect();
  // Queues a check.
  void checkNow();

  const std::string& host() const { return host_; }
  kx::SerialQueue& queue() { return queue_; }

 private:
  // Run on the queue.
  void check();
  void schedulePoll();

  const std::string host_;
  const std::unique_ptr<KXReachabilityProbe> probe_;  // used on the queue only
  const std::unique_ptr<KXNetworkChangeMonitor> monitor_;
  const double pollIntervalSeconds_;
  kx::NotificationCenter* const center_;
  // Cleared by the destructor; delayed polls that run later do nothing.
  const std::shared_ptr<std::atomic<bool>> alive_;

  kx::Mutex mu_;
  std::optional<bool> reachable_ GUARDED_BY(mu_);

  // Last, so that it is destroyed first: it drains while the rest is alive.
  kx::SerialQueue queue_;
};

#endif  // ZN_COMMONUTILS_KXREACHABILITYWATCHER_H_
