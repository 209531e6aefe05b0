// ZZSafePath joins an archive entry's name to the folder it is unpacked into,
// refusing names that would put the file anywhere else: empty names, names
// with a NUL byte, absolute names, and names with a ".." component. Empty
// and "." components are dropped, so "a//./b" lands at "<folder>/a/b"; a name
// made only of such components ("./") names the folder itself.
//
// Thread safety: pure function.
#ifndef ZN_COMMONUTILS_ZIP_ZZSAFEPATH_H_
#define ZN_COMMONUTILS_ZIP_ZZSAFEPATH_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"

class ZZSafePath {
 public:
  ZZSafePath() = delete;

  // The path of `entryName` under `directory`, or nullopt with
  // ZZUnsafeFileNameErrorCode (the name under kx::kFilePathErrorKey).
  static std::optional<std::string> join(std::string_view directory, std::string_view entryName,
                                         kx::Error* error);
};

#endif  // ZN_COMMONUTILS_ZIP_ZZSAFEPATH_H_
