// KXSyncUserMetaEnvironment is what the user-meta puller and the data wipe
// ask of the rest of the client: the session, the store's user row and
// session version, the first-download window, alerts, sign-out, files, the
// device id, and the clock of their retries.
//
// Defaults are the program's wherever the collaborator sits below the sync
// engine: the session's current user (signed in when it names one) and its
// automatic login with the persistent token, reply keys renamed through the
// field-name table ("UserMeta" names; keys the table does not know are
// dropped), the User row updated by the data client (which keeps a default
// folder changed here and applies the password rule) and saved, the data
// client's flags, the file manager's icon cache and user folders. The
// first-download window and the main menu's sign-out sit above the sync
// engine: the application object fills them (the first-download window is
// neutral until that window exists). Alerts go to the installed
// user-interface port.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCUSERMETAENVIRONMENT_H_
#define ZN_SYNC_KXSYNCUSERMETAENVIRONMENT_H_

#include <functional>
#include <memory>
#include <string>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXUIPort.h"
#include "platform/Error.h"
#include "platform/Value.h"

class KXSyncUserMetaEnvironment {
 public:
  KXSyncUserMetaEnvironment();
  virtual ~KXSyncUserMetaEnvironment() = default;

  // The note service's origin, "https://host".
  virtual std::string serviceBaseURL();

  // The session.
  virtual std::string currentUser();
  virtual void setCurrentUser(const std::string& userId);
  virtual bool isLogin();
  // The automatic login after an expired login; `done` gets the transport
  // error of the login request (empty when the request completed).
  virtual void autoLoginWithBlock(std::function<void(const kx::Error& error)> done);
  // The main menu's sign-out.
  virtual void respondsToLogout() {}

  // The store: reply keys in the store's names ("UserMeta" names), the User
  // row's update, the session version, the first-download flag.
  virtual kx::Dictionary convertUserMeta(const kx::Dictionary& reply);
  virtual void updateUserMeta(const kx::Dictionary& values);
  virtual void setCurrentSessionVersion(const kx::Value& version);
  virtual bool isFirstLoginDownloading();

  // The first-download window (main queue only).
  virtual void setFirstDownloadProgressText(const std::string& text) {}
  virtual void bringFirstDownloadWindowForward() {}
  virtual void orderOutFirstDownloadWindow() {}

  // The cache file of the user's photo at `path` on the service.
  virtual std::string iconImageLocation(const std::string& path);
  // Removes the user's data folder (inside the application data folder only)
  // and makes it anew; the store is rebuilt empty. False when the user id
  // cannot name a folder there or the removal failed.
  virtual bool wipeUserData(const std::string& userId);
  // The machine's id sent with the wipe confirmation: the device id of the
  // common statistics query (KXStatitisc::serialNumber), so the service
  // knows the device by one id.
  virtual std::string deviceId();

  // Where alerts go; nullptr: the port installed when the alert is shown.
  std::shared_ptr<KXUIPort> ui;
  std::shared_ptr<KXDelayClock> clock;
};

#endif  // ZN_SYNC_KXSYNCUSERMETAENVIRONMENT_H_
