// Where the atomic writers of the application's files make their
// temporaries: one hidden folder of their own per data root,
//
//   {root}/.writing      root = kx::Places::applicationDataRoot() (every
//                        user's store, content and resource files, the
//                        configuration) or kx::Places::scratchRoot()
//
// A writer makes the new bytes there under a unique hidden name
// (kx::FileSystem::temporaryPrefixFor + the unique part), syncs them and
// renames them over the target. The folder lies in the root whose files it
// stands in for, so it is on the same file system and the rename stays
// atomic. No stored file ever lives in it, and no temporary lives among the
// stored files: a stored file may carry any title, also one shaped like a
// temporary's name, and is never taken for one.
//
// Its three users:
//  - the writers (KXFileManager, KXResourceUtil, KXConfiguration) ask
//    KXWritersTemporaryDirectoryFor(target) for the folder of a target;
//  - the start-up sweep (KXFileManager::removeStaleTemporaryFiles) walks
//    only these folders (KXWritersTemporaryDirectory(root));
//  - a watcher of the data root for changes made outside the application
//    ignores KXWritersTemporaryDirectory(kx::Places::applicationDataRoot())
//    and everything in it: what happens there is never a stored file.
//
// Thread safety: safe from any thread (the folder is made with a plain
// mkdir, which two callers may race for; both then see it).
#ifndef ZN_COMMONUTILS_KXWRITERSTEMPORARYDIRECTORY_H_
#define ZN_COMMONUTILS_KXWRITERSTEMPORARYDIRECTORY_H_

#include <string>

inline constexpr const char* kKXWritersTemporaryDirectoryName = ".writing";

// The writers' folder of a data root: {root}/.writing, not created; "" for
// an empty root.
std::string KXWritersTemporaryDirectory(const std::string& root);

// The folder in which to make the temporary of a file at `targetPath`: the
// writers' folder of the data root that holds the target, created when
// missing (mode 0700; anything else in its place, a link included, is
// removed first, since nothing but the writers ever puts anything there).
// For a target under no data root, the target's own folder (the writer's
// default). When the folder cannot be made its path is answered all the
// same: the write then fails and says why, and no temporary is ever made
// among the stored files.
std::string KXWritersTemporaryDirectoryFor(const std::string& targetPath);

#endif  // ZN_COMMONUTILS_KXWRITERSTEMPORARYDIRECTORY_H_
