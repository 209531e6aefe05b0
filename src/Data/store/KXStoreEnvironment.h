// KXStoreEnvironment is what the data context (KXDataContext) needs of the
// rest of the program: who is signed in and how, where the application's and
// the users' data directories are, and how an error reaches the user. The
// program uses defaultEnvironment(), which asks the session, the on-disk
// layout and the error presenter; tests give the data context one of their
// own (temporary folders, a chosen user and login type, a recording
// presenter, a fault-injecting SQLite VFS).
//
// Thread safety: implementations must be callable from any thread.
#ifndef ZN_DATA_KXSTOREENVIRONMENT_H_
#define ZN_DATA_KXSTOREENVIRONMENT_H_

#include <memory>
#include <string>

#include "platform/Error.h"

class KXStoreEnvironment {
 public:
  virtual ~KXStoreEnvironment() = default;

  // The signed-in user's id ("EmptyUser" when nobody is signed in).
  virtual std::string currentUser() = 0;
  // The kind of the current sign-in; 1 is account and password.
  virtual unsigned loginType() = 0;
  // Tells the session whose store was opened.
  virtual void setDbUserId(const std::string& userId) = 0;
  // Makes `userId` the session's current user (the program's environment
  // tells the session; others need not).
  virtual void setCurrentUser(const std::string& userId) { (void)userId; }
  // The application data directory (it may not exist yet).
  virtual std::string applicationDataDirectory() = 0;
  // The user's data directory, created when missing; "" and *error when it
  // cannot be made (or the id cannot name a folder).
  virtual std::string userDataDirectory(const std::string& userId, kx::Error* error) = 0;
  // Shows an error to the user (asynchronously, on the main queue).
  virtual void presentError(const kx::Error& error) = 0;
  // The SQLite VFS for the store's connections; "" for SQLite's default.
  virtual std::string sqliteVfs() { return {}; }

  static std::shared_ptr<KXStoreEnvironment> defaultEnvironment();
};

#endif  // ZN_DATA_KXSTOREENVIRONMENT_H_
