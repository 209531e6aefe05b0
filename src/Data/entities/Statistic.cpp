#include "Data/entities/Statistic.h"

std::string Statistic::statisKey() const { return stringValue("statisKey"); }
std::int64_t Statistic::statisValue() const { return integerValue("statisValue"); }
