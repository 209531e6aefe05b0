// Starting the program again after it ended: argv, never a shell string.
#include "shell/KXRelauncher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/MainQueue.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(KXRelauncherTest, RunsTheProgramAtAPathAShellWouldMisread) {
  kxtest::TempAppRoot root;
  // A folder whose name a shell would expand or end early.
  const std::string folder = root.path() + "/Zarvel \"Note\" $HOME `id`";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string program = folder + "/zarvelnote";
  const std::string marker = root.path() + "/started";
  {
    std::ofstream script(program);
    script << "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$1\" > '" << marker << ".tmp'\nmv '" << marker
           << ".tmp' '" << marker << "'\n";
  }
  ASSERT_EQ(::chmod(program.c_str(), 0700), 0);

  kx::Error error;
  ASSERT_TRUE(KXRelauncher::launchDetached({program, "--after $HOME"}, 0, &error))
      << error.localizedDescription();
  struct stat st;
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return ::stat(marker.c_str(), &st) == 0; }, 20));
  EXPECT_EQ(readAll(marker), program + "|--after $HOME");
}

TEST(KXRelauncherTest, NothingToLaunchIsAnError) {
  kx::Error error;
  EXPECT_FALSE(KXRelauncher::launchDetached({}, 0, &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(KXRelauncher::currentExecutable().empty());
}

}  // namespace
