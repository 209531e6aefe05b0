// KXHooks is how the foundation utilities ask the layers above them for the
// few things they cannot know themselves: who is signed in, where that
// user's data directory and configuration file are, how to open a service
// page signed in, and the file id of the store's root entry. The foundation
// layer sits below the session and the note store and must not include
// their headers, so each of those answers is a function that the higher
// layer installs when its singleton is created (KXSession, KXFileManager,
// KXCrossdomainRequest, the data client). Tests install fakes.
//
// Every getter answers sensibly when nothing is installed: "EmptyUser" for
// the current user, "" (unknown) for paths and the root entry id, and the
// login-info opener opens nothing.
//
// Installed functions must not log: the logger itself asks for the data
// directory while it opens its file.
//
// Thread safety: every member may be called from any thread. The installed
// functions are guarded by an internal mutex; they are copied out and called
// without it, so an installed function may itself use other hooks.
#ifndef ZN_COMMONUTILS_KXHOOKS_H_
#define ZN_COMMONUTILS_KXHOOKS_H_

#include <functional>
#include <string>

class KXHooks {
 public:
  using StringProvider = std::function<std::string()>;
  using URLOpener = std::function<void(const std::string& absoluteURL)>;

  KXHooks() = delete;

  // The anonymous user's id, used when nobody is signed in.
  static constexpr const char* kEmptyUser = "EmptyUser";

  // The signed-in user's id; "EmptyUser" when no provider is installed or it
  // answers "".
  static void setCurrentUserProvider(StringProvider provider);
  static std::string currentUser();

  // The current user's data directory (created when missing); "" when no
  // provider is installed or the directory cannot be had.
  static void setCurrentUserDataDirectoryProvider(StringProvider provider);
  static std::string currentUserDataDirectory();

  // The path of the current user's configuration file; "" when unknown.
  static void setConfigurationFilePathProvider(StringProvider provider);
  static std::string configurationFilePath();

  // Opens a page of the note service signed in. Without an opener nothing
  // happens.
  static void setLoginInfoOpener(URLOpener opener);
  static void openUrlWithLoginInfo(const std::string& absoluteURL);

  // The file id of the store's root entry; "" when there is none.
  static void setRootEntryIdProvider(StringProvider provider);
  static std::string rootEntryId();

  // Removes every installed function.
  static void resetForTesting();
};

#endif  // ZN_COMMONUTILS_KXHOOKS_H_
