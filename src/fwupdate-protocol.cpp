#include "fwupdate-protocol.h"
