// Resource is a file held by notes (an image, an attachment, handwriting and
// the other kinds of the resource type table); Image, Attachment and Remind
// are kinds of it. Its stored file is described by its ResourceEntry
// ("entry"); the notes that hold it are "notes".
//
// Resource type table (number, name stored in meidaType): 0 "undefined",
// 1 "image", 2 "attachment", 3 "attachment-preview", 4 "handwriting",
// 5 "draw", 6 "todo", 7 "LongMicroBlog", 8 "ORCImage", -1 "3rd".
//
// Thread safety: as KXManagedObject; the class functions may be called from
// any thread.
#ifndef ZN_DATA_RESOURCE_H_
#define ZN_DATA_RESOURCE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXManagedObject.h"

class ResourceEntry;
class FileMeta;

class Resource : public KXManagedObject {
 public:
  Resource() = default;

  // A new resource id, made as FileMeta::idForFileMeta.
  static std::string resourceFileID();
  // The table's name for a number; "undefined" for an unknown number.
  static std::string resourceTypeName(std::int64_t type);
  // The number for a name of the table (exact case); nullopt otherwise.
  static std::optional<std::int64_t> resourceTypeFromName(std::string_view name);

  std::string fileId() const;
  std::string title() const;
  std::string meidaType() const;
  std::int64_t size() const;
  std::int64_t version() const;
  std::string imageSize() const;
  bool localModified() const;

  std::shared_ptr<ResourceEntry> entry() const;
  std::vector<std::shared_ptr<FileMeta>> notes() const;
};

#endif  // ZN_DATA_RESOURCE_H_
