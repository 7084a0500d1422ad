#include "crc32.h"
