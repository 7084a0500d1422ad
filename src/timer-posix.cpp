#include "timer.h"
