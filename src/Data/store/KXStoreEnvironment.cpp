#include "Data/store/KXStoreEnvironment.h"

#include <memory>

#include "CommonUtils/KXErrorPresenter.h"
#include "Data/client/KXFileManager.h"
#include "account/KXSession.h"
#include "platform/MainQueue.h"

namespace {

// The program's environment: the session says who is signed in, the file
// manager where their data lives, and the installed presenter shows errors.
class DefaultStoreEnvironment final : public KXStoreEnvironment {
 public:
  std::string currentUser() override { return KXSession::defaultSession().currentUser(); }
  unsigned loginType() override {
    return static_cast<unsigned>(KXSession::defaultSession().loginType());
  }
  void setDbUserId(const std::string& userId) override {
    KXSession::defaultSession().setDbUserId(userId);
  }
  void setCurrentUser(const std::string& userId) override {
    KXSession::defaultSession().setCurrentUser(userId);
  }
  std::string applicationDataDirectory() override {
    return KXFileManager::defaultManauger().URLForApplicationDataDirectory();
  }
  std::string userDataDirectory(const std::string& userId, kx::Error* error) override {
    return KXFileManager::defaultManauger().URLForUserDataDirectory(userId, error);
  }
  void presentError(const kx::Error& error) override {
    kx::MainQueue::shared().async([error] { KXErrorPresenter::installed()->presentError(error); });
  }
};

}  // namespace

std::shared_ptr<KXStoreEnvironment> KXStoreEnvironment::defaultEnvironment() {
  static std::shared_ptr<KXStoreEnvironment> environment =
      std::make_shared<DefaultStoreEnvironment>();
  return environment;
}
