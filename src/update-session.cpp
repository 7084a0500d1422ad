#include "update-session.h"
