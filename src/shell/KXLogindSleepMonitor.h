// KXLogindSleepMonitor turns the system's power events into the sleep and
// wake notifications of our platform layer (kx::kWorkspaceWillSleepNotification
// and kx::kWorkspaceDidWakeNotification on the default notification centre),
// which the sync manager and the network operations observe.
//
// It listens for logind's PrepareForSleep signal (org.freedesktop.login1.
// Manager on /org/freedesktop/login1) on the system bus: an argument of true
// is the will-sleep notification, false the did-wake one. Where there is no
// system bus (a container, a CI machine), start() logs that once and the
// client simply never sees the machine sleep.
//
// Until the desktop's GLib loop runs the program, the monitor runs its own
// GLib main context on a thread of its own; the notifications are posted
// from that thread.
//
// Thread safety: start() and stop() may be called from any thread, not at
// the same time; the destructor stops.
#ifndef ZN_SHELL_KXLOGINDSLEEPMONITOR_H_
#define ZN_SHELL_KXLOGINDSLEEPMONITOR_H_

#include <memory>
#include <string>
#include <thread>

#include "platform/NotificationCenter.h"

class KXLogindSleepMonitor {
 public:
  static constexpr const char* kBusName = "org.freedesktop.login1";
  static constexpr const char* kInterface = "org.freedesktop.login1.Manager";
  static constexpr const char* kObjectPath = "/org/freedesktop/login1";
  static constexpr const char* kSignal = "PrepareForSleep";

  // `busAddress` "" is the system bus; tests give a bus of their own.
  explicit KXLogindSleepMonitor(std::string busAddress = {},
                                kx::NotificationCenter* center = nullptr);
  ~KXLogindSleepMonitor();
  KXLogindSleepMonitor(const KXLogindSleepMonitor&) = delete;
  KXLogindSleepMonitor& operator=(const KXLogindSleepMonitor&) = delete;

  // Connects and subscribes; false (logged) when the bus cannot be reached.
  // Once start() has answered true, the signal is subscribed.
  bool start();
  void stop();
  bool isRunning() const { return thread_.joinable(); }

 private:
  struct Loop;

  const std::string busAddress_;
  kx::NotificationCenter* const center_;
  std::unique_ptr<Loop> loop_;
  std::thread thread_;
};

#endif  // ZN_SHELL_KXLOGINDSLEEPMONITOR_H_
