// KXNetlinkChangeMonitor watches the kernel's routing socket (netlink) for
// changes of links, addresses and routes, and calls the change function for
// each batch of messages, from a thread of its own.
//
// Thread safety: start() and stop() are called by the owner; the change
// function runs on the monitor's thread.
#ifndef ZN_COMMONUTILS_KXNETLINKCHANGEMONITOR_H_
#define ZN_COMMONUTILS_KXNETLINKCHANGEMONITOR_H_

#include <functional>
#include <thread>

#include "CommonUtils/KXNetworkChangeMonitor.h"

class KXNetlinkChangeMonitor : public KXNetworkChangeMonitor {
 public:
  KXNetlinkChangeMonitor() = default;
  ~KXNetlinkChangeMonitor() override;
  KXNetlinkChangeMonitor(const KXNetlinkChangeMonitor&) = delete;
  KXNetlinkChangeMonitor& operator=(const KXNetlinkChangeMonitor&) = delete;

  bool start(std::function<void()> onChange) override;
  void stop() override;

 private:
  void run();

  std::function<void()> onChange_;  // set before the thread starts
  int socket_ = -1;                 // owned; closed by stop()
  int wakeRead_ = -1;               // stop() writes to wakeWrite_ to end run()
  int wakeWrite_ = -1;
  std::thread thread_;
};

#endif  // ZN_COMMONUTILS_KXNETLINKCHANGEMONITOR_H_
