#include "password-prompt.h"
