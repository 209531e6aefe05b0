#include "WebRequest/Reachability.h"

#include <utility>

#include "WebRequest/KXRouteReachabilityFlagsProvider.h"
#include "platform/Mutex.h"

namespace {

kx::Mutex& providerMutex() {
  static kx::Mutex* mu = new kx::Mutex();
  return *mu;
}

std::shared_ptr<KXReachabilityFlagsProvider>& providerSlot() REQUIRES(providerMutex()) {
  static auto* slot = new std::shared_ptr<KXReachabilityFlagsProvider>();
  return *slot;
}

}  // namespace

std::shared_ptr<KXReachabilityFlagsProvider> Reachability::flagsProvider() {
  kx::MutexLock lock(providerMutex());
  std::shared_ptr<KXReachabilityFlagsProvider>& slot = providerSlot();
  if (!slot) slot = std::make_shared<KXRouteReachabilityFlagsProvider>();
  return slot;
}

std::shared_ptr<KXReachabilityFlagsProvider> Reachability::setFlagsProvider(
    std::shared_ptr<KXReachabilityFlagsProvider> provider) {
  kx::MutexLock lock(providerMutex());
  std::shared_ptr<KXReachabilityFlagsProvider> previous = std::move(providerSlot());
  providerSlot() = std::move(provider);
  return previous;
}

std::unique_ptr<Reachability> Reachability::reachabilityWithHostName(const std::string& hostName) {
  if (hostName.empty() || hostName.find('\0') != std::string::npos) return nullptr;
  return std::unique_ptr<Reachability>(new Reachability(hostName));
}

NetworkStatus Reachability::currentReachabilityStatus() const {
  std::optional<std::uint32_t> flags = flagsProvider()->flagsForHost(hostName_);
  if (!flags) return NotReachable;
  return localWiFiRef_ ? localWiFiStatusForFlags(*flags) : networkStatusForFlags(*flags);
}

NetworkStatus Reachability::currentReachabilityStatus(const Reachability* reachability) {
  return reachability ? reachability->currentReachabilityStatus() : NotReachable;
}

NetworkStatus Reachability::networkStatusForFlags(std::uint32_t flags) {
  if ((flags & kReachabilityFlagReachable) == 0) return NotReachable;
  if (flags & kReachabilityFlagIsDirect) return ReachableDirect;
  if ((flags & (kReachabilityFlagConnectionOnDemand | kReachabilityFlagConnectionOnTraffic)) &&
      (flags & kReachabilityFlagInterventionRequired) == 0) {
    return Reachable;
  }
  return (flags & kReachabilityFlagConnectionRequired) == 0 ? Reachable : NotReachable;
}

NetworkStatus Reachability::localWiFiStatusForFlags(std::uint32_t flags) {
  const std::uint32_t both = kReachabilityFlagReachable | kReachabilityFlagIsDirect;
  return (flags & both) == both ? Reachable : NotReachable;
}
