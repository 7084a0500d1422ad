#pragma once
// Helpers for running the Windows build, kvup.exe, under Wine in the end-to-end tests: where the
// program and the Wine prefix are, a COM port of the prefix mapped onto a simulator's pty, and a
// runner whose standard input may be a pipe, the null device or a console on a pseudo-terminal.
// The Linux binary is run with the shared process runner (run-process.h).

#include "pty.h"
#include "run-process.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Where kvup.exe and the prefix are: KVUP_WINDOWS_EXE, WINEPREFIX, and KVUP_WINE for the
// launcher ("wine" on the PATH unless set).
struct wine_env {
    std::string exe;
    std::string prefix;
    std::string launcher;
};

// The environment's settings, or none when KVUP_WINDOWS_EXE is unset (the Windows build is then
// not under test).
std::optional<wine_env> wine_env_from_environment();

// Why kvup.exe cannot be run under Wine, "" when it can. The first call starts a wine server for
// the prefix and runs `kvup.exe --version`; later calls give the same answer at once.
const std::string& wine_start_problem(const wine_env& env);

// One of COM5 to COM9 of the prefix, held from construction to destruction. A lock file keeps
// other test processes that share the prefix off it; the simulator makes `link_path()` its link
// (sim_config::link_path), which is how Wine finds the device behind a COM name. Throws when no
// port comes free within a minute.
class wine_com_port {
  public:
    explicit wine_com_port(const std::string& prefix);
    ~wine_com_port();
    wine_com_port(const wine_com_port&) = delete;
    wine_com_port& operator=(const wine_com_port&) = delete;
    const std::string& name() const { return name_; }           // "COM5"
    const std::string& link_path() const { return link_path_; } // PREFIX/dosdevices/com5

  private:
    int lock_fd_ = -1;
    std::string name_;
    std::string link_path_;
};

// How a run of kvup.exe ended, and what it wrote: standard output as written, "\r\n" line ends
// included.
using wine_result = process_result;

enum class wine_stdin : unsigned char {
    pipe,        // the text given is written to it, then it is closed
    null_device, // /dev/null
    // Standard input, output and error all on the slave of a fresh pseudo-terminal, as in a
    // console window: the test types with wine_process::type and reads terminal_output().
    console,
};

// kvup.exe running under Wine with WINEDEBUG=-all, in the directory `cwd`, with standard output
// and standard error captured.
class wine_process {
  public:
    // Throws when the process cannot be started.
    wine_process(const wine_env& env, const std::vector<std::string>& args, const std::string& cwd,
                 wine_stdin input_kind, const std::string& input = "");
    ~wine_process(); // kills the process if it still runs
    wine_process(const wine_process&) = delete;
    wine_process& operator=(const wine_process&) = delete;

    // Waits until the terminal has echo and line editing off, which Wine's console does when the
    // program first reads a key, and shows `text` (see wine_terminal_text); false when `limit`
    // passes first or the process ends.
    bool wait_for_console(const std::string& text, std::chrono::milliseconds limit);
    // Writes `keys` to the terminal, as if typed.
    void type(const std::string& keys);
    // Waits for the exit, killing the process when `limit` passes, and gives what came out.
    // Output is taken up to the exit: a wine server started on the way may hold the pipes open.
    wine_result finish(std::chrono::milliseconds limit);
    // Everything the console wrote to the terminal, escape sequences included.
    const std::string& terminal_output() const { return terminal_out_; }

  private:
    void pump(int timeout_ms);
    void drain();
    bool reap(bool block);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    test_pty console_; // its slave kept open so the terminal never hangs up on its reader
    bool exited_ = false;
    int wait_status_ = 0;
    std::chrono::steady_clock::time_point start_;
    wine_result result_;
    std::string terminal_out_;
};

// Runs kvup.exe to its end with `input` on a pipe as its standard input.
wine_result wine_run(const wine_env& env, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& input = "",
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

// The characters of terminal output without its escape sequences. The console draws each space
// as a cursor move, so spaces are lost: "Installer password: " comes out "Installerpassword:".
std::string wine_terminal_text(const std::string& output);

// `text` with every "\r\n" made "\n": the program's standard streams are in text mode, so each
// line feed it writes comes out as "\r\n".
std::string wine_crlf_to_lf(const std::string& text);

// `text` with every "\n" made "\r\n", as the program writes it.
std::string wine_lf_to_crlf(const std::string& text);
