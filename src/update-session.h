#pragma once
// One firmware update of one device over the binary dialogue: start command, READY, image
// choice, chunks with acknowledgement and retry, finalize, abort on failure. Never resets the
// device or re-enters installer mode; that is the caller's business.

#include <cstdint>

struct serial_port;
struct bundle;

// Runs one session started by `command` ("fwupdate start" or "fwupdate relay SERIAL").
// Returns 0 when the device accepted the finalize, 1 after one ERROR line on stderr.
int run_update_session(serial_port* port, const char* command, const bundle* b);

// Sends an abort frame and waits at most 2000 ms for any answer. Silent.
void send_abort(serial_port* port);
