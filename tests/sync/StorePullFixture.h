// The store's side of the pull, end to end, for scenario tests: the pull
// proxy against the test note service, writing into a real data client over
// a temporary store through the store's applier. The fixture runs one pull
// per cycle() (a new proxy, as a cycle makes one) and reads the store back.
#ifndef ZN_TESTS_SYNC_STOREPULLFIXTURE_H_
#define ZN_TESTS_SYNC_STOREPULLFIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/Root.h"
#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/SyncPullTestSupport.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/cycle/KXSyncState.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"
#include "sync/pull/KXSyncStorePullApplier.h"

namespace kxtest {

// The program's pull environment over this test's data client and service.
class StorePullEnvironment : public KXSyncPullEnvironment {
 public:
  void startMysharePull() override {}
  StorePullEnvironment(std::string baseURL, KXDataClient* client, EventLog* log)
      : baseURL_(std::move(baseURL)), client_(client), log_(log) {}
  std::string serviceBaseURL() override { return baseURL_; }
  bool canConnect() override { return true; }
  std::int64_t baseVersion() override {
    std::int64_t version = 0;
    client_->reads().performSyncReadBlock([&] {
      if (auto root = client_->reads().rootEntry()) version = root->version();
    });
    return version;
  }
  bool isFullPulling() override { return KXSyncState::shared().isFullPulling(); }
  void setCurrentSessionVersion(std::int64_t version) override {
    KXSyncState::shared().setCurrentSessionVersion(kx::Value(version));
  }
  kx::Array fetchPullFailed() override { return client_->records().fetchPullFailed(); }
  void pullFailedFileId(const std::string& fileId, const std::string& json) override {
    client_->records().pullFailedFileId(fileId, json);
  }
  void deletePullFailedFileId(const std::string& fileId) override {
    client_->records().deletePullFailedFileId(fileId);
  }
  void save(std::function<void()> done) override {
    log_->add("save");
    client_->state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
      if (done) done();
    });
  }
  std::shared_ptr<KXSyncPullApplier> applier() override { return applierToUse; }

  std::shared_ptr<KXSyncPullApplier> applierToUse;

 private:
  const std::string baseURL_;
  KXDataClient* const client_;
  EventLog* const log_;
};

// The editor has one file open and the conflicts are counted.
class EditingBridge : public KXSyncScriptBridge {
 public:
  explicit EditingBridge(std::string fileId) : fileId_(std::move(fileId)) {}
  std::string currentModifingFile() override { return fileId_; }
  void trackEvent(const std::string& event, std::int64_t value) override {
    if (event == "pull_conflict") conflicts += value;
  }
  std::atomic<std::int64_t> conflicts{0};

 private:
  const std::string fileId_;
};

class StorePullFixture : public DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<TestSyncEndpoints>(service);
    env = std::make_shared<StorePullEnvironment>(service.baseURL(), client_.get(), &log);
    env->applierToUse = std::make_shared<KXSyncStorePullApplier>(*client_);
  }
  void TearDown() override {
    KXSyncScriptBridge::install(nullptr);
    for (auto& proxy : proxies) proxy->clearEnvironment();
    service.releaseHeld();
    service.stop();
    endpoints.reset();
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    DataClientFixture::TearDown();
  }

  // One pull with a new proxy (as a cycle makes one); "success" or "fail".
  std::string cycle() {
    startCycle();
    return waitCycle();
  }
  // Starts a pull with a new proxy and returns it.
  std::shared_ptr<KXSyncPullProxy> startCycle() {
    log.clear();
    auto delegate = std::make_shared<RecordingPullDelegate>(&log);
    delegates.push_back(delegate);
    auto proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
    proxies.push_back(proxy);
    proxy->pull();
    return proxy;
  }
  // Waits for the pull startCycle() began to report; "success" or "fail".
  std::string waitCycle() {
    bool ended = pumpMainUntil(
        [&] {
          for (const auto& e : log.events()) {
            if (e == "success" || e.rfind("fail", 0) == 0) return true;
          }
          return false;
        },
        60);
    EXPECT_TRUE(ended);
    // Queued writes (if any) are behind the reports on the write queue.
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    return log.count("success") == 1 ? "success" : "fail";
  }

  // Every stored file entry by file id, as dictionaries of their values.
  std::map<std::string, kx::Dictionary> stored() {
    std::map<std::string, kx::Dictionary> rows;
    kx::Error error;
    auto objects = client_->reads().readFileMetasSyncForQuery(std::nullopt, {}, "FileMeta", &error);
    EXPECT_TRUE(objects) << error.localizedDescription();
    if (!objects) return rows;
    client_->reads().performSyncReadBlock([&] {
      for (const KXManagedObjectPtr& object : *objects) {
        kx::Dictionary values;
        for (const std::string& name : object->entity().propertyNames()) {
          if (object->entity().attribute(name)) values.set(name, object->value(name));
        }
        values.set("entity", kx::Value(object->entity().name()));
        rows[object->stringValue("fileId")] = std::move(values);
      }
    });
    return rows;
  }

  std::int64_t storedRootVersion() { return env->baseVersion(); }

  // The store holds every entry of the service as the service has it.
  void expectConverged() {
    std::map<std::string, kx::Dictionary> rows = stored();
    EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());
    for (const std::string& id : endpoints->entryIds()) {
      SCOPED_TRACE(id);
      const kx::Value entry = endpoints->entry(id)["entry"];
      auto row = rows.find(id);
      ASSERT_NE(row, rows.end());
      const kx::Dictionary& r = row->second;
      EXPECT_EQ(r["version"].intValue(), entry["version"].intValue());
      if (id == TestSyncEndpoints::kRootId) {
        EXPECT_EQ(r["entity"].stringValue(), "Root");
        continue;
      }
      EXPECT_EQ(r["parentId"].stringValue(), entry["parentId"].stringValue());
      EXPECT_EQ(r["title"].stringValue(), entry["name"].stringValue());
      EXPECT_EQ(r["dir"].boolValue(), entry["dir"].boolValue());
      EXPECT_EQ(r["checksum"].stringValue(), entry["checksum"].stringValue());
      EXPECT_EQ(r["deleted"].boolValue(), entry["deleted"].boolValue());
      EXPECT_EQ(r["del"].boolValue(), entry["deleted"].boolValue());
      EXPECT_EQ(r["remoteRemoved"].boolValue(), entry["remoteRemoved"].intValue() == 1);
      EXPECT_EQ(r["localModified"].intValue(), 0);
      EXPECT_EQ(r["entity"].stringValue(), entry["dir"].boolValue()      ? "Notebook"
                                           : entry["domain"].boolValue() ? "NormalFile"
                                                                         : "Note");
    }
  }

  // Changes a stored entry as an edit on this machine would.
  void editLocally(const std::string& fileId, const kx::Dictionary& fields) {
    Write([&](KXManagedObjectContext& context) {
      KXFileMetaPtr entry = client_->readsIn(&context).objectForFileMetaID(fileId);
      ASSERT_TRUE(entry) << fileId;
      EXPECT_TRUE(entry->setValuesForKeys(fields));
    });
  }

  std::size_t pullRequestsFor(const std::string& baseVersion) {
    std::size_t n = 0;
    for (auto& r : service.requests(TestSyncEndpoints::kSyncPath)) {
      n += formValue(r.body, "baseVersion") == baseVersion ? 1 : 0;
    }
    return n;
  }

  TestNoteService service;
  std::unique_ptr<TestSyncEndpoints> endpoints;
  EventLog log;
  std::shared_ptr<StorePullEnvironment> env;
  std::vector<std::shared_ptr<RecordingPullDelegate>> delegates;
  std::vector<std::shared_ptr<KXSyncPullProxy>> proxies;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SYNC_STOREPULLFIXTURE_H_
