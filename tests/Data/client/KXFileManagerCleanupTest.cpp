// Stale temporaries of KXFileManager's atomic writers: which ones the
// clean-up at start removes and which it must leave (a stored file whose
// title looks like a temporary's name above all), and a content file
// rewritten in a child process that is killed at random moments, which must
// always hold one whole version and leave no temporary after the next
// start's clean-up.
#include "Data/client/KXFileManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXLogger.h"
#include "Data/StoreTestSupport.h"
#include "account/KXSession.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

extern char** environ;

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;
namespace stdfs = std::filesystem;

kx::FileSystem& posix() { return kx::FileSystem::Posix(); }

// The environment of the writer child: where the parent's folders are.
constexpr const char* kWriterDataHome = "ZN_TEST_WRITER_DATA_HOME";
constexpr const char* kWriterCacheHome = "ZN_TEST_WRITER_CACHE_HOME";
// The child reports each finished write on one descriptor and reads the
// first version to write from the other.
constexpr int kWriterReportFd = 3;
constexpr int kWriterGoFd = 4;
constexpr const char* kWriterFileId = "KILLED";

// Version v of the content: a header with the version and the length, then
// bytes that depend on v, so that a cut file or a mix of two versions is
// never taken for a whole one. Sizes vary from 128 KiB to 368 KiB.
std::string versionContent(std::uint64_t v) {
  const std::size_t size = 128 * 1024 + (v % 7) * 40 * 1024;
  std::string block(4093, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<char>('a' + (i * 31 + v) % 26);
  }
  std::string out = "v=" + std::to_string(v) + " n=" + std::to_string(size) + "\n";
  out.reserve(size);
  while (out.size() + block.size() <= size) out += block;
  out.append(block, 0, size - out.size());
  return out;
}

// The version the bytes are, whole; -1 when they are no whole version.
std::int64_t versionOf(const std::string& bytes) {
  unsigned long long v = 0;
  if (std::sscanf(bytes.c_str(), "v=%llu ", &v) != 1) return -1;
  return versionContent(v) == bytes ? static_cast<std::int64_t>(v) : -1;
}

// Hidden temporaries of the writers under `root`, found without the code
// under test: hidden names with ".tmp-" in them.
std::vector<std::string> temporariesUnder(const std::string& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(root, ec);
       !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name[0] == '.' && name.find(".tmp-") != std::string::npos) {
      found.push_back(it->path().string());
    }
  }
  return found;
}

// The id of a process that has ended and been reaped.
pid_t goneProcess() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

std::string hex8(std::uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08x", value);
  return buffer;
}

class KXFileManagerCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
    KXSession::defaultSession().setCurrentUser("");
    kxtest::OpenLogFileNow();
    appdata_ = kx::Places::applicationDataRoot();
    contents_ = manager().URLForCurrentUserContentDirectory();
    ASSERT_FALSE(contents_.empty());
  }
  void TearDown() override {
    KXLogger::sharedLogger().drain();
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
  }
  static KXFileManager& manager() { return KXFileManager::defaultManauger(); }
  // Runs the clean-up and waits for it; its outcome.
  static kx::Error cleanUp() {
    auto done = std::make_shared<std::promise<kx::Error>>();
    std::future<kx::Error> outcome = done->get_future();
    manager().removeStaleTemporaryFiles([done](const kx::Error& e) { done->set_value(e); });
    return outcome.get();
  }
  void makeFile(const std::string& path, kx::FileTime time = {0, 0}) {
    ASSERT_TRUE(posix().createDirectory(kx::Path::deletingLastPathComponent(path), nullptr));
    ASSERT_TRUE(posix().writeFile(path, "x", nullptr));
    if (time.seconds != 0) {
      ASSERT_TRUE(posix().setModificationTime(path, time, nullptr));
    }
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
  std::string appdata_;
  std::string contents_;
};

TEST_F(KXFileManagerCleanupTest, RemovesOnlyStaleTemporariesAndNeverAStoredFile) {
  const std::string dead = hex8(static_cast<std::uint32_t>(goneProcess()));
  const std::string self = hex8(static_cast<std::uint32_t>(::getpid()));
  const std::string parent = hex8(static_cast<std::uint32_t>(::getppid()));
  const std::string scratch = kx::Places::scratchRoot();
  const std::string writing = appdata_ + "/.writing";
  const std::string user = kx::Path::deletingLastPathComponent(contents_);
  const std::string outside = root_.path() + "/outside";
  const kx::FileTime longAgo{1000, 0};
  struct Case {
    const char* what;
    std::string path;
    kx::FileTime time;  // {0, 0}: now
    bool removed;
  };
  const std::vector<Case> cases = {
      // The writers' own folders.
      {"writer gone", writing + "/.ABC.tmp-" + dead + "-1-0123abcd", {}, true},
      {"in the scratch root's", scratch + "/.writing/.x.png.tmp-" + dead + "-3-0123abcd", {}, true},
      {"ours, maybe being written", writing + "/.N1.tmp-" + self + "-5-0123abcd", {}, false},
      {"ours by number, untouched for a day", writing + "/.N2.tmp-" + self + "-6-0123abcd", longAgo,
       true},
      {"another live process", writing + "/.N3.tmp-" + parent + "-7-0123abcd", {}, false},
      {"a live process's, untouched for a day", writing + "/.N4.tmp-" + parent + "-8-0123abcd",
       longAgo, true},
      // What older builds left in folders whose items the layout names.
      {"older build, content folder", contents_ + "/.C1.tmp-" + dead + "-11-0123abcd", {}, true},
      {"older build, user folder", user + "/.config.tmp-" + dead + "-12-0123abcd", {}, true},
      {"older build, resource bucket",
       user + "/Resources/3/.U.tmp-" + dead + "-13-0123abcd",
       {},
       true},
      // Folders whose items are named by titles, ids or the service: a name
      // shaped like a temporary's may be a stored file there.
      {"a stored file titled like a temporary", contents_ + "/F1/.notes.tmp-7ffffff0-5-0badf00d",
       longAgo, false},
      {"older build, a normal file's folder", contents_ + "/F1/.r.pdf.tmp-" + dead + "-2-0123abcd",
       longAgo, false},
      {"older build, a content bucket", contents_ + "/C/.ABC.tmp-" + dead + "-14-0123abcd", longAgo,
       false},
      {"shared downloads", appdata_ + "/editor/.e.js.tmp-" + dead + "-4-0123abcd", longAgo, false},
      {"a scratch copy", scratch + "/ZarvelNote-Tmp/.x.png.tmp-" + dead + "-3-0123abcd", longAgo,
       false},
      // Never temporaries.
      {"the temporary content file", contents_ + "/C/ABC.tmp", longAgo, false},
      {"a note", contents_ + "/C/ABC", longAgo, false},
      {"a normal file", contents_ + "/F1/r.pdf", longAgo, false},
      {"a scratch file", scratch + "/ZarvelNote-Tmp/Temp/12-" + self + "-1-0123abcd.tmp", longAgo,
       false},
      {"outside the roots", outside + "/.o.tmp-" + dead + "-9-0123abcd", longAgo, false},
  };
  for (const Case& c : cases) makeFile(c.path, c.time);
  // A folder a cross-device move was copying, and a link out of the roots.
  const std::string folderCopy = writing + "/.dir.tmp-" + dead + "-10-0123abcd";
  makeFile(folderCopy + "/inner/file");
  ASSERT_TRUE(posix().createSymlink(outside, appdata_ + "/link-out", nullptr));

  EXPECT_FALSE(cleanUp());
  for (const Case& c : cases) {
    EXPECT_EQ(posix().exists(c.path), !c.removed) << c.what << ": " << c.path;
  }
  EXPECT_FALSE(posix().exists(folderCopy));
  EXPECT_TRUE(posix().exists(appdata_ + "/link-out"));
  EXPECT_TRUE(presenter_->presentedErrors().empty());
}

TEST_F(KXFileManagerCleanupTest, ReportsWhatItCouldNotRemoveAndGoesOn) {
  const std::string dead = hex8(static_cast<std::uint32_t>(goneProcess()));
  const std::string stuck = appdata_ + "/.writing/.A.tmp-" + dead + "-1-0123abcd";
  const std::string other = appdata_ + "/.writing/.B.tmp-" + dead + "-2-0123abcd";
  makeFile(stuck);
  makeFile(other);
  kxtest::FaultInjectingFileSystem fs;
  fs.inject({.op = Op::RemoveItem, .pathContains = "/.A.tmp-", .error = EACCES});
  kx::Error error;
  {
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    error = cleanUp();
  }
  EXPECT_EQ(error.code(), EACCES);
  EXPECT_TRUE(posix().exists(stuck));
  EXPECT_FALSE(posix().exists(other));
  EXPECT_FALSE(cleanUp()) << "removed at the next start";
  EXPECT_FALSE(posix().exists(stuck));
}

TEST_F(KXFileManagerCleanupTest, LooksAtNoStoredItemOnlyAtNamesOfTemporaries) {
  // The folders older builds wrote their temporaries to are full of the
  // user's data; only names shaped like a temporary's are examined, so a
  // stored item that cannot be examined neither fails the sweep nor keeps
  // the temporaries beside it.
  const std::string dead = hex8(static_cast<std::uint32_t>(goneProcess()));
  const std::string user = kx::Path::deletingLastPathComponent(contents_);
  const std::vector<std::string> temporaries = {
      contents_ + "/.C1.tmp-" + dead + "-1-0123abcd",
      user + "/Preivew/.P.tmp-" + dead + "-2-0123abcd",
      appdata_ + "/.writing/.W.tmp-" + dead + "-3-0123abcd",
  };
  const std::vector<std::string> stored = {contents_ + "/F1/r.pdf", user + "/Preivew/P1",
                                           contents_ + "/C/ABC"};
  for (const std::string& path : temporaries) makeFile(path);
  for (const std::string& path : stored) makeFile(path);
  kxtest::FaultInjectingFileSystem fs;
  for (const char* item : {"/Contents/F1", "/Preivew/P1", "/Contents/C"}) {
    fs.inject({.op = Op::GetInfo, .pathContains = item, .times = -1, .error = EACCES});
  }
  kx::Error error;
  {
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    error = cleanUp();
  }
  EXPECT_FALSE(error) << error.localizedDescription();
  EXPECT_EQ(fs.injectedFailures(), 0) << "a stored item was examined";
  for (const std::string& path : temporaries) EXPECT_FALSE(posix().exists(path)) << path;
  for (const std::string& path : stored) EXPECT_TRUE(posix().exists(path)) << path;
}

// The writer child: started by the test below with the environment above,
// it waits for the first version to write, then rewrites one note's content
// file until it is killed, and reports each finished write. Run on its own,
// it has nothing to do.
TEST(KXFileManagerContentWriterChild, RewritesUntilKilled) {
  const char* dataHome = std::getenv(kWriterDataHome);
  const char* cacheHome = std::getenv(kWriterCacheHome);
  if (!dataHome || !cacheHome) {
    GTEST_SKIP() << "the writer of "
                    "KXFileManagerCleanupTest.ContentFileKilledMidWriteIsWholeAndLeavesNoTemporary";
  }
  std::uint64_t first = 0;
  if (::read(kWriterGoFd, &first, sizeof first) != static_cast<ssize_t>(sizeof first)) ::_exit(0);
  ::setenv("XDG_DATA_HOME", dataHome, 1);
  ::setenv("XDG_CACHE_HOME", cacheHome, 1);
  KXSession::defaultSession().setCurrentUser("");
  for (std::uint64_t v = first;; ++v) {
    if (!KXFileManager::defaultManauger().writeContentFileSync(versionContent(v), kWriterFileId)) {
      ::_exit(2);
    }
    if (::write(kWriterReportFd, &v, sizeof v) != static_cast<ssize_t>(sizeof v)) ::_exit(0);
  }
}

// One writer child, started and waiting for its go. The destructor kills
// and reaps a child that is still there, so that no test failure leaves one
// running.
class WriterProcess {
 public:
  WriterProcess() = default;
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;
  ~WriterProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reports_ >= 0) ::close(reports_);
    if (go_ >= 0) ::close(go_);
  }

  bool start(char* exe, char* const* envp) {
    int reports[2];
    int go[2];
    if (::pipe2(reports, O_CLOEXEC) != 0) return false;
    if (::pipe2(go, O_CLOEXEC) != 0) {
      ::close(reports[0]);
      ::close(reports[1]);
      return false;
    }
    reports_ = reports[0];
    go_ = go[1];
    std::string filter = "--gtest_filter=KXFileManagerContentWriterChild.RewritesUntilKilled";
    char* argv[] = {exe, filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, reports[1], kWriterReportFd);
    posix_spawn_file_actions_adddup2(&actions, go[0], kWriterGoFd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawn(&pid_, exe, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    ::close(reports[1]);
    ::close(go[0]);
    if (spawned != 0) pid_ = 0;
    return spawned == 0;
  }
  bool go(std::uint64_t firstVersion) {
    return ::write(go_, &firstVersion, sizeof firstVersion) ==
           static_cast<ssize_t>(sizeof firstVersion);
  }
  // The next finished write; false when the child is gone.
  bool nextReport(std::uint64_t* version) {
    return ::read(reports_, version, sizeof *version) == static_cast<ssize_t>(sizeof *version);
  }
  // Kills the child and reaps it: its wait status.
  int kill() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
    return status;
  }

 private:
  pid_t pid_ = 0;
  int reports_ = -1;
  int go_ = -1;
};

TEST_F(KXFileManagerCleanupTest, ContentFileKilledMidWriteIsWholeAndLeavesNoTemporary) {
#if defined(__SANITIZE_THREAD__)
  // Its kills land at moments timed for a plain or ASan build; under
  // ThreadSanitizer the writer's time moves away from the write itself and
  // the kills seldom land mid-write. It checks what a kill leaves on disk,
  // not threads: the other builds run it.
  GTEST_SKIP() << "not under ThreadSanitizer";
#endif
  constexpr int kKills = 50;
  // Writers start up while earlier ones run; starting is what takes time.
  constexpr int kStartedAhead = 4;
  const std::string scratch = kx::Places::scratchRoot();
  const std::string contentFile = manager().URLForContentFile(kWriterFileId, false);
  ASSERT_TRUE(manager().writeContentFileSync(versionContent(0), kWriterFileId));

  std::random_device device;
  const unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  char self[4096];
  const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(selfLength, 0);
  self[selfLength] = '\0';
  // The child's own test folders go into this test's folder, which is
  // removed at the end even though the children never get to remove them.
  const std::vector<std::pair<std::string, std::string>> childVars = {
      {kWriterDataHome, kx::Path::deletingLastPathComponent(appdata_)},
      {kWriterCacheHome, kx::Path::deletingLastPathComponent(scratch)},
      {"TMPDIR", root_.path()},
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : childVars) replaced |= entry.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : childVars) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::deque<std::unique_ptr<WriterProcess>> writers;
  int started = 0;
  std::int64_t onDisk = 0;
  int leftBehind = 0;
  for (int round = 0; round < kKills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    while (started < kKills && writers.size() < kStartedAhead) {
      writers.push_back(std::make_unique<WriterProcess>());
      ASSERT_TRUE(writers.back()->start(self, envp.data()));
      ++started;
    }
    std::unique_ptr<WriterProcess> writer = std::move(writers.front());
    writers.pop_front();
    ASSERT_TRUE(writer->go(static_cast<std::uint64_t>(onDisk) + 1));

    // Let it finish one or two writes, then kill it at a random moment of
    // the next ones.
    const int writes = std::uniform_int_distribution<int>(1, 2)(random);
    std::uint64_t reported = 0;
    bool wrote = true;
    for (int i = 0; i < writes && wrote; ++i) wrote = writer->nextReport(&reported);
    for (volatile int spin = std::uniform_int_distribution<int>(0, 1 << 18)(random); spin > 0;) {
      spin = spin - 1;
    }
    const int status = writer->kill();
    for (std::uint64_t later = 0; writer->nextReport(&later);) reported = later;
    ASSERT_TRUE(wrote) << "the writer ended by itself, status " << status;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // The old whole content or the new whole content.
    std::optional<kx::Bytes> bytes = manager().readDataContentFileSync(kWriterFileId);
    ASSERT_TRUE(bytes);
    const std::int64_t version = versionOf(std::string(bytes->begin(), bytes->end()));
    ASSERT_TRUE(version == static_cast<std::int64_t>(reported) ||
                version == static_cast<std::int64_t>(reported) + 1)
        << "holds " << version << " after write " << reported << " was reported, " << bytes->size()
        << " bytes";
    onDisk = version;

    // The next start's clean-up leaves no temporary behind.
    leftBehind += static_cast<int>(temporariesUnder(appdata_).size());
    ASSERT_FALSE(cleanUp());
    ASSERT_EQ(temporariesUnder(appdata_), std::vector<std::string>{});
    ASSERT_EQ(temporariesUnder(scratch), std::vector<std::string>{});
    EXPECT_TRUE(posix().exists(contentFile));
  }
  // Kills during a write left temporaries, and the clean-up removed them.
  EXPECT_GT(leftBehind, 0);
}

}  // namespace
