// The desktop's side of the data conversion: the alert it shows through the
// UI port (the shipped texts, "Update" first), how the chosen button maps to
// the conversion's choice, and that hiding and quitting reach the port.
#include "shell/KXDataConversionPrompt.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXHeadlessUIPort.h"
#include "CommonUtils/KXUIPort.h"
#include "platform/LocalizedStrings.h"

namespace {

using Choice = KXDataConversionUI::TooNewStoreChoice;

class DataConversionPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_ = std::make_shared<KXHeadlessUIPort>();
    KXUIPort::install(ui_);
  }
  void TearDown() override { KXUIPort::install(nullptr); }

  std::shared_ptr<KXHeadlessUIPort> ui_;
  KXDataConversionPrompt prompt_;
};

TEST_F(DataConversionPromptTest, AsksWithTheShippedTextsUpdateFirst) {
  ui_->queueAnswer(0);
  prompt_.askAboutTooNewStore([](Choice) {});
  const std::vector<KXUIPort::Alert> alerts = ui_->alerts();
  ASSERT_EQ(alerts.size(), 1u);
  const KXUIPort::Alert& alert = alerts.front();
  using kx::LocalizedStrings;
  EXPECT_EQ(alert.title, LocalizedStrings::localized("Database version too high"));
  EXPECT_EQ(alert.message, LocalizedStrings::localized("UpdateOrDelete"));
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{LocalizedStrings::localized("Update"),
                                                     LocalizedStrings::localized("Stay Current")}));
  // Its text says plainly that what was not synced is lost.
  EXPECT_NE(alert.title, "Database version too high") << "the shipped table has the texts";
  EXPECT_NE(alert.message.find("not yet synced will be lost"), std::string::npos) << alert.message;
  EXPECT_NE(alert.message.find("deleted"), std::string::npos) << alert.message;
}

TEST_F(DataConversionPromptTest, ChosenButtonBecomesTheChoice) {
  struct Case {
    std::size_t button;
    Choice expected;
  };
  for (const Case& c : {Case{0, Choice::kUpdateApplication}, Case{1, Choice::kDropLocalData}}) {
    ui_->queueAnswer(c.button);
    std::optional<Choice> chosen;
    prompt_.askAboutTooNewStore([&](Choice choice) { chosen = choice; });
    ASSERT_TRUE(chosen.has_value()) << "button " << c.button;
    EXPECT_EQ(*chosen, c.expected) << "button " << c.button;
  }
}

TEST_F(DataConversionPromptTest, HidingAndQuittingGoToThePort) {
  prompt_.hideMainWindow();
  EXPECT_EQ(ui_->hideRequests(), 1);
  EXPECT_EQ(ui_->quitRequests(), 0);
  prompt_.quit();
  EXPECT_EQ(ui_->quitRequests(), 1);
}

}  // namespace
