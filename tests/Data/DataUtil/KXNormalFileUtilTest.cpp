// The normal-file helper: new files under a parent that may be missing,
// copies with their stored files, and deletion whose content files go only
// after the delete is saved.
#include "Data/DataUtil/KXNormalFileUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreError.h"
#include "platform/FileSystem.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

class NormalFileUtilTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    // A store on the fault-injecting file layer, so that a save can fail.
    client_.reset();
    data_.reset();
    env_ = std::make_shared<kxtest::TestStoreEnvironment>(root_.path() + "/faulty");
    env_->vfs = kxtest::FaultVfs::name();
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    util_ = std::make_unique<KXNormalFileUtil>(*client_);
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"version", kx::Value(2)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Travel")},
           {"namePath", kx::Value("")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_live")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("map.pdf")},
           {"domain", kx::Value(1)}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_trash")},
           {"parentId", kx::Value("1")},
           {"title", kx::Value("old.pdf")},
           {"domain", kx::Value(1)},
           {"del", kx::Value(true)}});
    });
  }
  void TearDown() override {
    kxtest::FaultVfs::instance().failWalWrites = false;
    ASSERT_TRUE(kxtest::waitForQueue(files().queueForContent()));
    DataClientFixture::TearDown();
  }

  static KXFileManager& files() { return KXFileManager::defaultManauger(); }
  static bool Exists(const std::string& path) { return kx::FileSystem::Default().exists(path); }

  kx::Error Delete(const std::vector<std::string>& ids) {
    std::promise<kx::Error> done;
    util_->deleteNormalFiles(ids,
                             [&](const KXResultInfo&, const kx::Error& e) { done.set_value(e); });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  std::unique_ptr<KXNormalFileUtil> util_;
};

TEST_F(NormalFileUtilTest, AFileUnderAMissingParentIsRefusedAloud) {
  std::promise<kx::Error> refused;
  util_->addNormalFile({{"fileId", kx::Value("F_x")}, {"parentId", kx::Value("nowhere")}},
                       [&](const KXResultInfo&, const kx::Error& e) { refused.set_value(e); });
  EXPECT_EQ(refused.get_future().get().code(), kKXStoreObjectNotFoundError);

  std::promise<kx::Error> added;
  util_->addNormalFile({{"fileId", kx::Value("F_n")},
                        {"parentId", kx::Value("NB_A")},
                        {"title", kx::Value("a.zip")}},
                       [&](const KXResultInfo&, const kx::Error& e) { added.set_value(e); });
  EXPECT_FALSE(added.get_future().get());
  Write([](KXManagedObjectContext&) {});
  EXPECT_FALSE(client_->reads().objectForFileMetaID("F_x"));
  KXFileMetaPtr made = client_->reads().objectForFileMetaID("F_n");
  ASSERT_TRUE(made);
  EXPECT_TRUE(made->isKindOfEntity("NormalFile"));
  EXPECT_EQ(made->domain(), 1);
  EXPECT_EQ(made->transactionId(), "F_n");
  EXPECT_EQ(made->title(), "a.zip");
}

TEST_F(NormalFileUtilTest, ContentFilesGoOnlyAfterTheDeleteIsSaved) {
  const std::string live = files().URLForContentFile("F_live", false);
  const std::string trashed = files().URLForContentFile("F_trash", false);
  for (const std::string& path : {live, trashed}) {
    ASSERT_TRUE(kx::FileSystem::Default().writeFile(path, std::string("bytes"), nullptr));
  }

  // The save fails: rows and files stay as they were.
  kxtest::FaultVfs::instance().failWalWrites = true;
  kx::Error failed = Delete({"F_live", "F_trash"});
  kxtest::FaultVfs::instance().failWalWrites = false;
  EXPECT_TRUE(failed);
  ASSERT_TRUE(kxtest::waitForQueue(files().queueForContent()));
  EXPECT_TRUE(Exists(live));
  EXPECT_TRUE(Exists(trashed));
  EXPECT_FALSE(client_->reads().objectForFileMetaID("F_live")->del());
  EXPECT_FALSE(client_->reads().objectForFileMetaID("F_trash")->remoteRemoved());

  // It succeeds: the live file goes to the trash with its content, the one
  // in the trash is purged and its content removed.
  EXPECT_FALSE(Delete({"F_live", "F_trash", "unknown"}));
  EXPECT_TRUE(client_->reads().objectForFileMetaID("F_live")->del());
  EXPECT_TRUE(client_->reads().objectForFileMetaID("F_trash")->remoteRemoved());
  EXPECT_TRUE(Exists(live));
  EXPECT_FALSE(Exists(trashed));
}

TEST_F(NormalFileUtilTest, CopiesTakeTheStoredFileFirst) {
  const std::string source = files().URLForContentFile("F_live", false, "map.pdf");
  ASSERT_TRUE(kx::FileSystem::Default().writeFile(source, std::string("%PDF"), nullptr));
  std::promise<kx::Error> done;
  util_->copyNormalFiles(
      {"F_live", "unknown"}, "ROOT",
      [&](const KXResultInfo&, const kx::Error& e) { done.set_value(e); }, false);
  EXPECT_FALSE(done.get_future().get());
  Write([](KXManagedObjectContext&) {});
  KXFileMetaArray copies = client_->reads().objectsForParentId("ROOT", "NormalFile");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0]->title(), "map.pdf");
  EXPECT_EQ(copies[0]->version(), 2);
  EXPECT_EQ(copies[0]->namePath(), "");
  std::string text;
  EXPECT_TRUE(kx::FileSystem::Default().readFile(
      files().URLForContentFile(copies[0]->fileId(), false, "map.pdf"), &text, nullptr));
  EXPECT_EQ(text, "%PDF");

  std::promise<kx::Error> moved;
  util_->moveNormalFiles({}, "NB_A",
                         [&](const KXResultInfo&, const kx::Error& e) { moved.set_value(e); });
  EXPECT_EQ(moved.get_future().get().userInfo()["errorPath"], kx::Value(kx::Array{}));
}

}  // namespace
