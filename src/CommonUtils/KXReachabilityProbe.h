// KXReachabilityProbe answers whether a host can be reached now. The watcher
// (KXReachabilityWatcher) asks it on its own queue, so an answer may take a
// while (a name lookup); the program uses KXRouteReachabilityProbe, tests a
// fake.
//
// Thread safety: isReachable() is called on one queue at a time.
#ifndef ZN_COMMONUTILS_KXREACHABILITYPROBE_H_
#define ZN_COMMONUTILS_KXREACHABILITYPROBE_H_

#include <string>

class KXReachabilityProbe {
 public:
  virtual ~KXReachabilityProbe() = default;

  // True when traffic to the host could leave now without a connection
  // still to be established.
  virtual bool isReachable(const std::string& host) = 0;
};

#endif  // ZN_COMMONUTILS_KXREACHABILITYPROBE_H_
