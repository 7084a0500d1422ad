#include "process.h"

// Nothing to do on Windows. The C runtime reserves descriptors 0, 1 and 2 at start-up even when
// the process was given no standard handle (writes to them then fail quietly), so a file opened
// later never takes a standard stream's number; the serial port is a HANDLE of its own and never
// a descriptor. Writing to a pipe whose reader has gone fails with an error and raises no signal.
void process_prepare_standard_streams() {}
