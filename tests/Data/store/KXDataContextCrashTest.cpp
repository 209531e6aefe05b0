// Crash safety of the store: a child process saves units of work in a loop
// and reports each unit once its save has returned true; the test kills it
// with SIGKILL at a random moment, then opens the store and checks that it
// was not treated as damaged, that every reported unit is there whole, and
// that no unit is there in part. Then a new child goes on where the file
// ends. Children are forked from a server process made while the test has
// no other thread; otherwise this test program is started again with
// ZN_STORE_CRASH_CHILD set.
//
// A unit n inserts note "n<n>" and resource "r<n>", links them, and sets
// the version of note "n<n-1>" to n, so a half-written unit shows as a note
// without its resource or link, or a previous note with the wrong version.
//
// ZN_STORE_CRASH_KILLS sets the number of kills (default 50) for a longer
// soak.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Data/StoreTestSupport.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "support/TempAppRoot.h"

extern char** environ;

namespace {

constexpr const char* kChildVariable = "ZN_STORE_CRASH_CHILD";
constexpr const char* kFirstVariable = "ZN_STORE_CRASH_FIRST";
constexpr int kReportFd = 3;

std::string NoteId(long n) { return "n" + std::to_string(n); }
std::string ResourceId(long n) { return "r" + std::to_string(n); }
// Several pages of text, so that a unit spans more than one page write.
std::string Body(long n) { return std::string(6000, static_cast<char>('a' + n % 26)); }

// The child's work: saves units from `first` on and reports each on `fd`
// once its save returned true. Returns only on a failure.
void SaveUnitsUntilKilled(const std::string& appData, long first, int fd) {
  auto env = std::make_shared<kxtest::TestStoreEnvironment>(appData);
  KXDataContext data(env);
  if (data.storePath().empty()) return;
  for (long n = first;; ++n) {
    bool saved = false;
    data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
      auto note = KXCast<FileMeta>(c.insertNewObject("Note"));
      auto resource = c.insertNewObject("Resource");
      if (!note || !resource) return;
      note->setValue("fileId", kx::Value(NoteId(n)));
      note->setValue("title", kx::Value("title " + std::to_string(n)));
      note->setValue("summary", kx::Value(Body(n)));
      note->setValue("version", kx::Value(static_cast<long long>(n)));
      note->setValue("size", kx::Value(static_cast<long long>(n) * 1000));
      resource->setValue("fileId", kx::Value(ResourceId(n)));
      note->addObject("resources", resource);
      for (const auto& previous : c.fetch(KXFetchRequest(
               "Note", KXPredicate::withFormat("fileId = %@", {kx::Value(NoteId(n - 1))})))) {
        previous->setValue("version", kx::Value(static_cast<long long>(n)));
      }
      saved = c.save();
    });
    if (!saved) return;
    std::string line = std::to_string(n) + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return;
  }
}

// The child started as a new program (when the test's process already has
// threads and cannot fork one).
TEST(KXDataContextCrashChild, SavesUnitsUntilKilled) {
  const char* appData = std::getenv(kChildVariable);
  if (!appData) GTEST_SKIP() << "the body of the crash test's child process";
  const char* first = std::getenv(kFirstVariable);
  SaveUnitsUntilKilled(appData, first ? std::atol(first) : 1, kReportFd);
  FAIL() << "the child stopped saving";
}

// Makes children by fork() from a process that has no other thread: made
// first thing in the test, it waits for a unit number on `commands`, forks
// a child that saves from there and reports on `reports`, answers the
// child's pid and, once it has ended, its wait status on `replies`. Much
// cheaper than starting the test program anew for each of the kills.
class ForkServer {
 public:
  // False when the process already has threads (fork would copy a
  // process whose worker threads are missing in the copy).
  bool start(const std::string& appData, int reports) {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    const auto threads = std::distance(begin(tasks), end(tasks));
    if (threads != 1) return false;
    int commands[2], replies[2];
    if (::pipe(commands) != 0 || ::pipe(replies) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(commands[1]);
      ::close(replies[0]);
      serve(appData, commands[0], replies[1], reports);
      ::_exit(0);
    }
    ::close(commands[0]);
    ::close(replies[1]);
    commands_ = commands[1];
    replies_ = replies[0];
    return pid_ > 0;
  }
  ~ForkServer() {
    if (pid_ <= 0) return;
    ::close(commands_);  // the server ends
    ::close(replies_);
    ::waitpid(pid_, nullptr, 0);
  }
  int replies() const { return replies_; }

  pid_t spawn(long first) {
    if (::write(commands_, &first, sizeof first) != sizeof first) return -1;
    pid_t child = -1;
    return ::read(replies_, &child, sizeof child) == sizeof child ? child : -1;
  }
  // The wait status of the last child, once it has ended.
  int status() {
    int status = -1;
    return ::read(replies_, &status, sizeof status) == sizeof status ? status : -1;
  }

 private:
  static void serve(const std::string& appData, int commands, int replies, int reports) {
    long first;
    while (::read(commands, &first, sizeof first) == sizeof first) {
      pid_t child = ::fork();
      if (child == 0) {
        ::close(commands);
        ::close(replies);
        SaveUnitsUntilKilled(appData, first, reports);
        ::_exit(1);
      }
      if (::write(replies, &child, sizeof child) != sizeof child) break;
      int status = -1;
      ::waitpid(child, &status, 0);
      if (::write(replies, &status, sizeof status) != sizeof status) break;
    }
  }

  pid_t pid_ = -1;
  int commands_ = -1;
  int replies_ = -1;
};

class KXDataContextCrashTest : public ::testing::Test {
 protected:
  // Starts a child that begins with unit `first`; answers its pid and the
  // read end of its report pipe.
  pid_t spawnChild(long first, int* reports) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.rfind(std::string(kChildVariable) + "=", 0) == 0 ||
          v.rfind(std::string(kFirstVariable) + "=", 0) == 0 || v.rfind("TMPDIR=", 0) == 0) {
        continue;
      }
      variables.push_back(std::move(v));
    }
    variables.push_back(std::string(kChildVariable) + "=" + appData_);
    variables.push_back(std::string(kFirstVariable) + "=" + std::to_string(first));
    // The child's own temporary root is left behind by the kill; keep it
    // inside ours.
    variables.push_back("TMPDIR=" + tmp_);
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=KXDataContextCrashChild.*";
    char* argv[] = {exe.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kReportFd);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    EXPECT_EQ(rc, 0);
    *reports = fds[0];
    return rc == 0 ? pid : -1;
  }

  // Reads whole report lines into `reported`; false at the end of the pipe.
  bool readReports(int fd, std::string* pending, std::set<long>* reported) {
    char buffer[256];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending->append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = pending->find('\n')) != std::string::npos) {
      reported->insert(std::atol(pending->substr(0, end).c_str()));
      pending->erase(0, end + 1);
    }
    return true;
  }

  // Opens the store as the program would and checks it; answers the last
  // unit in the file.
  long check(const std::set<long>& reported, int round) {
    SCOPED_TRACE("after kill " + std::to_string(round));
    auto env = std::make_shared<kxtest::TestStoreEnvironment>(appData_);
    KXDataContext data(env);
    EXPECT_TRUE(env->presented().empty()) << "the store was treated as damaged or unusable";
    for (const auto& item : std::filesystem::directory_iterator(appData_ + "/alice")) {
      EXPECT_EQ(item.path().string().find(".damaged"), std::string::npos) << item.path();
    }
    long last = 0;
    data.performSyncReadBlock([&](KXManagedObjectContext& c) {
      {
        auto connection = data.readContext()->persistentStore()->readConnection();
        kx::MutexLock guard(connection->mutex());
        sqlite3_stmt* st = connection->statement("PRAGMA integrity_check", nullptr);
        ASSERT_TRUE(st);
        KXStatementReset reset(st);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
      }
      std::set<long> notes;
      for (const auto& object : c.fetch(KXFetchRequest("Note"))) {
        auto note = KXCast<FileMeta>(object);
        long n = std::atol(note->fileId().c_str() + 1);
        notes.insert(n);
        SCOPED_TRACE(note->fileId());
        EXPECT_EQ(note->title(), "title " + std::to_string(n));
        EXPECT_EQ(note->stringValue("summary"), Body(n));
        EXPECT_EQ(note->size(), n * 1000);
        auto resources = note->objects("resources");
        ASSERT_EQ(resources.size(), 1u);
        EXPECT_EQ(resources[0]->stringValue("fileId"), ResourceId(n));
      }
      for (long n : notes) {
        auto note = KXCast<FileMeta>(c.fetch(KXFetchRequest(
            "Note", KXPredicate::withFormat("fileId = %@", {kx::Value(NoteId(n))})))[0]);
        // Unit n+1 changed note n together with its own insert.
        EXPECT_EQ(note->integerValue("version"), notes.count(n + 1) ? n + 1 : n) << n;
      }
      EXPECT_EQ(c.count(KXFetchRequest("Resource")), static_cast<std::int64_t>(notes.size()));
      for (long n : reported) EXPECT_TRUE(notes.count(n)) << "reported unit " << n << " is lost";
      // Units are saved in order: what is there is one run from the start.
      if (!notes.empty()) {
        EXPECT_EQ(*notes.begin(), 1);
        EXPECT_EQ(static_cast<std::size_t>(*notes.rbegin()), notes.size());
        last = *notes.rbegin();
      }
    });
    return last;
  }

  kxtest::TempAppRoot root_;
  std::string appData_ = root_.path() + "/appdata";
  std::string tmp_ = root_.path() + "/tmp";
};

TEST_F(KXDataContextCrashTest, KilledWhileSavingLosesNothingReported) {
  std::filesystem::create_directories(tmp_);
  int kills = 50;
  if (const char* v = std::getenv("ZN_STORE_CRASH_KILLS")) kills = std::max(50, std::atoi(v));
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  // Forked children share one report pipe; children started anew get one
  // each.
  int sharedReports[2];
  ASSERT_EQ(::pipe2(sharedReports, O_CLOEXEC | O_NONBLOCK), 0);
  ForkServer server;
  const bool forking = server.start(appData_, sharedReports[1]);
  ::close(sharedReports[1]);
  if (!forking) ::close(sharedReports[0]);

  std::set<long> reported;
  long next = 1;
  for (int round = 0; round < kills; ++round) {
    int fd = sharedReports[0];
    pid_t pid = forking ? server.spawn(next) : spawnChild(next, &fd);
    ASSERT_GT(pid, 0);
    // Kill after a random number of reported units (0 kills the child
    // while it opens the store or saves its first unit), and a random
    // share of the next unit's work.
    const std::size_t before = reported.size();
    const std::size_t wanted = std::uniform_int_distribution<std::size_t>(0, 3)(random);
    std::string pending;
    bool ended = false;
    while (reported.size() < before + wanted && !ended) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {forking ? server.replies() : -1, POLLIN, 0}};
      ASSERT_GT(::poll(fds, 2, -1), 0);
      if (fds[0].revents) ended = !readReports(fd, &pending, &reported) && !forking;
      if (fds[1].revents) ended = true;
    }
    ASSERT_FALSE(ended) << "the child stopped by itself";
    const int spins = std::uniform_int_distribution<int>(0, 20000)(random);
    std::atomic<int> spun{0};
    while (spun.fetch_add(1, std::memory_order_relaxed) < spins) {
    }
    ::kill(pid, SIGKILL);
    int status = -1;
    if (forking) {
      status = server.status();
    } else {
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    // The child did not fail on its own: it was killed.
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    while (readReports(fd, &pending, &reported)) {
    }
    if (!forking) ::close(fd);
    next = check(reported, round) + 1;
    if (HasFatalFailure() || HasFailure()) break;
  }
  if (forking) ::close(sharedReports[0]);
  EXPECT_GT(reported.size(), 0u);
}

}  // namespace
