#include "options.h"
