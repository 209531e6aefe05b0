#include "CommonUtils/KXUIPort.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "CommonUtils/KXHeadlessUIPort.h"

namespace {

KXUIPort::Alert threeButtons() { return {"Title", "Message", {"Save", "Discard", "Cancel"}}; }

// Scripted answers go to alerts in order; an alert without one, or whose
// scripted answer names no button, gets its default (first) button.
TEST(KXHeadlessUIPortTest, AnswersAlertsFromTheScriptThenWithTheDefault) {
  KXHeadlessUIPort port;
  port.queueAnswer(2);
  port.queueAnswer(7);
  std::vector<std::optional<std::size_t>> chosen(3);
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    port.showAlert(threeButtons(), [&chosen, i](std::size_t answer) { chosen[i] = answer; });
  }
  EXPECT_EQ(chosen, (std::vector<std::optional<std::size_t>>{2, 0, 0}));
  ASSERT_EQ(port.alerts().size(), 3u);
  EXPECT_EQ(port.alerts()[0].message, "Message");
  EXPECT_EQ(port.alerts()[0].buttons[2], "Cancel");
}

TEST(KXHeadlessUIPortTest, RecordsHideAndQuitRequests) {
  KXHeadlessUIPort port;
  port.hideMainWindow();
  port.hideMainWindow();
  port.quit();
  EXPECT_EQ(port.hideRequests(), 2);
  EXPECT_EQ(port.quitRequests(), 1);
}

TEST(KXUIPortTest, InstalledPortIsHeadlessUntilOneIsInstalled) {
  KXUIPort::install(nullptr);
  std::shared_ptr<KXUIPort> fallback = KXUIPort::installed();
  ASSERT_TRUE(fallback);
  EXPECT_NE(std::dynamic_pointer_cast<KXHeadlessUIPort>(fallback), nullptr);
  EXPECT_EQ(KXUIPort::installed(), fallback);

  auto mine = std::make_shared<KXHeadlessUIPort>();
  KXUIPort::install(mine);
  EXPECT_EQ(KXUIPort::installed(), mine);
  KXUIPort::install(nullptr);
  EXPECT_NE(KXUIPort::installed(), mine);
}

}  // namespace
