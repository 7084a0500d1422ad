#pragma once
// Helpers for the end-to-end tests: run a program with captured output and a time limit, and
// write bundle files.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
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

struct image_spec {
    std::uint16_t variant;
    char bank;
    std::uint32_t tag;
    std::vector<std::uint8_t> bytes;
};

// Writes a valid bundle holding `images`, in order, to `path`.
void write_bundle(const std::string& path, const std::vector<image_spec>& images);

// Deterministic pseudo-random bytes, every byte value included for lengths of 256 and more.
std::vector<std::uint8_t> test_image(std::size_t len, std::uint32_t seed);

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
