// KXAppTempDirectoryURL is the process's scratch directory, "ZarvelNote-Tmp"
// in the per-user scratch root (kx::Places::scratchRoot()), emptied once per
// run: the first call of the run removes whatever an earlier run left in it
// and creates it afresh, private to the user (mode 0700). Later calls return
// the same path without touching the disk.
//
// Only a directory that belongs to this user is emptied. A regular file (or
// anything else that is not a directory) at that path is left as it is, and
// a symbolic link there is removed itself, never followed; the path is
// returned in every case, and writes into it then fail in the callers.
//
// The path is kept per scratch root: only tests change the root during a
// run, and each root they point at gets its own once-per-run set-up.
//
// Thread safety: safe from any thread; the set-up runs under a mutex.
#ifndef ZN_COMMONUTILS_KXAPPTEMPDIRECTORY_H_
#define ZN_COMMONUTILS_KXAPPTEMPDIRECTORY_H_

#include <string>

inline constexpr const char* kKXAppTempDirectoryName = "ZarvelNote-Tmp";

// The scratch directory's path ("" when no scratch root is known).
std::string KXAppTempDirectoryURL();

#endif  // ZN_COMMONUTILS_KXAPPTEMPDIRECTORY_H_
