#include "CommonUtils/KXRouteReachabilityProbe.h"

#include <gtest/gtest.h>

namespace {

TEST(KXRouteReachabilityProbeTest, LoopbackHasARouteAndNoHostHasNone) {
  KXRouteReachabilityProbe probe;
  EXPECT_TRUE(probe.isReachable("127.0.0.1"));
  EXPECT_FALSE(probe.isReachable(""));
}

}  // namespace
