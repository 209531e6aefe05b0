#include "CommonUtils/KXPresentError.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"
#include "platform/SerialQueue.h"
#include "support/QueueBarrier.h"

namespace {

class KXPresentErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
  }
  void TearDown() override {
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
    // Empties the table for the next test; nothing to check.
    kx::ignoreError(kx::LocalizedStrings::sharedStrings().loadText("", nullptr));
  }

  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
};

TEST_F(KXPresentErrorTest, KeyFromABackgroundQueueIsShownOnTheMainThread) {
  kx::SerialQueue background("com.zarvel.note.test.background");
  background.async([] { KXPresentError(kKXErrSyncFail); });
  ASSERT_TRUE(kxtest::waitForQueue(background));
  EXPECT_TRUE(presenter_->presentedErrors().empty()) << "presented before the main queue ran";

  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return presenter_->presentedErrors().size() == 1; }));
  const kx::Error error = presenter_->presentedErrors()[0];
  EXPECT_EQ(error.domain(), "com.zarvel.note.Error");
  EXPECT_EQ(error.code(), 17179869190);
  EXPECT_EQ(error.localizedDescription(), "Sync Fail");
  EXPECT_EQ(presenter_->presentedOnMainThread(), std::vector<bool>{true});
}

TEST_F(KXPresentErrorTest, TranslationIsShownWhenTheTableHasOne) {
  ASSERT_TRUE(kx::LocalizedStrings::sharedStrings().loadText(
      "\"Can not delete file\" = \"无法删除文件\";", nullptr));
  KXPresentError(kKXErrCannotDeleteFile);
  KXPresentError(kKXErrSaveDatabaseFail);
  kx::MainQueue::shared().drain();
  const std::vector<kx::Error> errors = presenter_->presentedErrors();
  ASSERT_EQ(errors.size(), 2u) << "each failure is its own alert, in order";
  EXPECT_EQ(errors[0].localizedDescription(), "无法删除文件");
  EXPECT_EQ(errors[1].localizedDescription(), "Save Database Fail");
}

TEST_F(KXPresentErrorTest, PresenterInstalledLaterReceivesQueuedErrors) {
  KXPresentError(kKXErrQueryDatabaseFail);
  auto later = std::make_shared<KXHeadlessErrorPresenter>();
  KXErrorPresenter::install(later);
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(presenter_->presentedErrors().empty());
  ASSERT_EQ(later->presentedErrors().size(), 1u);

  // Removing the presenter puts a headless one back: nothing is lost or
  // crashes.
  KXErrorPresenter::install(nullptr);
  ASSERT_NE(KXErrorPresenter::installed(), nullptr);
  KXPresentError(kKXErrQueryDatabaseFail);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(later->presentedErrors().size(), 1u);
}

}  // namespace
