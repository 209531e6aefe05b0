#include "shell/KXSessionPostLogin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "account/KXStatitisc.h"
#include "platform/MainQueue.h"

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A user id names a folder inside the application data folder: one plain
// component, never "..", ".", a separator or a NUL.
bool isOnePathComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

void onMain(std::function<void()> task) {
  if (kx::MainQueue::isMainThread()) {
    task();
  } else {
    kx::MainQueue::shared().async(std::move(task));
  }
}

// Step 4 of the continuation, on the main queue.
void openStoreAndShow(KXSession& session, const std::shared_ptr<KXPostLoginEnvironment>& env) {
  KXLOG("start create dataClient, it must excute before persistent");
  KXPostLoginEnvironment::LocalCopy copy = env->openLocalCopy();
  if (copy.notesForContentNotSynced < 1 && copy.hasRootEntry && copy.emptyResources < 1) {
    // The web interface is always in use.
    env->showMainWindow();
    env->checkUpdate();
    env->checkEditorUpdate();
    env->updateMenu();
    env->sync();
    env->performLiveConnect();
  } else {
    env->showFirstDownloadWindow();
  }
  session.writeloginKeyFrom();
  env->pushStaticInfo();
}

}  // namespace

void KXSessionPostLogin::setEnv(KXSession& session, const std::string& appDataDir) {
  session.setAppDataDir(appDataDir);
  session.settingCommonStatics(KXStatitisc::commonStaticsString());
  session.loadLatest();
}

void KXSessionPostLogin::startLogin(KXSession& session,
                                    std::shared_ptr<KXPostLoginEnvironment> environment,
                                    std::shared_ptr<KXUIPort> alerts) {
  session.startLoginWithCallback(
      [&session, environment = std::move(environment), alerts = std::move(alerts)] {
        continueAfterLogin(session, environment, alerts);
      });
}

void KXSessionPostLogin::continueAfterLogin(KXSession& session,
                                            std::shared_ptr<KXPostLoginEnvironment> environment,
                                            std::shared_ptr<KXUIPort> alerts) {
  const std::string dbUser = session.dbUserId();
  const std::string current = session.currentUser();
  if (!dbUser.empty() && !equalsIgnoringCase(dbUser, current)) {
    KXLOG("用户数据库ID: 当前用户ID");
    KXLOG("%s", dbUser.c_str());
    KXLOG("%s", current.c_str());
    onMain([environment, alerts] {
      KXUIPort::Alert alert{"账号不一致", "用户名与数据库中的用户名不一致，请重新登录", {"确定"}};
      alerts->showAlert(alert, [environment](std::size_t chosen) {
        if (chosen == 0) environment->logout();
      });
    });
    return;
  }
  environment->pullPaperBackground([&session, environment] {
    const std::string typed = session.inputUserId();
    if (!typed.empty()) {
      linkFrom(session.appDataDir(), session.currentUser(), typed);
    }
    onMain([&session, environment] { openStoreAndShow(session, environment); });
  });
}

void KXSessionPostLogin::linkFrom(const std::string& appDataDir, const std::string& from,
                                  const std::string& to) {
  if (to.empty() || to == from) return;
  if (!isOnePathComponent(from) || !isOnePathComponent(to)) {
    KXLOG("user folder not linked: an id is not a plain name");
    return;
  }
  namespace fs = std::filesystem;
  const fs::path source = fs::path(appDataDir) / to;
  const fs::path target = fs::path(appDataDir) / from;
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) return;  // an existing folder is never replaced
  if (::lstat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  std::error_code ec;
  if (!fs::create_directory(target, ec) || ec) return;
  for (fs::recursive_directory_iterator it(source, fs::directory_options::none, ec), end;
       !ec && it != end; it.increment(ec)) {
    const fs::path destination = target / fs::relative(it->path(), source, ec);
    if (ec) break;
    std::error_code typeError;
    if (it->is_symlink(typeError)) continue;  // links are not followed out of the folder
    if (it->is_directory(typeError)) {
      std::error_code ignored;
      fs::create_directory(destination, ignored);
    } else if (it->is_regular_file(typeError)) {
      ::link(it->path().c_str(), destination.c_str());
    }
  }
}
