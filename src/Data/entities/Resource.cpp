#include "Data/entities/Resource.h"

#include <utility>

#include "Data/entities/FileMeta.h"
#include "Data/entities/ResourceEntry.h"

namespace {
const std::pair<std::int64_t, const char*> kTypes[] = {
    {0, "undefined"},   {1, "image"}, {2, "attachment"}, {3, "attachment-preview"},
    {4, "handwriting"}, {5, "draw"},  {6, "todo"},       {7, "LongMicroBlog"},
    {8, "ORCImage"},    {-1, "3rd"},
};
}  // namespace

std::string Resource::resourceFileID() { return FileMeta::idForFileMeta(); }

std::string Resource::resourceTypeName(std::int64_t type) {
  for (const auto& [number, name] : kTypes) {
    if (number == type) return name;
  }
  return "undefined";
}

std::optional<std::int64_t> Resource::resourceTypeFromName(std::string_view name) {
  for (const auto& [number, text] : kTypes) {
    if (name == text) return number;
  }
  return std::nullopt;
}

std::string Resource::fileId() const { return stringValue("fileId"); }
std::string Resource::title() const { return stringValue("title"); }
std::string Resource::meidaType() const { return stringValue("meidaType"); }
std::int64_t Resource::size() const { return integerValue("size"); }
std::int64_t Resource::version() const { return integerValue("version"); }
std::string Resource::imageSize() const { return stringValue("imageSize"); }
bool Resource::localModified() const { return boolValue("localModified"); }

std::shared_ptr<ResourceEntry> Resource::entry() const {
  return KXCast<ResourceEntry>(object("entry"));
}

std::vector<std::shared_ptr<FileMeta>> Resource::notes() const {
  std::vector<std::shared_ptr<FileMeta>> out;
  for (const auto& object : objects("notes")) {
    if (auto f = KXCast<FileMeta>(object)) out.push_back(std::move(f));
  }
  return out;
}
