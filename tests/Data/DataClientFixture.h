// A data client over a fresh store in a temporary application root, for the
// data client's tests: the fixture, row helpers and the log reader they
// share. Each test gets its own store; nothing outlives the test.
#ifndef ZN_TESTS_DATA_DATACLIENTFIXTURE_H_
#define ZN_TESTS_DATA_DATACLIENTFIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "StoreTestSupport.h"
#include "platform/FileSystem.h"
#include "search/KXSLucene.h"
#include "support/QueueBarrier.h"
#include "support/StoreTree.h"
#include "support/TempAppRoot.h"

namespace kxtest {

inline std::vector<std::string> Ids(const KXFileMetaArray& entries) {
  std::vector<std::string> ids;
  for (const auto& entry : entries) ids.push_back(entry->fileId());
  return ids;
}

inline std::vector<std::string> Ids(const std::vector<KXManagedObjectPtr>& objects) {
  std::vector<std::string> ids;
  for (const auto& object : objects) ids.push_back(object->stringValue("fileId"));
  return ids;
}

// Inserts a row; file entries get the flags a pulled entry carries (not in
// the trash, not removed, not modified, not encrypted, not pinned) unless
// the fields say otherwise.
inline KXManagedObjectPtr Put(KXManagedObjectContext& context, const std::string& entity,
                              const kx::Dictionary& fields) {
  return StoreTree(context, {{"localModified", kx::Value(0)}}).put(entity, fields);
}

// The file ids the client's index answers for the words (a failed search is
// a test failure).
inline std::vector<std::string> SearchIndex(KXDataClient& client, const std::string& words) {
  kx::Error error;
  std::optional<std::vector<std::string>> hits = KXSLucene::search(
      client.indexing().indexDirectory(),
      KXSLucene::loadStopWords(client.indexing().indexStopWordsFile()), words, &error);
  EXPECT_FALSE(error) << error.localizedDescription();
  return hits.value_or(std::vector<std::string>{});
}

class DataClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<TestStoreEnvironment>(root_.path() + "/appdata");
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    // The client brings the new store to the current data version on the
    // write queue; tests start from the converted store.
    EXPECT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
    // Log into this test's folder, from an empty file.
    KXLogger::sharedLogger().reset();
  }
  void TearDown() override {
    client_.reset();
    KXHooks::setRootEntryIdProvider(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }

  // Runs the block on the write queue and saves.
  void Write(const std::function<void(KXManagedObjectContext&)>& block) {
    data_->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      block(context);
      kx::Error error;
      EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
    });
  }

  // Saves (index batches of changes made in write blocks wait for the save
  // that stores them), waits until every index batch handed over before has
  // been written and its hasIndex flags set (batches keep their order), then
  // saves again.
  void WaitForIndex() {
    Write([](KXManagedObjectContext&) {});
    std::promise<void> done;
    client_->indexing().indexNotes({}, [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Write([](KXManagedObjectContext&) {});
  }

  // The file ids the client's index answers for the words.
  std::vector<std::string> Search(const std::string& words) { return SearchIndex(*client_, words); }

  KXFileMetaArray Entries(const std::vector<std::string>& ids) {
    KXFileMetaArray out;
    for (const auto& id : ids) {
      KXFileMetaPtr entry = client_->reads().objectForFileMetaID(id);
      EXPECT_TRUE(entry) << id;
      if (entry) out.push_back(entry);
    }
    return out;
  }

  static std::string LogText() {
    KXLogger::sharedLogger().drain();
    std::string text;
    // No log file yet reads as no lines.
    kx::ignoreError(
        kx::FileSystem::Default().readFile(KXLogger::sharedLogger().logFilePath(), &text, nullptr));
    return text;
  }

  kxtest::TempAppRoot root_;
  std::shared_ptr<TestStoreEnvironment> env_;
  std::shared_ptr<KXDataContext> data_;
  std::unique_ptr<KXDataClient> client_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_DATA_DATACLIENTFIXTURE_H_
