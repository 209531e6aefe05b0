// The main window's state and the touch-bar controller the store reaches
// through its shell hooks.
#include "shell/KXTouchBarController.h"

#include <gtest/gtest.h>

#include "shell/KXState.h"

namespace {

TEST(KXTouchBarControllerTest, AbsentUntilAShellMakesIt) {
  EXPECT_EQ(KXTouchBarController::sharedController(), nullptr);
  KXTouchBarController& made = KXTouchBarController::makeSharedController();
  EXPECT_EQ(KXTouchBarController::sharedController(), &made);
  EXPECT_EQ(&KXTouchBarController::makeSharedController(), &made) << "made once";
  EXPECT_EQ(made.currentBgImageId(), "");
  made.changeCurrentBgImageId("bg7");
  EXPECT_EQ(made.currentBgImageId(), "bg7");
}

TEST(KXStateTest, TheOpenEntryIsSetAndCleared) {
  KXState& state = KXState::currentState();
  EXPECT_EQ(&KXState::currentState(), &state);
  EXPECT_EQ(state.currentFileId(), std::nullopt);
  state.setCurrentFileId("N_1");
  EXPECT_EQ(state.currentFileId(), "N_1");
  state.setCurrentFileId(std::nullopt);
  EXPECT_EQ(state.currentFileId(), std::nullopt);
}

}  // namespace
