#include "Data/entities/OperationLog.h"

std::int64_t OperationLog::opType() const { return integerValue("opType"); }
kx::Bytes OperationLog::opData() const { return value("opData").bytes(); }
