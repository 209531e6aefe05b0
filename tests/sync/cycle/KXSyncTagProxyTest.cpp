#include "sync/cycle/KXSyncState.h"
#include "sync/cycle/KXSyncTagProxy.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <string>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/DataClientFixture.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/Tag.h"
#include "account/KXNetworkOperation.h"
#include "support/TestNoteService.h"
#include "support/TestTagEndpoints.h"

namespace {

struct PushResult {
  std::int64_t version = 0;
  kx::Error error;
};

class KXSyncTagProxyTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    tags = std::make_unique<kxtest::TestTagEndpoints>(
        service, [](const std::string& json) { return objectFromJSONString(json); });
    proxy = std::make_unique<KXSyncTagProxy>(client_.get(), service.baseURL());
  }
  void TearDown() override {
    ASSERT_TRUE(kxtest::waitForQueue(proxy->queue()));
    service.stop();
    proxy.reset();
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    DataClientFixture::TearDown();
  }

  // A stored tag; `marks` among "created", "modified", "removed".
  void putLocal(const std::string& tagId, const std::string& name, const std::string& marks = "",
                std::int64_t dateUpdated = 1000) {
    Write([&](KXManagedObjectContext& context) {
      kx::Dictionary fields{
          {"name", kx::Value(name)},
          {"dateCreated", kx::Value(1000)},
          {"dateUpdated", kx::Value(dateUpdated)},
          {"isLocalCreated", kx::Value(marks.find("created") != std::string::npos)},
          {"isLocalModified", kx::Value(marks.find("modified") != std::string::npos)},
          {"isLocalRemoved", kx::Value(marks.find("removed") != std::string::npos)}};
      if (!tagId.empty()) fields.set("tagId", kx::Value(tagId));
      kxtest::Put(context, "Tag", fields);
    });
  }

  // Stored tags by id ("" for one without), as "name|marks".
  std::map<std::string, std::string> local() {
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    kx::Error error;
    auto rows = client_->tags().readTagSyncForCondition(kx::Dictionary(), &error);
    EXPECT_TRUE(rows) << error.localizedDescription();
    std::map<std::string, std::string> out;
    if (!rows) return out;
    for (const auto& tag : *rows) {
      std::string marks = std::string(tag->isLocalCreated() ? "C" : "") +
                          (tag->isLocalModified() ? "M" : "") + (tag->isLocalRemoved() ? "R" : "");
      out[tag->tagId()] = tag->name() + "|" + marks;
    }
    return out;
  }

  PushResult push() {
    auto result = std::make_shared<std::promise<PushResult>>();
    proxy->pushTags([result](std::int64_t version, const kx::Error& error) {
      result->set_value({version, error});
    });
    auto future = result->get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    return future.get();
  }

  void pull() {
    proxy->pullTags();
    ASSERT_TRUE(kxtest::waitForQueue(proxy->queue(), 30));
  }

  // The names in the last list the service received, by tag id.
  std::map<std::string, std::string> lastPushed() {
    std::map<std::string, std::string> out;
    auto lists = tags->pushedLists();
    if (lists.empty()) return out;
    kx::Value parsed = objectFromJSONString(lists.back());
    EXPECT_TRUE(parsed.isArray()) << lists.back();
    if (!parsed.isArray()) return out;
    for (const kx::Value& tag : parsed.array()) {
      out[tag["tagid"].stringValue()] = tag["name"].stringValue();
    }
    return out;
  }

  std::size_t setRequests() { return tags->pushedLists().size(); }

  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestTagEndpoints> tags;
  std::unique_ptr<KXSyncTagProxy> proxy;
};

TEST_F(KXSyncTagProxyTest, NothingChangedSendsNothing) {
  putLocal("t1", "Work");
  PushResult result = push();
  EXPECT_EQ(result.version, -1);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(setRequests(), 0u);
}

TEST_F(KXSyncTagProxyTest, PushSendsTheLiveListAndSettlesTheStore) {
  putLocal("t1", "Work");
  putLocal("t2", "Trip", "created");
  putLocal("t3", "Old", "removed");
  putLocal("", "Nameless", "created");
  const std::int64_t before = tags->version();

  PushResult result = push();
  ASSERT_FALSE(result.error) << result.error.localizedDescription();
  EXPECT_EQ(result.version, before + 1);

  // Multipart with one "tags" part of pretty JSON, service names.
  auto requests = service.requests(kxtest::TestTagEndpoints::kTagPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(kxtest::queryValue(requests[0].query, "method"), "set");
  EXPECT_NE(tags->pushedLists()[0].find('\n'), std::string::npos);
  EXPECT_EQ(lastPushed(), (std::map<std::string, std::string>{{"t1", "Work"}, {"t2", "Trip"}}));

  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Work|"}, {"t2", "Trip|"}}));
  EXPECT_EQ(client_->state().dbTagVersion().intValue(), before + 1);
  EXPECT_EQ(KXSyncState::shared().currentSessionVersion().intValue(), before + 1);

  // Settled: the next push has nothing to send.
  EXPECT_EQ(push().version, -1);
  EXPECT_EQ(setRequests(), 1u);
}

TEST_F(KXSyncTagProxyTest, FailedPushKeepsRemovalsAndChangesForTheNextPush) {
  putLocal("t1", "Work", "modified");
  putLocal("t3", "Old", "removed");
  tags->failNextSets(1);

  PushResult failed = push();
  EXPECT_EQ(failed.version, -1);
  EXPECT_TRUE(failed.error);
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Work|M"}, {"t3", "Old|R"}}));

  PushResult again = push();
  ASSERT_FALSE(again.error) << again.error.localizedDescription();
  EXPECT_EQ(setRequests(), 2u);
  EXPECT_EQ(lastPushed(), (std::map<std::string, std::string>{{"t1", "Work"}}));
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Work|"}}));
}

TEST_F(KXSyncTagProxyTest, PullTakesTheServiceListAndKeepsTheEntriesTags) {
  putLocal("t1", "Old name");
  putLocal("t2", "Gone on the service");
  putLocal("t4", "Kept", "created");
  Write([&](KXManagedObjectContext& context) {
    kxtest::Put(context, "Note",
                {{"fileId", kx::Value("n1")},
                 {"parentId", kx::Value("ROOT")},
                 {"title", kx::Value("a.note")},
                 {"tags", kx::Value("t1")}});
  });
  tags->putTag("t1", "New name");
  tags->putTag("t5", "Fresh");

  pull();

  EXPECT_EQ(local(), (std::map<std::string, std::string>{
                         {"t1", "New name|"}, {"t4", "Kept|C"}, {"t5", "Fresh|"}}));
  EXPECT_EQ(client_->state().dbTagVersion().intValue(), tags->version());
  // A rename on the service is not a removal: the note keeps its tag.
  KXFileMetaPtr note = client_->reads().objectForFileMetaID("n1");
  ASSERT_TRUE(note);
  EXPECT_EQ(note->stringValue("tags"), "t1");
}

TEST_F(KXSyncTagProxyTest, PullDoesNotUndoUnpushedRenamesAndRemovals) {
  tags->putTag("t1", "Theirs");
  tags->putTag("t2", "Still there");
  putLocal("t1", "Mine", "modified", 500);
  putLocal("t2", "Still there", "removed", 500);

  pull();
  EXPECT_EQ(local(),
            (std::map<std::string, std::string>{{"t1", "Mine|M"}, {"t2", "Still there|R"}}));

  ASSERT_FALSE(push().error);
  EXPECT_EQ(lastPushed(), (std::map<std::string, std::string>{{"t1", "Mine"}}));
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Mine|"}}));
}

TEST_F(KXSyncTagProxyTest, PushWaitsForThePullAskedBeforeIt) {
  putLocal("t1", "Old name");
  putLocal("t2", "Trip", "created");
  tags->putTag("t1", "Renamed there");
  service.setFault(kxtest::TestTagEndpoints::kTagPath, kxtest::Fault::held());

  proxy->pullTags();
  auto result = std::make_shared<std::promise<PushResult>>();
  proxy->pushTags([result](std::int64_t version, const kx::Error& error) {
    result->set_value({version, error});
  });
  ASSERT_TRUE(service.waitForInFlight(1));
  // Only the pull is out while it is held.
  EXPECT_EQ(service.requests(kxtest::TestTagEndpoints::kTagPath).size(), 1u);
  service.clearFault(kxtest::TestTagEndpoints::kTagPath);
  service.releaseHeld();

  auto future = result->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_FALSE(future.get().error);
  // The push sent the list as the pull left it: the rename survives.
  EXPECT_EQ(lastPushed(),
            (std::map<std::string, std::string>{{"t1", "Renamed there"}, {"t2", "Trip"}}));
  EXPECT_EQ(tags->name("t1"), "Renamed there");
}

TEST_F(KXSyncTagProxyTest, ATagChangedWhileItsListIsOnItsWayKeepsItsChange) {
  putLocal("t1", "Work", "modified");
  putLocal("t2", "Home", "modified");
  service.setFault(kxtest::TestTagEndpoints::kTagPath, kxtest::Fault::held());
  auto result = std::make_shared<std::promise<PushResult>>();
  proxy->pushTags([result](std::int64_t version, const kx::Error& error) {
    result->set_value({version, error});
  });
  ASSERT_TRUE(service.waitForInFlight(1));
  // Renamed and removed here while the push waits for its answer.
  std::shared_ptr<Tag> t1 = client_->reads().objectForTagID("t1");
  std::shared_ptr<Tag> t2 = client_->reads().objectForTagID("t2");
  ASSERT_TRUE(t1 && t2);
  auto edited = std::make_shared<std::promise<void>>();
  client_->writes().modifyTags(
      {kx::Value::dict(
          {{KXEntryWrites::kModifyIdentityKey, t1->objectID().toValue()},
           {KXEntryWrites::kModifyFieldsKey, kx::Value::dict({{"name", kx::Value("Job")}})}})},
      nullptr);
  client_->writes().deleteTags(
      {t2->objectID()}, [edited](const KXResultInfo&, const kx::Error&) { edited->set_value(); });
  edited->get_future().wait();
  service.clearFault(kxtest::TestTagEndpoints::kTagPath);
  service.releaseHeld();
  auto future = result->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_FALSE(future.get().error);
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Job|M"}, {"t2", "Home|MR"}}));

  ASSERT_FALSE(push().error);
  EXPECT_EQ(lastPushed(), (std::map<std::string, std::string>{{"t1", "Job"}}));
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Job|"}}));
}

TEST_F(KXSyncTagProxyTest, FailedPullChangesNothing) {
  putLocal("t1", "Work");
  tags->putTag("t9", "Other");
  service.setFault(kxtest::TestTagEndpoints::kTagPath, kxtest::Fault::withStatus(500));
  pull();
  EXPECT_EQ(local(), (std::map<std::string, std::string>{{"t1", "Work|"}}));
  EXPECT_EQ(client_->state().dbTagVersion().intValue(), 0);
}

}  // namespace
