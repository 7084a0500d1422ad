#pragma once
// The command line: the one program-wide options record, its parser and the usage text.
// Parsing stores the texts as they stand; whether a file or port exists is decided later.

#include <cstdio>

struct kvup_options {
    const char* firmware; // --firmware: bundle path, null when absent
    const char* port;     // --port: serial device name, null when absent
    const char* password; // --password: installer password, null when absent
    const char* target;   // --target: null when omitted (itself a target)
    bool verbose;         // --verbose: echo the device console while it is driven
    bool version;         // --version
    bool help;            // --help
};

// The parsed command line; every text points into the argument vector given to options_load.
extern kvup_options options;

// Clears `options` and parses argv[1..argc-1] into it; false after one error line on stderr.
bool options_load(int argc, char** argv);

// Writes the 42-line usage text to stdout.
void options_print_usage();

// Writes "kvup v<version>\n" to stdout, the version being the project's (CMakeLists.txt).
void options_print_version();

// Writes the banner line "kvup v<version> - Kelvane firmware updater\n" and an empty line to
// stdout.
void options_print_banner();
