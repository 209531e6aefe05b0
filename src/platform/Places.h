// kx::Places knows where the application keeps its files on this machine:
//  - the application data root, where every user's store lives:
//    $XDG_DATA_HOME (when set and absolute) or $HOME/.local/share, plus
//    "com.zarvel.note.ZarvelNoteMac";
//  - the scratch root for files of one run: the same name under
//    $XDG_CACHE_HOME (when set and absolute) or $HOME/.cache;
//  - the resources folder shipped with the program: $ZN_RESOURCES_DIR when
//    set, else "resources" beside the program (the build tree and the
//    default install), else <program folder>/../share/zarvelnote/resources.
//
// The environment is read on every call, never cached, so that a test that
// points HOME and the XDG folders elsewhere (kxtest::TempAppRoot) is obeyed
// at once. The path functions only compute; the ensure functions create the
// folder (mode 0700) and check that it is a folder of this user's alone.
//
// Thread safety: safe from any thread, as long as nobody changes the
// environment at the same time.
#ifndef ZN_PLATFORM_PLACES_H_
#define ZN_PLATFORM_PLACES_H_

#include <string>

#include "platform/Error.h"

namespace kx {

class Places {
 public:
  Places() = delete;

  static constexpr const char* kApplicationFolderName = "com.zarvel.note.ZarvelNoteMac";
  static constexpr const char* kResourcesEnvironmentVariable = "ZN_RESOURCES_DIR";

  // The user's home: $HOME when set and not empty, else the password
  // database's answer; "" when neither knows.
  static std::string homeDirectory();

  static std::string applicationDataRoot();
  // Creates the application data root (and missing parents) with mode 0700;
  // an existing one must be this user's folder and is set to mode 0700.
  [[nodiscard]] static bool ensureApplicationDataRoot(Error* error);

  static std::string scratchRoot();
  [[nodiscard]] static bool ensureScratchRoot(Error* error);

  // The first of the candidates above that is a folder; $ZN_RESOURCES_DIR is
  // taken as it is when set. "" when none is found.
  static std::string resourcesDirectory();
  // The folder that holds the running program; "" when it cannot be read.
  static std::string executableDirectory();
};

}  // namespace kx

#endif  // ZN_PLATFORM_PLACES_H_
