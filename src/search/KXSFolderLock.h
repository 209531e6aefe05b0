// KXSFolderLock keeps the processes of the program that write the same
// full-text index from writing it at the same time, and lets them take turns
// fairly: a process that keeps indexing cannot keep the folder from a
// process that is waiting for it.
//
// Two advisory locks (flock) on files in the index folder do it. The folder
// lock is held while a batch writes. A waiter first takes the gate and keeps
// it until it has the folder lock; since every writer passes the gate before
// it takes the folder lock, a writer that has just released the folder lock
// cannot take it back while another process is waiting: the waiter goes
// next. The kernel releases both locks when a process ends, also when it is
// killed.
//
// Thread safety: one object is used by one thread at a time. Objects of the
// same process on the same folder exclude each other like those of two
// processes (each opens the files anew).
#ifndef ZN_SEARCH_KXSFOLDERLOCK_H_
#define ZN_SEARCH_KXSFOLDERLOCK_H_

#include <functional>
#include <string>

#include "platform/Error.h"

class KXSFolderLock {
 public:
  // The folder lock and the gate of an index folder.
  static std::string lockPath(const std::string& indexDirectory);
  static std::string gatePath(const std::string& indexDirectory);

  KXSFolderLock() = default;
  // Releases what it holds.
  ~KXSFolderLock();
  KXSFolderLock(const KXSFolderLock&) = delete;
  KXSFolderLock& operator=(const KXSFolderLock&) = delete;

  // Waits up to `timeoutSeconds` (0: a single try) for the folder lock of
  // `indexDirectory`. Fails with KXSErrorIndexBusy when another holder kept
  // it that long, or with the system's error when the lock files cannot be
  // opened. `queued`, when given, is called once the caller is next in line
  // (it holds the gate), before it waits for the current holder.
  [[nodiscard]] bool acquire(const std::string& indexDirectory, double timeoutSeconds,
                             kx::Error* error, const std::function<void()>& queued = nullptr);

  // Gives the folder lock up (also done by the destructor).
  void release();

  bool held() const { return lockFd_ >= 0; }

 private:
  int lockFd_ = -1;
};

#endif  // ZN_SEARCH_KXSFOLDERLOCK_H_
