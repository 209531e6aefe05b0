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

  // The bits a provider answers with; Reachability names the same values.
  static constexpr std::uint32_t kFlagReachable = 0x2;
  static constexpr std::uint32_t kFlagConnectionRequired = 0x4;
  static constexpr std::uint32_t kFlagConnectionOnTraffic = 0x8;
  static constexpr std::uint32_t kFlagInterventionRequired = 0x10;
  static constexpr std::uint32_t kFlagConnectionOnDemand = 0x20;
  static constexpr std::uint32_t kFlagIsDirect = 0x20000;

  // The flags (the kFlag... bits), or nullopt when they cannot be read.
  virtual std::optional<std::uint32_t> flagsForHost(const std::string& host) = 0;
};

#endif  // ZN_WEBREQUEST_KXREACHABILITYFLAGSPROVIDER_H_
