// The share state a push's answer carries into the stored entry.
#include "sync/cycle/KXFileMetaDetail.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXShareLinkHooks.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/ShareLink.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

class FileMetaDetailTest : public kxtest::DataClientFixture {
 protected:
  void TearDown() override {
    KXShareLinkHooks::resetForTesting();
    DataClientFixture::TearDown();
  }

  // A note under the root; with a link to https://share/{fileId} when
  // linkFlag is given (its searchEngineEnable).
  void Build(const std::string& fileId, std::optional<bool> linkFlag) {
    Write([&](KXManagedObjectContext& c) {
      if (!client_->reads().rootEntryWithContext(&c))
        Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
      auto note = Put(c, "Note",
                      {{"fileId", kx::Value(fileId)},
                       {"parentId", kx::Value("ROOT")},
                       {"title", kx::Value(fileId + ".note")},
                       {"modifyTime", kx::Value(100)},
                       {"localModified", kx::Value(1)}});
      if (!linkFlag) return;
      auto link = Put(c, "ShareLink",
                      {{"entryId", kx::Value(fileId)},
                       {"shareUrl", kx::Value("https://share/" + fileId)},
                       {"searchEngineEnable", kx::Value(*linkFlag)}});
      note->setObject("shareLinkInfo", link);
    });
  }

  struct Link {
    bool present = false;
    std::string url;
    bool searchEngineEnable = false;
  };
  Link LinkOf(const std::string& fileId) {
    Write([](KXManagedObjectContext&) {});  // after the queued share writes
    Link link;
    client_->reads().performSyncReadBlock([&] {
      KXFileMetaPtr entry = client_->reads().objectForFileMetaID(fileId);
      std::shared_ptr<ShareLink> info = entry ? entry->shareLinkInfo() : nullptr;
      if (!info) return;
      link = {true, info->shareUrl(), info->searchEngineEnable()};
    });
    return link;
  }
};

TEST_F(FileMetaDetailTest, TheAnswerDecidesTheLink) {
  struct Case {
    const char* name;
    std::optional<bool> linkFlag;  // the stored link's searchEngineEnable; none: no link
    kx::Dictionary answer;         // the service's answer
    bool present;                  // what the entry's link is afterwards
    bool searchEngineEnable;
  };
  const Case cases[] = {
      {"shared, same flag: unchanged", false, {{"shared", kx::Value(true)}}, true, false},
      {"shared, flag turned on: taken",
       false,
       {{"shared", kx::Value(true)}, {"searchEngineEnable", kx::Value(true)}},
       true,
       true},
      {"shared, no flag means off", true, {{"shared", kx::Value(true)}}, true, false},
      {"not shared: removed", false, {{"shared", kx::Value(false)}}, false, false},
      {"no share state at all: removed", true, {}, false, false},
      {"an entry without a link stays without",
       std::nullopt,
       {{"shared", kx::Value(true)}, {"searchEngineEnable", kx::Value(true)}},
       false,
       false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fileId = "N_" + std::to_string(n++);
    Build(fileId, c.linkFlag);
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(fileId);
    ASSERT_TRUE(entry);
    KXFileMetaDetail::handleShareLink(c.answer, entry, *client_);
    Link link = LinkOf(fileId);
    EXPECT_EQ(link.present, c.present);
    if (c.present) {
      EXPECT_EQ(link.url, "https://share/" + fileId) << "the address stays the entry's";
      EXPECT_EQ(link.searchEngineEnable, c.searchEngineEnable);
    }
  }
}

TEST_F(FileMetaDetailTest, NoEntryChangesNothing) {
  Build("N_s", false);
  KXFileMetaDetail::handleShareLink({{"shared", kx::Value(false)}}, nullptr, *client_);
  EXPECT_TRUE(LinkOf("N_s").present);
}

// Through the store's push update, with the hook the program installs: an
// entry edited during its push keeps its link, one whose answer says it is
// no longer shared loses it.
TEST_F(FileMetaDetailTest, ThePushUpdateKeepsTheLinkOfAnEntryEditedMeanwhile) {
  KXFileMetaDetail::installShareLinkHook();
  Build("N_s", false);
  client_->editorSave().updateStateForFileMeta(
      "N_s",
      {{"modifyTime", kx::Value(50)}, {"version", kx::Value(4)}, {"shared", kx::Value(true)}});
  EXPECT_TRUE(LinkOf("N_s").present);
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_s")->localModified(), 1);
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_s")->version(), 4);

  client_->editorSave().updateStateForFileMeta(
      "N_s",
      {{"modifyTime", kx::Value(100)}, {"version", kx::Value(5)}, {"shared", kx::Value(false)}});
  EXPECT_FALSE(LinkOf("N_s").present);
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_s")->localModified(), 0);
}

}  // namespace
