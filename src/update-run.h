#pragma once
// The update run behind kvup's command line: the password, the bundle, the port and installer
// mode, then the target's plan: the connected controller alone, one relayed peer, or the fan-out
// over the peer listing with a fresh installer-mode entry per device and the closing summary.
// Does not parse the command line (options) and does not speak the binary dialogue itself
// (update-session).

// Runs the update the parsed `options` ask for; `options.port` and `options.firmware` are set.
// Owns the typed password, the bundle and the port for the whole run and releases them on every
// way out. Returns the exit status: 0 when every device it tried was updated, else 1.
int update_run();
