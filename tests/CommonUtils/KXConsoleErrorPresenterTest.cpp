#include "CommonUtils/KXConsoleErrorPresenter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "support/TempAppRoot.h"

namespace {

TEST(KXConsoleErrorPresenterTest, PresentedErrorGoesToTheLogAndTheStream) {
  kxtest::TempAppRoot root;
  const std::string directory = root.path();
  KXHooks::setCurrentUserDataDirectoryProvider([directory] { return directory; });
  KXLogger::sharedLogger().reset();

  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  {
    auto presenter = std::make_shared<KXConsoleErrorPresenter>(stream);
    KXErrorPresenter::install(presenter);
    KXPresentError(kKXErrSaveNoteContentFail);
    KXPresentError(kKXErrCannotDeleteFile);
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
  }
  std::fclose(stream);
  const std::string printed(buffer, size);
  std::free(buffer);
  EXPECT_EQ(printed, "zarvelnote: Save Note Content Fail\nzarvelnote: Can not delete file\n");

  KXLogger::sharedLogger().drain();
  std::string log;
  EXPECT_TRUE(
      kx::FileSystem::Posix().readFile(KXLogger::sharedLogger().logFilePath(), &log, nullptr));
  EXPECT_NE(log.find("presented error: Save Note Content Fail\n"), std::string::npos) << log;
  EXPECT_NE(log.find("presented error: Can not delete file\n"), std::string::npos) << log;

  KXHooks::resetForTesting();
  KXLogger::sharedLogger().reset();
}

}  // namespace
