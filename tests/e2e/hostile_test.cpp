// kvup started the way a hostile or clumsy user might start it: with standard output or error
// closed, with its output piped into a reader that stops early, and with a bundle path that names
// no regular file. The device must see nothing but kvup's own dialogue, the update must not
// depend on the reader, and a path that is no file must be refused at once.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Runs kvup with `args`, its standard input at its end and its streams as `setup` says.
process_result run_kvup(const std::vector<std::string>& args, const stream_setup& setup,
                        std::chrono::milliseconds limit = 60s) {
    std::vector<std::string> argv = {KVUP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", setup, limit);
}

sim_fault nak_at(std::uint32_t chunk) {
    sim_fault fault;
    fault.kind = sim_fault_kind::chunk_nak;
    fault.chunk = chunk;
    return fault;
}

// The console lines of installer-mode entry, then `then`.
std::vector<std::string> console_lines(const std::vector<std::string>& then) {
    std::vector<std::string> lines = {"installer on", "kelvane"};
    lines.insert(lines.end(), then.begin(), then.end());
    return lines;
}

class ClosedStreams : public kvup_e2e {};

// With standard output closed, the port would be opened as descriptor 1 and get the banner and
// the progress lines between the chunk frames.
TEST_F(ClosedStreams, StandardOutputClosedPutsNothingOnTheWire) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    start_sim(config);

    const process_result run = run_kvup(kvup_args(std::nullopt), {.close_out = true});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(record.stray_bytes, 0u) << sim_record_summary(record);
    EXPECT_EQ(record.dropped_frames, 0u);
    EXPECT_EQ(record.lines,
              console_lines({"fwupdate peers", "installer on", "kelvane", "fwupdate relay KR-0100",
                             "installer on", "kelvane", "fwupdate start"}));
    EXPECT_TRUE(updated(record, config.peers[0]));
    EXPECT_TRUE(updated(record, config.self));
}

// With standard error closed, a WARNING written during the chunks would land between the frames,
// and an ERROR written at the console would reach the device as a command line.
TEST_F(ClosedStreams, StandardErrorClosedPutsNoWarningOnTheWire) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {nak_at(1)};
    start_sim(config);

    const process_result run = run_kvup(kvup_args("self"), {.close_err = true});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0);
    const std::string session = session_output(1, 'B', bundle_image(1, 'B').size());
    EXPECT_EQ(run.out, opening_output() + session);
    EXPECT_EQ(record.stray_bytes, 0u) << sim_record_summary(record);
    EXPECT_EQ(record.naks.size(), 1u);
    EXPECT_EQ(record.lines, console_lines({"fwupdate start"}));
    EXPECT_TRUE(updated(record, config.self));
}

TEST_F(ClosedStreams, StandardErrorClosedPutsNoErrorOnTheConsole) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    start_sim(config);

    const process_result run = run_kvup(kvup_args("KR-0999"), {.close_err = true});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n");
    EXPECT_EQ(record.lines, console_lines({"fwupdate peers"}));
    EXPECT_TRUE(record.sessions.empty());
    EXPECT_TRUE(untouched(record, config.self));
    EXPECT_TRUE(untouched(record, config.peers[0]));
}

TEST_F(ClosedStreams, BothClosedStillUpdates) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {nak_at(2)};
    start_sim(config);

    const process_result run = run_kvup(kvup_args("self"), {.close_out = true, .close_err = true});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(record.stray_bytes, 0u) << sim_record_summary(record);
    EXPECT_EQ(record.lines, console_lines({"fwupdate start"}));
    EXPECT_TRUE(updated(record, config.self));
}

class VanishedReader : public kvup_e2e {};

// `kvup ... | head -c 10` on a line paced at 115200 baud: the reader is gone after the first
// progress line, long before the last chunk. The update goes on to its end, and the device's
// outcome alone decides the exit status.
TEST_F(VanishedReader, UpdateRunsToTheEndAndExitsByTheOutcome) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.baud = 115200;
    start_sim(config);

    const process_result run = run_kvup(kvup_args("self"), {.out_limit = 10});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.signal, 0) << "kvup was ended by signal " << run.signal;
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "kvup v0.1\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(record.aborts, 0u);
    EXPECT_TRUE(updated(record, config.self));
}

// A reader that goes away does not turn a failed update into anything else either.
TEST_F(VanishedReader, FailedUpdateStillExitsWithOne) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {{.kind = sim_fault_kind::finalize_nak, .reason = 4}};
    config.baud = 115200;
    start_sim(config);

    const process_result run = run_kvup(kvup_args("self"), {.out_limit = 10});
    const sim_record record = stop_sim();

    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "ERROR: target rejected the finalize (reason 4) - firmware NOT updated, "
                       "currently-running bank is untouched\n");
    EXPECT_TRUE(untouched(record, config.self));
}

struct not_a_file_case {
    const char* name;
    // Makes the path (under `dir`) and returns it.
    std::string (*make)(const temp_dir& dir);
    const char* what;
};

void PrintTo(const not_a_file_case& c, std::ostream* os) {
    *os << c.name;
}

class NotARegularFile : public kvup_e2e, public ::testing::WithParamInterface<not_a_file_case> {};

// Refused before the port is opened, in one line, and without waiting: a FIFO without a writer
// once held kvup in its open for good, and a directory was reported as a bundle of 2^63 bytes.
// The time limit only guards against the hang.
TEST_P(NotARegularFile, IsRefusedAtOnceWithoutTouchingThePort) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    start_sim(config);
    const std::string path = GetParam().make(dir);
    std::vector<std::string> args = kvup_args("self");
    args[1] = path;

    const process_result run = run_kvup(args, {}, 5s);
    const sim_record record = stop_sim();

    EXPECT_FALSE(run.timed_out) << "kvup still waited on '" << path << "' after 5 s";
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ERROR: could not open bundle '" + path + "': " + GetParam().what +
                           ", not a regular file\n");
    EXPECT_TRUE(record.resets_us.empty());
    EXPECT_TRUE(record.lines.empty());
    EXPECT_TRUE(untouched(record, config.self));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, NotARegularFile,
    ::testing::Values(not_a_file_case{"FifoWithoutWriter",
                                      [](const temp_dir& dir) {
                                          const std::string path = dir.file("fw.fifo");
                                          if (mkfifo(path.c_str(), 0600) != 0) {
                                              throw std::runtime_error("mkfifo failed");
                                          }
                                          return path;
                                      },
                                      "a FIFO"},
                      not_a_file_case{"Directory",
                                      [](const temp_dir& dir) {
                                          const std::string path = dir.file("fw.d");
                                          std::filesystem::create_directory(path);
                                          return path;
                                      },
                                      "a directory"},
                      not_a_file_case{"Device",
                                      [](const temp_dir&) { return std::string("/dev/null"); },
                                      "a device"},
                      not_a_file_case{"Socket",
                                      [](const temp_dir& dir) {
                                          const std::string path = dir.file("fw.sock");
                                          const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                                          sockaddr_un address{};
                                          address.sun_family = AF_UNIX;
                                          path.copy(address.sun_path, sizeof address.sun_path - 1);
                                          const bool bound =
                                              fd >= 0 &&
                                              bind(fd, reinterpret_cast<const sockaddr*>(&address),
                                                   sizeof address) == 0;
                                          if (fd >= 0) {
                                              close(fd); // the socket file stays behind
                                          }
                                          if (!bound) {
                                              throw std::runtime_error("cannot bind " + path);
                                          }
                                          return path;
                                      },
                                      "a socket"}),
    [](const ::testing::TestParamInfo<not_a_file_case>& info) { return info.param.name; });

} // namespace
