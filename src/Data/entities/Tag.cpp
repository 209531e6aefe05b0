#include "Data/entities/Tag.h"

std::string Tag::tagId() const { return stringValue("tagId"); }
std::string Tag::pTagId() const { return stringValue("pTagId"); }
std::string Tag::name() const { return stringValue("name"); }
std::int64_t Tag::dateCreated() const { return integerValue("dateCreated"); }
std::int64_t Tag::dateUpdated() const { return integerValue("dateUpdated"); }
bool Tag::isLocalCreated() const { return boolValue("isLocalCreated"); }
bool Tag::isLocalModified() const { return boolValue("isLocalModified"); }
bool Tag::isLocalRemoved() const { return boolValue("isLocalRemoved"); }
