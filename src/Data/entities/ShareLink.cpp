#include "Data/entities/ShareLink.h"

std::string ShareLink::entryId() const { return stringValue("entryId"); }
std::string ShareLink::shareUrl() const { return stringValue("shareUrl"); }
bool ShareLink::searchEngineEnable() const { return boolValue("searchEngineEnable"); }
