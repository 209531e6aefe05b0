// KXContainedPath joins a URL's path to a folder on disk so that the result
// never leaves the folder: the web interface's own files, the downloaded
// editor's files and other files named by a request's path go through it.
//
// The path is taken as given: already percent-decoded once (kx::URL::path()
// decodes once and drops a trailing "/"), never decoded again. It is
// refused when a segment is "..", when it holds a NUL, or when it has an
// empty segment ("a//b"); a leading "/" is allowed. The joined path is then
// made canonical component by component from the canonical root: each
// symbolic link met must resolve to a place inside the root (a dangling link
// or a loop is refused, as creating a file through it would write wherever
// it points); the components below the first missing one are kept as given.
//
// Thread safety: pure functions (they read the file system).
#ifndef ZN_WEBREQUEST_KXCONTAINEDPATH_H_
#define ZN_WEBREQUEST_KXCONTAINEDPATH_H_

#include <optional>
#include <string>
#include <string_view>

class KXContainedPath {
 public:
  KXContainedPath() = delete;

  // The canonical path of root + "/" + relativePath when it stays inside
  // root, else nullopt (also when root itself does not exist).
  static std::optional<std::string> join(const std::string& root, std::string_view relativePath);

  // Whether every segment of `relativePath` is allowed (see above).
  static bool segmentsAllowed(std::string_view relativePath);
};

#endif  // ZN_WEBREQUEST_KXCONTAINEDPATH_H_
