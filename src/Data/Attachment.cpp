#include "Data/Attachment.h"
