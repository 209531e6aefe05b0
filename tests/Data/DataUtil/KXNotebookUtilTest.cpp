// The notebook helper: new notebooks under a parent that may be missing,
// copies under new ids, and the pending-change record.
#include "Data/DataUtil/KXNotebookUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreError.h"
#include "platform/LocalizedStrings.h"

namespace {

using kxtest::Put;

class NotebookUtilTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    util_ = std::make_unique<KXNotebookUtil>(*client_);
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"version", kx::Value(4)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Travel")}});
    });
  }
  std::unique_ptr<KXNotebookUtil> util_;
};

TEST_F(NotebookUtilTest, ANotebookUnderAMissingParentIsRefusedAloud) {
  std::promise<kx::Error> refused;
  util_->addNotebook(
      {{"fileId", kx::Value("NB_X")}, {"parentId", kx::Value("nowhere")}},
      [&](const KXResultInfo&, const kx::Error& error) { refused.set_value(error); });
  auto future = refused.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  kx::Error error = future.get();
  EXPECT_EQ(error.domain(), kKXStoreErrorDomain);
  EXPECT_EQ(error.code(), kKXStoreObjectNotFoundError);

  std::promise<kx::Error> added;
  util_->addNotebook({{"fileId", kx::Value("NB_N")}, {"parentId", kx::Value("NB_A")}},
                     [&](const KXResultInfo&, const kx::Error& e) { added.set_value(e); });
  EXPECT_FALSE(added.get_future().get());
  Write([](KXManagedObjectContext&) {});
  EXPECT_FALSE(client_->reads().objectForFileMetaID("NB_X"));
  KXFileMetaPtr made = client_->reads().objectForFileMetaID("NB_N");
  ASSERT_TRUE(made);
  EXPECT_TRUE(made->isKindOfEntity("Notebook"));
  EXPECT_EQ(made->parentId(), "NB_A");
  EXPECT_EQ(made->title(), kx::LocalizedStrings::localized("New Notebook"));
  EXPECT_EQ(made->domain(), 1);
  EXPECT_TRUE(made->isNil("transactionId"));
  EXPECT_THROW(util_->addNotebook({{"parentId", kx::Value("NB_A")}}, nullptr), kx::Exception);
}

TEST_F(NotebookUtilTest, CopiesAnswerTheirNewIdsInSourceOrder) {
  std::vector<std::string> ids =
      util_->copyNotebooks({"NB_A", "ROOT_missing"}, "NB_A", nullptr, true);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  Write([](KXManagedObjectContext&) {});
  KXFileMetaPtr copy = client_->reads().objectForFileMetaID(ids[0]);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->parentId(), "NB_A");
  EXPECT_EQ(copy->title(), "Travel(" + kx::LocalizedStrings::localized("Sync Conflicted") + ")");
  EXPECT_EQ(copy->version(), 4);
  EXPECT_FALSE(client_->reads().objectForFileMetaID(ids[1]));
  EXPECT_EQ(util_->getSubDirNumOfNotebook("NB_A"), 1u);
}

TEST_F(NotebookUtilTest, PendingChangesAreRecordedOnlyWhileThereIsARecord) {
  util_->setTitle("lost");
  EXPECT_FALSE(util_->uncommitData());
  util_->setUncommitData(kx::Dictionary{{"content", kx::Value::dict({{"x", kx::Value(1)}})}});
  util_->setTitle("Trips");
  util_->setEncrypted(true);  // modifyType is not 2: not recorded
  EXPECT_EQ((*util_->uncommitData())["content"],
            kx::Value::dict({{"x", kx::Value(1)}, {"title", kx::Value("Trips")}}));
  util_->setModifyType(2);
  util_->setEncrypted(true);
  EXPECT_TRUE((*util_->uncommitData())["content"]["encrypted"].boolValue());
  util_->rollbackChange();
  EXPECT_FALSE(util_->uncommitData());
  EXPECT_EQ(util_->modifyType(), 2);
}

}  // namespace
