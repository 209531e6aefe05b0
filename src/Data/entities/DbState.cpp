#include "Data/entities/DbState.h"

std::string DbState::stateKey() const { return stringValue("stateKey"); }
kx::Value DbState::stateValue() const { return value("stateValue"); }
