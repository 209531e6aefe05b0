// KXLiveConnection keeps one long-poll request open to the service's push
// server while the user is signed in, and asks for a sync when the answer
// shows that the service changed.
//
//   multiportConnect()  (re)starts the tick, every 20 seconds; the cursor and
//                       the last share time are kept. The sync manager
//                       calls it after sign-in (performLiveConnect) and on
//                       wake.
//   stop()              stops the tick and aborts a running poll; nothing it
//                       was waiting for reaches the sync. Sign-out and sleep
//                       call it.
//   rawConnect()        one attempt (each tick): skipped while a poll runs or
//                       a sync works; otherwise GET "/pushserver3/client?
//                       app=lumbox&cl=mac" with "lp" (the cursor) and "cto"
//                       600000, held by the service for up to 1200 seconds,
//                       and the pen-page pull is started.
//
// An answer counts only with status 200 and a JSON object. Its "lp" becomes
// the cursor. The answer is one notice: it asks for a sync once, when "rv"
// is above 0 and above the store's base version, or when
// "MYSHARE_UPDATE_TIME" is later than the last one seen (the first one seen
// in a run only records the time). A notice asks for one sync however many
// of its reasons hold; the sync manager's admission rule turns a notice
// that arrives while a sync runs into one more waiting cycle, never a pile.
// Failures and other statuses change nothing; the next tick polls again.
//
// Thread safety: every member may be called from any thread. mu_ guards the
// state; the environment is called without it. Ticks run on the serial
// queue "com.zarvel.note.queue.live-connection"; answers are handled there.
#ifndef ZN_SYNC_KXLIVECONNECTION_H_
#define ZN_SYNC_KXLIVECONNECTION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "CommonUtils/KXDelayClock.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Value.h"

class KXNetworkOperation;

// What the connection asks of the rest of the client. The defaults are the
// program's: KXServiceBaseURL, the sync manager, the data client's base
// version and the pen-page pull.
class KXLiveConnectionEnvironment {
 public:
  virtual ~KXLiveConnectionEnvironment() = default;
  virtual std::string serviceBaseURL();
  // Whether a sync cycle is running (the sync manager's isWorking).
  virtual bool isWorking();
  // The store's root entry's version.
  virtual std::int64_t baseVersion();
  // Asks the sync manager for a sync.
  virtual void sync();
  // Starts the pen-page pull (KXSyncPen).
  virtual void startPenPull();
};

class KXLiveConnection : public std::enable_shared_from_this<KXLiveConnection> {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.live-connection";
  static constexpr const char* kPollPath = "/pushserver3/client";
  static constexpr double kTickSeconds = 20;
  static constexpr double kPollTimeoutSeconds = 1200;
  static constexpr std::int64_t kClientTimeoutMillis = 600000;

  // The program's connection, made once and never freed.
  static KXLiveConnection& sharedConnection();

  // Null arguments take the defaults (the program's environment, the
  // system clock). Make it with std::make_shared.
  KXLiveConnection(std::shared_ptr<KXLiveConnectionEnvironment> environment,
                   std::shared_ptr<KXDelayClock> clock);
  ~KXLiveConnection();
  KXLiveConnection(const KXLiveConnection&) = delete;
  KXLiveConnection& operator=(const KXLiveConnection&) = delete;

  void multiportConnect();
  void stop();
  void rawConnect();

  std::int64_t lastTimeStamp() const;
  bool isPolling() const;
  bool isTicking() const;
  // The serial queue of the ticks and answers (tests wait on it).
  kx::SerialQueue& queue() { return queue_; }

 private:
  void armTick(std::uint64_t generation);
  void handleAnswer(std::uint64_t poll, const kx::Value& result, long status, bool failed);

  const std::shared_ptr<KXLiveConnectionEnvironment> environment_;
  const std::shared_ptr<KXDelayClock> clock_;
  kx::SerialQueue queue_;

  mutable kx::Mutex mu_;
  std::int64_t lastTimeStamp_ GUARDED_BY(mu_) = 0;
  std::int64_t lastShareTime_ GUARDED_BY(mu_) = -1;
  // Raised by every (re)start and stop: ticks of an older generation end.
  std::uint64_t tickGeneration_ GUARDED_BY(mu_) = 0;
  bool ticking_ GUARDED_BY(mu_) = false;
  // Raised by every poll: answers of an aborted poll are dropped.
  std::uint64_t pollNumber_ GUARDED_BY(mu_) = 0;
  std::shared_ptr<KXNetworkOperation> socket_ GUARDED_BY(mu_);
  bool polling_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXLIVECONNECTION_H_
