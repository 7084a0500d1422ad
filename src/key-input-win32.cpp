#include "key-input.h"
