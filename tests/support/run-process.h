#pragma once
// The one way the tests start a program: start_child for a child whose streams the caller wires
// (a pipe, the null device, a terminal), run_process on top of it for a run to its end with
// captured output and a time limit; and the temporary directory and files the runs use.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// What a child is started with. Each descriptor becomes its standard input, output or error
// (-1: that stream is closed); the caller keeps its own copies and closes them.
struct child_setup {
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    // A session of its own with standard input, a terminal, as its controlling terminal, as a
    // shell gives a program it starts on a terminal.
    bool own_session_on_terminal = false;
    std::string cwd;                               // "" keeps the test's own
    const std::vector<std::string>* env = nullptr; // NAME=VALUE entries; nullptr keeps the test's
    bool search_path = false;                      // argv[0] is looked up on PATH
};

// Starts `argv` as `setup` says, with SIGPIPE at its default whatever the test does with it; the
// child's pid, or -1 when it cannot be forked. A child that cannot exec writes "cannot run
// ARGV0" to its standard error and exits 127.
pid_t start_child(const std::vector<std::string>& argv, const child_setup& setup);

struct process_result {
    int exit_status = -1;   // the exit status, or -1 when the process did not exit normally
    int signal = 0;         // the signal that ended it, if any
    bool timed_out = false; // killed because it ran past its limit
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

// How a program's standard output and error are set up before it starts.
struct stream_setup {
    bool close_out = false;
    bool close_err = false;
    // Standard output is read up to this many bytes, then its pipe is closed, as `head -c N` does.
    std::size_t out_limit = SIZE_MAX;
};

// Fills `result`'s exit status or signal from a wait status of waitpid.
void record_exit(process_result& result, int wait_status);

// Runs `argv` (argv[0] is the program path) as a shell would start it (SIGPIPE at its default,
// whatever the test program does with it), with `input` on its standard input (closed after),
// capturing standard output and standard error as `streams` says; kills it after `limit`.
process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const stream_setup& streams,
                           std::chrono::milliseconds limit = std::chrono::seconds(60));
process_result run_process(const std::vector<std::string>& argv, const std::string& input = "",
                           std::chrono::milliseconds limit = std::chrono::seconds(60));

// The whole content of the file at `path`, byte for byte; empty when it cannot be read.
std::string read_file(const std::string& path);

// A fresh temporary directory, removed with everything in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};
