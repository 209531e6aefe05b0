// KXTagStore keeps the user's tags: tags taken from the service, their
// local marks cleared after a push, tag reads, free tag names, and the tag
// ids dropped from entries when a tag goes.
//
// Queues: reads hop to the read queue and wait (or run in the context
// given, on its queue); writes are blocks on the write queue, saved where
// a member says so.
//
// Thread safety: no state of its own; any thread may call it, within the
// queue rules above.
#ifndef ZN_DATA_KXTAGSTORE_H_
#define ZN_DATA_KXTAGSTORE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXDataClientTypes.h"
#include "platform/Error.h"
#include "platform/Value.h"

class KXDataClient;
class KXManagedObjectContext;
class Tag;

class KXTagStore {
 public:
  // Tags of the client's store. The client owns this object.
  explicit KXTagStore(KXDataClient& client);
  KXTagStore(const KXTagStore&) = delete;
  KXTagStore& operator=(const KXTagStore&) = delete;

  // Name given to a tag that comes without one.
  static constexpr const char* kNewTagName = "\u65b0\u5efa\u6807\u7b7e";
  // Numbered names the tag name check tries before it gives up (each one
  // taken by a live tag; with that many live tags a free name is always
  // found first). Stops only a runaway loop.
  static constexpr int kMaxDupTagNameTries = 1000000;

  // Takes one tag of the service ("tagId", "name", "pTagId", "dateCreated",
  // "dateUpdated"): a stored tag whose dateUpdated is not older is left as
  // it is; otherwise the tag is made or updated with a name no other live
  // tag carries (checkDupTagName), marked modified here when that name is
  // not the service's, and not created or removed here. One write block,
  // then a save queued behind it. A tag without "tagId" is ignored.
  void createOrUpdateTag(const kx::Dictionary& tag);
  // After a push of the tag of "tagId": clears its isLocalCreated,
  // isLocalModified and isLocalRemoved in a write block, then saves.
  void updateTagLocalProps(const kx::Dictionary& info);
  // The query record run with entity "Tag" on the read queue; nullopt and
  // *error on failure (presented as for every failed query).
  std::optional<std::vector<std::shared_ptr<Tag>>> readTagSyncForCondition(
      const kx::Dictionary& queryInfo, kx::Error* error);
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] void readTagForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  // A name for the tag of that id that no other live tag (not removed here,
  // with a tag id) carries: the name itself ("新建标签" when empty) or
  // the first free numbered form ("Work" -> "Work(1)", "Work(3)" ->
  // "Work(4)"; stem and number at most 80 UTF-16 units). Reads the live
  // tags in `context` on its queue (the write context also sees tags not
  // saved yet), or on the read queue for nullptr, and waits.
  std::string checkDupTagName(const std::string& name, const std::string& tagId,
                              KXManagedObjectContext* context = nullptr);
  // Removes the tag id from the comma-separated tags of every entry that
  // carries it (read now on the read queue, written in a write block).
  void updateFileMetaForDeletedTagId(const std::string& tagId);

 private:
  KXDataClient& client_;
};

#endif  // ZN_DATA_KXTAGSTORE_H_
