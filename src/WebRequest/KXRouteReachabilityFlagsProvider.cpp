#include "WebRequest/KXRouteReachabilityFlagsProvider.h"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXRouteReachabilityProbe.h"

std::optional<std::uint32_t> KXRouteReachabilityFlagsProvider::flagsForHost(
    const std::string& host) {
  auto promise = std::make_shared<std::promise<bool>>();
  std::future<bool> answer = promise->get_future();
  try {
    std::thread([promise, host] {
      bool reachable = false;
      try {
        KXRouteReachabilityProbe probe;
        reachable = probe.isReachable(host);
      } catch (...) {
        reachable = false;
      }
      promise->set_value(reachable);
    }).detach();
  } catch (const std::system_error&) {
    KXLOG("could not start a reachability lookup for %s", host.c_str());
    return std::nullopt;
  }
  auto limit = std::chrono::duration<double>(timeLimitSeconds_);
  if (answer.wait_for(limit) != std::future_status::ready) {
    KXLOG("reachability of %s not known within %.1f s", host.c_str(), timeLimitSeconds_);
    return std::nullopt;
  }
  return answer.get() ? kFlagReachable : 0u;
}
