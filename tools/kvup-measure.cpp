// kvup-measure: end-to-end figures of the real kvup binary against the simulated controller,
// started in-process on a pseudo-terminal so that its record (when the first chunk began, when
// DONE went out, the host's turnaround after each ACK) lines up with kvup's own start and exit.
// Prints figures only; nothing is judged. scripts/measure runs it from the release build.

#include "crc32.h"
#include "sim.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr std::uint32_t CHUNK_BYTES = 4096;
constexpr std::uint32_t CHUNK_FRAME_BYTES = 4108;  // 8 of envelope, 4 of index, 4096 of data
constexpr std::uint32_t ACK_FRAME_BYTES = 12;      // 8 of envelope, 4 of payload
constexpr std::uint32_t FINALIZE_FRAME_BYTES = 21; // 8 of envelope, 13 of payload
constexpr std::uint32_t DONE_ENVELOPE_BYTES = 8;   // and its payload:
constexpr std::uint32_t DONE_PAYLOAD_BYTES = 0;    // none from the simulator
constexpr std::uint32_t BITS_PER_BYTE = 10;        // 8N1: start, eight data, stop

struct options {
    std::string kvup = KVUP_BINARY;
    std::uint32_t image_bytes = 4u << 20;
    std::uint32_t baud = 0;
    int runs = 3;
};

void usage() {
    std::fputs("Usage: kvup-measure [--kvup PATH] [--image-kib N] [--baud RATE] [--runs N]\n"
               "Updates the simulated controller (target self) with an image of N KiB, RUNS "
               "times,\nand prints the figures of each run and their medians. --baud paces the "
               "simulated\nline as 8N1 in both directions (0, the default: unthrottled).\n",
               stderr);
}

bool parse_u32(const char* text, std::uint32_t& out) {
    const std::string_view s(text);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && end == s.data() + s.size();
}

bool parse_options(int argc, char** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        std::uint32_t n = 0;
        if (arg == "--kvup") {
            o.kvup = value;
        } else if (arg == "--image-kib" && parse_u32(value, n) && n > 0 && n <= 1024 * 1024) {
            o.image_bytes = n * 1024;
        } else if (arg == "--baud" && parse_u32(value, n)) {
            o.baud = n;
        } else if (arg == "--runs" && parse_u32(value, n) && n > 0) {
            o.runs = static_cast<int>(n);
        } else {
            return false;
        }
    }
    return true;
}

void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A bundle with one image: variant 1, bank B, the bank the simulated controller offers while it
// runs from A.
std::vector<std::uint8_t> bundle_file(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> file{'K', 'V', 'F', 'W', 'B', 'N', 'D', 'L'};
    put_le(file, 1, 4);
    put_le(file, 1, 4);
    put_le(file, 1, 2);
    file.push_back('B');
    file.push_back(0);
    put_le(file, 0x00010000, 4);
    put_le(file, image.size(), 4);
    put_le(file, crc32(image.data(), static_cast<std::uint32_t>(image.size())), 4);
    put_le(file, 16 + 32, 8);
    put_le(file, 0, 8);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

struct run_figures {
    bool ok = false;
    double whole_ms = 0;          // kvup started to kvup exited
    double to_reset_ms = 0;       // kvup started to the reset's queue discard
    double to_session_ms = 0;     // the discard to "fwupdate start" arriving
    double to_first_chunk_ms = 0; // "fwupdate start" to the first chunk's first byte
    double transfer_ms = 0;       // first chunk's first byte to DONE handed to the line
    double after_done_ms = 0;     // DONE to kvup's exit
    double cpu_ms = 0;            // kvup's user + system time
    double turnaround_median_us = 0;
    double turnaround_p90_us = 0;
    double turnaround_p99_us = 0;
    double turnaround_max_us = 0;
    std::size_t turnaround_samples = 0;
};

double ms_between(std::uint64_t from_us, std::uint64_t to_us) {
    return (static_cast<double>(to_us) - static_cast<double>(from_us)) / 1000.0;
}

double tv_ms(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) * 1000.0 + static_cast<double>(tv.tv_usec) / 1000.0;
}

run_figures measure_once(const options& o, const std::string& dir,
                         const std::vector<std::uint8_t>& image) {
    run_figures f;
    const std::string bundle = dir + "/measure.kvfw";
    const std::vector<std::uint8_t> file = bundle_file(image);
    std::ofstream(bundle, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));

    sim_config config;
    config.baud = o.baud;
    config.self.bank_limit = std::max<std::uint32_t>(o.image_bytes, 256 * 1024);
    const steady::time_point sim_t0 = steady::now(); // the simulator's clock starts within it
    std::string error;
    std::unique_ptr<sim_instance> sim = sim_start(config, &error);
    if (!sim) {
        std::fprintf(stderr, "kvup-measure: cannot start the simulator: %s\n", error.c_str());
        return f;
    }

    // Everything the child needs is built before the fork: the simulator's thread runs meanwhile.
    std::vector<std::string> args = {o.kvup,     "--port", sim->port_path(), "--firmware",   bundle,
                                     "--target", "self",   "--password",     config.password};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string log_path = dir + "/kvup.log";
    const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    const steady::time_point started = steady::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(log_fd, 1);
        ::dup2(log_fd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    const pid_t waited = pid > 0 ? ::wait4(pid, &status, 0, &usage) : -1;
    const steady::time_point ended = steady::now();
    ::close(log_fd);
    sim->stop();
    const sim_record record = sim->record();

    const auto sim_us = [&](steady::time_point t) {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(t - sim_t0).count());
    };
    const sim_device_record& self = record.devices.at(0);
    const std::uint32_t crc = crc32(image.data(), static_cast<std::uint32_t>(image.size()));
    if (waited != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        record.sessions.size() != 1 || record.sessions[0].done_us == 0 ||
        record.resets_us.empty() || self.active_bank != 1 || self.banks[1].crc != crc) {
        std::fprintf(stderr, "kvup-measure: the update did not complete; kvup's output:\n");
        std::ifstream log(log_path);
        std::string line;
        while (std::getline(log, line)) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
        std::fputs(sim_record_summary(record).c_str(), stderr);
        return f;
    }
    const sim_session_record& s = record.sessions[0];
    const std::uint64_t start_us = sim_us(started);
    const std::uint64_t end_us = sim_us(ended);
    f.ok = true;
    f.whole_ms = ms_between(start_us, end_us);
    f.to_reset_ms = ms_between(start_us, record.resets_us[0]);
    f.to_session_ms = ms_between(record.resets_us[0], s.start_us);
    f.to_first_chunk_ms = ms_between(s.start_us, s.first_chunk_us);
    f.transfer_ms = ms_between(s.first_chunk_us, s.done_us);
    f.after_done_ms = ms_between(s.done_us, end_us);
    f.cpu_ms = tv_ms(usage.ru_utime) + tv_ms(usage.ru_stime);
    f.turnaround_samples = record.turnaround_us.size();
    f.turnaround_median_us = static_cast<double>(sim_percentile(record.turnaround_us, 50));
    f.turnaround_p90_us = static_cast<double>(sim_percentile(record.turnaround_us, 90));
    f.turnaround_p99_us = static_cast<double>(sim_percentile(record.turnaround_us, 99));
    f.turnaround_max_us = static_cast<double>(sim_percentile(record.turnaround_us, 100));
    return f;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

} // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, o)) {
        usage();
        return 2;
    }
    char dir_pattern[] = "/tmp/kvup-measure-XXXXXX";
    if (::mkdtemp(dir_pattern) == nullptr) {
        std::perror("kvup-measure: mkdtemp");
        return 1;
    }
    const std::string dir = dir_pattern;

    std::vector<std::uint8_t> image(o.image_bytes);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>((i % 251) * 7 + (i >> 12));
    }
    const std::uint32_t chunks = (o.image_bytes + CHUNK_BYTES - 1) / CHUNK_BYTES;
    const double mib = static_cast<double>(o.image_bytes) / (1024.0 * 1024.0);

    std::printf("image %u bytes (%u chunks), line %s, %d run(s)\n", o.image_bytes, chunks,
                o.baud == 0 ? "unthrottled" : (std::to_string(o.baud) + " baud 8N1").c_str(),
                o.runs);
    std::vector<run_figures> runs;
    for (int i = 0; i < o.runs; ++i) {
        const run_figures f = measure_once(o, dir, image);
        if (!f.ok) {
            ::unlink((dir + "/measure.kvfw").c_str());
            ::unlink((dir + "/kvup.log").c_str());
            ::rmdir(dir.c_str());
            return 1;
        }
        std::printf("  run %d: whole %.1f ms = start to reset %.1f + reset to 'fwupdate start' "
                    "%.1f + to first chunk %.1f + transfer %.1f + DONE to exit %.1f; kvup CPU "
                    "%.1f ms; turnaround median %.0f us, p90 %.0f, p99 %.0f, max %.0f (%zu "
                    "samples)\n",
                    i + 1, f.whole_ms, f.to_reset_ms, f.to_session_ms, f.to_first_chunk_ms,
                    f.transfer_ms, f.after_done_ms, f.cpu_ms, f.turnaround_median_us,
                    f.turnaround_p90_us, f.turnaround_p99_us, f.turnaround_max_us,
                    f.turnaround_samples);
        runs.push_back(f);
    }
    ::unlink((dir + "/measure.kvfw").c_str());
    ::unlink((dir + "/kvup.log").c_str());
    ::rmdir(dir.c_str());

    auto med = [&](double run_figures::*field) {
        std::vector<double> v;
        for (const run_figures& f : runs) {
            v.push_back(f.*field);
        }
        return median(v);
    };
    const double transfer_ms = med(&run_figures::transfer_ms);
    std::printf("median of %d run(s):\n", o.runs);
    std::printf("  whole run                  %10.1f ms\n", med(&run_figures::whole_ms));
    std::printf("    start to reset discard   %10.1f ms (process start, bundle load, open, 200 ms "
                "pause)\n",
                med(&run_figures::to_reset_ms));
    std::printf("    reset to installer mode  %10.1f ms (200 ms of the reset, boot, 'installer "
                "on', password)\n",
                med(&run_figures::to_session_ms));
    std::printf("    to first chunk           %10.1f ms (READY, image CRC-32)\n",
                med(&run_figures::to_first_chunk_ms));
    std::printf("    transfer                 %10.1f ms (first chunk's first byte to DONE)\n",
                transfer_ms);
    std::printf("    DONE to exit             %10.1f ms\n", med(&run_figures::after_done_ms));
    std::printf("  image throughput           %10.3f MiB/s (%.1f KiB/s) over the transfer\n",
                mib / (transfer_ms / 1000.0), mib * 1024.0 / (transfer_ms / 1000.0));
    std::printf("  kvup CPU (user+sys)        %10.1f ms, %.1f ms per MiB\n",
                med(&run_figures::cpu_ms), med(&run_figures::cpu_ms) / mib);
    std::printf("  host turnaround            median %.0f us, 90th percentile %.0f us, 99th "
                "percentile %.0f us (from the ACK handed to the line to the next chunk's first "
                "byte through it)\n",
                med(&run_figures::turnaround_median_us), med(&run_figures::turnaround_p90_us),
                med(&run_figures::turnaround_p99_us));
    if (o.baud != 0) {
        const std::uint64_t wire_bytes =
            std::uint64_t{chunks} * (CHUNK_FRAME_BYTES + ACK_FRAME_BYTES) + FINALIZE_FRAME_BYTES +
            DONE_ENVELOPE_BYTES + DONE_PAYLOAD_BYTES;
        const double limit_ms =
            static_cast<double>(wire_bytes * BITS_PER_BYTE) * 1000.0 / static_cast<double>(o.baud);
        std::printf("  wire limit                 %10.1f ms (%llu bytes x 10 bits at %u baud)\n",
                    limit_ms, static_cast<unsigned long long>(wire_bytes), o.baud);
        std::printf("  limit / transfer           %10.4f\n", limit_ms / transfer_ms);
    }
    return 0;
}
