// KXReachabilityFlagsProvider reads a host's current reachability flags
// once, for Reachability. The program uses KXRouteReachabilityFlagsProvider;
// tests install one that answers what they need
// (Reachability::setFlagsProvider).
//
// Thread safety: flagsForHost may be called from any thread at once.
#ifndef ZN_WEBREQUEST_KXREACHABILITYFLAGSPROVIDER_H_
#define ZN_WEBREQUEST_KXREACHABILITYFLAGSPROVIDER_H_

#include <cstdint>
#include <optional>
#include <string>

class KXReachabilityFlagsProvider {
 public:
  virtual ~KXReachabilityFlagsProvider() = default;

  // The flags (Reachability's kReachabilityFlag... bits), or nullopt when
  // they cannot be read.
  virtual std::optional<std::uint32_t> flagsForHost(const std::string& host) = 0;
};

#endif  // ZN_WEBREQUEST_KXREACHABILITYFLAGSPROVIDER_H_
