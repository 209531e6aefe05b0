#include "WebRequest/KXWebSyncRequestHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <cerrno>
#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXClientErrorBody.h"
#include "WebRequest/KXURLError.h"
#include "platform/FileSystem.h"
#include "platform/InputStream.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/StoreTree.h"
#include "support/TempAppRoot.h"

namespace {

using Op = kxtest::FaultInjectingFileSystem::Op;

// Records the one answer of a request and lets the test wait for it.
class Recorder : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override {
    std::lock_guard<std::mutex> lock(mu);
    ++answers;
    status = response ? response->statusCode() : 0;
    if (response) headers = response->allHeaderFields();
    body = data ? *data : kx::Bytes();
    this->error = error;
    cv.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return answers > 0; });
  }
  kx::Value json() { return objectFromJSONData(body); }
  std::string text() { return std::string(body.begin(), body.end()); }
  std::string header(const char* name) { return headers.value(name).value_or(""); }

  std::mutex mu;
  std::condition_variable cv;
  int answers = 0;
  int status = 0;
  kx::HTTPHeaderFields headers;
  kx::Bytes body;
  kx::Error error;
};

// A body that hands out `total` bytes of a pattern and then, when asked,
// fails after `failAfter` bytes.
class PatternStream : public kx::InputStream {
 public:
  PatternStream(std::int64_t total, std::int64_t failAfter = -1, std::int64_t start = 0)
      : total_(total), failAfter_(failAfter), position_(start), end_(start + total) {}
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, kx::Error* error) override {
    if (failAfter_ >= 0 && sent_ >= failAfter_) {
      kx::SetError(error, kx::Error("test", 1, kx::Value()));
      return -1;
    }
    std::int64_t left = end_ - position_;
    if (failAfter_ >= 0) left = std::min<std::int64_t>(left, failAfter_ - sent_);
    std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, (std::int64_t)maxLength));
    for (std::size_t i = 0; i < n; ++i) buffer[i] = Byte(position_ + (std::int64_t)i);
    position_ += (std::int64_t)n;
    sent_ += (std::int64_t)n;
    return static_cast<std::ptrdiff_t>(n);
  }
  static std::uint8_t Byte(std::int64_t at) {
    return static_cast<std::uint8_t>((at * 7 + 3) % 251);
  }

 private:
  std::int64_t total_;
  std::int64_t failAfter_;
  std::int64_t position_;
  std::int64_t end_;
  std::int64_t sent_ = 0;
};

class WebSyncRequestHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<kxtest::TestStoreEnvironment>(root_.path() + "/appdata");
    if (faultVfs_) env_->vfs = kxtest::FaultVfs::name();
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    metaUtil_ = std::make_unique<KXFileMetaUtil>(*client_);
    noteUtil_ = std::make_unique<KXNoteUtil>(
        client_.get(), std::make_shared<kxtest::KXManualDelayClock>(), [] { return false; });
    handler_ = std::make_unique<KXWebSyncRequestHandler>(
        *client_, *metaUtil_, *noteUtil_,
        [this] {
          std::lock_guard<std::mutex> lock(syncMu_);
          ++syncs_;
          syncCv_.notify_all();
        },
        [this] { return now_.load(); });
    handler_->setSaveRetrySecondsForTesting(0);
    Seed();
    // Some tests put a file system of their own in.
    kxtest::OpenLogFileNow();
  }
  void TearDown() override {
    kxtest::FaultVfs::instance().failWalWrites = false;
    handler_.reset();
    noteUtil_.reset();
    metaUtil_.reset();
    client_.reset();
    KXHooks::setRootEntryIdProvider(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }

  // ROOT > NB "Work" > NB_C "Sub"; NB > N1 "Plan.note" (content), F1
  // "a.txt" (domain 1); ROOT > NB2 "Home" > N2 "Plan.note".
  void Seed() {
    data_->performSyncWriteBlock([&](KXManagedObjectContext& c) {
      kxtest::StoreTree tree(c, {{"version", 3}, {"localModified", 0}});
      auto put = [&](const std::string& entity, const kx::Dictionary& fields) {
        tree.put(entity, fields);
      };
      put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}});
      put("Notebook", {{"fileId", "NB_C"}, {"parentId", "NB"}, {"title", "Sub"}});
      put("Notebook", {{"fileId", "NB2"}, {"parentId", "ROOT"}, {"title", "Home"}});
      put("Note", {{"fileId", "N1"},
                   {"parentId", "NB"},
                   {"title", "Plan.note"},
                   {"domain", 0},
                   {"md5", NSStringDupTitle::MD5String("<p>old</p>")}});
      put("Note", {{"fileId", "N2"}, {"parentId", "NB2"}, {"title", "Plan.note"}, {"domain", 0}});
      put("NormalFile", {{"fileId", "F1"}, {"parentId", "NB"}, {"title", "a.txt"}, {"domain", 1}});
      kx::Error error;
      EXPECT_TRUE(c.save(&error));
    });
    ASSERT_TRUE(files().writeContentFileSync(std::string("<p>old</p>"), "N1"));
  }

  static KXFileManager& files() { return KXFileManager::defaultManauger(); }

  std::shared_ptr<Recorder> Ask(const std::string& pathAndQuery, const std::string& body = "",
                                const std::string& host = "note.zarvel.com") {
    kx::URLRequest request(*kx::URL::parse("https://" + host + pathAndQuery));
    request.setHTTPMethod("POST");
    if (!body.empty()) request.setHTTPBody(kx::Bytes(body.begin(), body.end()));
    return Send(request);
  }
  std::shared_ptr<Recorder> Send(const kx::URLRequest& request) {
    auto recorder = std::make_shared<Recorder>();
    handler_->handleRequest(request, recorder);
    EXPECT_TRUE(recorder->wait());
    return recorder;
  }
  std::shared_ptr<Recorder> Sync(const std::string& form) {
    return Ask("/qrt/api/personal/sync", form);
  }
  // Sends a body to the transfer.
  std::shared_ptr<Recorder> Body(const std::string& id, std::shared_ptr<kx::InputStream> stream,
                                 std::int64_t length) {
    kx::URLRequest request(
        *kx::URL::parse("https://note.zarvel.com/qrt/api/personal/sync/upload/" + id));
    request.setHTTPMethod("PUT");
    request.setValue(std::to_string(length), "Content-Length");
    request.setHTTPBodyStream(std::move(stream));
    return Send(request);
  }
  std::shared_ptr<Recorder> Progress(const std::string& id) {
    kx::URLRequest request(
        *kx::URL::parse("https://note.zarvel.com/qrt/api/personal/sync/upload/" + id));
    request.setValue("bytes */*", "Content-Range");
    return Send(request);
  }
  std::string Open() {
    auto answer = Ask("/qrt/api/personal/sync/upload");
    EXPECT_EQ(answer->status, 200);
    return answer->json()["transmitId"].stringValue();
  }

  int syncs() {
    std::lock_guard<std::mutex> lock(syncMu_);
    return syncs_;
  }
  bool waitForSyncs(int n) {
    std::unique_lock<std::mutex> lock(syncMu_);
    return syncCv_.wait_for(lock, std::chrono::seconds(20), [&] { return syncs_ >= n; });
  }
  // A snapshot of the entries' rows that matter here.
  std::string Row(const std::string& fileId) {
    KXFileMetaPtr e = client_->reads().objectForFileMetaID(fileId);
    if (!e) return "none";
    return e->parentId() + "|" + e->title() + "|" + std::to_string(e->version()) + "|" +
           std::to_string(e->localModified()) + "|" + (e->del() ? "del" : "live") + "|" +
           std::to_string(e->stick());
  }
  std::string Content(const std::string& fileId, const std::string& name = "") {
    std::optional<kx::Bytes> bytes = files().readDataContentFileSync(fileId, name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<none>";
  }

  bool faultVfs_ = false;
  kxtest::TempAppRoot root_;
  std::shared_ptr<kxtest::TestStoreEnvironment> env_;
  std::shared_ptr<KXDataContext> data_;
  std::unique_ptr<KXDataClient> client_;
  std::unique_ptr<KXFileMetaUtil> metaUtil_;
  std::unique_ptr<KXNoteUtil> noteUtil_;
  std::unique_ptr<KXWebSyncRequestHandler> handler_;
  std::atomic<double> now_{1700000000};
  std::mutex syncMu_;
  std::condition_variable syncCv_;
  int syncs_ = 0;
};

TEST_F(WebSyncRequestHandlerTest, AcceptsTheSyncRoutesOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"/qrt/api/personal/sync?method=push", true},
      {"/qrt/mapi/personal/sync", true},
      {"/qrt/api/personal/sync/upload/12", true},
      {"/qrt/api/personal/sync/blepenbook", false},
      {"/qrt/api/personal/sync/clientEditorStrategy", false},
      {"/qrt/api/personal/file", false},
      {"/qrt/xapi/personal/sync", false},
      {"/qrt/api/personal", false},
  };
  for (const auto& [path, accepted] : cases) {
    kx::URLRequest request(*kx::URL::parse(std::string("https://note.zarvel.com") + path));
    EXPECT_EQ(handler_->acceptRequest(request), accepted) << path;
  }
}

TEST_F(WebSyncRequestHandlerTest, RefusalsChangeNothing) {
  const std::string before = Row("N1") + Row("NB") + Content("N1");
  struct Case {
    const char* path;
    const char* body;
    const char* host;
  };
  const Case cases[] = {
      {"/qrt/api/personal/sync", "fileId=N1", "note.zarvel.com"},              // no method
      {"/qrt/api/personal/sync", "method=push&fileId=N1", "note.zarvel.com"},  // no domain
      {"/qrt/api/personal/sync", "method=frobnicate", "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=push&domain=0&fileId=..%2FN1&bodyString=x",
       "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=push&domain=0&fileId=N1&parentId=a%2Fb",
       "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=delete&fileId=N%001", "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=delete&fileId=N1", "evil.example.com"},
      {"/qrt/api/personal/sync", "method=delete&fileId=NOPE", "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=recover", "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=download", "note.zarvel.com"},
      {"/qrt/api/personal/sync", "method=putResource&transmitId=99", "note.zarvel.com"},
      {"/qrt/api/personal/sync/upload/99", "", "note.zarvel.com"},
  };
  for (const Case& c : cases) {
    auto answer = Ask(c.path, c.body, c.host);
    EXPECT_TRUE(KXURLError::is(answer->error, KXURLErrorBadURL)) << c.body;
    EXPECT_EQ(answer->status, 0) << c.body;
  }
  // An id that could name a path says which parameter it was.
  EXPECT_EQ(Sync("method=copy&fileId=..&parentId=NB")->error.localizedDescription(),
            "invalid fileId");
  ASSERT_TRUE(kxtest::waitForQueue(handler_->workQueue()));
  EXPECT_EQ(Row("N1") + Row("NB") + Content("N1"), before);
  EXPECT_EQ(syncs(), 0);
  EXPECT_TRUE(
      KXURLError::is(Sync("method=recover&fileId=NOPE")->error, KXURLErrorFileDoesNotExist));
}

TEST_F(WebSyncRequestHandlerTest, NoteSaveWritesStoreAndContentBeforeAnsweringThenSyncs) {
  auto answer = Sync("method=push&domain=0&fileId=NEW1&parentId=NB&name=Idea&bodyString=" +
                     std::string("%3Cp%3Ehello%3C%2Fp%3E"));
  ASSERT_EQ(answer->status, 200) << answer->error.localizedDescription();
  // The answer is the entry form, read back from the store.
  EXPECT_EQ(answer->json()["entry"]["id"].stringValue(), "NEW1");
  EXPECT_EQ(client_->reads().objectForFileMetaID("NEW1")->title(), "Idea.note");
  EXPECT_EQ(Content("NEW1"), "<p>hello</p>");
  EXPECT_TRUE(waitForSyncs(1));

  // The same content again changes nothing.
  auto same = Sync("method=push&domain=0&fileId=NEW1&bodyString=%3Cp%3Ehello%3C%2Fp%3E");
  EXPECT_TRUE(KXURLError::is(same->error, KXURLErrorCannotCopy));

  // Content the client never downloaded is not overwritten.
  auto missing = Sync("method=push&domain=0&fileId=N2&bodyString=x");
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->json()["error"].stringValue(), "NOTE_NOT_EXIST");
  EXPECT_EQ(Content("N2"), KXFileManager::missingContentText());
}

TEST_F(WebSyncRequestHandlerTest, ANoteWaitsForItsResourcesThenSavesWithoutThem) {
  // The page named a resource whose upload never finished: the save tries
  // again and in the end goes through without a resource change.
  handler_->matchFileString("", "LATE1");
  auto saved = Sync("method=push&domain=0&fileId=N1&bodyString=%3Cimg%20src%3D%22LATE1%22%3E");
  ASSERT_EQ(saved->status, 200) << saved->error.localizedDescription();
  EXPECT_EQ(Content("N1"), "<img src=\"LATE1\">");
  EXPECT_TRUE(client_->reads().objectForFileMetaID("N1")->resources().empty());
  EXPECT_TRUE(handler_->containResourceId("LATE1"));
}

TEST_F(WebSyncRequestHandlerTest, MovesAndTheirRefusals) {
  // A move applies nothing else of the request.
  auto moved = Sync("method=push&domain=0&fileId=N1&parentId=NB2");
  EXPECT_EQ(moved->status, 500);  // "Plan.note" is taken in Home
  EXPECT_EQ(moved->json()["error"].stringValue(), "20108");
  EXPECT_EQ(moved->json()["duplicateFileId"].stringValue(), "N2");
  EXPECT_EQ(moved->json().dict().size(), 6u);
  EXPECT_EQ(Row("N1").substr(0, 3), "NB|");

  auto ok = Sync("method=push&domain=0&fileId=F1&parentId=NB2&name=ignored.txt");
  ASSERT_EQ(ok->status, 200) << ok->error.localizedDescription();
  EXPECT_EQ(Row("F1").substr(0, 12), "NB2|a.txt|3|");
  EXPECT_TRUE(waitForSyncs(1));

  auto intoChild = Sync("method=push&domain=0&fileId=NB&parentId=NB_C");
  EXPECT_EQ(intoChild->status, 500);
  EXPECT_EQ(intoChild->json()["error"].stringValue(), "MOVE_PARENT_TO_CHILD");
  EXPECT_EQ(Row("NB").substr(0, 5), "ROOT|");
}

TEST_F(WebSyncRequestHandlerTest, PinSetsNoLocalChangeAndStartsNoSync) {
  auto pinned = Sync("method=setstick&domain=0&fileId=NB&dir=1&stick=1");
  ASSERT_EQ(pinned->status, 200) << pinned->error.localizedDescription();
  EXPECT_EQ(Row("NB"), "ROOT|Work|3|0|live|1");
  ASSERT_TRUE(kxtest::waitForQueue(handler_->workQueue()));
  EXPECT_EQ(syncs(), 0);
}

TEST_F(WebSyncRequestHandlerTest, FailedWritesAndRefusedSavesLeaveStoreAndContent) {
  // A content write that fails: no entry is made, nothing syncs.
  {
    kxtest::FaultInjectingFileSystem fs;
    // Content is written into the writers' own folder and moved into place.
    fs.inject({.op = Op::OpenWrite, .pathContains = "/.writing/", .times = -1});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    auto answer = Sync("method=push&domain=0&fileId=NEW2&parentId=NB&bodyString=abc");
    EXPECT_NE(answer->status, 200);
    EXPECT_TRUE(answer->error) << answer->status;
    auto edit = Sync("method=push&domain=0&fileId=N1&bodyString=changed");
    EXPECT_TRUE(edit->error);
  }
  EXPECT_EQ(Row("NEW2"), "none");
  EXPECT_EQ(Content("N1"), "<p>old</p>");
  // A save the store refuses (the title is taken) puts the old content back.
  data_->performSyncWriteBlock([&](KXManagedObjectContext& c) {
    KXManagedObjectPtr o = c.insertNewObject("Note");
    EXPECT_TRUE(o->setValuesForKeys({{"fileId", "N3"},
                                     {"parentId", "NB"},
                                     {"title", "Taken.note"},
                                     {"del", false},
                                     {"dir", false},
                                     {"domain", 0}}));
    kx::Error error;
    EXPECT_TRUE(c.save(&error));
  });
  auto refused = Sync("method=push&domain=0&fileId=N1&name=Taken&bodyString=new%20text");
  EXPECT_EQ(refused->status, 500);
  EXPECT_EQ(refused->json()["error"].stringValue(), "20108");
  EXPECT_EQ(Content("N1"), "<p>old</p>");
  EXPECT_EQ(client_->reads().objectForFileMetaID("N1")->title(), "Plan.note");
  // A download whose read fails answers that the note is not there.
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::OpenRead, .pathContains = "Contents", .times = -1});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    EXPECT_EQ(Sync("method=download&fileId=N1&convert=true")->status, 404);
  }
  ASSERT_TRUE(kxtest::waitForQueue(handler_->workQueue()));
  EXPECT_EQ(syncs(), 0);
}

TEST_F(WebSyncRequestHandlerTest, CopyDeleteRecover) {
  auto copied = Sync("method=copy&fileId=NB&parentId=NB2");
  ASSERT_EQ(copied->status, 200) << copied->error.localizedDescription();
  const std::string copyId = copied->json()["fileMeta"]["fileEntry"]["id"].stringValue();
  ASSERT_FALSE(copyId.empty()) << copied->text();
  KXFileMetaArray children = client_->reads().objectsForParentId(copyId, "FileMeta");
  EXPECT_EQ(children.size(), 3u);  // Sub, Plan.note, a.txt
  EXPECT_TRUE(
      KXURLError::is(Sync("method=copy&fileId=NB&parentId=NB_C")->error, KXURLErrorCannotCopy));
  EXPECT_TRUE(
      KXURLError::is(Sync("method=copy&fileId=NB&parentId=NONE")->error, KXURLErrorCannotCopy));

  auto deleted = Sync("method=delete&fileId=N1");
  ASSERT_EQ(deleted->status, 200) << deleted->error.localizedDescription();
  EXPECT_EQ(client_->reads().objectForFileMetaID("N1")->parentId(), "1");
  auto recovered = Sync("method=recover&fileId=N1");
  ASSERT_EQ(recovered->status, 200) << recovered->error.localizedDescription();
  EXPECT_EQ(client_->reads().objectForFileMetaID("N1")->parentId(), "NB");
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N1")->del());
  EXPECT_TRUE(waitForSyncs(3));
}

TEST_F(WebSyncRequestHandlerTest, DownloadAnswersBytesUnderAnEscapedName) {
  auto plain = Sync("method=download&fileId=N1");
  EXPECT_EQ(plain->status, 200);
  EXPECT_TRUE(plain->body.empty());
  EXPECT_EQ(plain->header("Content-Disposition"), "filename=\"Plan.note\"");
  auto converted = Sync("method=download&fileId=N1&convert=true");
  EXPECT_EQ(converted->text(), "<p>old</p>");

  EXPECT_EQ(KXWebSyncRequestHandler::contentDisposition("a\"b\r\nSet-Cookie: x\\"),
            "filename=\"a\\\"bSet-Cookie: x\\\\\"");
}

TEST_F(WebSyncRequestHandlerTest, NamesAreCutAndTitlesReachDiskEncoded) {
  const std::string longName = std::string(100, 'x') + ".md";
  EXPECT_EQ(KXWebSyncRequestHandler::cutName(longName), std::string(77, 'x') + ".md");
  EXPECT_EQ(KXWebSyncRequestHandler::cutName(std::string(100, 'y')), std::string(80, 'y'));

  // A title with "/", ".." and NUL stays the entry's title and never leaves
  // the entry's own content folder.
  const std::string id = Open();
  ASSERT_EQ(
      Body(id, std::make_shared<kx::BytesInputStream>(kx::Bytes{'d', 'a', 't', 'a'}), 4)->status,
      200);
  auto saved =
      Sync("method=push&domain=1&fileId=F9&parentId=NB&name=..%2F..%2Fx%00y.bin&transmitId=" + id);
  ASSERT_EQ(saved->status, 200) << saved->error.localizedDescription();
  EXPECT_EQ(client_->reads().objectForFileMetaID("F9")->title(), std::string("../../x\0y.bin", 13));
  const std::string path =
      files().URLForContentFile("F9", false, std::string("../../x\0y.bin", 13));
  EXPECT_NE(path.find("/Contents/F9/"), std::string::npos) << path;
  EXPECT_EQ(Content("F9", std::string("../../x\0y.bin", 13)), "data");
  EXPECT_EQ(handler_->transferCount(), 0u);
}

TEST_F(WebSyncRequestHandlerTest, ResumedUploadKeepsOneFileAndBindsOnlyWholeBodies) {
  // Two transfers in the same second get their own ids.
  const std::string a = Open();
  const std::string b = Open();
  EXPECT_NE(a, b);
  EXPECT_EQ(Progress(a)->header("Range"), "bytes=0-");

  // 20 MB in three pieces; the second breaks off and is resent from the
  // range the page is told.
  const std::int64_t piece = 7000000;
  const std::int64_t total = 20000000;
  auto first = Body(a, std::make_shared<PatternStream>(piece), piece);
  ASSERT_EQ(first->status, 200) << first->error.localizedDescription();
  EXPECT_EQ(first->header("Range"), "bytes=0-6999999");
  auto broken = Body(a, std::make_shared<PatternStream>(piece, 3000000, piece), piece);
  EXPECT_TRUE(KXURLError::is(broken->error, KXURLErrorStreamFailed));
  // The page sends the second piece again from the range it was told last
  // (the first piece's): the broken bytes are replaced, never doubled.
  EXPECT_EQ(Body(a, std::make_shared<PatternStream>(piece, -1, piece), piece)->header("Range"),
            "bytes=0-13999999");
  EXPECT_EQ(
      Body(a, std::make_shared<PatternStream>(total - 2 * piece, -1, 2 * piece), total - 2 * piece)
          ->header("Range"),
      "bytes=0-19999999");

  // A body shorter than announced is not bound.
  ASSERT_EQ(Body(b, std::make_shared<PatternStream>(10), 20)->status, 200);
  auto partial = Sync("method=push&domain=1&fileId=F7&parentId=NB&name=p.bin&transmitId=" + b);
  EXPECT_TRUE(partial->error);
  EXPECT_EQ(Row("F7"), "none");

  auto bound = Sync("method=push&domain=1&fileId=F8&parentId=NB&name=big.bin&transmitId=" + a);
  ASSERT_EQ(bound->status, 200) << bound->error.localizedDescription();
  EXPECT_EQ(client_->reads().objectForFileMetaID("F8")->size(), total);
  std::optional<kx::Bytes> stored = files().readDataContentFileSync("F8", "big.bin");
  ASSERT_TRUE(stored);
  ASSERT_EQ((std::int64_t)stored->size(), total);
  for (std::int64_t at = 0; at < total; at += 997) {
    ASSERT_EQ((*stored)[(std::size_t)at], PatternStream::Byte(at)) << at;
  }
  // The bound transfer is forgotten with its temporary.
  EXPECT_EQ(handler_->transferCount(), 1u);
  EXPECT_TRUE(KXURLError::is(Progress(a)->error, KXURLErrorBadURL));

  // An idle transfer goes when a new one opens an hour later.
  now_ = now_.load() + KXWebSyncRequestHandler::kTransferIdleSeconds + 1;
  Open();
  EXPECT_EQ(handler_->transferCount(), 1u);
}

TEST_F(WebSyncRequestHandlerTest, PutResourceStoresAttachmentsWithIconsAndImagesWithTheirSize) {
  const std::string id = Open();
  const std::string pdf = "%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF\n";
  ASSERT_EQ(Body(id, std::make_shared<kx::BytesInputStream>(kx::Bytes(pdf.begin(), pdf.end())),
                 (std::int64_t)pdf.size())
                ->status,
            200);
  auto put = Sync("method=putResource&transmitId=" + id + "&resourceId=RES1&resourceName=doc.pdf");
  ASSERT_EQ(put->status, 200) << put->error.localizedDescription();
  EXPECT_EQ(put->json()["resourceName"].stringValue(), "doc.pdf");
  EXPECT_EQ(put->json()["fileSize"].intValue(), (std::int64_t)pdf.size());
  EXPECT_EQ(put->header("url"), "//note.zarvel.com/src/RES1");
  std::shared_ptr<Resource> res = client_->reads().objectForResourceID("RES1");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->meidaType(), "attachment");
  EXPECT_TRUE(handler_->containResourceId("RES1"));
  const std::string src = put->header("src");
  ASSERT_NE(src, put->header("url"));
  std::shared_ptr<Resource> icon =
      client_->reads().objectForResourceID(src.substr(src.rfind('/') + 1));
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->title(), "icon.png");
  EXPECT_EQ(icon->meidaType(), "attachment-preview");

  // A PNG becomes an image resource with its size in points.
  kx::Bytes png;
  kx::Error readError;
  ASSERT_TRUE(kx::FileSystem::Default().readFile(
      std::string(ZN_SOURCE_DIR) + "/resources/filetype/image.png", &png, &readError));
  const std::string imageUpload = Open();
  ASSERT_EQ(Body(imageUpload, std::make_shared<kx::BytesInputStream>(png), (std::int64_t)png.size())
                ->status,
            200);
  auto image = Sync("method=putResource&transmitId=" + imageUpload +
                    "&resourceId=IMG1&resourceName=pic.png");
  ASSERT_EQ(image->status, 200) << image->error.localizedDescription();
  EXPECT_EQ(image->header("src"), image->header("url"));
  std::shared_ptr<Resource> picture = client_->reads().objectForResourceID("IMG1");
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->meidaType(), "image");
  EXPECT_NE(picture->imageSize().find(".000000x"), std::string::npos) << picture->imageSize();

  // A note save that uses the id removes one occurrence of it.
  handler_->matchFileString("", "RES1");
  auto saved = Sync("method=push&domain=0&fileId=N1&bodyString=%3Cimg%20src%3D%22RES1%22%3E");
  ASSERT_EQ(saved->status, 200) << saved->error.localizedDescription();
  EXPECT_TRUE(handler_->containResourceId("RES1"));
  handler_->removeMatchFileString("", "RES1");
  EXPECT_FALSE(handler_->containResourceId("RES1"));
}

// The same store on a file system whose commits can be made to fail.
class WebSyncStoreFailureTest : public WebSyncRequestHandlerTest {
 protected:
  WebSyncStoreFailureTest() { faultVfs_ = true; }
  std::string Snapshot() {
    std::string rows;
    for (const char* id : {"N1", "N2", "F1", "NB", "NB_C", "NB2", "NEW"}) rows += Row(id) + ";";
    return rows + Content("N1") + ";" +
           std::to_string(client_->reads().objectsForParentId("NB2", "FileMeta").size()) +
           (client_->reads().objectForResourceID("RES9") ? "RES9" : "");
  }
};

TEST_F(WebSyncStoreFailureTest, EveryChangeWhoseSaveFailsIsAnErrorAndChangesNothing) {
  ASSERT_EQ(Sync("method=delete&fileId=N2")->status, 200);  // something to recover
  ASSERT_TRUE(waitForSyncs(1));
  const std::string upload = Open();
  const std::string pdf = "%PDF-1.4\n%%EOF\n";
  ASSERT_EQ(Body(upload, std::make_shared<kx::BytesInputStream>(kx::Bytes(pdf.begin(), pdf.end())),
                 (std::int64_t)pdf.size())
                ->status,
            200);
  const char* rows[] = {
      "method=push&domain=0&fileId=N1&bodyString=new%20text",
      "method=push&domain=0&fileId=NEW&parentId=NB&name=Fresh&bodyString=abc",
      "method=push&domain=1&fileId=F1&name=b.txt",
      "method=push&domain=0&fileId=F1&parentId=NB2",
      "method=setstick&domain=1&fileId=NB&dir=1&stick=1",
      "method=copy&fileId=NB&parentId=NB2",
      "method=delete&fileId=N1",
      "method=erase&fileId=NB_C",
      "method=recover&fileId=N2",
  };
  const std::string before = Snapshot();
  for (const char* row : rows) {
    kxtest::FaultVfs::instance().failWalWrites = true;
    auto answer = Sync(row);
    kxtest::FaultVfs::instance().failWalWrites = false;
    EXPECT_NE(answer->status, 200) << row;
    EXPECT_TRUE(answer->error) << row;
    ASSERT_TRUE(kxtest::waitForQueue(handler_->workQueue()));
    EXPECT_EQ(Snapshot(), before) << row;
  }
  kxtest::FaultVfs::instance().failWalWrites = true;
  auto put =
      Sync("method=putResource&transmitId=" + upload + "&resourceId=RES9&resourceName=d.pdf");
  kxtest::FaultVfs::instance().failWalWrites = false;
  EXPECT_TRUE(put->error);
  // What a later save writes holds none of the refused changes.
  ASSERT_EQ(Sync("method=push&domain=0&fileId=N1&bodyString=later")->status, 200);
  EXPECT_EQ(Row("N1").substr(0, 13), "NB|Plan.note|");
  EXPECT_EQ(Row("N1").substr(Row("N1").size() - 6), "live|0");
  EXPECT_EQ(Row("F1"), "NB|a.txt|3|0|live|0");
  EXPECT_EQ(Row("NB"), "ROOT|Work|3|0|live|0");
  EXPECT_EQ(Row("NB_C"), "NB|Sub|3|0|live|0");
  EXPECT_EQ(Row("NEW"), "none");
  EXPECT_TRUE(client_->reads().objectForFileMetaID("N2")->del());
  EXPECT_EQ(client_->reads().objectsForParentId("NB2", "FileMeta").size(), 0u);
  EXPECT_FALSE(client_->reads().objectForResourceID("RES9"));
  EXPECT_TRUE(waitForSyncs(2));
  ASSERT_TRUE(kxtest::waitForQueue(handler_->workQueue()));
  EXPECT_EQ(syncs(), 2);
}

TEST_F(WebSyncRequestHandlerTest, FileFailuresOfTransfersAreErrors) {
  // A body whose bytes cannot be written.
  handler_->setUploadWriteFunctionForTesting([](int, const void*, std::size_t) -> ssize_t {
    errno = EIO;
    return -1;
  });
  const std::string broken = Open();
  auto body = Body(broken, std::make_shared<PatternStream>(1000), 1000);
  EXPECT_TRUE(KXURLError::is(body->error, KXURLErrorStreamFailed));
  EXPECT_EQ(body->error.userInfo()["status"].stringValue(), "File write error");
  handler_->setUploadWriteFunctionForTesting(nullptr);

  // Received bytes that cannot be read back are not bound. (The body comes
  // whole, without "Content-Length", as the front hands small bodies on.)
  const std::string id = Open();
  kx::URLRequest whole(
      *kx::URL::parse("https://note.zarvel.com/qrt/api/personal/sync/upload/" + id));
  whole.setHTTPMethod("PUT");
  whole.setHTTPBody(kx::Bytes(1000, 'w'));
  EXPECT_EQ(Send(whole)->header("Range"), "bytes=0-");
  {
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = Op::OpenRead, .pathContains = ".tmp", .times = -1});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    auto push = Sync("method=push&domain=1&fileId=F5&parentId=NB&name=x.bin&transmitId=" + id);
    EXPECT_TRUE(push->error);
  }
  EXPECT_EQ(Row("F5"), "none");
  // The transfer is still there and binds once the file can be read.
  auto push = Sync("method=push&domain=1&fileId=F5&parentId=NB&name=x.bin&transmitId=" + id);
  ASSERT_EQ(push->status, 200) << push->error.localizedDescription();
  EXPECT_EQ(Content("F5", "x.bin").size(), 1000u);
}

}  // namespace
