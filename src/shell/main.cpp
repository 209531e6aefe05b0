// The zarvelnote program. For now it reads the last session (its files and
// cookies in the application data folder), prepares the data folders of the
// user who is signed in ("EmptyUser" when nobody is), starts the log of this
// run with its first line, and exits.
// Errors presented meanwhile are written to the log and to standard error.
#include <cstdio>
#include <memory>
#include <string>

#include "CommonUtils/KXConsoleErrorPresenter.h"
#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXURLOpener.h"
#include "CommonUtils/KXXdgURLOpener.h"
#include "Data/KXFileManager.h"
#include "Data/KXFoundationHooks.h"
#include "Data/KXShellStateHooks.h"
#include "account/KXSession.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"
#include "platform/Places.h"
#include "platform/Semaphore.h"
#include "shell/KXShellSessionEnvironment.h"
#include "shell/KXState.h"
#include "shell/KXTouchBarController.h"
#include "sync/KXFileMetaDetail.h"
#include "sync/KXSyncManager.h"
#include "sync/KXSyncMyshare.h"
#include "sync/KXSyncPullEnvironment.h"
#include "sync/KXSyncStorePullApplier.h"

int main() {
  // Before anything logs: the logger opens its file in the user's folder.
  KXInstallFoundationHooks();
  // The store asks for syncs through hooks that reach the sync manager.
  KXSyncManager::installSyncRequestHooks();
  // A push's answer carries the entry's share state into the store.
  KXFileMetaDetail::installShareLinkHook();
  // The store asks the main window which entry is open, and shows a saved
  // paper in the touch bar when there is one.
  KXShellStateHooks::install(
      [] { return KXState::currentState().currentFileId(); },
      [](const std::string& bgImageId) {
        kx::MainQueue::shared().async([bgImageId] {
          if (KXTouchBarController* controller = KXTouchBarController::sharedController()) {
            controller->changeCurrentBgImageId(bgImageId);
          }
        });
      });
  // The index rebuild hands entries shared with the user to the my-share proxy.
  KXSyncMyshare::installIndexHook();
  // Pulled changes are written into the store of whoever is signed in.
  KXSyncPullEnvironment::setDefaultApplier(std::make_shared<KXSyncStorePullApplier>());
  KXURLOpener::install(std::make_shared<KXXdgURLOpener>());
  // No window yet: failures the user should see go to the log and stderr.
  KXErrorPresenter::install(std::make_shared<KXConsoleErrorPresenter>());

  kx::Error error;
  if (!kx::Places::ensureApplicationDataRoot(&error)) {
    std::fprintf(stderr, "zarvelnote: cannot prepare %s: %s\n",
                 kx::Places::applicationDataRoot().c_str(), error.localizedDescription().c_str());
    return 1;
  }
  // The session files and the cookie file live in the application data
  // folder; the last session names the user whose folders are prepared.
  KXSession& session = KXSession::defaultSession();
  session.setEnvironment(std::make_shared<KXShellSessionEnvironment>());
  session.setAppDataDir(kx::Places::applicationDataRoot());
  session.loadLatest();
  const std::string user = session.currentUser();
  const std::string userDirectory =
      KXFileManager::defaultManauger().URLForUserDataDirectory(user, &error);
  if (userDirectory.empty() || error) {
    std::fprintf(stderr, "zarvelnote: cannot prepare the data folder of %s: %s\n", user.c_str(),
                 error.localizedDescription().c_str());
    return 1;
  }

  KXLOG("ZarvelNote started for %s in %s", user.c_str(), userDirectory.c_str());
  // Temporaries that writers killed midway left behind are removed in the
  // background, so that a large store does not hold up the start.
  auto cleaned = std::make_shared<kx::Semaphore>();
  KXFileManager::defaultManauger().removeStaleTemporaryFiles(
      [cleaned](const kx::Error&) { cleaned->signal(); });

  // Nothing runs yet after the start: let the clean-up finish before leaving.
  cleaned->wait();
  KXLogger::sharedLogger().drain();
  kx::MainQueue::shared().drain();
  return 0;
}
