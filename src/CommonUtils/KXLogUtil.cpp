#include "CommonUtils/KXLogUtil.h"

KXLogUtil& KXLogUtil::defaultLogger() {
  static KXLogUtil* util = new KXLogUtil();
  return *util;
}
