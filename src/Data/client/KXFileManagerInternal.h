// Helpers shared by the .cpp files of KXFileManager (the class is spread
// over several files by concern: layout, content, resources and preview
// copies, clean-up). Not part of the class's interface; include it only from
// src/Data/KXFileManager*.cpp.
//
// Thread safety: the functions keep no state of their own; they are as safe
// as the file system they reach.

#ifndef ZN_DATA_KXFILEMANAGERINTERNAL_H_
#define ZN_DATA_KXFILEMANAGERINTERNAL_H_

// Internal to src/Data: the folder's library defines ZN_DATA_INTERNAL for its
// own sources, and nothing outside the folder may include this header.
#ifndef ZN_DATA_INTERNAL
#error "KXFileManagerInternal.h is internal to src/Data; include Data/KXFileManager.h instead"
#endif

#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace kx::file_manager_internal {

inline std::string join(const std::string& folder, std::string_view component) {
  return kx::Path::appendingPathComponent(folder, component);
}

// Where the atomic writers make the temporary of a file at `path`: the
// writers' own hidden folder of the data root that holds it
// (KXWritersTemporaryDirectoryFor), on the same file system and never among
// the stored files. A lookup that lists a file's folder (a normal file's,
// or a temporary copy's) then never meets a file that is still being
// written.
std::string temporaryFolderFor(const std::string& path);

// The items of a folder; empty when it cannot be listed.
std::vector<kx::DirectoryEntry> itemsIn(const std::string& directory);

// The items of a normal file's folder that may be the entry's stored file:
// hidden items are left out, except one named `ownName` (the entry's own
// file name, encoded as a path component). Stores written by older builds
// may hold hidden temporaries of their writers there, and the user's tools
// leave hidden files of their own; neither may stand in for the entry's
// file. Empty when the folder cannot be listed.
std::vector<kx::DirectoryEntry> storedFileCandidatesIn(const std::string& directory,
                                                       const std::string& ownName);

}  // namespace kx::file_manager_internal

#endif  // ZN_DATA_KXFILEMANAGERINTERNAL_H_
