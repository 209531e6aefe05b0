#include "sync/pull/KXFilePuller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/cycle/KXSyncScriptBridge.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class KXFilePullerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<kxtest::TestSyncEndpoints>(service);
    tempFolder = root.path() + "/Temp";
    fs::create_directories(tempFolder);
  }
  void TearDown() override {
    endpoints->setDownloadGateClosed(false);
    controller.clearEnvironment();
    service.stop();
    endpoints.reset();
  }
  // Temporary files named by file id, so that a test can find them.
  std::shared_ptr<KXFilePuller> puller(const std::string& fileId) {
    return std::make_shared<KXFilePuller>(
        fileId, kx::Value(1), service.baseURL(),
        [this, fileId] { return tempFolder + "/" + fileId + ".tmp"; }, controller);
  }

  kxtest::TempAppRoot root;
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> endpoints;
  std::string tempFolder;
  KXConcurrentController controller{KXConcurrentController::kPullConcurrentLen};
};

TEST_F(KXFilePullerTest, DownloadsTheBodyWithTheEditorVersion) {
  class Bridge : public KXSyncScriptBridge {
   public:
    std::string getEditorVersion() override { return "3.2.1"; }
  };
  KXSyncScriptBridge::install(std::make_shared<Bridge>());
  endpoints->putNote("A", "ROOT", "a.note", "<note>hello</note>");
  auto a = puller("A");
  KXSyncScriptBridge::install(nullptr);
  std::atomic<bool> done{false};
  kx::Value answer;
  a->pullWithCallback([&](const kx::Value& result, const kx::Error& error) {
    EXPECT_TRUE(error.domain().empty()) << error.localizedDescription();
    answer = result;
    done = true;
  });
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return done.load(); }, 20));
  const std::string path = answer[KXFilePuller::kTmpFilePathKey].stringValue();
  EXPECT_EQ(path, tempFolder + "/A.tmp");
  EXPECT_EQ(readAll(path), "<note>hello</note>");
  auto sent = service.requests(kxtest::TestSyncEndpoints::kSyncPath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(kxtest::formValue(sent[0].query, "method"), "download");
  for (const auto& [key, value] : std::map<std::string, std::string>{{"fileId", "A"},
                                                                     {"version", "1"},
                                                                     {"convert", "false"},
                                                                     {"editorType", "1"},
                                                                     {"editorVersion", "3.2.1"}}) {
    EXPECT_EQ(kxtest::formValue(sent[0].body, key), value) << key;
  }
}

TEST_F(KXFilePullerTest, FailedDownloadReportsTheErrorAndLeavesNoFile) {
  endpoints->putNote("B", "ROOT", "b.note", "body");
  endpoints->failDownload("B", 1);
  std::atomic<int> calls{0};
  kx::Error failure;
  auto b = puller("B");
  b->pullWithCallback([&](const kx::Value&, const kx::Error& error) {
    failure = error;
    ++calls;
  });
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return calls.load() == 1; }, 20));
  EXPECT_FALSE(failure.domain().empty());
  // The transport removes the partial file once the failure has been
  // delivered, on its own thread.
  EXPECT_TRUE(kxtest::pumpMainUntil([&] { return fs::is_empty(tempFolder); }, 20))
      << "no partial file stays";
}

TEST_F(KXFilePullerTest, SevenAtOnceAndClearedPullersNeverAnswer) {
  std::vector<std::shared_ptr<KXFilePuller>> pullers;
  for (int i = 0; i < 9; ++i) {
    std::string id = "N" + std::to_string(i);
    endpoints->putNote(id, "ROOT", "n.note", "body " + id);
    pullers.push_back(puller(id));
  }
  endpoints->setDownloadGateClosed(true);
  std::mutex mu;
  std::map<std::string, std::string> files;
  for (auto& p : pullers) {
    p->pullWithCallback([&, id = p->fileId()](const kx::Value& result, const kx::Error& error) {
      std::lock_guard<std::mutex> lock(mu);
      files[id] =
          error.domain().empty() ? result[KXFilePuller::kTmpFilePathKey].stringValue() : "error";
    });
  }
  ASSERT_TRUE(endpoints->waitForDownloadsInFlight(7, 20));
  pullers[8]->clearEnvironment();  // still waiting for a slot
  endpoints->setDownloadGateClosed(false);
  ASSERT_TRUE(kxtest::pumpMainUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mu);
        return files.size() == 8;
      },
      20));
  ASSERT_TRUE(controller.workQueue().waitUntilAllOperationsAreFinished(20));
  EXPECT_EQ(endpoints->peakDownloadsInFlight(), 7);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(files.count("N8"), 0u) << "cleared";
  std::set<std::string> paths;
  for (const auto& [id, path] : files) {
    EXPECT_EQ(readAll(path), "body " + id);
    paths.insert(path);
  }
  EXPECT_EQ(paths.size(), 8u);
}

TEST_F(KXFilePullerTest, ABodyKeptInMemoryComesAsBytesAndNoFileIsMade) {
  // Bytes a text conversion could change, and an empty body.
  static const char kBytes[] = "<note>\0\xff caf\xc3\xa9\r\n</note>";
  const std::string body(kBytes, sizeof(kBytes) - 1);
  endpoints->putNote("M", "ROOT", "m.note", body);
  endpoints->putNote("E", "ROOT", "e.note", "");
  endpoints->putNote("F", "ROOT", "f.note", "never");
  endpoints->failDownload("F", 1);
  std::mutex mu;
  std::map<std::string, kx::Value> answers;
  std::map<std::string, kx::Error> errors;
  std::vector<std::shared_ptr<KXFilePuller>> pullers;
  for (const std::string id : {"M", "E", "F"}) {
    auto p = puller(id);
    pullers.push_back(p);
    p->setKeepsBodyInMemory(true);
    p->pullWithCallback([&, id](const kx::Value& result, const kx::Error& error) {
      std::lock_guard<std::mutex> lock(mu);
      answers[id] = result;
      errors[id] = error;
    });
  }
  ASSERT_TRUE(kxtest::pumpMainUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mu);
        return answers.size() == 3;
      },
      20));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_FALSE(errors["M"]) << errors["M"].localizedDescription();
  const kx::Bytes& got = answers["M"][KXFilePuller::kBodyKey].bytes();
  EXPECT_EQ(std::string(got.begin(), got.end()), body);
  EXPECT_EQ(answers["M"].find(KXFilePuller::kTmpFilePathKey), nullptr);
  EXPECT_FALSE(errors["E"]);
  EXPECT_TRUE(answers["E"][KXFilePuller::kBodyKey].isData());
  EXPECT_TRUE(answers["E"][KXFilePuller::kBodyKey].bytes().empty());
  EXPECT_TRUE(errors["F"]);
  EXPECT_TRUE(fs::is_empty(tempFolder)) << "no download file";
}

}  // namespace
