// Errors shown as alerts, one after another.
#include "shell/KXAlertErrorPresenter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Holds each alert until the test answers it.
class HeldAlerts : public KXUIPort {
 public:
  std::vector<std::string> shown;
  AlertCompletion pending;
  void showAlert(const Alert& alert, AlertCompletion completion) override {
    shown.push_back(alert.title + "|" + alert.message + "|" + alert.buttons.at(0));
    pending = std::move(completion);
  }
  void hideMainWindow() override {}
  void quit() override {}
  void answer() {
    AlertCompletion done = std::move(pending);
    pending = nullptr;
    done(0);
  }
};

TEST(KXAlertErrorPresenterTest, ErrorsInARowAreShownOneAfterAnother) {
  auto port = std::make_shared<HeldAlerts>();
  auto presenter = std::make_shared<KXAlertErrorPresenter>(port);
  presenter->presentError(kx::Error::make("com.zarvel.note.Error", 1, "Sync Fail"));
  presenter->presentError(kx::Error::make("com.zarvel.note.Error", 2, "Save Database Fail"));
  EXPECT_EQ(port->shown, (std::vector<std::string>{"Sync Fail||OK"})) << "the second waits";
  port->answer();
  EXPECT_EQ(port->shown, (std::vector<std::string>{"Sync Fail||OK", "Save Database Fail||OK"}));
  port->answer();
  presenter->presentError(kx::Error::make("com.zarvel.note.Error", 3, "Third"));
  EXPECT_EQ(port->shown.back(), "Third||OK") << "shown at once when nothing is up";
}

}  // namespace
