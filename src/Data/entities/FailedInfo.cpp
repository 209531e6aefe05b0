#include "Data/entities/FailedInfo.h"

std::string FailedInfo::fileId() const { return stringValue("fileId"); }
std::string FailedInfo::entryJson() const { return stringValue("entryJson"); }
std::int64_t FailedInfo::retry() const { return integerValue("retry"); }
