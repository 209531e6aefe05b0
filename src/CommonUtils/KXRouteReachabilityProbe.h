// KXRouteReachabilityProbe decides reachability the way the kernel would
// route a connection: the host name is resolved, and for each address a
// datagram socket is connected to it (which sends nothing, but fails when no
// route leads there). The host is reachable when some address has a route.
//
// Thread safety: isReachable() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXROUTEREACHABILITYPROBE_H_
#define ZN_COMMONUTILS_KXROUTEREACHABILITYPROBE_H_

#include "CommonUtils/KXReachabilityProbe.h"

class KXRouteReachabilityProbe : public KXReachabilityProbe {
 public:
  bool isReachable(const std::string& host) override;
};

#endif  // ZN_COMMONUTILS_KXROUTEREACHABILITYPROBE_H_
