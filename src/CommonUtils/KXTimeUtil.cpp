#include "CommonUtils/KXTimeUtil.h"

#include "platform/Time.h"

std::int64_t KXTimeUtil::currentTime() { return kx::Time::microsecondsField(); }
