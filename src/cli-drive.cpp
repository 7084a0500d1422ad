#include "cli-drive.h"
