#include "Data/entities/Image.h"
