#include "options.h"

#include <cstring>

kvup_options options;

namespace {

enum class option_kind { flag, value };

struct option_rule {
    const char* name;
    option_kind kind;
    bool kvup_options::*flag;
    const char* kvup_options::*text;
    const char* missing_value_message;
};

// Compared in this order; the first equal name decides.
constexpr option_rule OPTION_TABLE[] = {
    {"--version", option_kind::flag, &kvup_options::version, nullptr, nullptr},
    {"--help", option_kind::flag, &kvup_options::help, nullptr, nullptr},
    {"--verbose", option_kind::flag, &kvup_options::verbose, nullptr, nullptr},
    {"--firmware", option_kind::value, nullptr, &kvup_options::firmware,
     "ERROR: --firmware requires a bundle filename\n"},
    {"--target", option_kind::value, nullptr, &kvup_options::target,
     "ERROR: --target requires a value\n"},
    {"--port", option_kind::value, nullptr, &kvup_options::port,
     "ERROR: --port requires a device name\n"},
    {"--password", option_kind::value, nullptr, &kvup_options::password,
     "ERROR: --password requires a value\n"},
};

constexpr const char USAGE_TEXT[] =
    "Usage: kvup --firmware <bundle-file> --port <device> [--password <password>] [--target "
    "<target>] [--verbose]\n"
    "       kvup --version\n"
    "       kvup --help\n"
    "\n"
    "       --firmware <bundle-file>       A .kvfw firmware bundle covering every board's\n"
    "                                      bank A/B images (build one with\n"
    "                                      scripts/pack_bundle) - kvup picks whichever\n"
    "                                      entry matches the target device's own reported\n"
    "                                      hardware variant and currently-inactive bank.\n"
    "       --port <device>                The serial device (e.g. /dev/ttyACM0 or COM3)\n"
    "                                      of the ONE kelvane controller physically connected\n"
    "                                      over USB - always the relay point, even when\n"
    "                                      --target sends the update elsewhere over CAN.\n"
    "       --password <password>          The installer password. kvup resets the device\n"
    "                                      to a known state, enters installer mode with this\n"
    "                                      password automatically, then starts the update -\n"
    "                                      no manual navigation needed first. If omitted,\n"
    "                                      you'll be prompted for it (hidden input).\n"
    "       --target <target>              Optional. Where the firmware actually goes:\n"
    "                                        (omitted)        every known device - every\n"
    "                                                         other controller, every reader,\n"
    "                                                         and the connected controller\n"
    "                                                         itself (done last, since it\n"
    "                                                         reboots the moment it's done)\n"
    "                                        self             the connected controller only\n"
    "                                        <serial>         one specific controller/reader,\n"
    "                                                         relayed over CAN from the\n"
    "                                                         connected controller\n"
    "                                        all-controllers  every other known controller\n"
    "                                                         (not the connected one)\n"
    "                                        all-readers      every known reader\n"
    "                                        all              every other known controller\n"
    "                                                         and every known reader (not\n"
    "                                                         the connected one - same as\n"
    "                                                         omitting --target, minus self)\n"
    "                                      Fan-out targets update devices one at a time and\n"
    "                                      report per-device success/failure - one device's\n"
    "                                      failure does not stop the rest.\n"
    "       --verbose                      Echo every raw byte the device sends while kvup\n"
    "                                      is driving its plain-text CLI (entering installer\n"
    "                                      mode, escaping a stray menu, etc). Off by default -\n"
    "                                      a real-hardware debugging aid, not routine output.\n";

} // namespace

bool options_load(int argc, char** argv) {
    options = kvup_options{};
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const option_rule* rule = nullptr;
        for (const auto& candidate : OPTION_TABLE) {
            if (std::strcmp(arg, candidate.name) == 0) {
                rule = &candidate;
                break;
            }
        }
        if (rule == nullptr) {
            std::fprintf(stderr, "ERROR: unrecognised option '%s'\n", arg);
            return false;
        }
        if (rule->kind == option_kind::flag) {
            options.*(rule->flag) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fputs(rule->missing_value_message, stderr);
            return false;
        }
        // The value is taken as it stands, even when it looks like an option.
        options.*(rule->text) = argv[++i];
    }
    return true;
}

void options_print_usage() {
    std::fputs(USAGE_TEXT, stdout);
}

void options_print_version() {
    std::printf("kvup v%s\n", KVUP_VERSION);
}

void options_print_banner() {
    std::printf("kvup v%s - Kelvane firmware updater\n\n", KVUP_VERSION);
}
