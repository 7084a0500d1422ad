// kvup: resets the one connected Kelvane controller, takes its console into installer mode and
// streams the matching firmware image from a bundle to it or to the peers it relays to.
// The entry alone: the command line and its early answers; the update itself is update_run's.

#include "options.h"
#include "process.h"
#include "update-run.h"

int main(int argc, char** argv) {
    process_prepare_standard_streams();
    if (!options_load(argc, argv)) {
        options_print_usage();
        return 1;
    }
    if (options.version) {
        options_print_version();
        return 0;
    }
    if (options.help) {
        options_print_usage();
        return 0;
    }
    if (options.port == nullptr || options.firmware == nullptr) {
        options_print_banner();
        options_print_usage();
        return 1;
    }
    return update_run();
}
