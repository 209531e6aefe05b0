// FileMeta is one entry of the user's tree: a note, a notebook, another
// stored file or the root. It is never created as itself: its kinds are the
// entities Note, Notebook, NormalFile and Root, which share its attributes
// (KXModel). Besides the stored attributes it keeps one value in memory
// only, the title of its parent folder, which listings fill in.
//
// Special values: file id "ROOT" (the root), parent id "0" (above the root),
// "1" (the trash) and "-2" (entries pulled from the service that are never
// pushed); a pending trash operation is "trucate" (purge) or "recovery"
// (restore). localModified is 0 (in step with the service), 1 (changed here)
// or 2 (its push failed).
//
// Every entry also has a change counter kept in memory for this run: each
// time an entry is marked as changed here (localModified set above 0, or
// contentChanged set) its counter rises. A push reads it when it reads the
// entry and clears the marks after the service's answer only when the
// counter has not moved meanwhile, so an edit made while the entry was on
// its way keeps its marks. The counter is process-wide, by file id, and
// starts at 0.
//
// Thread safety: as KXManagedObject; the parent name is guarded by the
// object's lock.
#ifndef ZN_DATA_FILEMETA_H_
#define ZN_DATA_FILEMETA_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Data/store/KXManagedObject.h"

class ShareLink;
class Resource;

class FileMeta : public KXManagedObject {
 public:
  FileMeta() = default;

  // A new id: a random UUID in upper-case hexadecimal without hyphens
  // (32 characters).
  static std::string idForFileMeta();

  // The entry's change counter (see above); 0 for an entry never marked in
  // this run. Any thread.
  static std::uint64_t localChangeCount(const std::string& fileId);
  static void raiseLocalChangeCount(const std::string& fileId);

  // Attribute reads ("" / 0 / NO when nil).
  std::string fileId() const;
  std::string parentId() const;
  std::string title() const;
  std::string namePath() const;
  bool dir() const;
  std::int64_t domain() const;
  std::int64_t version() const;
  std::int64_t createTime() const;
  std::int64_t modifyTime() const;
  std::string transactionId() const;
  std::int64_t transactionTime() const;
  bool del() const;
  bool deleted() const;
  bool remoteRemoved() const;
  std::int64_t localModified() const;
  bool contentChanged() const;
  bool localTrashOp() const;
  std::string trashModifyData() const;
  bool encrypted() const;
  bool favorited() const;
  bool stick() const;
  std::int64_t stickTime() const;
  std::string tags() const;
  std::string summary() const;
  std::int64_t size() const;
  std::int64_t shareType() const;
  std::string bgImageId() const;

  std::shared_ptr<ShareLink> shareLinkInfo() const;
  std::vector<std::shared_ptr<Resource>> resources() const;
  // The share link's address; nullopt when the entry has no share link.
  std::optional<std::string> shareUrl() const;
  // Whether the entry has a share link (shareType is not looked at).
  bool shared() const;

  // The parent folder's title, set by listings; nullopt until set.
  std::optional<std::string> getParentName() const;
  void setParentName(std::string name);

  // The row with the parent name, when one was set.
  KXStoredRow storedRow() const override;

 protected:
  bool shouldSetAttribute(const KXAttributeDescription& attribute, const kx::Value& value) override;

 private:
  std::optional<std::string> parentName_ GUARDED_BY(transientLock());
};

#endif  // ZN_DATA_FILEMETA_H_
