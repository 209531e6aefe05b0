// Reachability answers, at the moment it is asked, whether a host can be
// reached over the network. The URL protocol asks it before it forwards a
// service call (and the pen-note handler before it answers); each caller
// makes a fresh object for the request's host, reads its status once and
// drops it. Any status but NotReachable counts as reachable.
//
// The flags come from the process's KXReachabilityFlagsProvider (by default
// a KXRouteReachabilityFlagsProvider with a time limit); tests replace it.
// networkStatusForFlags and localWiFiStatusForFlags are pure.
//
// The long-lived watcher that informs the sync manager is another facility
// (KXSysUtil, KXReachabilityWatcher).
//
// Thread safety: an object belongs to its caller. The provider is read and
// replaced under a lock of its own.
#ifndef ZN_WEBREQUEST_REACHABILITY_H_
#define ZN_WEBREQUEST_REACHABILITY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "WebRequest/KXReachabilityFlagsProvider.h"

enum NetworkStatus : int {
  NotReachable = 0,  // or the flags cannot be read
  Reachable = 1,
  ReachableDirect = 2,  // over a direct connection
};

class Reachability {
 public:
  using Flags = KXReachabilityFlagsProvider;
  static constexpr std::uint32_t kReachabilityFlagReachable = Flags::kFlagReachable;
  static constexpr std::uint32_t kReachabilityFlagConnectionRequired =
      Flags::kFlagConnectionRequired;
  static constexpr std::uint32_t kReachabilityFlagConnectionOnTraffic =
      Flags::kFlagConnectionOnTraffic;
  static constexpr std::uint32_t kReachabilityFlagInterventionRequired =
      Flags::kFlagInterventionRequired;
  static constexpr std::uint32_t kReachabilityFlagConnectionOnDemand =
      Flags::kFlagConnectionOnDemand;
  static constexpr std::uint32_t kReachabilityFlagIsDirect = Flags::kFlagIsDirect;

  // An object for `hostName`, or null when no target can be made for it
  // (an empty name, or one with a NUL). A missing object's status is taken
  // as NotReachable by currentReachabilityStatus(nullptr).
  static std::unique_ptr<Reachability> reachabilityWithHostName(const std::string& hostName);

  // Reads the flags once: NotReachable when they cannot be read.
  NetworkStatus currentReachabilityStatus() const;
  // The status of `reachability`, NotReachable for null.
  static NetworkStatus currentReachabilityStatus(const Reachability* reachability);

  static NetworkStatus networkStatusForFlags(std::uint32_t flags);
  static NetworkStatus localWiFiStatusForFlags(std::uint32_t flags);

  // Replaces the process's flags provider (null restores the default);
  // returns the previous one.
  static std::shared_ptr<KXReachabilityFlagsProvider> setFlagsProvider(
      std::shared_ptr<KXReachabilityFlagsProvider> provider);

  const std::string& hostName() const { return hostName_; }

 private:
  explicit Reachability(std::string hostName) : hostName_(std::move(hostName)) {}

  static std::shared_ptr<KXReachabilityFlagsProvider> flagsProvider();

  const std::string hostName_;
  const bool localWiFiRef_ = false;
};

#endif  // ZN_WEBREQUEST_REACHABILITY_H_
