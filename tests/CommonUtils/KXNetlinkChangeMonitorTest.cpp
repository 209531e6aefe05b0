#include "CommonUtils/KXNetlinkChangeMonitor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

TEST(KXNetlinkChangeMonitorTest, StartsAndStopsPromptly) {
  KXNetlinkChangeMonitor monitor;
  std::atomic<int> changes{0};
  if (!monitor.start([&] { changes.fetch_add(1); })) {
    GTEST_SKIP() << "no netlink socket in this environment";
  }
  monitor.stop();
  monitor.stop();  // a second stop is harmless
}

}  // namespace
