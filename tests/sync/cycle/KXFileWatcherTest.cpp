#include "sync/cycle/KXFileWatcher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/Resource.h"
#include "platform/Crypto.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "sync/StorePullFixture.h"

namespace {

class RecordingWatcherEnvironment : public KXFileWatcherEnvironment {
 public:
  RecordingWatcherEnvironment(KXDataClient* client, kxtest::EventLog* log)
      : client_(client), log_(log) {}
  KXDataClient& client() override { return *client_; }
  void save(std::function<void()> done) override {
    client_->state().performSave(
        [this, done = std::move(done)](const KXResultInfo&, const kx::Error&) {
          log_->add("save");
          if (done) done();
        });
  }
  void startSync() override { log_->add("sync"); }
  void refreshOffice() override { log_->add("refresh"); }

 private:
  KXDataClient* const client_;
  kxtest::EventLog* const log_;
};

std::string Bytes(std::size_t size, char fill) { return std::string(size, fill); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::int64_t ModifyTimeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mtim.tv_sec;
}

class KXFileWatcherTest : public kxtest::StorePullFixture {
 protected:
  void SetUp() override {
    StorePullFixture::SetUp();
    clock = std::make_shared<kxtest::KXManualDelayClock>();
    watcher = std::make_unique<KXFileWatcher>(
        std::make_shared<RecordingWatcherEnvironment>(client_.get(), &events), clock);
    dataDirectory = KXFileManager::defaultManauger().URLForCurrentUserDataDirectory();
    ASSERT_FALSE(dataDirectory.empty());
    std::filesystem::create_directories(dataDirectory + "/Contents");
    std::filesystem::create_directories(dataDirectory + "/Resources");
  }
  void TearDown() override {
    // What the watcher armed on the clock runs before it goes (the save
    // window's timer also holds the watcher's runner until it fires).
    watcher->stopWatchFileChange();
    clock->advance(60);
    ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
    kx::MainQueue::shared().drain();
    watcher.reset();
    StorePullFixture::TearDown();
  }

  // A stored file the service also has, its body on disk as pulled.
  std::string putStoredFile(const std::string& fileId, const std::string& title,
                            const std::string& body) {
    const std::string path =
        KXFileManager::defaultManauger().URLForContentFile(fileId, false, title);
    WriteFile(path, body);
    Write([&](KXManagedObjectContext& context) {
      kxtest::Put(context, "NormalFile",
                  {{"fileId", kx::Value(fileId)},
                   {"parentId", kx::Value("ROOT")},
                   {"title", kx::Value(title)},
                   {"domain", kx::Value(true)},
                   {"version", kx::Value(3)},
                   {"size", kx::Value(static_cast<std::int64_t>(body.size()))},
                   {"modifyTime", kx::Value(1000)},
                   {"md5", kx::Value(kx::Crypto::md5Hex(body))}});
    });
    return path;
  }

  // Waits until the watcher has the paths, then lets the batch's latency
  // pass and waits until the batch has been handled. What it marks is saved
  // later, by the save window (the "save" and "sync" events).
  void handleBatch(const std::vector<std::string>& paths) {
    ASSERT_TRUE(kxtest::pumpMainUntil([&] {
      std::vector<std::string> pending = watcher->pendingPaths();
      for (const auto& path : paths) {
        if (std::find(pending.begin(), pending.end(), path) == pending.end()) return false;
      }
      return true;
    }));
    clock->advance(KXFileWatcher::kLatencySeconds);
    ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  }

  kx::Dictionary row(const std::string& fileId) { return stored()[fileId]; }

  std::shared_ptr<kxtest::KXManualDelayClock> clock;
  std::unique_ptr<KXFileWatcher> watcher;
  kxtest::EventLog events;
  std::string dataDirectory;
};

TEST_F(KXFileWatcherTest, AFileSavedFromOutsideIsMarkedChangedSavedAndSynced) {
  const std::string path = putStoredFile("F1", "report.xlsx", Bytes(800, 'a'));
  ASSERT_TRUE(watcher->startWatchFile(dataDirectory));

  WriteFile(path, Bytes(1200, 'b'));
  handleBatch({path});
  // The marks are saved through the save window, then a sync is asked for.
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return events.count("sync") == 1; }));
  EXPECT_EQ(events.events().front(), "save");

  kx::Dictionary entry = row("F1");
  EXPECT_EQ(entry["version"].intValue(), 4);
  EXPECT_TRUE(entry["localModified"].boolValue());
  EXPECT_TRUE(entry["contentChanged"].boolValue());
  EXPECT_EQ(entry["size"].intValue(), 1200);
  EXPECT_EQ(entry["modifyTime"].intValue(), ModifyTimeOf(path));

  // The page's preview is reloaded 4 seconds later.
  EXPECT_EQ(events.count("refresh"), 0u);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] {
    clock->advance(KXFileWatcher::kRefreshDelaySeconds);
    return events.count("refresh") == 1;
  }));

  // The same notice again (the time the entry holds) changes nothing.
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  const std::int64_t marked = ModifyTimeOf(path);
  WriteFile(path, Bytes(1200, 'c'));
  const timespec times[2] = {{marked, 0}, {marked, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  handleBatch({path});
  EXPECT_EQ(row("F1")["version"].intValue(), 4);
}

TEST_F(KXFileWatcherTest, EventsThatDoNotQualifyAreSkippedAloneAndTheBatchGoesOn) {
  const std::string small = putStoredFile("F2", "small.docx", Bytes(100, 's'));
  const std::string unknown = dataDirectory + "/Contents/NOSUCH/other.docx";
  const std::string note = dataDirectory + "/Contents/Z/N1";
  const std::string attachment = dataDirectory + "/Resources/1/2/R1/never.pdf";
  const std::string real = putStoredFile("F1", "slides.pptx", Bytes(900, 'a'));
  Write([&](KXManagedObjectContext& context) {
    kxtest::Put(context, "Note",
                {{"fileId", kx::Value("N1")},
                 {"parentId", kx::Value("ROOT")},
                 {"title", kx::Value("a.note")},
                 {"version", kx::Value(7)}});
  });
  ASSERT_TRUE(watcher->startWatchFile(dataDirectory));

  WriteFile(small, Bytes(300, 't'));
  WriteFile(unknown, Bytes(900, 'u'));
  WriteFile(note, Bytes(900, 'n'));
  WriteFile(attachment, Bytes(900, 'p'));
  WriteFile(real, Bytes(1500, 'b'));
  handleBatch({small, unknown, note, attachment, real});
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return events.count("sync") == 1; }));

  EXPECT_EQ(row("F2")["version"].intValue(), 3);
  EXPECT_EQ(row("N1")["version"].intValue(), 7);
  EXPECT_EQ(row("F1")["version"].intValue(), 4);
  EXPECT_TRUE(row("F1")["contentChanged"].boolValue());
  // A presentation asks for no preview reload.
  clock->advance(KXFileWatcher::kRefreshDelaySeconds);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(events.count("refresh"), 0u);
}

TEST_F(KXFileWatcherTest, PathsCountByTheirPlaceUnderTheDataDirectory) {
  // A data directory below a folder named "Resources": its stored files are
  // still stored files, not attachments.
  const std::string nested = dataDirectory + "/Resources/deep/user";
  std::filesystem::create_directories(nested + "/Contents/F1");
  const std::string path = nested + "/Contents/F1/Resources plan.docx";
  WriteFile(path, Bytes(700, 'a'));
  Write([&](KXManagedObjectContext& context) {
    kxtest::Put(context, "NormalFile",
                {{"fileId", kx::Value("F1")},
                 {"parentId", kx::Value("ROOT")},
                 {"title", kx::Value("Resources plan.docx")},
                 {"domain", kx::Value(true)},
                 {"version", kx::Value(1)},
                 {"modifyTime", kx::Value(1000)}});
  });
  ASSERT_TRUE(watcher->startWatchFile(nested));
  WriteFile(path, Bytes(900, 'b'));
  handleBatch({path});
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return events.count("sync") == 1; }));
  EXPECT_EQ(row("F1")["version"].intValue(), 2);
}

TEST_F(KXFileWatcherTest, APreviewedAttachmentMarksItsResourceAndItsNote) {
  Write([&](KXManagedObjectContext& context) {
    kxtest::Put(context, "Note",
                {{"fileId", kx::Value("N1")},
                 {"parentId", kx::Value("ROOT")},
                 {"title", kx::Value("a.note")},
                 {"version", kx::Value(7)}});
  });
  kx::Error error;
  data_->performSyncWriteBlock([&](KXManagedObjectContext&) {});
  auto done = std::make_shared<std::promise<void>>();
  client_->editorSave().createOrUpdateResourceMeta(
      kx::Dictionary{{KXEditorSave::kResourceInfoIdKey, kx::Value("R1")},
                     {"title", kx::Value("sheet.xlsx")},
                     {"size", kx::Value(600)},
                     {"modifyTime", kx::Value(1000)},
                     {"noteId", kx::Value("N1")}},
      [done](const KXResultInfo&, const kx::Error&) { done->set_value(); });
  done->get_future().wait();
  Write([](KXManagedObjectContext&) {});
  const std::string path = dataDirectory + "/Resources/1/2/N1/sheet.xlsx";
  WriteFile(path, Bytes(600, 'a'));
  ASSERT_TRUE(watcher->startWatchFile(dataDirectory));
  watcher->addResourceIdEntry(path, "R1", "N1");

  WriteFile(path, Bytes(2000, 'b'));
  handleBatch({path});
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return events.count("sync") == 1; }));

  EXPECT_EQ(row("N1")["version"].intValue(), 8);
  EXPECT_TRUE(row("N1")["contentChanged"].boolValue());
  auto resource = client_->reads().objectForResourceID("R1");
  ASSERT_TRUE(resource);
  EXPECT_EQ(resource->size(), 2000);
  EXPECT_TRUE(resource->boolValue("localModified"));
}

TEST_F(KXFileWatcherTest, AFullPullMarksNothing) {
  ASSERT_TRUE(watcher->startWatchFile(dataDirectory));
  endpoints->putNotebook("NB", "ROOT", "Work");
  std::vector<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    const std::string id = "F" + std::to_string(i);
    const std::string body = Bytes(600 + i, static_cast<char>('a' + i % 26));
    endpoints->putEntry(id,
                        {{"parentId", kx::Value("NB")},
                         {"name", kx::Value("file" + std::to_string(i) + ".docx")},
                         {"domain", kx::Value(1)}},
                        &body);
    ids.push_back(id);
  }
  ASSERT_EQ(cycle(), "success");
  std::vector<std::string> paths;
  for (int i = 0; i < 100; ++i) {
    paths.push_back(KXFileManager::defaultManauger().URLForContentFile(
        ids[i], false, "file" + std::to_string(i) + ".docx"));
  }
  handleBatch(paths);

  auto rows = stored();
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(rows[id]["localModified"].intValue(), 0);
    EXPECT_EQ(rows[id]["version"].intValue(), endpoints->entry(id)["entry"]["version"].intValue());
  }
  EXPECT_EQ(events.count("sync"), 0u);
}

}  // namespace
