// KXPersistentStore is one open store file ("ZarvelNote.db" of a user): its
// schema made ready (KXStoreSchema) and two connections to it, one for the
// write context and one for the read context (KXStoreConnection), both in
// WAL mode. Each open store has a token that is unique in the process, so
// that a did-save notification can be matched with the store it came from.
//
// It also carries the file operations that work on a store as a whole:
// recognising a damaged file, moving it aside with its WAL files, and
// checkpointing a store into one self-contained file before it is moved.
//
// Thread safety: the object is immutable after open(); the connections have
// their own locks. The static functions touch only the files they are given.
#ifndef ZN_DATA_KXPERSISTENTSTORE_H_
#define ZN_DATA_KXPERSISTENTSTORE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Error.h"

class KXStoreConnection;

class KXPersistentStore {
 public:
  // Opens or creates the store at `path` with the SQLite VFS `vfs` ("" for
  // the default). nullptr and *error on failure.
  static std::shared_ptr<KXPersistentStore> open(const std::string& path, const std::string& vfs,
                                                 kx::Error* error);
  ~KXPersistentStore();
  KXPersistentStore(const KXPersistentStore&) = delete;
  KXPersistentStore& operator=(const KXPersistentStore&) = delete;

  const std::string& path() const { return path_; }
  std::int64_t token() const { return token_; }
  const std::shared_ptr<KXStoreConnection>& writeConnection() const { return writer_; }
  const std::shared_ptr<KXStoreConnection>& readConnection() const { return reader_; }

  // True when an open failure means the file itself is unusable (not a
  // database, corrupt, or a database of another shape), so that moving it
  // aside and starting a new one is the cure. Locks, permissions and a full
  // disk are not such failures.
  static bool isDamagedStoreError(const kx::Error& error);

  // Renames the file and its "-wal" and "-shm" companions to
  // "<path>.damaged-<UTC time>" (plus the same suffixes), so that the moved
  // database still finds its WAL. *movedTo receives the new name. Fails,
  // moving nothing back, only when the main file could not be moved.
  [[nodiscard]] static bool moveAside(const std::string& path, std::string* movedTo,
                                      kx::Error* error);

  // Makes the store at `path` one self-contained file: checkpoints its WAL
  // into it, switches it out of WAL mode (which removes the "-wal" file) and
  // closes it. Fails when the store cannot be opened or is in use.
  [[nodiscard]] static bool checkpointIntoSingleFile(const std::string& path,
                                                     const std::string& vfs, kx::Error* error);

 private:
  KXPersistentStore() = default;

  std::string path_;
  std::int64_t token_ = 0;
  std::shared_ptr<KXStoreConnection> writer_;
  std::shared_ptr<KXStoreConnection> reader_;
};

#endif  // ZN_DATA_KXPERSISTENTSTORE_H_
