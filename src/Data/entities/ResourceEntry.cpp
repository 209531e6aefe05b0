#include "Data/entities/ResourceEntry.h"

#include "Data/entities/Resource.h"

std::string ResourceEntry::uuid() const { return stringValue("uuid"); }
std::string ResourceEntry::file() const { return stringValue("file"); }
std::int64_t ResourceEntry::entryID() const { return integerValue("entryID"); }
std::string ResourceEntry::dataHash() const { return stringValue("dataHash"); }
std::string ResourceEntry::mimeType() const { return stringValue("mimeType"); }

std::vector<std::shared_ptr<Resource>> ResourceEntry::resourceHolders() const {
  std::vector<std::shared_ptr<Resource>> out;
  for (const auto& object : objects("resourceHolders")) {
    if (auto r = KXCast<Resource>(object)) out.push_back(std::move(r));
  }
  return out;
}
