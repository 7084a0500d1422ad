#include "wine-helpers.h"

#include "run-process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// COM1 to COM4 are left to the serial ports Wine finds on the machine itself.
constexpr int FIRST_TEST_COM = 5;
constexpr int LAST_TEST_COM = 9;

// The first run in a prefix may have to bring the prefix up to date.
constexpr std::chrono::seconds FIRST_RUN_LIMIT{180};

// How long the wine server outlives its last client: long enough to serve the next test.
constexpr const char* SERVER_PERSISTENCE = "-p30";

std::string getenv_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::string(value) : fallback;
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

// The environment of every Wine process the tests start: the test's own, with the prefix, no
// debug channels (their output would land in the captured standard error) and no offer to
// install Mono or Gecko should Wine decide to update the prefix.
std::vector<std::string> wine_environment(const wine_env& env) {
    const std::pair<std::string, std::string> settings[] = {
        {"WINEPREFIX", env.prefix},
        {"WINEDEBUG", "-all"},
        {"WINEDLLOVERRIDES", "mscoree,mshtml="},
    };
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const bool replaced =
            std::any_of(std::begin(settings), std::end(settings),
                        [&](const auto& s) { return text.starts_with(s.first + "="); });
        if (!replaced) {
            out.push_back(text);
        }
    }
    for (const auto& [name, value] : settings) {
        out.push_back(name + "=" + value);
    }
    return out;
}

// Starts a persistent wine server for the prefix with its own standard streams, so that no
// server started by a test's kvup.exe holds that test's pipes. One already running is kept.
void start_wine_server(const wine_env& env) {
    const std::vector<std::string> environment = wine_environment(env);
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        return;
    }
    child_setup setup;
    setup.in_fd = setup.out_fd = setup.err_fd = null_fd;
    setup.env = &environment;
    setup.search_path = true;
    const pid_t pid =
        start_child({getenv_or("WINESERVER", "wineserver"), SERVER_PERSISTENCE}, setup);
    ::close(null_fd);
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0); // the server goes to the background; this one returns
    }
}

std::string describe_run(const wine_result& run) {
    std::string text;
    if (run.timed_out) {
        text += "it did not finish within its time limit and was killed; ";
    } else if (run.exit_status >= 0) {
        text += "exit status " + std::to_string(run.exit_status) + "; ";
    } else {
        text += "ended by signal " + std::to_string(run.signal) + "; ";
    }
    text += "standard output: [" + run.out + "]; standard error: [" + run.err + "]";
    return text;
}

std::string find_start_problem(const wine_env& env) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(env.exe, ec)) {
        return "KVUP_WINDOWS_EXE=" + env.exe +
               " is not a file (build it: cmake --preset windows && cmake --build --preset "
               "windows)";
    }
    if (env.prefix.empty()) {
        return "WINEPREFIX is not set; scripts/test-wine makes a prefix and sets it";
    }
    if (!std::filesystem::is_directory(env.prefix + "/dosdevices", ec)) {
        return "WINEPREFIX=" + env.prefix +
               " is not a Wine prefix (it has no dosdevices folder); make one with "
               "WINEPREFIX=" +
               env.prefix + " wineboot -i, or run scripts/test-wine";
    }
    start_wine_server(env);
    const std::string cwd = std::filesystem::current_path(ec).string();
    wine_result run;
    try {
        run = wine_run(env, {"--version"}, cwd, "",
                       std::chrono::duration_cast<std::chrono::milliseconds>(FIRST_RUN_LIMIT));
    } catch (const std::exception& e) {
        return std::string("could not start ") + env.launcher + ": " + e.what();
    }
    if (run.exit_status != 0 || !wine_crlf_to_lf(run.out).starts_with("kvup v")) {
        return env.launcher + " " + env.exe +
               " --version did not print the version line (is Wine installed? Debian: "
               "apt-get install wine64 wine): " +
               describe_run(run);
    }
    return "";
}

} // namespace

std::optional<wine_env> wine_env_from_environment() {
    const std::string exe = getenv_or("KVUP_WINDOWS_EXE", "");
    if (exe.empty()) {
        return std::nullopt;
    }
    std::error_code ec;
    wine_env env;
    // The tests run kvup.exe in directories of their own, so relative paths are fixed here.
    env.exe = std::filesystem::absolute(exe, ec).string();
    const std::string prefix = getenv_or("WINEPREFIX", "");
    env.prefix = prefix.empty() ? prefix : std::filesystem::absolute(prefix, ec).string();
    env.launcher = getenv_or("KVUP_WINE", "wine");
    return env;
}

const std::string& wine_start_problem(const wine_env& env) {
    static const std::string problem = find_start_problem(env);
    return problem;
}

wine_com_port::wine_com_port(const std::string& prefix) {
    const std::string lock_dir = prefix + "/kvup-test-locks";
    ::mkdir(lock_dir.c_str(), 0755);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (lock_fd_ < 0) {
        for (int n = FIRST_TEST_COM; n <= LAST_TEST_COM && lock_fd_ < 0; ++n) {
            const std::string lock_path = lock_dir + "/com" + std::to_string(n) + ".lock";
            const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) {
                throw std::runtime_error("cannot create " + lock_path + ": " +
                                         std::strerror(errno));
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                lock_fd_ = fd;
                name_ = "COM" + std::to_string(n);
                link_path_ = prefix + "/dosdevices/com" + std::to_string(n);
            } else {
                ::close(fd);
            }
        }
        if (lock_fd_ < 0) {
            if (std::chrono::steady_clock::now() > give_up) {
                throw std::runtime_error("COM5 to COM9 of " + prefix + " stayed taken");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // A link found here was left by a test that did not end cleanly; its pty may belong to
    // someone else by now.
    struct stat st {};
    if (::lstat(link_path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        ::unlink(link_path_.c_str());
    }
}

wine_com_port::~wine_com_port() {
    close_fd(lock_fd_);
}

wine_process::wine_process(const wine_env& env, const std::vector<std::string>& args,
                           const std::string& cwd, wine_stdin input_kind, const std::string& input)
    : start_(std::chrono::steady_clock::now()) {
    std::vector<std::string> command{env.launcher, env.exe};
    command.insert(command.end(), args.begin(), args.end());
    const std::vector<std::string> environment = wine_environment(env);

    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    int in_pipe[2] = {-1, -1};
    int child_in = -1;
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    switch (input_kind) {
    case wine_stdin::pipe:
        if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        child_in = in_pipe[0];
        break;
    case wine_stdin::null_device:
        child_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        break;
    case wine_stdin::console:
        if (!console_.open()) {
            throw std::runtime_error("cannot make a pseudo-terminal");
        }
        child_in = console_.slave;
        break;
    }
    if (child_in < 0) {
        throw std::runtime_error("cannot open the standard input");
    }

    child_setup setup;
    setup.in_fd = child_in;
    setup.out_fd = input_kind == wine_stdin::console ? child_in : out_pipe[1];
    setup.err_fd = input_kind == wine_stdin::console ? child_in : err_pipe[1];
    setup.cwd = cwd;
    setup.env = &environment;
    setup.search_path = true;
    pid_ = start_child(command, setup);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    set_nonblocking(out_fd_);
    set_nonblocking(err_fd_);
    if (input_kind == wine_stdin::pipe) {
        ::close(in_pipe[0]);
        // A program that ends without reading its input must not end the test with SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = ::write(in_pipe[1], input.data() + done, input.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(in_pipe[1]);
    } else if (input_kind == wine_stdin::null_device) {
        ::close(child_in);
    } else {
        set_nonblocking(console_.master);
    }
}

wine_process::~wine_process() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
}

bool wine_process::reap(bool block) {
    if (exited_) {
        return true;
    }
    int status = 0;
    pid_t got = 0;
    do {
        got = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == pid_) {
        exited_ = true;
        wait_status_ = status;
    }
    return exited_;
}

void wine_process::pump(int timeout_ms) {
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {console_.master, POLLIN, 0}};
    std::string* sinks[3] = {&result_.out, &result_.err, &terminal_out_};
    if (::poll(fds, 3, timeout_ms) <= 0) {
        return;
    }
    int* owners[3] = {&out_fd_, &err_fd_, &console_.master};
    for (int i = 0; i < 3; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            sinks[i]->append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 && i < 2) {
            close_fd(*owners[i]);
        }
    }
}

void wine_process::drain() {
    int fds[3] = {out_fd_, err_fd_, console_.master};
    std::string* sinks[3] = {&result_.out, &result_.err, &terminal_out_};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = 0;
        while ((n = ::read(fds[i], buf, sizeof buf)) > 0) {
            sinks[i]->append(buf, static_cast<std::size_t>(n));
        }
    }
}

bool wine_process::wait_for_console(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        termios tio{};
        if (console_.master >= 0 && ::tcgetattr(console_.master, &tio) == 0 &&
            (tio.c_lflag & (ECHO | ICANON)) == 0 &&
            wine_terminal_text(terminal_out_).find(text) != std::string::npos) {
            return true;
        }
        if (reap(false)) {
            return false;
        }
        pump(10);
    }
    return false;
}

void wine_process::type(const std::string& keys) {
    std::size_t done = 0;
    while (console_.master >= 0 && done < keys.size()) {
        const ssize_t n = ::write(console_.master, keys.data() + done, keys.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("cannot type on the terminal");
        } else {
            pump(10);
        }
    }
}

wine_result wine_process::finish(std::chrono::milliseconds limit) {
    for (;;) {
        if (reap(false)) {
            break;
        }
        const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start_);
        if (left.count() <= 0) {
            result_.timed_out = true;
            ::kill(pid_, SIGKILL);
            reap(true);
            break;
        }
        pump(static_cast<int>(std::min<long long>(left.count(), 10)));
    }
    // Everything the program wrote is in the pipes by now; nobody else writes to them.
    drain();
    result_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    record_exit(result_, wait_status_);
    return result_;
}

wine_result wine_run(const wine_env& env, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& input,
                     std::chrono::milliseconds limit) {
    wine_process process(env, args, cwd, wine_stdin::pipe, input);
    return process.finish(limit);
}

std::string wine_terminal_text(const std::string& output) {
    constexpr char ESC = '\x1b';
    constexpr char BEL = '\x07';
    std::string text;
    std::size_t i = 0;
    while (i < output.size()) {
        if (output[i] != ESC) {
            text += output[i++];
            continue;
        }
        ++i;
        if (i < output.size() && output[i] == '[') {
            // Control sequence: parameters and intermediates up to a final byte 0x40 to 0x7E.
            ++i;
            while (i < output.size() && (output[i] < 0x40 || output[i] > 0x7E)) {
                ++i;
            }
            ++i;
        } else if (i < output.size() && output[i] == ']') {
            // Operating system command (the window title): up to BEL or ESC backslash.
            while (i < output.size() && output[i] != BEL && output[i] != ESC) {
                ++i;
            }
            i += (i < output.size() && output[i] == ESC) ? 2 : 1;
        } else {
            ++i;
        }
    }
    return text;
}

std::string wine_crlf_to_lf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string wine_lf_to_crlf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}
