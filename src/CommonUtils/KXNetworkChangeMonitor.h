// KXNetworkChangeMonitor tells the reachability watcher that the machine's
// network configuration may have changed (a link, an address or a route came
// or went), so that it checks again at once instead of at its next poll. The
// program uses KXNetlinkChangeMonitor; tests a fake that they trigger.
//
// Thread safety: start() and stop() are called by the owner, once each;
// onChange may be called from any thread until stop() has returned.
#ifndef ZN_COMMONUTILS_KXNETWORKCHANGEMONITOR_H_
#define ZN_COMMONUTILS_KXNETWORKCHANGEMONITOR_H_

#include <functional>

class KXNetworkChangeMonitor {
 public:
  virtual ~KXNetworkChangeMonitor() = default;

  // Starts watching; returns false when changes cannot be watched (the
  // watcher then relies on its poll).
  virtual bool start(std::function<void()> onChange) = 0;
  // Stops watching; once it returns, onChange is not called again.
  virtual void stop() = 0;
};

#endif  // ZN_COMMONUTILS_KXNETWORKCHANGEMONITOR_H_
