// Helpers shared by the .cpp files of KXFileManager (the class is spread
// over several files by concern: layout, content, resources and preview
// copies, clean-up). Not part of the class's interface; include it only from
// src/Data/KXFileManager*.cpp.
//
// Thread safety: the functions keep no state of their own; they are as safe
// as the file system they reach.

#ifndef ZN_DATA_KXFILEMANAGERINTERNAL_H_
#define ZN_DATA_KXFILEMANAGERINTERNAL_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace kx::file_manager_internal {

inline std::string join(const std::string& folder, std::string_view component) {
  return kx::Path::appendingPathComponent(folder, component);
}

// Where the atomic writers make the temporary of a file at `path`: beside
// the file's folder, in that folder's parent, which is on the same file
// system. A lookup that lists the file's folder (a normal file's, or a
// temporary copy's) then never meets a file that is still being written.
std::string temporaryFolderFor(const std::string& path);

// The items of a folder that readers may be given: the hidden temporaries
// of the atomic writers (in flight, or left by a process that died) are
// left out. Empty when the folder cannot be listed.
std::vector<kx::DirectoryEntry> storedItemsIn(const std::string& directory);

}  // namespace kx::file_manager_internal

#endif  // ZN_DATA_KXFILEMANAGERINTERNAL_H_
