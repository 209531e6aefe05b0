#include "Data/Image.h"
