#include "WebRequest/KXWebFileRequestHandler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXFileManager.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXURLError.h"
#include "platform/MainQueue.h"
#include "support/StoreTree.h"
#include "support/TempAppRoot.h"

namespace {

// Records the one answer of a request.
class Recorder : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override {
    std::lock_guard<std::mutex> lock(mu);
    ++answers;
    status = response ? response->statusCode() : 0;
    body = data ? *data : kx::Bytes();
    this->error = error;
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu);
    return answers;
  }
  kx::Value json() { return objectFromJSONData(body); }

  std::mutex mu;
  int answers = 0;
  int status = 0;
  kx::Bytes body;
  kx::Error error;
};

class WebFileRequestHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<kxtest::TestStoreEnvironment>(root_.path() + "/appdata");
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    util_ = std::make_unique<KXFileMetaWebUtil>(*client_);
    handler_ = std::make_unique<KXWebFileRequestHandler>(*client_, *util_);
    Seed();
  }
  void TearDown() override {
    handler_.reset();
    util_.reset();
    client_.reset();
    KXHooks::setRootEntryIdProvider(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }

  // ROOT > NB "Work" (25 notes N00..N24, NB_E "Vault" encrypted > N_secret),
  // N_top; trash: NB_T > N_t; one resource R1 with its stored file.
  void Seed() {
    data_->performSyncWriteBlock([&](KXManagedObjectContext& c) {
      kxtest::StoreTree tree(c);
      auto put = [&](const std::string& entity, const kx::Dictionary& fields) {
        return tree.put(entity, fields);
      };
      put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      put("Notebook",
          {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}, {"modifyTime", 5}});
      for (int i = 0; i < 25; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "N%02d", i);
        put("Note", {{"fileId", id},
                     {"parentId", "NB"},
                     {"title", std::string(id) + ".note"},
                     {"modifyTime", 1000 + i},
                     {"transactionTime", 1000 + i},
                     {"transactionId", id},
                     {"shareType", i < 3 ? 1 : 0}});
      }
      put("Notebook",
          {{"fileId", "NB_E"}, {"parentId", "NB"}, {"title", "Vault"}, {"encrypted", true}});
      put("Note", {{"fileId", "N_secret"}, {"parentId", "NB_E"}});
      put("Note", {{"fileId", "N_top"}, {"parentId", "ROOT"}, {"title", "top.note"}});
      put("Notebook", {{"fileId", "NB_T"}, {"parentId", "1"}, {"del", true}, {"title", "Old"}});
      put("Note", {{"fileId", "N_t"}, {"parentId", "1"}, {"del", true}});
      KXManagedObjectPtr entry = c.insertNewObject("ResourceEntry");
      entry->setValue("file", root_.path() + "/R1.png");
      KXManagedObjectPtr res = put("Resource", {{"fileId", "R1"}, {"meidaType", "image"}});
      res->setObject("entry", entry);
      kx::Error error;
      EXPECT_TRUE(c.save(&error));
    });
    std::ofstream(root_.path() + "/R1.png") << "PNGDATA";
  }

  std::shared_ptr<Recorder> Ask(const std::string& pathAndQuery, const std::string& body = "") {
    std::optional<kx::URL> url = kx::URL::parse("https://note.zarvel.com" + pathAndQuery);
    EXPECT_TRUE(url) << pathAndQuery;
    kx::URLRequest request(*url);
    if (!body.empty()) request.setHTTPBody(kx::Bytes(body.begin(), body.end()));
    auto recorder = std::make_shared<Recorder>();
    handler_->handleRequest(request, recorder);
    return recorder;
  }
  static std::vector<std::string> Ids(const kx::Value& entries) {
    std::vector<std::string> ids;
    for (const kx::Value& e : entries.array()) {
      const kx::Value& entry = e.contains("fileEntry") ? e["fileEntry"] : e;
      ids.push_back(entry["id"].stringValue());
    }
    return ids;
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<kxtest::TestStoreEnvironment> env_;
  std::shared_ptr<KXDataContext> data_;
  std::unique_ptr<KXDataClient> client_;
  std::unique_ptr<KXFileMetaWebUtil> util_;
  std::unique_ptr<KXWebFileRequestHandler> handler_;
};

TEST_F(WebFileRequestHandlerTest, AcceptsItsRoutesOnly) {
  struct Case {
    const char* url;
    bool accepted;
  };
  const Case cases[] = {
      {"/qrt/mapi/file?method=thm", true},
      {"/qrt/api/personal/file/X?method=getById", true},
      {"/qrt/api/personal/trash?method=list", true},
      {"/qrt/api/personal/file?method=download&shareKey=k", false},
      {"/qrt/api/personal/file?method=read&shareKey=k", true},
      {"/qrt/other/personal/myshare?method=list", true},
      {"/qrt/api/personal/myshare?method=get", false},
      {"/qrt/api/personal", false},
      {"/qrt/api/personal/File", false},
      {"", false},
  };
  for (const Case& c : cases) {
    std::optional<kx::URL> url = kx::URL::parse(std::string("https://note.zarvel.com") + c.url);
    ASSERT_TRUE(url);
    EXPECT_EQ(handler_->acceptRequest(kx::URLRequest(*url)), c.accepted) << c.url;
  }
}

TEST_F(WebFileRequestHandlerTest, FailuresAnswerOnceWithTheirCode) {
  struct Case {
    const char* url;
    const char* body;
    std::int64_t code;
  };
  const Case cases[] = {
      {"/qrt/api/personal/file", "", KXURLErrorBadURL},                      // no method
      {"/qrt/api/personal/file?method=getById", "", KXURLErrorBadURL},       // no id
      {"/qrt/api/personal/file/NOPE?method=getById", "", KXURLErrorBadURL},  // not stored
      {"/qrt/mapi/file?method=getById", "", KXURLErrorBadURL},               // mapi serves thm only
      {"/qrt/api/personal/file?method=rename", "", KXURLErrorBadURL},        // unknown method
      {"/qrt/api/personal/trash?method=restore", "", KXURLErrorBadURL},      // unknown method
      // A method of one folder asked of another.
      {"/qrt/api/personal/trash/N_top?method=read", "", KXURLErrorBadURL},
      {"/qrt/api/personal/file?method=thm&fid=R1", "", KXURLErrorBadURL},
      {"/qrt/mapi/personal/myshare?method=get&fileId=N_top", "", KXURLErrorBadURL},
      {"/qrt/api/personal/file?method=getNamePath", "", KXURLErrorResourceUnavailable},
      {"/qrt/api/personal/file?method=getNamePath&fileId=NOPE", "", KXURLErrorResourceUnavailable},
      {"/qrt/api/personal/file/NOPE?method=read", "", KXURLErrorResourceUnavailable},
      {"/qrt/api/personal/file?method=listPath&fileId=NOPE", "", KXURLErrorBadURL},
      {"/qrt/mapi/file?method=thm", "", KXURLErrorBadURL},
  };
  for (const Case& c : cases) {
    auto answer = Ask(c.url, c.body);
    EXPECT_EQ(answer->count(), 1) << c.url;
    EXPECT_TRUE(KXURLError::is(answer->error, c.code)) << c.url << " " << answer->error.code();
    EXPECT_EQ(answer->status, 0) << c.url;
  }
}

TEST_F(WebFileRequestHandlerTest, PagesOfAFolderFollowLastId) {
  auto first = Ask("/qrt/api/personal/file/NB?method=listPageByParentId");
  ASSERT_EQ(first->status, 200);
  kx::Value page = first->json();
  EXPECT_EQ(page["count"].intValue(), 26);
  std::vector<std::string> ids = Ids(page["entries"]);
  ASSERT_EQ(ids.size(), 20u);
  // Folders first, then the newest modified.
  EXPECT_EQ(ids[0], "NB_E");
  EXPECT_EQ(ids[1], "N24");
  EXPECT_TRUE(page["entries"][0].contains("otherProp"));  // entire by default

  auto next = Ask("/qrt/api/personal/file/NB?method=listPageByParentId&lastId=" + ids.back());
  std::vector<std::string> rest = Ids(next->json()["entries"]);
  ASSERT_EQ(rest.size(), 6u);
  EXPECT_EQ(rest.front(), "N05");
  EXPECT_EQ(rest.back(), "N00");

  auto reversed = Ask(
      "/qrt/api/personal/file?method=listEntireByParentPath&path=/NB&isReverse=true&entire=false");
  std::vector<std::string> all = Ids(reversed->json());
  ASSERT_EQ(all.size(), 26u);
  EXPECT_EQ(all[0], "NB_E");  // folders stay first
  EXPECT_EQ(all[1], "N00");
  auto folders = Ask("/qrt/api/personal/file/NB?method=listEntireByParentId&dirOnly=1");
  EXPECT_EQ(Ids(folders->json()), std::vector<std::string>{"NB_E"});
}

TEST_F(WebFileRequestHandlerTest, SingleEntriesAncestorsAndChecks) {
  // getById answers the short form; the form body may carry the method.
  auto byId = Ask("/qrt/api/personal/file/N03?method=getById");
  EXPECT_EQ(byId->json()["id"].stringValue(), "N03");
  auto listPath = Ask("/qrt/api/personal/file", "method=listPath&fileId=N_secret");
  EXPECT_EQ(Ids(listPath->json()), (std::vector<std::string>{"ROOT", "NB", "NB_E", "N_secret"}));
  EXPECT_EQ(Ids(Ask("/qrt/api/personal/file?method=listPath&fileId=N_top")->json()),
            (std::vector<std::string>{"ROOT", "N_top"}));
  EXPECT_EQ(Ids(Ask("/qrt/api/personal/file?method=listPath&fileId=N_t")->json()),
            (std::vector<std::string>{"N_t"}));
  // The query's method wins over the body's.
  auto both = Ask("/qrt/api/personal/file?method=listPath", "method=getById&fileId=N_top");
  EXPECT_EQ(Ids(both->json()), (std::vector<std::string>{"ROOT", "N_top"}));

  EXPECT_EQ(Ask("/qrt/api/personal/file/NB?method=checkChildrenEncrypted")->json(),
            kx::Value::dict({{"hasEncryptedChildren", true}}));
  EXPECT_EQ(Ask("/qrt/api/personal/file/NB_E?method=checkChildrenEncrypted")->json(),
            kx::Value::dict({{"hasEncryptedChildren", false}}));

  kx::Value shares = Ask("/qrt/api/personal/myshare?method=list&len=2")->json();
  EXPECT_EQ(shares["count"].intValue(), 3);
  EXPECT_EQ(Ids(shares["entries"]).size(), 2u);

  EXPECT_EQ(Ids(Ask("/qrt/api/personal/trash?method=list")->json()),
            (std::vector<std::string>{"NB_T", "N_t"}));
  EXPECT_EQ(Ids(Ask("/qrt/api/personal/trash?method=get&fileId=NB_E")->json()),
            (std::vector<std::string>{"N_secret"}));
  // No thumbnail file: the resource's stored file.
  kx::Bytes thumb = Ask("/qrt/mapi/file?method=thm&fid=R1")->body;
  EXPECT_EQ(std::string(thumb.begin(), thumb.end()), "PNGDATA");
}

TEST_F(WebFileRequestHandlerTest, RecentPagesClampToTheList) {
  struct Case {
    const char* query;
    std::vector<std::string> first;  // first and last id, or empty
    std::size_t size;
  };
  const Case cases[] = {
      {"", {"N24", "N00"}, 25},                   // no offset, no limit: all
      {"&limit=10&offset=2", {"N04", "N00"}, 5},  // a short last page
      {"&limit=10&offset=1", {"N14", "N05"}, 10},
      {"&limit=10&offset=3", {}, 0},  // past the end
      {"&offset=1", {}, 0},           // an offset without a limit
      {"&limit=0", {}, 0},
  };
  for (const Case& c : cases) {
    auto answer = Ask(std::string("/qrt/api/personal/file?method=listRecent") + c.query);
    ASSERT_EQ(answer->status, 200) << c.query;
    std::vector<std::string> ids = Ids(answer->json());
    EXPECT_EQ(ids.size(), c.size) << c.query;
    if (!c.first.empty() && !ids.empty()) {
      EXPECT_EQ(ids.front(), c.first[0]) << c.query;
      EXPECT_EQ(ids.back(), c.first[1]) << c.query;
    }
  }
}

TEST_F(WebFileRequestHandlerTest, LargeNoteTextIsAnsweredLaterFromTheMainQueue) {
  struct Case {
    const char* id;
    std::size_t bytes;
    bool atOnce;
  };
  const Case cases[] = {{"N01", 1048576, true}, {"N02", 1048577, false}};
  for (const Case& c : cases) {
    std::string path = KXFileManager::defaultManauger().URLForContentFile(c.id, false);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << std::string(c.bytes, 'a');
    auto answer = Ask(std::string("/qrt/api/personal/file/") + c.id + "?method=read");
    EXPECT_EQ(answer->count() == 1, c.atOnce) << c.id;
    ASSERT_TRUE(kx::MainQueue::shared().runUntil([&] { return answer->count() == 1; }, 30));
    EXPECT_EQ(answer->body.size(), c.bytes);
    EXPECT_EQ(answer->status, 200);
  }
}

}  // namespace
