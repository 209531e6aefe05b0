// KXSyncManager is the one object through which the client asks for a sync.
// It owns the operation queue "qopal_sync_queue" (width 1) on which sync
// cycles (KXSyncOperation) run, decides whether a request adds a cycle, reacts
// to sleep and wake and to changes of the service's reachability, and
// broadcasts the start of a sync and the end of a sync it could not run.
//
// Admission (sync(), under mu_): while the machine sleeps, no cycle and
// sync-end false. Otherwise, with an empty queue (a finished cycle still on
// its way out counts as none) a cycle is added and sync-start posted; with
// one cycle that is running or cancelled a second one is added quietly; a
// cycle that waits to start absorbs the request; with two cycles nothing
// happens. So at most one cycle runs and one waits.
//
// Sleep stops the long-poll connection and wake starts it again.
//
// Triggers: the first automatic sync 300 seconds after creation (through the
// note utility's delayed request), wake, the network coming back while signed
// in, and the callers of sync() / syncByManual() (menu, sign-in, long poll,
// the web service's and file watcher's delayed requests).
//
// After-sync blocks (didAfterSync) run once, on the main queue, at the next
// sync-end: the manager's own or a cycle's, success or failure. A block
// stored while another waits does not replace it: both run then, so nobody
// who waits for the end of a sync waits for ever.
//
// Every notification is posted on the main queue. Alerts are shown on the
// main queue through the user-interface port, whatever thread asked.
//
// Thread safety: every public member may be called from any thread. mu_
// guards the flags and the after-sync blocks.
#ifndef ZN_SYNC_KXSYNCMANAGER_H_
#define ZN_SYNC_KXSYNCMANAGER_H_

#include <functional>
#include <memory>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXUIPort.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncManagerEnvironment.h"

class KXSyncManager {
 public:
  static constexpr const char* kQueueName = "qopal_sync_queue";
  static constexpr double kFirstSyncDelaySeconds = 300;

  // What a sync request does, given the sleep flag and the queue's cycles.
  enum class Admission {
    kRefuseAsleep,    // post sync-end false; nothing queued
    kAddAndAnnounce,  // add a cycle and post sync-start
    kAddQuietly,      // add a cycle behind the running (or cancelled) one
    kAbsorb,          // a waiting cycle (or two cycles) covers the request
  };
  static Admission admissionFor(bool isSystemSleeping,
                                const std::vector<std::shared_ptr<kx::Operation>>& cycles);

  // The shared manager: the one the application object made and installed
  // (setDefaultManager). Without one (a test program that wires nothing), a
  // manager with the default environments is made once and never freed.
  static KXSyncManager& defaultManager();
  // Installs `manager` as the shared one (nullptr: none); the caller keeps
  // it alive while it is installed.
  static void setDefaultManager(KXSyncManager* manager);
  // Points the store's sync requests (KXSyncRequestHooks: syncByManual,
  // didAfterSync) at the shared manager. The application object calls this
  // once at start.
  static void installSyncRequestHooks();

  // Null arguments take the defaults (the system clock, the default centre;
  // alerts go to the user-interface port installed when each is shown).
  KXSyncManager(std::shared_ptr<KXSyncCycleEnvironment> cycleEnvironment,
                std::shared_ptr<KXSyncManagerEnvironment> environment, std::shared_ptr<KXUIPort> ui,
                std::shared_ptr<KXDelayClock> clock = nullptr,
                kx::NotificationCenter* center = nullptr);
  // Stops listening, cancels the cycles and waits for them to finish.
  ~KXSyncManager();
  KXSyncManager(const KXSyncManager&) = delete;
  KXSyncManager& operator=(const KXSyncManager&) = delete;

  void sync();
  void syncByManual();
  // Whether a cycle is running.
  bool isWorking() const;
  void didAfterSync(std::function<void()> block);
  void postSyncStartNotification();
  void postSyncEndNotification(bool success);
  void performLiveConnect();
  // Sign-out: stops the long poll and cancels every cycle.
  void cancelTaskWhenLogoff();

  void networkRechableChanged(const kx::Notification& notification);
  void systemSleep(const kx::Notification& notification);
  void systemAwake(const kx::Notification& notification);

  bool isNetworkReachable() const;
  bool isSystemSleeping() const;
  kx::OperationQueue& syncQueue() { return syncQueue_; }

 private:
  // Runs the after-sync blocks; on the main queue, at every sync-end.
  void runAfterSyncBlocks();

  const std::shared_ptr<KXSyncCycleEnvironment> cycleEnvironment_;
  const std::shared_ptr<KXSyncManagerEnvironment> environment_;
  const std::shared_ptr<KXUIPort> ui_;  // nullptr: the installed port
  const std::shared_ptr<KXDelayClock> clock_;
  kx::NotificationCenter* const center_;
  // Held while the manager lives; the timer's task checks it.
  const std::shared_ptr<int> alive_;

  mutable kx::Mutex mu_;
  bool isNetworkReachable_ GUARDED_BY(mu_) = false;
  bool isSystemSleeping_ GUARDED_BY(mu_) = false;
  std::vector<std::function<void()>> afterSyncBlocks_ GUARDED_BY(mu_);

  std::vector<kx::NotificationCenter::Token> observers_;
  kx::OperationQueue syncQueue_;
};

#endif  // ZN_SYNC_KXSYNCMANAGER_H_
