// KXStoreState keeps the store's own records: the state rows (data, content
// and tag versions and other keyed values), saves of the write context, and
// the user row's updates from the service.
//
// Queues: reads of state values hop to the read queue and wait; writes queue
// one block on the write queue; saves run on the write queue (the
// completion there). After closeDB reads answer Null and writes do nothing.
//
// Thread safety: no state of its own; any thread may call it, within the
// queue rules above.
#ifndef ZN_DATA_KXSTORESTATE_H_
#define ZN_DATA_KXSTORESTATE_H_

#include <optional>
#include <string>

#include "Data/client/KXDataClientTypes.h"
#include "platform/Value.h"

class KXDataClient;
class KXManagedObjectContext;

class KXStoreState {
 public:
  // State and saves of the client's store. The client owns this object.
  explicit KXStoreState(KXDataClient& client);
  KXStoreState(const KXStoreState&) = delete;
  KXStoreState& operator=(const KXStoreState&) = delete;

  // Keys of the store state rows (DbState) the store keeps for itself.
  static constexpr const char* kDbVersionKey = "dbVersion";
  static constexpr const char* kDbContentVersionKey = "dbContentVersion";
  static constexpr const char* kDbTagVersionKey = "dbTagVersion";

  // The stored value of the key, read on the read queue (inline there);
  // Null when there is none. Unsaved sets are not seen.
  kx::Value dbStateValueWithKey(const std::optional<std::string>& key);
  // The stored versions, read on the read queue: dbVersion and dbTagVersion
  // answer 0 when unset, dbContentVersion answers Null.
  kx::Value dbVersion();
  kx::Value dbContentVersion();
  kx::Value dbTagVersion();
  // Queues on the write queue: the key's row takes the value, or a row is
  // inserted (one row per key, also before a save). Not saved. Nothing
  // happens for a Null value or no key.
  void setDbStateValue(const kx::Value& value, const std::optional<std::string>& key);
  // setDbStateValue, then performSave with the callback (queued behind it).
  void setDbVersion(const kx::Value& version, KXDataCallback callback);
  void setDbContentVersion(const kx::Value& version, KXDataCallback callback);
  void setDbTagVersion(const kx::Value& version, KXDataCallback callback);

  // Saves the write context on the write queue. The callback (on the write
  // queue) gets the save's success as its value (a Bool) and the error; a
  // failed save is logged and presented as "Save Database Fail".
  void performSave(KXDataCallback callback);
  // The same, returning after the callback ran; inline when called on the
  // write queue.
  void performSyncSave(const KXDataCallback& callback);
  // Saves the context (nullptr: the read context) on the caller's queue,
  // which must own it; reports as above.
  void performSave(const KXDataCallback& callback, KXManagedObjectContext* context);

  // Queues on the write queue: the user row (made when missing) takes the
  // service's user meta (keys are the row's attribute names; other keys are
  // skipped). A default folder changed here (localModified) is kept. A
  // "password" of "" over a stored password first opens every encrypted
  // entry (handleDeletePasswordWithContext). Not saved.
  void updateUserMeta(const kx::Dictionary& userMeta);
  // Clears encrypted on every live entry of the root's tree that has it,
  // in the context, on its queue.
  void handleDeletePasswordWithContext(KXManagedObjectContext* context);
  // Kept for their callers: they do nothing and never call back.
  void queryAsync(const kx::Dictionary& info, KXDataCallback callback) {
    (void)info;
    (void)callback;
  }
  void updateSync(const kx::Dictionary& info, KXDataCallback callback) {
    (void)info;
    (void)callback;
  }
  // Queues updateSync on the write queue.
  void upate(const kx::Dictionary& info, KXDataCallback callback);

  // The state row of the key takes the value (or is inserted), in the write
  // context on the write queue. False when the value was refused.
  bool setDbStateValueSync(const kx::Value& value, const std::string& key,
                           KXManagedObjectContext& context);

 private:
  KXDataClient& client_;
};

#endif  // ZN_DATA_KXSTORESTATE_H_
