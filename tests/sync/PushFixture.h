// The push end to end, for scenario tests: the push proxy against the test
// note service (pull, download and push endpoints over one tree), writing
// into a real data client over a temporary store, with the pull of
// StorePullFixture for whole cycles (pull, push, pull after the push).
#ifndef ZN_TESTS_SYNC_PUSHFIXTURE_H_
#define ZN_TESTS_SYNC_PUSHFIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXHeadlessUIPort.h"
#include "Data/client/KXFileManager.h"
#include "support/TestPushEndpoints.h"
#include "sync/StorePullFixture.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/push/KXMetaPusher.h"
#include "sync/push/KXSyncPushProxy.h"
#include "sync/push/KXSyncPushServices.h"

namespace kxtest {

// Records what a push reports: "success" or "fail:<code>".
class RecordingPushDelegate : public KXSyncPushProxyDelegate {
 public:
  explicit RecordingPushDelegate(EventLog* log) : log_(log) {}
  void didPushSuccess() override { log_->add("push success"); }
  void didPushFail(const kx::Error& error) override {
    log_->add("push fail:" + std::to_string(error.code()));
  }

 private:
  EventLog* const log_;
};

class PushFixture : public StorePullFixture {
 protected:
  void SetUp() override {
    StorePullFixture::SetUp();
    pushEndpoints = std::make_unique<TestPushEndpoints>(service, *endpoints);
    controller =
        std::make_shared<KXConcurrentController>(KXConcurrentController::kPushConcurrentLen);
    ui = std::make_shared<KXHeadlessUIPort>();
    KXMetaPusher::resetSpaceFullAlertForTesting();
  }
  void TearDown() override {
    for (auto& proxy : pushProxies) proxy->clearEnvironment();
    pushEndpoints->setPushGateClosed(false);
    ASSERT_TRUE(service.waitForInFlight(0, 30));
    controller->clearEnvironment();
    controller.reset();
    pushEndpoints.reset();
    StorePullFixture::TearDown();
  }

  KXSyncPushServices services() {
    KXSyncPushServices s;
    s.client = client_.get();
    s.serviceBaseURL = service.baseURL();
    s.controller = controller.get();
    s.ui = ui;
    s.editorVersion = [] { return std::optional<std::string>("7"); };
    return s;
  }

  // Starts a push with a new proxy (as a cycle makes one).
  std::shared_ptr<KXSyncPushProxy> startPush() {
    pushLog.clear();
    auto delegate = std::make_shared<RecordingPushDelegate>(&pushLog);
    pushDelegates.push_back(delegate);
    auto proxy = std::make_shared<KXSyncPushProxy>(delegate, services());
    pushProxies.push_back(proxy);
    proxy->push();
    return proxy;
  }
  // "push success" or "push fail:<code>".
  std::string waitPush() {
    bool ended = pumpMainUntil(
        [&] {
          for (const auto& e : pushLog.events()) {
            if (e.rfind("push ", 0) == 0) return true;
          }
          return false;
        },
        60);
    EXPECT_TRUE(ended);
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    auto events = pushLog.events();
    return events.empty() ? std::string("none") : events.front();
  }
  std::string push() {
    startPush();
    return waitPush();
  }
  // Pull, push, pull after the push: "success" or what failed first.
  std::string wholeCycle() {
    std::string pulled = cycle();
    if (pulled != "success") return "pull " + pulled;
    std::string pushed = push();
    if (pushed != "push success") return pushed;
    pulled = cycle();
    return pulled == "success" ? "success" : "pull after push " + pulled;
  }

  // Entries made on this machine, as the editor and the web interface make
  // them: marked as changed, with their content written first.
  void localNotebook(const std::string& id, const std::string& parentId, const std::string& title) {
    Write([&](KXManagedObjectContext& context) {
      Put(context, "Notebook",
          {{"fileId", kx::Value(id)},
           {"parentId", kx::Value(parentId)},
           {"title", kx::Value(title)},
           {"localModified", kx::Value(1)},
           {"createTime", kx::Value(1700000000)},
           {"modifyTime", kx::Value(1700000000)}});
    });
  }
  void localNote(const std::string& id, const std::string& parentId, const std::string& title,
                 const std::string& text) {
    ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(kx::ByteView(text), id));
    Write([&](KXManagedObjectContext& context) {
      Put(context, "Note",
          {{"fileId", kx::Value(id)},
           {"parentId", kx::Value(parentId)},
           {"title", kx::Value(title)},
           {"localModified", kx::Value(1)},
           {"contentChanged", kx::Value(true)},
           {"domain", kx::Value(0)},
           {"createTime", kx::Value(1700000000)},
           {"modifyTime", kx::Value(1700000000)}});
    });
  }
  void localFile(const std::string& id, const std::string& parentId, const std::string& title,
                 const std::string& bytes) {
    KXFileManager& files = KXFileManager::defaultManauger();
    ASSERT_TRUE(files.writeContentFileSync(kx::ByteView(bytes), id, title));
    Write([&](KXManagedObjectContext& context) {
      Put(context, "NormalFile",
          {{"fileId", kx::Value(id)},
           {"parentId", kx::Value(parentId)},
           {"title", kx::Value(title)},
           {"localModified", kx::Value(1)},
           {"contentChanged", kx::Value(true)},
           {"domain", kx::Value(1)},
           {"createTime", kx::Value(1700000000)},
           {"modifyTime", kx::Value(1700000000)}});
    });
  }
  // An edit of the note's text on this machine.
  void editNoteText(const std::string& id, const std::string& text, std::int64_t modifyTime) {
    ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(kx::ByteView(text), id));
    editLocally(id, {{"localModified", kx::Value(1)},
                     {"contentChanged", kx::Value(true)},
                     {"modifyTime", kx::Value(modifyTime)}});
  }
  std::string localText(const std::string& id) {
    return KXFileManager::defaultManauger().readStringContentFileSync(id, false);
  }
  std::string serviceBody(const std::string& id) {
    return pushEndpoints->pushesOf(id).empty()
               ? std::string()
               : pushEndpoints->pushesOf(id).back()["bodyString"].stringValue();
  }

  std::unique_ptr<TestPushEndpoints> pushEndpoints;
  std::shared_ptr<KXConcurrentController> controller;
  std::shared_ptr<KXHeadlessUIPort> ui;
  EventLog pushLog;
  std::vector<std::shared_ptr<RecordingPushDelegate>> pushDelegates;
  std::vector<std::shared_ptr<KXSyncPushProxy>> pushProxies;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SYNC_PUSHFIXTURE_H_
