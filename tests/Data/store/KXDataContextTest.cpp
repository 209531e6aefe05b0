#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "Data/StoreTestSupport.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXPersistentStore.h"
#include "platform/FileSystem.h"
#include "platform/Queue.h"
#include "platform/QueueCheck.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using kxtest::TestStoreEnvironment;

class DataContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appData_ = root_.path() + "/appdata";
    env_ = std::make_shared<TestStoreEnvironment>(appData_);
  }

  std::string userDir(const std::string& user) { return appData_ + "/" + user; }

  static std::vector<std::string> titles(KXManagedObjectContext& context) {
    std::vector<std::string> out;
    for (const auto& o : context.fetch(KXFetchRequest("Note")))
      out.push_back(o->stringValue("title"));
    return out;
  }

  static void addNote(KXDataContext& data, const std::string& title, bool save = true) {
    data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
      auto note = c.insertNewObject("Note");
      ASSERT_TRUE(note);
      note->setValue("fileId", kx::Value(FileMeta::idForFileMeta()));
      note->setValue("title", kx::Value(title));
      if (save) {
        ASSERT_TRUE(c.save());
      }
    });
  }

  kxtest::TempAppRoot root_;
  std::string appData_;
  std::shared_ptr<TestStoreEnvironment> env_;
  kx::FileSystem& fs_ = kx::FileSystem::Default();
};

TEST_F(DataContextTest, OpensTheUsersStoreOnItsQueues) {
  KXDataContext data(env_);
  EXPECT_EQ(data.storePath(), userDir("alice") + "/ZarvelNote.db");
  EXPECT_TRUE(fs_.exists(data.storePath()));
  EXPECT_EQ(env_->dbUserId(), "alice");
  EXPECT_TRUE(env_->presented().empty());
  EXPECT_EQ(data.dbQueue().label(), "com.zarvel.note.db.execute");
  EXPECT_EQ(data.readQueue().label(), "com.zarvel.note.db.read");
  EXPECT_EQ(data.cleanQueue().label(), "com.zarvel.note.db.clean");

  data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
    EXPECT_TRUE(data.isOnWriteQueue());
    EXPECT_FALSE(data.isOnReadQueue());
    EXPECT_EQ(&c, data.writeContext().get());
    // The write queue may wait for the read queue, and a synchronous call
    // onto the queue one is on runs inline.
    data.performSyncReadBlock([&](KXManagedObjectContext& r) {
      EXPECT_TRUE(data.isOnReadQueue());
      EXPECT_EQ(&r, data.readContext().get());
      data.performSyncReadBlock(
          [&](KXManagedObjectContext&) { EXPECT_TRUE(data.isOnReadQueue()); });
    });
    data.performSyncWriteBlock(
        [&](KXManagedObjectContext&) { EXPECT_TRUE(data.isOnWriteQueue()); });
  });
  data.performWriteBlock(nullptr);
  kxtest::Barrier(data.dbQueue());
}

TEST_F(DataContextTest, SavesReachTheReadContextInOrder) {
  KXDataContext data(env_);
  addNote(data, "one");
  KXManagedObjectPtr held;
  data.performSyncReadBlock([&](KXManagedObjectContext& r) {
    ASSERT_EQ(titles(r), std::vector<std::string>{"one"});
    held = r.fetch(KXFetchRequest("Note")).at(0);
  });

  // An unsaved change is seen on the write queue only.
  data.performWriteBlock([](KXManagedObjectContext& c) {
    c.fetch(KXFetchRequest("Note")).at(0)->setValue("title", kx::Value("two"));
    EXPECT_EQ(titles(c), std::vector<std::string>{"two"});
  });
  kxtest::Barrier(data.dbQueue());
  data.performSyncReadBlock([&](KXManagedObjectContext& r) {
    EXPECT_EQ(titles(r), std::vector<std::string>{"one"});
    EXPECT_EQ(held->stringValue("title"), "one");
  });

  // A save queued on the write queue; a read queued after it has returned
  // sees it, also in the object it already held.
  data.performWriteBlock([](KXManagedObjectContext& c) { ASSERT_TRUE(c.save()); });
  kxtest::Barrier(data.dbQueue());
  data.performSyncReadBlock(
      [&](KXManagedObjectContext&) { EXPECT_EQ(held->stringValue("title"), "two"); });
}

TEST_F(DataContextTest, AnotherWriteContextTakesOverTheWriteQueue) {
  KXDataContext data(env_);
  EXPECT_TRUE(KXManagedObjectContext::isSupportSqliteWAL());
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(data.storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
    sqlite3_close(db);
  }
  auto old = data.writeContext();
  auto replacement =
      KXManagedObjectContext::create(old->persistentStore(), KXManagedObjectContext::Role::Writer);
  EXPECT_FALSE(data.setWriteContext(nullptr));
  EXPECT_FALSE(data.setWriteContext(data.readContext()));
  EXPECT_EQ(data.writeContext(), old);
  ASSERT_TRUE(data.setWriteContext(replacement));
  EXPECT_EQ(data.writeContext(), replacement);
  data.performSyncWriteBlock([&](KXManagedObjectContext& c) { EXPECT_EQ(&c, replacement.get()); });
  // Its saves reach the read context like the first one's.
  addNote(data, "from the new writer");
  kxtest::Barrier(data.readQueue());
  data.performSyncReadBlock([&](KXManagedObjectContext& r) {
    EXPECT_EQ(titles(r), std::vector<std::string>{"from the new writer"});
  });
}

TEST_F(DataContextTest, DamagedStoreIsMovedAsideAndReplaced) {
  ASSERT_TRUE(fs_.createDirectory(userDir("alice"), nullptr));
  std::string path = userDir("alice") + "/ZarvelNote.db";
  ASSERT_TRUE(fs_.writeFile(path, std::string(8192, 'x'), nullptr));
  {
    KXDataContext data(env_);
    ASSERT_EQ(data.storePath(), path);
    addNote(data, "fresh");
    data.performSyncReadBlock(
        [](KXManagedObjectContext& r) { EXPECT_EQ(titles(r), std::vector<std::string>{"fresh"}); });
  }
  auto presented = env_->presented();
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_EQ(presented[0].domain(), "com.zarvel.note.Error");
  EXPECT_EQ(presented[0].code(), 0x400000001LL);

  // The damaged file is kept beside the new store under another name.
  std::vector<std::string> names;
  ASSERT_TRUE(fs_.listNames(userDir("alice"), &names, nullptr));
  int damaged = 0;
  for (const auto& n : names) {
    if (n.rfind("ZarvelNote.db.damaged-", 0) != 0 || n.find("-wal") != std::string::npos ||
        n.find("-shm") != std::string::npos) {
      continue;
    }
    ++damaged;
    std::string bytes;
    ASSERT_TRUE(fs_.readFile(userDir("alice") + "/" + n, &bytes, nullptr));
    EXPECT_EQ(bytes, std::string(8192, 'x'));
  }
  EXPECT_EQ(damaged, 1);

  // The next start finds a good store and says nothing.
  KXDataContext again(env_);
  again.performSyncReadBlock(
      [](KXManagedObjectContext& r) { EXPECT_EQ(titles(r), std::vector<std::string>{"fresh"}); });
  EXPECT_EQ(env_->presented().size(), 1u);
}

TEST_F(DataContextTest, ApplicationDataPathThatIsAFile) {
  ASSERT_TRUE(fs_.writeFile(appData_, std::string("file"), nullptr));
  KXDataContext data(env_);
  auto presented = env_->presented();
  ASSERT_GE(presented.size(), 1u);
  EXPECT_EQ(presented[0].code(), 0x400000001LL);
  EXPECT_EQ(presented[0].localizedDescription(),
            "Expected a folder to store application data, found a file (" + appData_ + ").");
  // No store: operations fail without crashing.
  EXPECT_EQ(data.storePath(), "");
  data.performSyncWriteBlock([](KXManagedObjectContext& c) {
    auto note = c.insertNewObject("Note");
    ASSERT_TRUE(note);
    kx::Error e;
    EXPECT_FALSE(c.save(&e));
    EXPECT_TRUE(c.fetch(KXFetchRequest("Note"), &e).empty());
    EXPECT_TRUE(e);
  });
}

TEST_F(DataContextTest, MissingApplicationDataDirectoryIsCreated) {
  EXPECT_FALSE(fs_.exists(appData_));
  KXDataContext data(env_);
  EXPECT_TRUE(fs_.isDirectory(appData_));
  EXPECT_TRUE(env_->presented().empty());
  EXPECT_NE(data.storePath(), "");
}

TEST_F(DataContextTest, RefreshReplacesTheContexts) {
  KXDataContext data(env_);
  addNote(data, "old");
  auto reader = data.readContext();
  auto writer = data.writeContext();
  data.refreshContext();  // not marked: nothing happens
  EXPECT_EQ(data.readContext(), reader);

  // The delete-all step wipes the user's directory, then asks for a refresh.
  ASSERT_TRUE(fs_.removeItem(userDir("alice"), nullptr));
  data.setNeedRefresh(true);
  data.refreshContext();
  EXPECT_FALSE(data.needRefresh());
  EXPECT_NE(data.readContext(), reader);
  EXPECT_NE(data.writeContext(), writer);
  data.performSyncReadBlock([](KXManagedObjectContext& r) { EXPECT_TRUE(titles(r).empty()); });
  addNote(data, "new");
  data.performSyncReadBlock(
      [](KXManagedObjectContext& r) { EXPECT_EQ(titles(r), std::vector<std::string>{"new"}); });
  auto now = data.readContext();
  data.refreshContext();
  EXPECT_EQ(data.readContext(), now);
}

TEST_F(DataContextTest, MoveAsideTakesTheWalFilesAlong) {
  ASSERT_TRUE(fs_.createDirectory(userDir("x"), nullptr));
  std::string path = userDir("x") + "/ZarvelNote.db";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    ASSERT_TRUE(fs_.writeFile(path + suffix, std::string("data") + suffix, nullptr));
  }
  std::string moved;
  ASSERT_TRUE(KXPersistentStore::moveAside(path, &moved, nullptr));
  EXPECT_EQ(moved.rfind(path + ".damaged-", 0), 0u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_FALSE(fs_.exists(path + suffix)) << suffix;
    std::string bytes;
    ASSERT_TRUE(fs_.readFile(moved + suffix, &bytes, nullptr)) << suffix;
    EXPECT_EQ(bytes, std::string("data") + suffix);
  }
  // A second failure in the same second gets a name of its own.
  ASSERT_TRUE(fs_.writeFile(path, std::string("again"), nullptr));
  std::string second;
  ASSERT_TRUE(KXPersistentStore::moveAside(path, &second, nullptr));
  EXPECT_NE(second, moved);
  EXPECT_FALSE(KXPersistentStore::moveAside(path, &second, nullptr));  // nothing left to move
}

// Builds the anonymous user's data: a store whose last commit is still in
// its WAL (copied while open, as after a crash), and an "Index" folder.
void MakeAnonymousStore(const std::string& dir) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  ASSERT_TRUE(fs.createDirectory(dir, nullptr));
  std::string scratch = dir + "-scratch";
  ASSERT_TRUE(fs.createDirectory(scratch, nullptr));
  kx::Error e;
  auto store = KXPersistentStore::open(scratch + "/ZarvelNote.db", "", &e);
  ASSERT_TRUE(store) << e.localizedDescription();
  auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
  auto note = writer->insertNewObject("Note");
  note->setValue("title", kx::Value("anonymous"));
  ASSERT_TRUE(writer->save());
  std::uint64_t walSize = fs.fileSize(scratch + "/ZarvelNote.db-wal", nullptr).value_or(0);
  ASSERT_GT(walSize, 0u);
  for (const char* name : {"ZarvelNote.db", "ZarvelNote.db-wal"}) {
    std::string bytes;
    ASSERT_TRUE(fs.readFile(scratch + "/" + name, &bytes, nullptr));
    ASSERT_TRUE(fs.writeFile(dir + "/" + name, bytes, nullptr));
  }
  ASSERT_TRUE(fs.createDirectory(dir + "/Index", nullptr));
  ASSERT_TRUE(fs.writeFile(dir + "/Index/segments", std::string("anon"), nullptr));
}

TEST_F(DataContextTest, AnonymousStoreAdoption) {
  struct Case {
    const char* name;
    unsigned login;
    bool hasContents;
    bool hasStore;
    bool hasIndex;
    bool adopted;
  };
  const Case cases[] = {
      {"other sign-in with content", 2, true, false, false, true},
      {"own index kept", 3, true, false, true, true},
      {"account and password", 1, true, false, false, false},
      {"no content yet", 2, false, false, false, false},
      {"store already there", 2, true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::TempAppRoot root;
    std::string appData = root.path() + "/appdata";
    auto env = std::make_shared<TestStoreEnvironment>(appData);
    env->user = "bob";
    env->login = c.login;
    std::string anon = appData + "/EmptyUser";
    std::string bob = appData + "/bob";
    MakeAnonymousStore(anon);
    ASSERT_TRUE(fs_.createDirectory(bob, nullptr));
    if (c.hasContents) {
      ASSERT_TRUE(fs_.createDirectory(bob + "/Contents", nullptr));
    }
    if (c.hasIndex) {
      ASSERT_TRUE(fs_.createDirectory(bob + "/Index", nullptr));
      ASSERT_TRUE(fs_.writeFile(bob + "/Index/segments", std::string("bob"), nullptr));
    }
    if (c.hasStore) {
      kx::Error e;
      ASSERT_TRUE(KXPersistentStore::open(bob + "/ZarvelNote.db", "", &e))
          << e.localizedDescription();
    }
    {
      KXDataContext data(env);
      data.performSyncReadBlock([&](KXManagedObjectContext& r) {
        EXPECT_EQ(titles(r),
                  c.adopted ? std::vector<std::string>{"anonymous"} : std::vector<std::string>{});
      });
    }
    EXPECT_EQ(fs_.exists(anon + "/ZarvelNote.db"), !c.adopted);
    EXPECT_FALSE(c.adopted && fs_.exists(anon + "/ZarvelNote.db-wal"));
    std::string index;
    if (c.hasIndex) {
      ASSERT_TRUE(fs_.readFile(bob + "/Index/segments", &index, nullptr));
      EXPECT_EQ(index, "bob");
      EXPECT_TRUE(fs_.exists(anon + "/Index"));
    } else if (c.adopted) {
      ASSERT_TRUE(fs_.readFile(bob + "/Index/segments", &index, nullptr));
      EXPECT_EQ(index, "anon");
      EXPECT_FALSE(fs_.exists(anon + "/Index"));
    }
    EXPECT_TRUE(env->presented().empty());
  }
}

TEST_F(DataContextTest, DamagedAnonymousStoreIsLeftWhereItIs) {
  env_->user = "bob";
  env_->login = 2;
  std::string anon = userDir("EmptyUser");
  ASSERT_TRUE(fs_.createDirectory(anon, nullptr));
  ASSERT_TRUE(fs_.writeFile(anon + "/ZarvelNote.db", std::string(4096, 'z'), nullptr));
  ASSERT_TRUE(fs_.createDirectory(userDir("bob") + "/Contents", nullptr));
  KXDataContext data(env_);
  // Nothing was moved; bob got a new store of his own.
  std::string bytes;
  ASSERT_TRUE(fs_.readFile(anon + "/ZarvelNote.db", &bytes, nullptr));
  EXPECT_EQ(bytes, std::string(4096, 'z'));
  data.performSyncReadBlock([](KXManagedObjectContext& r) { EXPECT_TRUE(titles(r).empty()); });
  EXPECT_TRUE(env_->presented().empty());
}

TEST_F(DataContextTest, FailedAdoptionLeavesTheAnonymousStoreWhole) {
  env_->user = "bob";
  env_->login = 2;
  std::string anon = userDir("EmptyUser");
  MakeAnonymousStore(anon);
  ASSERT_TRUE(fs_.createDirectory(userDir("bob") + "/Contents", nullptr));
  {
    // Another file system: the rename fails, and so does the copy that
    // stands in for it, halfway through.
    using Fault = kxtest::FaultInjectingFileSystem::Fault;
    using Op = kxtest::FaultInjectingFileSystem::Op;
    kxtest::FaultInjectingFileSystem faulty;
    faulty.inject(Fault{Op::Rename, "EmptyUser/ZarvelNote.db", 0, -1, EXDEV});
    faulty.inject(Fault{Op::Append, "/bob/", 0, -1, ENOSPC, true});
    kx::FileSystem::ScopedDefaultForTesting use(&faulty);
    KXDataContext data(env_);
    data.performSyncReadBlock([](KXManagedObjectContext& r) { EXPECT_TRUE(titles(r).empty()); });
    EXPECT_GT(faulty.injectedFailures(), 0);
  }
  // The anonymous store still opens with its data; no partial copy is left.
  std::vector<std::string> names;
  ASSERT_TRUE(fs_.listNames(userDir("bob"), &names, nullptr));
  for (const auto& n : names) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
  kx::Error e;
  auto store = KXPersistentStore::open(anon + "/ZarvelNote.db", "", &e);
  ASSERT_TRUE(store) << e.localizedDescription();
  auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
  EXPECT_EQ(titles(*reader), std::vector<std::string>{"anonymous"});
}

TEST_F(DataContextTest, ReadsFromManyThreadsWhileTheWriterSaves) {
  KXDataContext data(env_);
  constexpr int kRounds = 40;
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> reads{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done) {
        std::vector<KXManagedObjectPtr> notes;
        data.performSyncReadBlock(
            [&](KXManagedObjectContext& r) { notes = r.fetch(KXFetchRequest("Note")); });
        // Values of read-context objects may be read off the queue.
        for (const auto& n : notes) EXPECT_GE(n->integerValue("version"), 0);
        ++reads;
      }
    });
  }
  for (int round = 0; round < kRounds; ++round) {
    data.performWriteBlock([round](KXManagedObjectContext& c) {
      auto note = c.insertNewObject("Note");
      note->setValue("version", kx::Value(round));
      for (const auto& n : c.fetch(KXFetchRequest("Note")))
        n->setValue("version", kx::Value(round));
      ASSERT_TRUE(c.save());
    });
  }
  kxtest::Barrier(data.dbQueue());
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(reads.load(), 0);
  data.performSyncReadBlock([&](KXManagedObjectContext& r) {
    auto notes = r.fetch(KXFetchRequest("Note"));
    ASSERT_EQ(notes.size(), static_cast<std::size_t>(kRounds));
    for (const auto& n : notes) EXPECT_EQ(n->integerValue("version"), kRounds - 1);
  });
}

}  // namespace

#if KX_QUEUE_CHECKS_ENABLED
// The write queue waits for the read queue, so a synchronous write from the
// read queue could wait forever; the check stops it at once, unless the
// thread already holds the write queue (then the write runs inline).
TEST_F(DataContextTest, SynchronousWriteFromTheReadQueueIsStopped) {
  KXDataContext data(env_);
  bool ran = false;
  data.performSyncWriteBlock([&](KXManagedObjectContext&) {
    data.performSyncReadBlock([&](KXManagedObjectContext&) {
      data.performSyncWriteBlock([&](KXManagedObjectContext&) { ran = true; });
    });
  });
  EXPECT_TRUE(ran);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(data.performSyncReadBlock([&](KXManagedObjectContext&) {
    data.performSyncWriteBlock([](KXManagedObjectContext&) {});
  }),
               "not from the read queue");
}
#endif
