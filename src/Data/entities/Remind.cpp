#include "Data/entities/Remind.h"
