#include "Data/entities/User.h"

std::string User::userId() const { return stringValue("userId"); }
std::string User::nickname() const { return stringValue("nickname"); }
std::string User::password() const { return stringValue("password"); }
std::string User::defaultFolder() const { return stringValue("defaultFolder"); }
std::int64_t User::is_vip() const { return integerValue("is_vip"); }
bool User::localModified() const { return boolValue("localModified"); }
