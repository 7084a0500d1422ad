#include "bundle.h"
