#include "platform/DirectorySyncer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/Mutex.h"
#include "platform/Semaphore.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

// Folder syncs counted per folder; those of the gated folder wait inside
// until the test lets each one go.
class GatedSyncs : public kxtest::FaultInjectingFileSystem {
 public:
  bool syncDirectory(const std::string& path, kx::Error* error) override {
    {
      kx::MutexLock lock(mu_);
      ++syncs_[path];
    }
    if (path == gated) {
      entered.signal();
      release.wait();
    }
    return FaultInjectingFileSystem::syncDirectory(path, error);
  }
  std::string gated;
  int syncs(const std::string& path) {
    kx::MutexLock lock(mu_);
    return syncs_[path];
  }
  kx::Semaphore entered;
  kx::Semaphore release;

 private:
  kx::Mutex mu_;
  std::map<std::string, int> syncs_ GUARDED_BY(mu_);
};

// The answers a request got, in order.
struct Answers {
  kx::Mutex mu;
  std::vector<std::string> got GUARDED_BY(mu);
  kx::Semaphore arrived;
  kx::DirectorySyncer::Done add(const std::string& name) {
    return [this, name](const kx::Error& error) {
      {
        kx::MutexLock lock(mu);
        got.push_back(name + (error ? " failed" : " synced"));
      }
      arrived.signal();
    };
  }
  std::vector<std::string> list() {
    kx::MutexLock lock(mu);
    return got;
  }
};

class DirectorySyncerTest : public testing::Test {
 protected:
  void SetUp() override {
    first = root.path() + "/first";
    second = root.path() + "/second";
    ASSERT_TRUE(kx::FileSystem::Default().createDirectory(first, nullptr));
    ASSERT_TRUE(kx::FileSystem::Default().createDirectory(second, nullptr));
    fs.gated = first;
  }

  kxtest::TempAppRoot root;
  std::string first;
  std::string second;
  GatedSyncs fs;
  kx::FileSystem::ScopedDefaultForTesting use{&fs};
  kx::DirectorySyncer syncer{kx::GlobalQueue::get()};
  Answers answers;
};

TEST_F(DirectorySyncerTest, ARequestIsAnsweredOnlyByASyncThatBeganAfterIt) {
  syncer.syncDirectory(first, answers.add("a"));
  ASSERT_TRUE(fs.entered.wait(10));  // the sync for "a" runs
  // Made while it runs: the running sync may have missed their renames.
  syncer.syncDirectory(first, answers.add("b"));
  syncer.syncDirectory(first, answers.add("c"));
  // Another folder is not held up by it.
  syncer.syncDirectory(second, answers.add("other"));
  ASSERT_TRUE(answers.arrived.wait(10));
  EXPECT_EQ(answers.list(), (std::vector<std::string>{"other synced"}));

  fs.release.signal();
  ASSERT_TRUE(answers.arrived.wait(10));
  EXPECT_EQ(answers.list().back(), "a synced");
  // "b" and "c" share the next sync, which began after both.
  ASSERT_TRUE(fs.entered.wait(10));
  EXPECT_EQ(answers.list().size(), 2u);
  fs.release.signal();
  ASSERT_TRUE(answers.arrived.wait(10));
  ASSERT_TRUE(answers.arrived.wait(10));
  EXPECT_EQ(answers.list(),
            (std::vector<std::string>{"other synced", "a synced", "b synced", "c synced"}));
  EXPECT_EQ(fs.syncs(first), 2);
  EXPECT_EQ(fs.syncs(second), 1);
  EXPECT_EQ(syncer.syncsStarted(), 3u);
}

TEST_F(DirectorySyncerTest, AFailedSyncFailsEveryRequestItCoversAndTheNextSyncTriesAgain) {
  fs.inject({.op = Op::SyncDirectory, .pathContains = first, .error = EIO});
  syncer.syncDirectory(first, answers.add("a"));
  ASSERT_TRUE(fs.entered.wait(10));
  syncer.syncDirectory(first, answers.add("b"));
  fs.release.signal();
  ASSERT_TRUE(answers.arrived.wait(10));
  // "b" came while the failing sync ran: a sync of its own answers it.
  ASSERT_TRUE(fs.entered.wait(10));
  fs.release.signal();
  ASSERT_TRUE(answers.arrived.wait(10));
  EXPECT_EQ(answers.list(), (std::vector<std::string>{"a failed", "b synced"}));

  // A request that arrives while no sync runs or waits starts one.
  fs.inject({.op = Op::SyncDirectory, .pathContains = first, .error = EIO});
  syncer.syncDirectory(first, answers.add("c"));
  ASSERT_TRUE(fs.entered.wait(10));
  fs.release.signal();
  ASSERT_TRUE(answers.arrived.wait(10));
  EXPECT_EQ(answers.list().back(), "c failed");
  EXPECT_EQ(fs.syncs(first), 3);
}

// A queue whose tasks the test runs by hand, keeping the delays asked for.
class HandQueue : public kx::Queue {
 public:
  void async(Task task) override { after(0, std::move(task)); }
  void sync(const Task& task) override { task(); }
  void after(double seconds, Task task) override {
    delays.push_back(seconds);
    tasks.push_back(std::move(task));
  }
  const std::string& label() const override { return label_; }
  void runAll() {
    std::vector<Task> now;
    now.swap(tasks);
    for (Task& task : now) task();
  }
  std::vector<double> delays;
  std::vector<Task> tasks;

 private:
  const std::string label_ = "hand";
};

TEST_F(DirectorySyncerTest, ASyncWithAGatheringTimeCoversTheRequestsMadeWhileItWaits) {
  fs.gated.clear();
  HandQueue queue;
  kx::DirectorySyncer gathering(queue, 0.05);
  gathering.syncDirectory(first, answers.add("a"));
  gathering.syncDirectory(first, answers.add("b"));
  gathering.syncDirectory(second, answers.add("other"));
  EXPECT_EQ(queue.delays, (std::vector<double>{0.05, 0.05})) << "one sync per folder";
  // Still waiting: a later request joins it.
  gathering.syncDirectory(first, answers.add("c"));
  EXPECT_EQ(queue.tasks.size(), 2u);
  EXPECT_TRUE(answers.list().empty());
  queue.runAll();
  EXPECT_EQ(answers.list(),
            (std::vector<std::string>{"a synced", "b synced", "c synced", "other synced"}));
  EXPECT_EQ(fs.syncs(first), 1);
  EXPECT_EQ(fs.syncs(second), 1);
  EXPECT_TRUE(queue.tasks.empty());
}

}  // namespace
