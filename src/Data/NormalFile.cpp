#include "Data/NormalFile.h"
