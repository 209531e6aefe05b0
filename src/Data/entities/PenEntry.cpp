#include "Data/entities/PenEntry.h"

std::string PenEntry::entryId() const { return stringValue("entryId"); }
std::string PenEntry::typeId() const { return stringValue("typeId"); }
std::string PenEntry::userId() const { return stringValue("userId"); }
std::string PenEntry::name() const { return stringValue("name"); }
std::int64_t PenEntry::entryType() const { return integerValue("entryType"); }
std::int64_t PenEntry::version() const { return integerValue("version"); }
std::int64_t PenEntry::fileSize() const { return integerValue("fileSize"); }
std::int64_t PenEntry::createTime() const { return integerValue("createTime"); }
std::int64_t PenEntry::modifyTime() const { return integerValue("modifyTime"); }
bool PenEntry::erased() const { return boolValue("erased"); }
bool PenEntry::favorited() const { return boolValue("favorited"); }
bool PenEntry::active() const { return boolValue("active"); }
bool PenEntry::modDeleted() const { return boolValue("modDeleted"); }
bool PenEntry::penNoteDelete() const { return boolValue("penNoteDelete"); }
