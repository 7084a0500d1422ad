#pragma once
// The one way the tests run a program: captured output, a time limit, the stream set-ups a shell
// pipeline gives; and the temporary directory its files go in. Not for programs on a terminal.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
