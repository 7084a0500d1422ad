#include "peer-query.h"
