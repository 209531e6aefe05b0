#include "shell/KXApplication.h"

#include <cstdio>
#include <future>
#include <utility>

#include "CommonUtils/KXConsoleErrorPresenter.h"
#include "CommonUtils/KXHeadlessUIPort.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"
#include "CommonUtils/KXXdgURLOpener.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXFoundationHooks.h"
#include "Data/client/KXMyshareHooks.h"
#include "Data/client/KXShareLinkHooks.h"
#include "Data/client/KXShellStateHooks.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/client/KXSyncRequestHooks.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebResourceDataHandler.h"
#include "WebRequest/KXWebSyncRequestHandler.h"
#include "WebRequest/KXWebUserRequestHandler.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "account/KXSession.h"
#include "account/KXSessionEnvironment.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "shell/KXAlertErrorPresenter.h"
#include "shell/KXDataConversionPrompt.h"
#include "shell/KXDesktopShell.h"
#include "shell/KXLogindSleepMonitor.h"
#include "shell/KXState.h"
#include "shell/KXTouchBarController.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/cycle/KXFileMetaDetail.h"
#include "sync/cycle/KXLiveConnection.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncManager.h"
#include "sync/cycle/KXSyncManagerEnvironment.h"
#include "sync/cycle/KXSyncMyshare.h"
#include "sync/cycle/KXSyncState.h"
#include "sync/cycle/KXSyncStatisInfo.h"
#include "sync/cycle/KXSyncTagProxy.h"
#include "sync/cycle/KXSyncUserMeta.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncStorePullApplier.h"
#include "ui/KXGtkPlatform.h"

namespace {

std::atomic<KXApplication*>& runningApplication() {
  static std::atomic<KXApplication*> application{nullptr};
  return application;
}

}  // namespace

// The stale-temporaries clean-up sets this when it has finished.
struct KXApplicationCleanup {
  std::promise<void> done;
  std::shared_future<void> finished = done.get_future().share();
};

// ---------------------------------------------------------------------------
// Mediators: what each subsystem asks of the layers above it, answered here.

// The session's sign-out teardown and statistics. The login window and the
// web view's URL loading and cookies belong to the desktop windows.
// Runs `task` on the main queue: at once on the main thread, else queued.
static void onMain(std::function<void()> task) {
  if (!task) return;
  if (kx::MainQueue::isMainThread()) {
    task();
  } else {
    kx::MainQueue::shared().async(std::move(task));
  }
}

class KXApplication::SessionMediator : public KXSessionEnvironment {
 public:
  explicit SessionMediator(KXApplication& app) : app_(app) {}
  void cancelTaskWhenLogoff() override { app_.syncManager().cancelTaskWhenLogoff(); }
  void clearPushEnvironment() override {
    KXConcurrentController::pushController().clearEnvironment();
  }
  void clearPullEnvironment() override {
    KXConcurrentController::pullController().clearEnvironment();
  }
  void closeDB() override { app_.dataClient().closeDB(); }
  void addStatisKey(const std::string& key, const kx::Value& value) override {
    app_.dataClient().records().addStatisKey(key, value);
  }
  // The desktop's windows are reached on the main queue.
  void firstOpen() override { onMain(app_.options_.firstOpen); }
  void clearWebViewCookies(const std::string& host) override {
    if (const auto& clear = app_.options_.clearWebViewCookies)
      onMain([clear, host] { clear(host); });
  }

 private:
  KXApplication& app_;
};

// The sync manager: the session's sign-in state comes from the default
// members; the sign-out is the application's.
class KXApplication::SyncManagerMediator : public KXSyncManagerEnvironment {
 public:
  explicit SyncManagerMediator(KXApplication& app) : app_(app) {}
  void respondsToLogout() override { app_.respondsToLogout(); }
  void multiportConnect() override { KXLiveConnection::sharedConnection().multiportConnect(); }
  void stopLiveConnect() override { KXLiveConnection::sharedConnection().stop(); }

 private:
  KXApplication& app_;
};

// The user-meta puller: its sign-out is the application's.
class KXApplication::UserMetaMediator : public KXSyncUserMetaEnvironment {
 public:
  explicit UserMetaMediator(KXApplication& app) : app_(app) {}
  void respondsToLogout() override { app_.respondsToLogout(); }

 private:
  KXApplication& app_;
};

// A sync cycle: its user-meta puller reports to the application.
class KXApplication::SyncCycleMediator : public KXSyncCycleEnvironment {
 public:
  explicit SyncCycleMediator(std::shared_ptr<UserMetaMediator> userMeta)
      : userMeta_(std::move(userMeta)) {}
  std::shared_ptr<KXSyncUserMeta> makeUserMeta(
      std::weak_ptr<KXSyncUserMetaDelegate> delegate) override {
    auto userMeta = std::make_shared<KXSyncUserMeta>(userMeta_);
    userMeta->setDelegate(std::move(delegate));
    return userMeta;
  }

 private:
  const std::shared_ptr<UserMetaMediator> userMeta_;
};

// ---------------------------------------------------------------------------

KXApplication::KXApplication() : KXApplication(Options{}) {}

KXApplication::KXApplication(Options options)
    : options_(std::move(options)), cleanup_(std::make_shared<KXApplicationCleanup>()) {}

KXApplication::~KXApplication() { stop(); }

KXApplication* KXApplication::current() { return runningApplication().load(); }

bool KXApplication::start(kx::Error* error) {
  if (started_) return true;
  auto fail = [&](const std::string& what, const kx::Error& cause) {
    std::string text = what;
    if (!cause.domain().empty()) text += ": " + cause.localizedDescription();
    if (error != nullptr) {
      *error = kx::Error::make("com.zarvel.note.Error", 0x400000002, text);
    }
    return false;
  };

  // The foundation's hooks first: the logger asks them for its folder.
  KXInstallFoundationHooks();
  KXUIPort::install(options_.ui ? options_.ui : std::make_shared<KXHeadlessUIPort>());
  KXErrorPresenter::install(options_.errorPresenter ? options_.errorPresenter
                                                    : std::make_shared<KXConsoleErrorPresenter>());
  KXURLOpener::install(std::make_shared<KXXdgURLOpener>());

  kx::Error step;
  if (!kx::Places::ensureApplicationDataRoot(&step)) {
    return fail("cannot prepare " + kx::Places::applicationDataRoot(), step);
  }

  // The session: its files, its cookies, and the continuation of a sign-in.
  KXSession& session = KXSession::defaultSession();
  sessionMediator_ = std::make_shared<SessionMediator>(*this);
  session.setEnvironment(sessionMediator_);
  session.setAppDataDir(kx::Places::applicationDataRoot());
  session.loadLatest();
  session.setLoginCallback([this] { didLogin(); });
  const std::string user = session.currentUser();
  const std::string userDirectory =
      KXFileManager::defaultManauger().URLForUserDataDirectory(user, &step);
  if (userDirectory.empty() || step) {
    return fail("cannot prepare the data folder of " + user, step);
  }
  KXLOG("ZarvelNote started for %s in %s", user.c_str(), userDirectory.c_str());

  // What the store asks of sync and shell.
  KXShellStateHooks::install(
      [] { return KXState::currentState().currentFileId(); },
      [](const std::string& bgImageId) {
        kx::MainQueue::shared().async([bgImageId] {
          if (KXTouchBarController* controller = KXTouchBarController::sharedController()) {
            controller->changeCurrentBgImageId(bgImageId);
          }
        });
      });
  KXFileMetaDetail::installShareLinkHook();
  KXSyncMyshare::installIndexHook();
  KXSyncPullEnvironment::setDefaultApplier(std::make_shared<KXSyncStorePullApplier>());

  // The store of the signed-in user, opened (and converted) here: what the
  // conversion asks goes through the desktop's alerts, and a note the editor
  // makes before the first download has stored a root takes that download's
  // version.
  KXDataClient& store = KXDataClient::defaultDataClient();
  store.conversion().setUI(std::make_shared<KXDataConversionPrompt>());
  store.editorSave().setNewEntryVersionProvider(
      [] { return KXSyncState::shared().versionForNewEntryWithoutRoot(); });
  store.openStore();

  // From here on stop() has something to take down.
  started_ = true;

  // The sync engine.
  syncManagerMediator_ = std::make_shared<SyncManagerMediator>(*this);
  userMetaMediator_ = std::make_shared<UserMetaMediator>(*this);
  syncCycleMediator_ = std::make_shared<SyncCycleMediator>(userMetaMediator_);
  syncManager_ = std::make_unique<KXSyncManager>(syncCycleMediator_, syncManagerMediator_, nullptr);
  KXSyncManager::setDefaultManager(syncManager_.get());
  KXSyncManager::installSyncRequestHooks();
  // Every push sends the tags changed here first.
  KXSyncTagProxy::installPushStep();

  // The local web service: its handlers in their fixed order, and a sync
  // asked through the note utility after a forwarded change.
  if (KXRequestDelegateRegistry::sharedRegistry().handlers()->empty()) {
    RNCachingURLProtocol::requestDelegatesRegister();
  }
  // A resource the page is still creating is waited for by its data handler.
  KXWebResourceDataHandler::setPendingLookup([](const std::string& resourceId) {
    return KXWebSyncRequestHandler::sharedHandler().containResourceId(resourceId);
  });
  // The page's sign-out ("/auth/reset") is the application's sign-out.
  KXWebUserRequestHandler::setSignOutHook([this] { respondsToLogout(); });
  {
    auto environment =
        std::make_shared<RNCachingURLProtocol::Environment>(*RNCachingURLProtocol::environment());
    environment->startSync = [] { KXNoteUtil::sharedUtil().startSync(); };
    RNCachingURLProtocol::setEnvironment(std::move(environment));
  }
  if (options_.startLoopbackFront) {
    KXLoopbackFront::Options frontOptions;
    frontOptions.allowLeaf = options_.allowLeaf;
    front_ = KXLoopbackFront::start(std::move(frontOptions), &step);
    if (!front_) return fail("cannot start the loopback front", step);
  }

  if (options_.watchSleep) {
    sleepMonitor_ = std::make_unique<KXLogindSleepMonitor>(options_.sleepBusAddress);
    // Without a bus the client never sees the machine sleep (logged).
    sleepMonitor_->start();
  }

  // Temporaries that writers killed midway left behind are removed in the
  // background, so that a large store does not hold up the start.
  std::shared_ptr<KXApplicationCleanup> cleanup = cleanup_;
  KXFileManager::defaultManauger().removeStaleTemporaryFiles(
      [cleanup](const kx::Error&) { cleanup->done.set_value(); });
  cleanupStarted_ = true;
  runningApplication() = this;
  const std::vector<std::string> unfilled = unfilledSeams();
  if (!unfilled.empty()) {
    std::string names;
    for (const std::string& name : unfilled) names += (names.empty() ? "" : ", ") + name;
    return fail("the program's wiring is incomplete: " + names, kx::Error());
  }
  return true;
}

std::vector<std::string> KXApplication::unfilledSeams() const {
  std::vector<std::string> unfilled;
  auto need = [&](bool filled, const char* name) {
    if (!filled) unfilled.emplace_back(name);
  };
  need(KXSyncRequestHooks::isInstalled(), "store sync requests");
  need(KXMyshareHooks::isInstalled(), "shared-entry indexing");
  need(KXShareLinkHooks::isInstalled(), "share links of pushed entries");
  need(KXShellStateHooks::isInstalled(), "the shell's current entry and paper");
  need(KXSyncPullEnvironment().applier() != nullptr, "the pull's store applier");
  need(syncManager_ != nullptr && &KXSyncManager::defaultManager() == syncManager_.get(),
       "the shared sync manager");
  need(!KXRequestDelegateRegistry::sharedRegistry().handlers()->empty(), "local request handlers");
  need(RNCachingURLProtocol::environment()->startSync != nullptr, "sync after forwarded changes");
  need(sessionMediator_ != nullptr, "the session's environment");
  need(KXSyncTagProxy::isPushStepInstalled(), "the push's tag step");
  return unfilled;
}

void KXApplication::stop() {
  if (!started_) return;
  started_ = false;
  KXWebUserRequestHandler::setSignOutHook(nullptr);
  KXWebResourceDataHandler::setPendingLookup(nullptr);
  if (runningApplication().load() == this) runningApplication() = nullptr;
  // The windows go before what they show: the front, the syncs, the store.
  desktop_.reset();
  if (sleepMonitor_) sleepMonitor_->stop();
  front_.reset();
  if (syncManager_) syncManager_->cancelTaskWhenLogoff();
  if (cleanupStarted_) cleanup_->finished.wait();
  // The store's sync requests and the shared manager stay pointed at this
  // manager until it goes, so nothing asks a manager that is gone.
  KXSyncRequestHooks::resetForTesting();
  KXSyncManager::setDefaultManager(nullptr);
  syncManager_.reset();
  KXLogger::sharedLogger().drain();
}

KXSession& KXApplication::session() { return KXSession::defaultSession(); }

KXDataClient& KXApplication::dataClient() { return KXDataClient::defaultDataClient(); }

KXSyncManager& KXApplication::syncManager() {
  return syncManager_ ? *syncManager_ : KXSyncManager::defaultManager();
}

KXLoopbackFront* KXApplication::loopbackFront() { return front_.get(); }

void KXApplication::didLogin() {
  KXSyncManager& manager = syncManager();
  manager.sync();
  manager.performLiveConnect();
  KXSyncStatisInfo::shareInstance().pushStaticInfo();
}

void KXApplication::respondsToLogout() {
  std::function<void()> after = afterLogout_;
  session().logoutWithCallback([after](const kx::Error&) {
    if (after) after();
  });
}

void KXApplication::setAfterLogout(std::function<void()> afterLogout) {
  afterLogout_ = std::move(afterLogout);
}

void KXApplication::setDesktop(std::unique_ptr<KXDesktopShell> desktop) {
  desktop_ = std::move(desktop);
}

KXDesktopShell* KXApplication::desktop() { return desktop_.get(); }

int KXApplication::run(int argc, char** argv) {
  if (KXGtkPlatform::displayAvailable()) return runOnDesktop(argc, argv);
  KXApplication application;
  kx::Error error;
  if (!application.start(&error)) {
    std::fprintf(stderr, "zarvelnote: %s\n", error.localizedDescription().c_str());
    return 1;
  }
  // No window yet: the program ends once the start-up work is done.
  application.cleanup_->finished.wait();
  kx::MainQueue::shared().drain();
  application.stop();
  return 0;
}

// ---------------------------------------------------------------------------
// The program on the desktop

namespace {

// Points the GTK web views at the front: its proxy and secret, its leaf for
// each fixed host; localStorage, IndexedDB and cookies in the application
// data folder, the cache in the scratch folder.
[[nodiscard]] bool pointGtkWebViewsAt(KXGtkPlatform& platform, const std::string& root,
                                      const KXDesktopShell::Routing& routing, kx::Error* error) {
  KXGtkPlatform::WebOptions options;
  options.dataDirectory = kx::Path::appendingPathComponent(root, "WebKit");
  options.cacheDirectory = kx::Path::appendingPathComponent(kx::Places::scratchRoot(), "WebKit");
  options.cookieFile = kx::Path::appendingPathComponent(root, "webcookies.sqlite");
  options.proxyURL = "http://127.0.0.1:" + std::to_string(routing.port);
  options.proxyUser = routing.username;
  options.proxySecret = routing.secret;
  if (!platform.configureWeb(options, error)) return false;
  for (const std::string& host : routing.hosts) {
    std::string pem = routing.leafCertificatePEM(host, error);
    if (pem.empty() || !platform.allowCertificate(host, pem, error)) return false;
  }
  return true;
}

// The continuation's reach into the application's store and sync manager.
class ApplicationPostLogin : public KXPostLoginEnvironment {
 public:
  explicit ApplicationPostLogin(KXApplication& application) : app_(application) {}
  LocalCopy openLocalCopy() override {
    KXDataClient& client = app_.dataClient();
    LocalCopy copy;
    copy.notesForContentNotSynced = client.writes().notesForContentNotSynced().size();
    copy.emptyResources = client.writes().fetchAllEmptyResources().size();
    copy.hasRootEntry = client.reads().rootEntry() != nullptr;
    return copy;
  }
  void sync() override { app_.syncManager().sync(); }
  void performLiveConnect() override { app_.syncManager().performLiveConnect(); }
  void pushStaticInfo() override { KXSyncStatisInfo::shareInstance().pushStaticInfo(); }
  void logout() override { app_.respondsToLogout(); }

 private:
  KXApplication& app_;
};

KXDesktopShell::Services servicesOf(KXApplication& app, KXGtkPlatform& platform,
                                    const std::string& root) {
  KXDesktopShell::Services services;
  // The application started the router and the front; the web views are
  // pointed at the front here.
  services.startRouting = [&app](kx::Error* error) -> std::optional<KXDesktopShell::Routing> {
    KXLoopbackFront* front = app.loopbackFront();
    if (!front) {
      if (error) *error = kx::Error::make("com.zarvel.note.desktop", 1, "no loopback front");
      return std::nullopt;
    }
    KXDesktopShell::Routing routing;
    routing.port = front->port();
    routing.username = front->username();
    routing.secret = front->secret();
    routing.hosts = {KXServiceHost(), RNCachingURLProtocol::kSearchStatisticsHost,
                     RNCachingURLProtocol::kWebAnalyticsHost};
    routing.leafCertificatePEM = [front](const std::string& host, kx::Error* e) {
      return front->leafCertificatePEM(host, e);
    };
    return routing;
  };
  services.pointWebViewsAt = [&platform, root](const KXDesktopShell::Routing& routing,
                                               kx::Error* error) {
    return pointGtkWebViewsAt(platform, root, routing, error);
  };
  services.postLogin = std::make_shared<ApplicationPostLogin>(app);
  services.mainWindow.dbStateValue = [&app](const std::string& key) {
    return app.dataClient().state().dbStateValueWithKey(key);
  };
  services.mainWindow.setDbStateValue = [&app](const kx::Value& value, const std::string& key) {
    app.dataClient().state().setDbStateValue(value, key);
  };
  services.mainWindow.performSyncSave = [&app] {
    app.dataClient().state().performSyncSave(nullptr);
  };
  services.performSyncSave = [&app] { app.dataClient().state().performSyncSave(nullptr); };
  services.sync = [&app] { app.syncManager().sync(); };
  services.hasRootEntry = [&app] { return app.dataClient().reads().rootEntry() != nullptr; };
  return services;
}

}  // namespace

int KXApplication::runOnDesktop(int argc, char** argv) {
  const std::string root = kx::Places::applicationDataRoot();
  KXGtkPlatform platform("com.zarvel.note", kx::Path::appendingPathComponent(root, "icons"));
  // A second start only activates the running program.
  if (platform.activateRunningInstance()) return 0;

  KXApplication* running = nullptr;
  KXApplication::Options options;
  options.ui = platform.alerts();
  options.errorPresenter = std::make_shared<KXAlertErrorPresenter>(platform.alerts());
  options.startLoopbackFront = true;
  options.firstOpen = [&running] {
    if (running && running->desktop()) running->desktop()->firstOpen();
  };
  options.clearWebViewCookies = [&platform](const std::string& host) {
    platform.clearCookies(host);
  };
  // A subresource whose TLS fails fails silently: each new leaf is allowed
  // in the web context before the front answers its CONNECT.
  options.allowLeaf = [&platform](const std::string& host, const std::string& leafPEM,
                                  std::function<void(bool)> done) {
    kx::MainQueue::shared().async([&platform, host, leafPEM, done = std::move(done)] {
      kx::Error error;
      const bool allowed = platform.allowCertificate(host, leafPEM, &error);
      if (!allowed) {
        KXLOG("leaf for %s not allowed: %s", host.c_str(), error.localizedDescription().c_str());
      }
      done(allowed);
    });
  };
  KXApplication application(options);
  running = &application;
  kx::Error error;
  if (!application.start(&error)) {
    std::fprintf(stderr, "zarvelnote: %s\n", error.localizedDescription().c_str());
    application.stop();
    return 1;
  }
  // After a sign-out the program quits, and starts again at the sign-in.
  application.setAfterLogout([&platform] { platform.application().terminate(); });
  application.setDesktop(std::make_unique<KXDesktopShell>(platform, application.session(),
                                                          servicesOf(application, platform, root)));
  KXDesktopShell& desktop = *application.desktop();
  platform.setHideMainWindow([&desktop] {
    if (desktop.hasMainWebWindow()) desktop.mainWebWindow().orderOut();
  });
  platform.application().setDelegate(&desktop.delegate());
  const int status = platform.run(argc, argv);
  platform.application().setDelegate(nullptr);
  platform.setHideMainWindow(nullptr);
  // The windows go first, then the front, the sync manager and the store.
  application.stop();
  running = nullptr;
  return status;
}
