#include "Data/Remind.h"
