#include "Data/DataUtil/KXNoteUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../DataClientFixture.h"
#include "../StoreTestSupport.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRequestHooks.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

TEST(KXNoteUtilTest, ResourceLinksOfTheServiceHost) {
  const std::string host = KXServiceHost();
  struct Case {
    std::string link;
    bool resource, native;
  };
  const Case cases[] = {
      {"//" + host + "/src/x", true, true},
      {"https://" + host + "/web/abc", true, false},
      {"http://" + host + "/web/a/b", false, false},  // three components
      {"https://" + host + "/qrt/res", false, false},
      {"https://" + host + "/qrt/res/1", true, true},
      {"https://" + host + "/qrt/public/resource?id=2", true, false},
      {"https://" + host, false, false},  // no path
      {"https://" + host + "/", false, false},
      {"https://other.example/src/x", false, false},
      {"ftp://" + host + "/src/x", false, false},
      {"/src/x", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXNoteUtil::isResourceURL(c.link), c.resource) << c.link;
    EXPECT_EQ(KXNoteUtil::isNativeResourceURL(c.link), c.native) << c.link;
  }
}

TEST(KXNoteUtilTest, ImageTagsInDocumentOrder) {
  EXPECT_TRUE(KXNoteUtil::fullResDescFromReceivedContent(std::nullopt).empty());
  EXPECT_TRUE(KXNoteUtil::fullResDescFromReceivedContent("<p>no images</p>").empty());
  kx::Array tags = KXNoteUtil::fullResDescFromReceivedContent(
      "<p><img src=\"a.png\" width=\"3\"></p><IMG src=b><img id=\"b\" src=\"c.png\">");
  ASSERT_EQ(tags.size(), 2u);  // the pattern is case-sensitive
  EXPECT_EQ(tags[0]["origin"].stringValue(), " src=\"a.png\" width=\"3\"");
  EXPECT_EQ(tags[0]["attr"]["src"].stringValue(), "a.png");
  EXPECT_EQ(tags[1]["attr"]["id"].stringValue(), "b");
  kx::Array attributes = KXNoteUtil::resourceDescFromReceivedContent(
      "<img src=\"a.png\" width=\"3\"><img id=\"b\" src=\"c.png\">");
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[1]["src"].stringValue(), "c.png");
}

std::string ResourceXml(const std::string& id, const std::string& name, const std::string& length) {
  return "<resource>" + id + "</resource><filename>" + name + "</filename><filelength>" + length +
         "</filelength>";
}

TEST(KXNoteUtilTest, FileSizeReplacementTakesIdAndSizeLiterally) {
  // "R.1" as a pattern would also match "RX1"; "(x" would not compile;
  // "$1" as a template would put in a group.
  const std::string xml = "<note>" + ResourceXml("RX1", "other.png", "7") +
                          ResourceXml("R.1", "a.png", "10") + ResourceXml("(x", "p.png", "3") +
                          ResourceXml("R.1", "copy.png", "11") + "</note>";
  const std::string sized = KXNoteUtil::replaceFileSize(xml, "R.1", kx::Value(42));
  EXPECT_EQ(sized, "<note>" + ResourceXml("RX1", "other.png", "7") +
                       ResourceXml("R.1", "a.png", "42") + ResourceXml("(x", "p.png", "3") +
                       ResourceXml("R.1", "copy.png", "42") + "</note>");
  EXPECT_EQ(KXNoteUtil::replaceFileSize(xml, "(x", kx::Value("$1\\0")),
            "<note>" + ResourceXml("RX1", "other.png", "7") + ResourceXml("R.1", "a.png", "10") +
                ResourceXml("(x", "p.png", "$1\\0") + ResourceXml("R.1", "copy.png", "11") +
                "</note>");
  // Not there, or a pattern of its own: unchanged.
  EXPECT_EQ(KXNoteUtil::replaceFileSize(xml, "R9", kx::Value(1)), xml);
  EXPECT_EQ(KXNoteUtil::replaceFileSize(xml, ".*", kx::Value(1)), xml);
  // Text that is not valid UTF-8 and lacks the resource comes back byte for
  // byte.
  const std::string broken = "<note>\xFF\xC3(" + ResourceXml("R2", "b.png", "5") + "</note>";
  EXPECT_EQ(KXNoteUtil::replaceFileSize(broken, "R9", kx::Value(1)), broken);
}

TEST(KXNoteUtilTest, NewEntryPathNeedsAFolder) {
  std::optional<std::string> path = KXNoteUtil::getNewEntryPath("/A/B/x.note");
  ASSERT_TRUE(path);
  ASSERT_EQ(path->size(), std::string("/A/B/").size() + 32);
  EXPECT_EQ(path->substr(0, 5), "/A/B/");
  EXPECT_NE(*KXNoteUtil::getNewEntryPath("/A/x"), *KXNoteUtil::getNewEntryPath("/A/x"));
  for (const char* bad : {"", "/", "x", "/x.note", "x.note"}) {
    EXPECT_EQ(KXNoteUtil::getNewEntryPath(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(KXNoteUtil::getNewResourceID().size(), 32u);
}

TEST(KXNoteUtilTest, EncryptionFlagGoesIntoPendingContent) {
  KXNoteUtil util(nullptr, std::make_shared<kxtest::KXManualDelayClock>(), [] { return false; });
  util.setEncrypted(kx::Value(true));
  EXPECT_EQ(util.modifyType(), KXNoteUtil::kModifyTypeEncryption);
  EXPECT_FALSE(util.uncommitData());
  util.setUncommitData(kx::Dictionary{{"content", kx::Value::dict({{"title", "T"}})}});
  util.setEncrypted(kx::Value(true));
  EXPECT_EQ((*util.uncommitData())["content"],
            kx::Value::dict({{"title", "T"}, {"encrypted", true}}));
  EXPECT_THROW(util.previewForNote(kx::Value()), kx::Exception);
}

// ---------------------------------------------------------------------------
// The sync request chain
// ---------------------------------------------------------------------------

// A manual clock that tells when something is armed on it.
class SignallingClock : public kxtest::KXManualDelayClock {
 public:
  void after(double seconds, kx::Queue& queue, std::function<void()> task) override {
    KXManualDelayClock::after(seconds, queue, std::move(task));
    std::lock_guard<std::mutex> lock(mu_);
    delays_.push_back(seconds);
    cv_.notify_all();
  }
  // Waits until `n` tasks were armed in all; their delays.
  std::vector<double> waitForArmed(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), [&] { return delays_.size() >= n; }));
    return delays_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<double> delays_;
};

class NoteUtilSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KXSyncRequestHooks::install(
        [this] {
          std::lock_guard<std::mutex> lock(mu_);
          ++syncs_;
          onBackground_ =
              onBackground_ && kx::GlobalQueue::get(kx::QueuePriority::Background).isCurrent();
          cv_.notify_all();
        },
        [this](std::function<void()> block) {
          std::lock_guard<std::mutex> lock(mu_);
          afterSync_.push_back(std::move(block));
        });
  }
  void TearDown() override {
    // Closes the windows still open, so that the runners they hold go.
    clock_->advance(100);
    KXSyncRequestHooks::resetForTesting();
  }

  int WaitForSyncs(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return syncs_ >= n; });
    return syncs_;
  }
  int Syncs() {
    std::lock_guard<std::mutex> lock(mu_);
    return syncs_;
  }

  std::shared_ptr<SignallingClock> clock_ = std::make_shared<SignallingClock>();
  std::atomic<bool> reachable_{true};
  std::mutex mu_;
  std::condition_variable cv_;
  int syncs_ = 0;
  bool onBackground_ = true;
  std::vector<std::function<void()>> afterSync_;
};

TEST_F(NoteUtilSyncTest, EachRequestAsksForAManualSyncADelayLaterOnTheBackgroundQueue) {
  KXNoteUtil util(nullptr, clock_, [this] { return reachable_.load(); });
  util.startSync();
  util.startSync();
  util.startSync();
  // Each request runs the task at once (a request without a completion
  // never waits in the window) and opens a 2-second window; the task arms
  // the sync 100 ms later.
  std::vector<double> delays = clock_->waitForArmed(6);
  EXPECT_EQ(std::count(delays.begin(), delays.end(), KXNoteUtil::kSyncDelaySeconds), 3);
  EXPECT_EQ(std::count(delays.begin(), delays.end(), double{KXNoteUtil::kSyncWindowSeconds}), 3);
  EXPECT_EQ(Syncs(), 0);  // nothing before the delay
  clock_->advance(0.05);
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get(kx::QueuePriority::Background)));
  EXPECT_EQ(Syncs(), 0);
  clock_->advance(0.05);
  EXPECT_EQ(WaitForSyncs(3), 3);
  std::lock_guard<std::mutex> lock(mu_);
  EXPECT_TRUE(onBackground_);
  EXPECT_TRUE(afterSync_.empty());
}

TEST_F(NoteUtilSyncTest, ACompletionWaitsForTheSyncEndOnlyWhenTheServiceIsReachable) {
  KXNoteUtil util(nullptr, clock_, [this] { return reachable_.load(); });
  reachable_ = false;
  int called = 0;
  util.startSyncWithCallback([&] { ++called; });
  EXPECT_EQ(called, 1);  // at once, without asking for a sync
  {
    std::lock_guard<std::mutex> lock(mu_);
    EXPECT_TRUE(afterSync_.empty());
  }
  clock_->advance(10);
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get(kx::QueuePriority::Background)));
  EXPECT_EQ(Syncs(), 0);
  EXPECT_EQ(clock_->pendingCount(), 0u);

  reachable_ = true;
  util.startSyncWithCallback([&] { ++called; });
  clock_->waitForArmed(2);
  clock_->advance(KXNoteUtil::kSyncDelaySeconds);
  EXPECT_EQ(WaitForSyncs(1), 1);
  std::vector<std::function<void()>> blocks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    blocks = afterSync_;
  }
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(called, 1);  // waits for the end of the sync
  blocks[0]();
  EXPECT_EQ(called, 2);
}

// ---------------------------------------------------------------------------
// Deleting notes
// ---------------------------------------------------------------------------

class NoteUtilDeleteTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    // Over the SQLite layer that can make a commit fail.
    client_.reset();
    data_.reset();
    env_->vfs = kxtest::FaultVfs::name();
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    util_ = std::make_unique<KXNoteUtil>(
        client_.get(), std::make_shared<kxtest::KXManualDelayClock>(), [] { return false; });
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", "ROOT"}});
      Put(c, "Note", {{"fileId", "LIVE"}, {"parentId", "ROOT"}, {"title", "a.note"}});
      Put(c, "Note", {{"fileId", "TRASHED"}, {"parentId", "1"}, {"del", true}});
    });
    for (const char* id : {"LIVE", "TRASHED"}) {
      ASSERT_TRUE(files().writeContentFileSync(std::string("content"), id));
    }
  }
  void TearDown() override {
    kxtest::FaultVfs::instance().failWalWrites = false;
    util_.reset();
    DataClientFixture::TearDown();
  }

  static KXFileManager& files() { return KXFileManager::defaultManauger(); }
  static bool HasContent(const std::string& fileId) {
    EXPECT_TRUE(kxtest::waitForQueue(files().queueForContent()));
    return kx::FileSystem::Default().exists(files().URLForContentFile(fileId, false));
  }
  void Delete(const std::vector<std::string>& ids) {
    int called = 0;
    kx::Error error;
    util_->deleteNotes(ids, [&](const KXResultInfo& info, const kx::Error& e) {
      ++called;
      EXPECT_FALSE(info.hasResult);
      error = e;
    });
    EXPECT_EQ(called, 1);
    EXPECT_FALSE(error);
  }
  bool Save() {
    bool saved = false;
    client_->state().performSyncSave(
        [&](const KXResultInfo& info, const kx::Error&) { saved = info.value.boolValue(); });
    return saved;
  }

  std::unique_ptr<KXNoteUtil> util_;
};

TEST_F(NoteUtilDeleteTest, ContentGoesOnlyWithTheSavedPurge) {
  Delete({"LIVE", "TRASHED", "MISSING"});
  ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
  EXPECT_TRUE(HasContent("TRASHED"));  // not saved yet

  // A save that fails rolls the purge back: the file stays, also after a
  // later save that holds nothing of it.
  kxtest::FaultVfs::instance().failWalWrites = true;
  EXPECT_FALSE(Save());
  kxtest::FaultVfs::instance().failWalWrites = false;
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", "OTHER"}, {"parentId", "ROOT"}});
  });
  EXPECT_TRUE(HasContent("TRASHED"));
  EXPECT_FALSE(client_->reads().objectForFileMetaID("TRASHED")->boolValue("remoteRemoved"));

  Delete({"LIVE", "TRASHED"});
  EXPECT_TRUE(Save());
  EXPECT_FALSE(HasContent("TRASHED"));
  EXPECT_TRUE(client_->reads().objectForFileMetaID("TRASHED")->boolValue("remoteRemoved"));
  // A note moved to the trash keeps its content.
  EXPECT_TRUE(HasContent("LIVE"));
  EXPECT_TRUE(client_->reads().objectForFileMetaID("LIVE")->boolValue("del"));
}

TEST_F(NoteUtilDeleteTest, MovesThroughTheClientOrRefusesWithoutTargetOrNotes) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "B"}});
  });
  int called = 0;
  util_->moveNotes({"LIVE"}, std::string("NB"), [&](const KXResultInfo& info, const kx::Error& e) {
    ++called;
    EXPECT_FALSE(info.hasResult || e);
  });
  EXPECT_EQ(called, 1);
  Write([](KXManagedObjectContext&) {});
  EXPECT_EQ(client_->reads().objectForFileMetaID("LIVE")->parentId(), "NB");

  for (const auto& [ids, target] :
       std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>>{
           {{"LIVE"}, std::nullopt}, {{}, std::string("ROOT")}}) {
    kx::Error error;
    util_->moveNotes(ids, target, [&](const KXResultInfo&, const kx::Error& e) { error = e; });
    EXPECT_EQ(error.domain(), kx::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), 2);
    EXPECT_EQ(error.userInfo()[KXNoteUtil::kErrorPathKey].size(), ids.size());
  }
}

}  // namespace
