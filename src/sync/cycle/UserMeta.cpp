#include "sync/cycle/UserMeta.h"

UserMeta::UserMeta(const kx::Value& dict)
    : rootVersion_(dict["rv"].intValue()),
      tagVersion_(dict["tv"].intValue()),
      myShareUpdateTime_(static_cast<std::int64_t>(dict["MYSHARE_UPDATE_TIME"].doubleValue())) {}
