#include "Data/entities/NormalFile.h"
