#include "WebRequest/Reachability.h"

#include <gtest/gtest.h>

#include "WebRequest/KXRouteReachabilityFlagsProvider.h"

namespace {

using R = Reachability;

TEST(Reachability, FlagsToStatus) {
  struct Case {
    std::uint32_t flags;
    NetworkStatus network;
    NetworkStatus localWiFi;
  };
  const std::uint32_t reach = R::kReachabilityFlagReachable;
  const Case cases[] = {
      {0, NotReachable, NotReachable},
      {R::kReachabilityFlagIsDirect, NotReachable, NotReachable},
      {reach, Reachable, NotReachable},
      {reach | R::kReachabilityFlagIsDirect, ReachableDirect, Reachable},
      {reach | R::kReachabilityFlagConnectionRequired, NotReachable, NotReachable},
      {reach | R::kReachabilityFlagConnectionRequired | R::kReachabilityFlagConnectionOnTraffic,
       Reachable, NotReachable},
      {reach | R::kReachabilityFlagConnectionRequired | R::kReachabilityFlagConnectionOnDemand,
       Reachable, NotReachable},
      {reach | R::kReachabilityFlagConnectionRequired | R::kReachabilityFlagConnectionOnTraffic |
           R::kReachabilityFlagInterventionRequired,
       NotReachable, NotReachable},
      {reach | R::kReachabilityFlagConnectionOnTraffic | R::kReachabilityFlagInterventionRequired,
       Reachable, NotReachable},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(R::networkStatusForFlags(c.flags), c.network) << std::hex << c.flags;
    EXPECT_EQ(R::localWiFiStatusForFlags(c.flags), c.localWiFi) << std::hex << c.flags;
  }
}

TEST(Reachability, MissingTargetsAndUnreadableFlagsAreNotReachable) {
  EXPECT_EQ(R::reachabilityWithHostName(""), nullptr);
  EXPECT_EQ(R::reachabilityWithHostName(std::string("a\0b", 3)), nullptr);
  EXPECT_EQ(R::currentReachabilityStatus(nullptr), NotReachable);

  class Unreadable : public KXReachabilityFlagsProvider {
   public:
    std::optional<std::uint32_t> flagsForHost(const std::string&) override { return std::nullopt; }
  };
  auto previous = R::setFlagsProvider(std::make_shared<Unreadable>());
  EXPECT_EQ(R::reachabilityWithHostName("note.zarvel.com")->currentReachabilityStatus(),
            NotReachable);
  R::setFlagsProvider(previous);
}

TEST(Reachability, RouteProviderReadsLoopback) {
  KXRouteReachabilityFlagsProvider provider(10);
  EXPECT_EQ(provider.flagsForHost("127.0.0.1"), R::kReachabilityFlagReachable);
}

}  // namespace
