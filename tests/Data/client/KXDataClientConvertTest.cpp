// The data version conversion the data client runs when its store is opened:
// the steps per stored version, the store of a newer client (what it asks of
// the installed port, both answers, the removal of the local data, and the
// neutral port's answer), the check of the store's user and a conversion
// whose save fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"
#include "Data/DataClientFixture.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXPredicate.h"
#include "platform/MainQueue.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

kx::FileSystem& posix() { return kx::FileSystem::Posix(); }

// What the conversion asks of the user interface, recorded; the answers are
// queued by the test (0: update the application, 1: drop the local data).
class ScriptedConversionUI : public KXDataConversionUI {
 public:
  void hideMainWindow() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++hideRequests_;
  }
  void askAboutTooNewStore(std::function<void(TooNewStoreChoice)> completion) override {
    std::size_t chosen = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++asks_;
      if (!answers_.empty()) {
        chosen = answers_.front();
        answers_.erase(answers_.begin());
      }
    }
    completion(chosen == 0 ? TooNewStoreChoice::kUpdateApplication
                           : TooNewStoreChoice::kDropLocalData);
  }
  void quit() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++quitRequests_;
  }
  void queueAnswer(std::size_t chosen) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back(chosen);
  }
  int hideRequests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return hideRequests_;
  }
  int asks() const {
    std::lock_guard<std::mutex> lock(mu_);
    return asks_;
  }
  int quitRequests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return quitRequests_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::size_t> answers_;
  int hideRequests_ = 0;
  int asks_ = 0;
  int quitRequests_ = 0;
};

// Records whom the conversion makes the session's user.
class ConvertEnvironment : public kxtest::TestStoreEnvironment {
 public:
  using TestStoreEnvironment::TestStoreEnvironment;
  void setCurrentUser(const std::string& userId) override {
    std::lock_guard<std::mutex> lock(mu_);
    sessionUsers_.push_back(userId);
  }
  std::vector<std::string> sessionUsers() {
    std::lock_guard<std::mutex> lock(mu_);
    return sessionUsers_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> sessionUsers_;
};

class RecordingOpener : public KXURLOpener {
 public:
  void openURL(const kx::URL& url) override {
    std::lock_guard<std::mutex> lock(mu_);
    opened_.push_back(url.absoluteString());
  }
  std::vector<std::string> opened() {
    std::lock_guard<std::mutex> lock(mu_);
    return opened_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> opened_;
};

// One file entry of the test tree: where it is, its flags before the
// conversion, and the "deleted" / "remoteRemoved" the step from 1 gives it.
struct TreeEntry {
  const char* id;
  const char* entity;
  const char* parent;
  bool remoteRemoved;
  bool deleted;
  bool del;
  bool convertedDeleted;
  bool convertedRemoteRemoved;
};

// Before-values are chosen so that each step shows: "deleted" is the
// opposite of what the step from 1 computes, and "del" differs from the
// final value on some entries and from the stale "deleted" on others.
const std::vector<TreeEntry> kTree{
    // A live note and a live notebook with a note, all wrongly "deleted".
    {"N1", "Note", "ROOT", false, true, true, false, false},
    {"L1", "Notebook", "ROOT", false, true, false, false, false},
    {"L1n", "Note", "L1", false, true, false, false, false},
    // A note in the trash.
    {"T1", "Note", "1", false, false, true, true, false},
    // A notebook in the trash with a note and a sub-notebook with a note.
    {"B1", "Notebook", "1", false, false, true, true, false},
    {"B1n", "Note", "B1", false, false, false, true, false},
    {"B1s", "Notebook", "B1", false, false, false, true, false},
    {"B1sn", "Note", "B1s", false, false, false, true, false},
    // A notebook removed on the service: its note is removed too.
    {"R1", "Notebook", "ROOT", true, false, false, true, true},
    {"R1n", "Note", "R1", false, false, false, true, true},
};

struct Flags {
  bool deleted = false;
  bool del = false;
  bool remoteRemoved = false;
  bool operator==(const Flags&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Flags& f) {
  return os << "{deleted " << f.deleted << ", del " << f.del << ", remoteRemoved "
            << f.remoteRemoved << "}";
}

class DataClientConvertTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
    ui_ = std::make_shared<ScriptedConversionUI>();
    opener_ = std::make_shared<RecordingOpener>();
    KXURLOpener::install(opener_);
    Open("alice", "");
    KXLogger::sharedLogger().reset();
    Presented();
  }
  void TearDown() override {
    kxtest::FaultVfs::instance().failWalWrites = false;
    kxtest::FaultVfs::instance().failingWalWritesLeft = 0;
    Drain();
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
    KXURLOpener::install(nullptr);
    DataClientFixture::TearDown();
  }

  // Opens (again) the store of `user` over this test's folder, as a start of
  // the program does: the new client asks through this test's port and its
  // store's opening runs the conversion.
  void Open(const std::string& user, const std::string& vfs,
            const std::string& appData = "/appdata") {
    client_.reset();
    data_.reset();
    env_ = convertEnv_ = std::make_shared<ConvertEnvironment>(root_.path() + appData);
    env_->user = user;
    env_->vfs = vfs;
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    if (ui_) client_->conversion().setUI(ui_);
    client_->openStore();
    Drain();
  }

  void Drain() {
    if (data_) {
      ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
      ASSERT_TRUE(kxtest::waitForQueue(data_->readQueue()));
    }
  }

  std::vector<std::string> Presented() {
    kx::MainQueue::shared().drain();
    std::vector<std::string> keys;
    for (const kx::Error& e : presenter_->presentedErrors())
      keys.push_back(e.localizedDescription());
    presenter_->clear();
    return keys;
  }

  // Replaces every file entry, user and state row: the test tree below a
  // root, the store's user, and the data version (none for nullopt).
  void Seed(std::optional<long long> version, const std::string& userId = "alice") {
    Write([&](KXManagedObjectContext& context) {
      for (const char* entity : {"FileMeta", "DbState", "User"}) {
        KXFetchRequest request;
        request.entityName = entity;
        kx::Error error;
        for (const KXManagedObjectPtr& object : context.fetch(request, &error)) {
          context.deleteObject(object);
        }
        ASSERT_FALSE(error) << error.localizedDescription();
      }
      Put(context, "Root", {{"fileId", kx::Value("ROOT")}, {"title", kx::Value("")}});
      for (const TreeEntry& e : kTree) {
        Put(context, e.entity,
            {{"fileId", kx::Value(e.id)},
             {"parentId", kx::Value(e.parent)},
             {"title", kx::Value(e.id)},
             {"remoteRemoved", kx::Value(e.remoteRemoved)},
             {"deleted", kx::Value(e.deleted)},
             {"del", kx::Value(e.del)}});
      }
      if (!userId.empty()) Put(context, "User", {{"userId", kx::Value(userId)}});
      if (version) {
        Put(context, "DbState",
            {{"stateKey", kx::Value("dbVersion")}, {"stateValue", kx::Value(*version)}});
      }
    });
  }

  // The flags of an entry as stored (read on the read queue after saves).
  Flags StoredFlags(const std::string& fileId) {
    Flags flags;
    data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
      KXFetchRequest request;
      request.entityName = "FileMeta";
      request.predicate = KXPredicate::withFormat("fileId = %@", {kx::Value(fileId)});
      std::vector<KXManagedObjectPtr> rows = context.fetch(request, nullptr);
      ASSERT_EQ(rows.size(), 1u) << fileId;
      flags = {rows[0]->boolValue("deleted"), rows[0]->boolValue("del"),
               rows[0]->boolValue("remoteRemoved")};
    });
    return flags;
  }

  // The tree after the steps of `from`: the step from 1 recomputes
  // "deleted" (and "remoteRemoved"), the step from 2 copies it to "del".
  void ExpectTree(bool ranFrom1, bool ranFrom2) {
    for (const TreeEntry& e : kTree) {
      Flags expected{e.deleted, e.del, e.remoteRemoved};
      if (ranFrom1) {
        expected.deleted = e.convertedDeleted;
        expected.remoteRemoved = e.convertedRemoteRemoved;
      }
      if (ranFrom2) expected.del = expected.deleted;
      EXPECT_EQ(StoredFlags(e.id), expected) << e.id;
    }
  }

  std::string UserDirectory(const std::string& userId) {
    return KXFileManager::defaultManauger().URLForApplicationDataDirectory() + "/" + userId;
  }
  void MakeFile(const std::string& path) {
    ASSERT_TRUE(posix().createDirectory(path.substr(0, path.rfind('/')), nullptr)) << path;
    ASSERT_TRUE(posix().writeFileAtomically(path, "notes", nullptr)) << path;
  }

  std::shared_ptr<ConvertEnvironment> convertEnv_;
  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
  std::shared_ptr<ScriptedConversionUI> ui_;
  std::shared_ptr<RecordingOpener> opener_;
};

// ---------------------------------------------------------------------------
// Steps per stored version
// ---------------------------------------------------------------------------

TEST_F(DataClientConvertTest, NewStoreIsAtTheCurrentVersion) {
  EXPECT_EQ(client_->state().dbVersion().intValue(), KXDataConversion::kCurrentDbVersion);
  EXPECT_TRUE(Presented().empty());
}

TEST_F(DataClientConvertTest, EachStoredVersionEndsWhereItShould) {
  struct Case {
    std::optional<long long> stored;
    long long expected;
    bool from1;
    bool from2;
  };
  const long long lowest = std::numeric_limits<long long>::min();
  const std::vector<Case> cases{
      {std::nullopt, 10, true, true},  // none stored: every step from 0
      {0, 10, true, true},
      {1, 10, true, true},
      {2, 10, false, true},
      {3, 10, false, false},  // 3 has no step of its own; 4 .. 9 go on
      {4, 10, false, false},
      {7, 10, false, false},
      {9, 10, false, false},
      {10, 10, false, false},
      {1000, 1000, false, false},  // far ahead counts as current
      {123456, 123456, false, false},
      {-1, 10, true, true},  // steps below 0 do nothing, then 0 .. 9 run
      {-7, 10, true, true},
      {lowest, 10, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? std::to_string(*c.stored) : std::string("none"));
    Seed(c.stored);
    EXPECT_TRUE(client_->conversion().dataConvert());
    Drain();
    EXPECT_EQ(client_->state().dbVersion().intValue(), c.expected);
    ExpectTree(c.from1, c.from2);
    EXPECT_TRUE(Presented().empty());
  }
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ui_->asks(), 0);
  EXPECT_EQ(ui_->quitRequests(), 0);
}

// The single steps, as the conversion run queues them.
TEST_F(DataClientConvertTest, SingleStepsStoreTheVersionTheyLeadTo) {
  const std::vector<std::pair<long long, long long>> steps{{0, 1}, {1, 2},  {2, 4},   {3, 3},
                                                           {4, 5}, {9, 10}, {-2, -2}, {10, 10}};
  for (const auto& [from, to] : steps) {
    SCOPED_TRACE(from);
    Seed(from);
    client_->conversion().dbConvertFrom(from);
    Drain();
    EXPECT_EQ(client_->state().dbVersion().intValue(), to);
    ExpectTree(from == 1, from == 2);
  }
}

// A store at a current version is left as it is: no step, no save.
TEST_F(DataClientConvertTest, RestartOfAConvertedStoreChangesNothing) {
  Seed(1);
  Open("alice", "");
  ExpectTree(true, true);
  EXPECT_EQ(client_->state().dbVersion().intValue(), 10);
  // Edit a converted entry; a later start must not convert it again.
  Write([&](KXManagedObjectContext& context) {
    KXFetchRequest request;
    request.entityName = "FileMeta";
    request.predicate = KXPredicate::withFormat("fileId = %@", {kx::Value("N1")});
    auto rows = context.fetch(request, nullptr);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0]->setValue("deleted", kx::Value(true)));
  });
  Open("alice", "");
  EXPECT_EQ(StoredFlags("N1"), (Flags{true, false, false}));
}

// A client whose store could not be opened has nothing to convert: the
// opening failure is the one thing shown.
TEST_F(DataClientConvertTest, NoStoreNoConversion) {
  ASSERT_TRUE(posix().writeFileAtomically(root_.path() + "/notafolder", "x", nullptr));
  Open("alice", "", "/notafolder");
  ASSERT_EQ(data_->storePath(), "");
  EXPECT_TRUE(client_->conversion().dataConvert());
  Drain();
  EXPECT_TRUE(Presented().empty()) << "no save or query failure on top";
  EXPECT_FALSE(env_->presented().empty()) << "the opening failure was reported";
}

// ---------------------------------------------------------------------------
// The store's user
// ---------------------------------------------------------------------------

TEST_F(DataClientConvertTest, StoredUserIsComparedIgnoringCase) {
  struct Case {
    const char* stored;
    bool reported;
  };
  for (const Case& c : {Case{"alice", false}, Case{"ALICE", false}, Case{"Alice", false},
                        Case{"bob", true}, Case{"alice2", true}}) {
    SCOPED_TRACE(c.stored);
    Seed(10, c.stored);
    KXLogger::sharedLogger().reset();
    EXPECT_TRUE(client_->conversion().dataConvert());
    Drain();
    const std::string log = LogText();
    const bool logged = log.find("用户名与数据库中的用户名不一致") != std::string::npos;
    EXPECT_EQ(logged, c.reported) << log;
    if (c.reported) {
      EXPECT_NE(log.find("session currentUser = alice"), std::string::npos) << log;
      EXPECT_NE(log.find(c.stored), std::string::npos) << "the stored row is named";
      EXPECT_EQ(Presented(), std::vector<std::string>{"Query Database Fail"});
    } else {
      EXPECT_TRUE(Presented().empty());
    }
  }
}

// The report does not stop the conversion; a store without a user row is
// not reported.
TEST_F(DataClientConvertTest, OtherUserIsReportedAndTheConversionGoesOn) {
  Seed(1, "bob");
  EXPECT_TRUE(client_->conversion().dataConvert());
  Drain();
  EXPECT_EQ(Presented(), std::vector<std::string>{"Query Database Fail"});
  EXPECT_EQ(client_->state().dbVersion().intValue(), 10);
  ExpectTree(true, true);

  Seed(1, "");
  EXPECT_TRUE(client_->conversion().dataConvert());
  Drain();
  EXPECT_TRUE(Presented().empty());
}

// ---------------------------------------------------------------------------
// A store of a newer client
// ---------------------------------------------------------------------------

TEST_F(DataClientConvertTest, TooNewStoreAsksAndUpdateQuitsKeepingTheData) {
  const std::string file = UserDirectory("alice") + "/ZarvelNote.db";
  MakeFile(file);
  for (long long version : {11LL, 500LL, 999LL}) {
    SCOPED_TRACE(version);
    Seed(version);
    KXLogger::sharedLogger().reset();
    const int quitsBefore = ui_->quitRequests();
    ui_->queueAnswer(0);  // "Update"
    EXPECT_FALSE(client_->conversion().dataConvert());
    Drain();
    EXPECT_EQ(ui_->hideRequests(), quitsBefore) << "nothing shown before the main queue runs";
    EXPECT_EQ(ui_->quitRequests(), quitsBefore);
    kx::MainQueue::shared().drain();

    EXPECT_EQ(ui_->hideRequests(), quitsBefore + 1);
    EXPECT_EQ(ui_->quitRequests(), quitsBefore + 1);
    EXPECT_EQ(client_->state().dbVersion().intValue(), version) << "the store is not written";
    ExpectTree(false, false);
    EXPECT_TRUE(posix().exists(file)) << "Update keeps the local data";
    const std::string log = LogText();
    EXPECT_NE(log.find("数据库版本有问题，需要转换"), std::string::npos) << log;
    EXPECT_NE(log.find("dataconvert 初始化 userId is alice"), std::string::npos) << log;
  }
  EXPECT_EQ(opener_->opened(),
            std::vector<std::string>(3, KXServiceBaseURL() + KXDataConversion::kDownloadPagePath));
  EXPECT_EQ(convertEnv_->sessionUsers(), std::vector<std::string>(3, "alice"));
  EXPECT_TRUE(Presented().empty());
  // Asked once per start; the alert's texts are the desktop prompt's
  // (tests/shell/KXDataConversionPromptTest.cpp).
  EXPECT_EQ(ui_->asks(), 3);
}

// Without a port installed the neutral one answers: nothing is hidden or
// asked of anyone, the local data stays, the program goes on, and the store
// is not written.
TEST_F(DataClientConvertTest, TooNewStoreWithoutAPortKeepsTheDataAndGoesOn) {
  const std::string file = UserDirectory("alice") + "/ZarvelNote.db";
  MakeFile(file);
  Seed(11);
  client_->conversion().setUI(nullptr);
  EXPECT_FALSE(client_->conversion().dataConvert());
  Drain();
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ui_->asks(), 0);
  EXPECT_EQ(ui_->hideRequests(), 0);
  EXPECT_EQ(ui_->quitRequests(), 0);
  EXPECT_EQ(client_->state().dbVersion().intValue(), 11) << "the store is not written";
  EXPECT_TRUE(posix().exists(file)) << "the local data stays";
}

// The conversion runs when the store is opened, once: a second opening
// answers the first outcome without asking again.
TEST_F(DataClientConvertTest, OpeningTwiceConvertsOnce) {
  Seed(11);
  Open("alice", "");
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ui_->asks(), 1);
  EXPECT_FALSE(client_->openStore());
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ui_->asks(), 1) << "opened once";
}

TEST_F(DataClientConvertTest, StayCurrentRemovesOnlyTheUsersDataDirectory) {
  const std::string mine = UserDirectory("alice") + "/Contents/a.txt";
  const std::string other = UserDirectory("bob") + "/Contents/b.txt";
  const std::string beside =
      KXFileManager::defaultManauger().URLForApplicationDataDirectory() + "/BgImage/bg.png";
  for (const std::string& path : {mine, other, beside}) MakeFile(path);

  Seed(11, "Alice");    // the row's id differs in case from the directory's
  ui_->queueAnswer(1);  // "Stay Current"
  EXPECT_FALSE(client_->conversion().dataConvert());
  Drain();
  EXPECT_TRUE(posix().exists(mine)) << "nothing happens before the main queue runs";
  kx::MainQueue::shared().drain();

  EXPECT_FALSE(posix().exists(UserDirectory("alice"))) << "the open store's directory is gone";
  EXPECT_TRUE(posix().exists(other)) << "another user's data stays";
  EXPECT_TRUE(posix().exists(beside)) << "the rest of the application data stays";
  EXPECT_EQ(ui_->quitRequests(), 1);
  EXPECT_TRUE(opener_->opened().empty());
  EXPECT_EQ(convertEnv_->sessionUsers(), std::vector<std::string>{"Alice"});
  EXPECT_TRUE(Presented().empty());
}

// The user's directory may be a link: the link goes, never what it points
// to outside the application data root.
TEST_F(DataClientConvertTest, StayCurrentNeverReachesOutsideTheDataRoot) {
  const std::string outside = root_.path() + "/outside/keep.txt";
  MakeFile(outside);
  ASSERT_TRUE(posix().createDirectory(
      KXFileManager::defaultManauger().URLForApplicationDataDirectory(), nullptr));
  ASSERT_TRUE(posix().createSymlink(root_.path() + "/outside", UserDirectory("alice"), nullptr));

  Seed(42);
  ui_->queueAnswer(1);
  EXPECT_FALSE(client_->conversion().dataConvert());
  Drain();
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(posix().exists(outside));
  EXPECT_FALSE(posix().exists(UserDirectory("alice")));
  EXPECT_EQ(ui_->quitRequests(), 1);
}

// A removal that fails, or that the user id would lead out of the root, is
// logged and shown before the program quits.
TEST_F(DataClientConvertTest, FailedRemovalIsLoggedAndShown) {
  const std::string mine = UserDirectory("alice") + "/Contents/a.txt";
  MakeFile(mine);
  Seed(11);
  KXLogger::sharedLogger().reset();
  LogText();  // the logger's file is open before the faults go in
  ui_->queueAnswer(1);
  EXPECT_FALSE(client_->conversion().dataConvert());
  Drain();
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = kxtest::FaultInjectingFileSystem::Op::RemoveItem,
               .pathContains = "/alice",
               .times = -1,
               .error = EACCES});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    kx::MainQueue::shared().drain();
    EXPECT_EQ(fs.injectedFailures(), 1);
    KXLogger::sharedLogger().drain();
  }
  EXPECT_TRUE(posix().exists(mine));
  EXPECT_EQ(Presented(), std::vector<std::string>{"Can not delete file"});
  EXPECT_NE(LogText().find("Can not delete file"), std::string::npos);
  EXPECT_EQ(ui_->quitRequests(), 1);

  // A store opened for a user id that names no folder below the root.
  const std::string appData = KXFileManager::defaultManauger().URLForApplicationDataDirectory();
  Open("..", "");
  Seed(11, "");
  ui_->queueAnswer(1);
  EXPECT_FALSE(client_->conversion().dataConvert());
  Drain();
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(posix().exists(mine));
  EXPECT_TRUE(posix().exists(appData));
  EXPECT_EQ(Presented(), std::vector<std::string>{"Can not delete file"});
  EXPECT_EQ(ui_->quitRequests(), 2);
  EXPECT_TRUE(convertEnv_->sessionUsers().empty()) << "no stored user: the session is left";
}

// ---------------------------------------------------------------------------
// A conversion that is not saved
// ---------------------------------------------------------------------------

// The step's conversion and its version are saved together; once a save
// fails, the rest of the run is skipped, so no later version claims a
// conversion the store does not hold (with a disk full for one moment, the
// later steps would save). The next start converts again.
TEST_F(DataClientConvertTest, FailedSaveKeepsTheOlderVersionAndTheNextStartConverts) {
  kxtest::FaultVfs& vfs = kxtest::FaultVfs::instance();
  struct Case {
    const char* name;
    std::function<void()> inject;
  };
  const std::vector<Case> cases{
      {"a disk that stays full", [&] { vfs.failWalWrites = true; }},
      {"a disk full for one write", [&] { vfs.failingWalWritesLeft = 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open("alice", kxtest::FaultVfs::name());
    Seed(1);
    KXLogger::sharedLogger().reset();
    c.inject();
    EXPECT_TRUE(client_->conversion().dataConvert());
    Drain();
    vfs.failWalWrites = false;
    vfs.failingWalWritesLeft = 0;

    EXPECT_EQ(Presented(), std::vector<std::string>{"Save Database Fail"})
        << "the later steps did not try";
    EXPECT_NE(LogText().find("skipped: an earlier step was not saved"), std::string::npos);
    EXPECT_EQ(client_->state().dbVersion().intValue(), 1);
    ExpectTree(false, false);

    // Later writes of the client work on the file as it is.
    client_->state().setDbStateValue(kx::Value("x"), std::string("after"));
    client_->state().performSyncSave(nullptr);
    EXPECT_EQ(client_->state().dbVersion().intValue(), 1);

    Open("alice", kxtest::FaultVfs::name());
    EXPECT_EQ(client_->state().dbVersion().intValue(), 10);
    ExpectTree(true, true);
    EXPECT_EQ(client_->state().dbStateValueWithKey("after").stringValue(), "x");
    EXPECT_TRUE(Presented().empty());
  }
}

}  // namespace
