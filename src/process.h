#pragma once
// The program's standard streams and signals, made safe before anything else is opened. Not for
// the console's key input (key-input) or the serial port (serial).
// Platform files: process-posix.cpp, process-win32.cpp.

// Opens the null device on each of the standard input, output and error that is closed, so that
// neither the bundle nor the port can be handed a standard stream's number and receive the
// program's own text; and makes a write to a reader that has gone away fail with an error
// instead of ending the program. Called first thing in main, once. Prints nothing.
void process_prepare_standard_streams();
