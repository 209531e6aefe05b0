// KXRouteReachabilityFlagsProvider reads reachability the way the kernel
// would route a connection (KXRouteReachabilityProbe: resolve the name,
// look for a route to an address), within a time limit: a name lookup that
// takes longer counts as flags that cannot be read. A reachable host reads
// as "reachable" alone (no connection to establish first).
//
// The lookup runs on a thread of its own that is left to finish by itself
// when the time limit passes first; the caller never waits longer than the
// limit.
//
// Thread safety: flagsForHost may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXROUTEREACHABILITYFLAGSPROVIDER_H_
#define ZN_WEBREQUEST_KXROUTEREACHABILITYFLAGSPROVIDER_H_

#include "WebRequest/KXReachabilityFlagsProvider.h"

class KXRouteReachabilityFlagsProvider : public KXReachabilityFlagsProvider {
 public:
  static constexpr double kDefaultTimeLimitSeconds = 5;

  explicit KXRouteReachabilityFlagsProvider(double timeLimitSeconds = kDefaultTimeLimitSeconds)
      : timeLimitSeconds_(timeLimitSeconds) {}

  std::optional<std::uint32_t> flagsForHost(const std::string& host) override;

 private:
  const double timeLimitSeconds_;
};

#endif  // ZN_WEBREQUEST_KXROUTEREACHABILITYFLAGSPROVIDER_H_
