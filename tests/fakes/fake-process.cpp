// The standard streams and signals of the test program are gtest's: kvup's main, called from the
// tests, leaves them as they are.

#include "process.h"

void process_prepare_standard_streams() {}
