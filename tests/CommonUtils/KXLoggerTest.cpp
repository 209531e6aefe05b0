#include "CommonUtils/KXLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXHooks.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"
#include "platform/SerialQueue.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

class KXLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { useDirectory(root_.path() + "/user"); }
  void TearDown() override {
    KXHooks::resetForTesting();
    KXLogger::setFileSystemForTesting(nullptr);
    logger().reset();  // no directory: closes the file in the temporary root
  }

  static KXLogger& logger() { return KXLogger::sharedLogger(); }

  // Points the logger at `directory` (created) and reopens its file.
  void useDirectory(const std::string& directory) {
    // The folder may be there already from an earlier step.
    kx::ignoreError(kx::FileSystem::Posix().createDirectory(directory, nullptr));
    directory_ = directory;
    KXHooks::setCurrentUserDataDirectoryProvider([directory] { return directory; });
    logger().reset();
  }
  std::string logPath() const { return directory_ + "/ZarvelNote.log"; }
  std::string contents() {
    logger().drain();
    std::string text;
    // A log not written yet reads as empty.
    kx::ignoreError(kx::FileSystem::Posix().readFile(logPath(), &text, nullptr));
    return text;
  }

  kxtest::TempAppRoot root_;
  std::string directory_;
  // Outlives TearDown, which closes the file the logger opened through it.
  kxtest::FaultInjectingFileSystem fs_;
};

TEST_F(KXLoggerTest, OpeningEmptiesTheLogOfAnEarlierRun) {
  logger().log("earlier run\n");
  ASSERT_NE(contents(), "");
  logger().reset();
  EXPECT_EQ(contents(), "");
  EXPECT_EQ(logger().logFilePath(), logPath());
}

TEST_F(KXLoggerTest, EntryHasDateSignatureLineQueueAndMessage) {
  kx::SerialQueue queue("com.zarvel.note.test-queue");
  int line = 0;
  queue.sync([&line] {
    line = __LINE__ + 1;
    KXLOG("hello %s %d", "world", 7);
  });
  const std::string text = contents();
  const std::regex shape(
      R"(^\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\]\(.*TestBody.*:(\d+)\)\{com\.zarvel\.note\.test-queue\}  hello world 7\n$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, shape)) << text;
  EXPECT_EQ(std::stoi(match[1].str()), line);

  // Off any queue the label is empty.
  logger().reset();
  KXLOG("bare");
  EXPECT_NE(contents().find("){}  bare\n"), std::string::npos) << contents();
}

TEST_F(KXLoggerTest, StampUsesTheCalendarYear) {
  // 2024-12-30 12:00 UTC: the calendar year is 2024 in every time zone, the
  // week-based year is already 2025.
  const std::string line = KXLogger::stampedLine(1735560000, "x");
  EXPECT_EQ(line.substr(0, 10), "[2024/12/3") << line;
  EXPECT_EQ(line.back(), 'x');
}

TEST_F(KXLoggerTest, TextWithoutLineFeedRunsIntoTheNextEntry) {
  logger().log("abc");
  logger().log("def\n");
  const std::regex shape(R"(^\[[^\]]+\]abc\[[^\]]+\]def\n$)");
  EXPECT_TRUE(std::regex_match(contents(), shape)) << contents();
}

TEST_F(KXLoggerTest, ConcurrentLinesStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) KXLOG("marker thread %d line %d end", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string text = contents();
  const std::regex whole(R"(^\[[^\]]+\]\(.*\)\{\}  marker thread \d line \d+ end$)");
  int count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    if (line.find("marker thread") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, whole)) << line;
      ++count;
    }
    start = end + 1;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(KXLoggerTest, NonAsciiPathAndMessageAreWrittenAsUtf8) {
  useDirectory(root_.path() + "/用户 Ünïcödé");
  KXLOG("笔记 %s", "ß");
  const std::string text = contents();
  EXPECT_NE(text.find("笔记 ß\n"), std::string::npos) << text;
}

TEST_F(KXLoggerTest, ALogEmptiedFromOutsideGoesOnFromItsNewEnd) {
  logger().log("before\n");
  ASSERT_NE(contents(), "");
  ASSERT_EQ(::truncate(logPath().c_str(), 0), 0);
  logger().log("after\n");
  const std::string text = contents();
  EXPECT_EQ(text.find('\0'), std::string::npos) << "a hole of zero bytes";
  const std::regex shape(R"(^\[[^\]]+\]after\n$)");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST_F(KXLoggerTest, WriteLogSettingNeverStopsALine) {
  const std::string config = directory_ + "/config";
  ASSERT_TRUE(kx::PropertyList::writeFile(
      config, kx::Value(kx::Dictionary{{kKXConfigWriteLog, kx::Value("NO")}})));
  KXHooks::setConfigurationFilePathProvider([config] { return config; });
  KXConfiguration& configuration = KXConfiguration::sharedConfiguration();
  configuration.reload();
  ASSERT_EQ(configuration.stringForKey(kKXConfigWriteLog, ""), "NO");
  EXPECT_EQ(KXConfiguration::sharedConfigurationIfCreated(), &configuration);
  logger().log("still written\n");
  const std::string text = contents();
  KXHooks::setConfigurationFilePathProvider(nullptr);
  configuration.reload();
  EXPECT_NE(text.find("still written"), std::string::npos) << text;
}

TEST_F(KXLoggerTest, UnopenableFileRetriesOnceThenDropsLines) {
  kxtest::FaultInjectingFileSystem& fs = fs_;
  fs.inject({.op = Op::OpenWrite, .pathContains = "ZarvelNote.log", .times = 2, .error = EACCES});
  KXLogger::setFileSystemForTesting(&fs);
  logger().reset();
  EXPECT_EQ(fs.calls(Op::OpenWrite), 2);
  EXPECT_EQ(fs.calls(Op::SetPermissions), 1);
  EXPECT_EQ(logger().logFilePath(), "");

  logger().log("dropped\n");  // returns normally
  EXPECT_EQ(contents().find("dropped"), std::string::npos);

  // One failure only: the retry opens it.
  fs.clearFaults();
  fs.inject({.op = Op::OpenWrite, .pathContains = "ZarvelNote.log", .times = 1, .error = EACCES});
  logger().reset();
  logger().log("kept\n");
  EXPECT_NE(contents().find("kept"), std::string::npos);
}

TEST_F(KXLoggerTest, FailedWritePrintsTheErrorNumberAndLaterLinesAreTried) {
  kxtest::FaultInjectingFileSystem& fs = fs_;
  KXLogger::setFileSystemForTesting(&fs);
  logger().reset();
  fs.inject({.op = Op::Append, .pathContains = "ZarvelNote.log", .times = 1, .error = ENOSPC});
  testing::internal::CaptureStdout();
  logger().log("lost\n");
  logger().drain();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, std::to_string(ENOSPC));
  logger().log("after\n");
  const std::string text = contents();
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_NE(text.find("after"), std::string::npos);
}

TEST_F(KXLoggerTest, LinesBeforeADirectoryIsKnownAreDroppedThenTheFileOpens) {
  KXHooks::setCurrentUserDataDirectoryProvider([] { return std::string(); });
  logger().reset();
  logger().log("no directory yet\n");
  logger().drain();
  EXPECT_EQ(logger().logFilePath(), "");

  const std::string directory = directory_;
  KXHooks::setCurrentUserDataDirectoryProvider([directory] { return directory; });
  logger().log("now there is\n");
  const std::string text = contents();
  EXPECT_EQ(text.find("no directory yet"), std::string::npos);
  EXPECT_NE(text.find("now there is"), std::string::npos);
}

TEST_F(KXLoggerTest, ADirectoryProviderThatLogsDoesNotDeadlockTheOpening) {
  const std::string directory = directory_;
  KXHooks::setCurrentUserDataDirectoryProvider([directory] {
    KXLOG("asked for the directory");
    return directory;
  });
  logger().reset();  // returns: the provider's line only queues
  KXHooks::setCurrentUserDataDirectoryProvider([directory] { return directory; });
  EXPECT_NE(contents().find("asked for the directory"), std::string::npos);
}

}  // namespace
