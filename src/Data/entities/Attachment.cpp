#include "Data/entities/Attachment.h"
