// kvup-usb-guest: the small helper that the USB test guest runs beside kvup and kvup-sim. It
// runs a command as an ordinary user under a time-out and records its exit status and times,
// stamps lines with the guest's monotonic clock, plays a host that purges but never pulses DTR,
// and checks a kvup-sim summary for the line settings and the DTR reset that kvup must produce.
// Statically linked: the guest has busybox and nothing else.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void sleep_ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, sep)) {
        fields.push_back(field);
    }
    return fields;
}

// The user's uid, gid and supplementary groups from /etc/passwd and /etc/group. NSS is not
// usable from a static binary, and the guest has only these two files anyway.
bool lookup_user(const std::string& name, uid_t& uid, gid_t& gid, std::vector<gid_t>& groups) {
    std::ifstream passwd("/etc/passwd");
    std::string line;
    bool found = false;
    while (std::getline(passwd, line)) {
        const std::vector<std::string> f = split(line, ':');
        if (f.size() >= 4 && f[0] == name) {
            uid = static_cast<uid_t>(std::stoul(f[2]));
            gid = static_cast<gid_t>(std::stoul(f[3]));
            found = true;
            break;
        }
    }
    if (!found) {
        return false;
    }
    groups.assign(1, gid);
    std::ifstream group("/etc/group");
    while (std::getline(group, line)) {
        const std::vector<std::string> f = split(line, ':');
        if (f.size() < 4) {
            continue;
        }
        for (const std::string& member : split(f[3], ',')) {
            if (member == name) {
                groups.push_back(static_cast<gid_t>(std::stoul(f[2])));
            }
        }
    }
    return true;
}

// run USER TIMEOUT_MS STATUS_FILE COMMAND [ARG...]: runs COMMAND as USER; STATUS_FILE gets
// "EXIT START_MS END_MS" (guest monotonic ms), EXIT 124 when the time-out killed it.
int cmd_run(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("usage: run USER TIMEOUT_MS STATUS_FILE COMMAND [ARG...]\n", stderr);
        return 2;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    if (!lookup_user(argv[1], uid, gid, groups)) {
        std::fprintf(stderr, "kvup-usb-guest: no user %s\n", argv[1]);
        return 2;
    }
    const long timeout_ms = std::strtol(argv[2], nullptr, 10);
    const double start_ms = now_ms();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            std::perror("kvup-usb-guest: dropping privileges");
            _exit(126);
        }
        execv(argv[4], argv + 4);
        std::perror("kvup-usb-guest: exec");
        _exit(127);
    }
    int status = 0;
    int exit_code = 124;
    double end_ms = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            end_ms = now_ms();
            exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (now_ms() - start_ms > static_cast<double>(timeout_ms)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            end_ms = now_ms();
            exit_code = 124;
            break;
        }
        sleep_ms(2);
    }
    if (FILE* out = std::fopen(argv[3], "w")) {
        std::fprintf(out, "%d %.3f %.3f\n", exit_code, start_ms, end_ms);
        std::fclose(out);
    }
    return exit_code;
}

// stamp: copies standard input to standard output, each line prefixed by the guest's monotonic
// time in ms, flushed at once.
int cmd_stamp() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::printf("%.3f %s", now_ms(), line);
        std::fflush(stdout);
    }
    return 0;
}

// purge-only PORT WAIT_MS: opens the port raw at 115200 8N1 like kvup, discards both buffers and
// never touches DTR, then waits for the boot prompt (ESC [ K). Exit 0 when it came, 1 when not.
int cmd_purge_only(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: purge-only PORT WAIT_MS\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "purge-only: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    sleep_ms(200);
    tcflush(fd, TCIOFLUSH);
    const double deadline_ms = now_ms() + std::strtod(argv[2], nullptr);
    std::string seen;
    bool prompt = false;
    while (!prompt && now_ms() < deadline_ms) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0) {
            char buf[256];
            const ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) {
                seen.append(buf, static_cast<std::size_t>(got));
                prompt = seen.find("\x1b[K") != std::string::npos;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
        }
    }
    std::printf("purge-only: %zu byte(s) received, %s\n", seen.size(),
                prompt ? "boot prompt seen" : "no boot prompt");
    close(fd);
    return prompt ? 0 : 1;
}

} // namespace

// The reset check over a summary's text, with its findings written to `report`: 0 when the
// host's open set 115200 8N1 and every DTR pulse held DTR cleared for at least 50 ms and sent
// nothing for 150 ms after it was set again, with exactly `want_pulses` pulses (0: any number
// but none). The driver's own line coding at probe (9600 8N1, before any open) is not the host's,
// nor is a line coding right before the close (DTR and RTS cleared): that is the host putting
// back the settings it found. A final "still cleared" is the port's close (HUPCL), not a pulse.
int usb_check_reset(std::istream& summary, long want_pulses, std::FILE* report) {
    const std::string line_coding_8n1 = "SET_LINE_CODING 00 C2 01 00 00 00 08 ";
    bool opened = false;
    int line_codings = 0;
    int faults = 0;
    int pulses = 0;
    std::string still_cleared;
    std::string pending; // the last line coding, judged once the next request shows what it was
    auto judge_pending = [&] {
        if (pending.empty()) {
            return;
        }
        ++line_codings;
        if (pending.compare(0, line_coding_8n1.size(), line_coding_8n1) != 0) {
            std::fprintf(report, "check: line coding is not 115200 8N1:%s\n", pending.c_str() + 15);
            ++faults;
        }
        pending.clear();
    };
    std::string line;
    while (std::getline(summary, line)) {
        if (line.find("SET_CONTROL_LINE_STATE 0x0000") != std::string::npos && !pending.empty()) {
            std::fprintf(report, "check: the close put back:%s\n", pending.c_str() + 15);
            pending.clear();
            continue;
        }
        if (line.find("SET_") != std::string::npos) {
            judge_pending();
        }
        if (line.find("SET_CONTROL_LINE_STATE 0x0003") != std::string::npos ||
            line.find("SET_CONTROL_LINE_STATE 0x0001") != std::string::npos) {
            opened = true;
            continue;
        }
        const std::size_t lc = line.find("SET_LINE_CODING ");
        if (lc != std::string::npos) {
            if (opened) {
                pending = line.substr(lc);
            }
            continue;
        }
        const std::size_t at = line.find("DTR cleared at ");
        if (at == std::string::npos) {
            continue;
        }
        if (!still_cleared.empty()) {
            std::fprintf(report, "check: DTR never set again after it was cleared (%s)\n",
                         still_cleared.c_str());
            ++faults;
            still_cleared.clear();
        }
        double cleared_at = 0;
        double held_ms = 0;
        if (std::sscanf(line.c_str() + at, "DTR cleared at %lf ms for %lf ms", &cleared_at,
                        &held_ms) != 2) {
            still_cleared = line.substr(at);
            continue;
        }
        ++pulses;
        if (held_ms < 50.0) {
            std::fprintf(report, "check: DTR cleared for only %.3f ms (at least 50 ms needed)\n",
                         held_ms);
            ++faults;
        }
        const std::size_t first = line.find("first host byte ");
        double after_ms = 0;
        if (first != std::string::npos &&
            std::sscanf(line.c_str() + first, "first host byte %lf ms", &after_ms) == 1 &&
            after_ms < 150.0) {
            std::fprintf(report,
                         "check: a console byte came %.3f ms after DTR was set (150 ms needed)\n",
                         after_ms);
            ++faults;
        }
    }
    judge_pending();
    if (line_codings == 0) {
        std::fputs("check: no SET_LINE_CODING after the open\n", report);
        ++faults;
    }
    if (pulses == 0) {
        std::fputs("check: no DTR pulse: DTR was never cleared and set again\n", report);
        ++faults;
    } else if (want_pulses > 0 && pulses != want_pulses) {
        std::fprintf(report, "check: %d DTR pulse(s), %ld expected\n", pulses, want_pulses);
        ++faults;
    }
    std::fprintf(report, "check: %d DTR pulse(s), %d line coding(s) after the open, %s\n", pulses,
                 line_codings, faults == 0 ? "all good" : "FAULTS FOUND");
    return faults == 0 ? 0 : 1;
}

#ifndef KVUP_USB_GUEST_NO_MAIN
int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "run") {
        return cmd_run(argc - 1, argv + 1);
    }
    if (command == "stamp") {
        return cmd_stamp();
    }
    if (command == "now") {
        std::printf("%.3f\n", now_ms());
        return 0;
    }
    if (command == "purge-only") {
        return cmd_purge_only(argc - 1, argv + 1);
    }
    if (command == "check-reset" && argc >= 3) {
        // check-reset SUMMARY_FILE [RESETS]: the line settings and DTR pulses of a kvup run.
        std::ifstream summary(argv[2]);
        if (!summary) {
            std::fprintf(stderr, "check-reset: cannot read %s\n", argv[2]);
            return 2;
        }
        return usb_check_reset(summary, argc >= 4 ? std::strtol(argv[3], nullptr, 10) : 0, stdout);
    }
    std::fputs("usage: kvup-usb-guest run|stamp|now|purge-only|check-reset ...\n", stderr);
    return 2;
}
#endif
