#include "run-process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t start_child(const std::vector<std::string>& argv, const child_setup& setup) {
    // Everything is built before the fork: the simulator's thread may hold the allocator's lock
    // at that moment, and the child may only make async-signal-safe calls until it execs.
    std::vector<std::string> args = argv;
    std::vector<char*> arg_ptrs;
    for (auto& a : args) {
        arg_ptrs.push_back(a.data());
    }
    arg_ptrs.push_back(nullptr);
    std::vector<std::string> env = setup.env != nullptr ? *setup.env : std::vector<std::string>{};
    std::vector<char*> env_ptrs;
    for (auto& e : env) {
        env_ptrs.push_back(e.data());
    }
    env_ptrs.push_back(nullptr);
    char** const envp = setup.env != nullptr ? env_ptrs.data() : environ;
    const std::string exec_failed = "cannot run " + (argv.empty() ? "" : argv[0]) + "\n";

    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    std::signal(SIGPIPE, SIG_DFL);
    const int fds[3] = {setup.in_fd, setup.out_fd, setup.err_fd};
    for (int stream = 0; stream < 3; ++stream) {
        if (fds[stream] >= 0) {
            dup2(fds[stream], stream);
        }
    }
    for (int stream = 0; stream < 3; ++stream) {
        if (fds[stream] < 0) {
            close(stream);
        }
    }
    if (setup.own_session_on_terminal) {
        setsid();
        ioctl(0, TIOCSCTTY, 0);
    }
    if (setup.cwd.empty() || chdir(setup.cwd.c_str()) == 0) {
        if (setup.search_path) {
            execvpe(arg_ptrs[0], arg_ptrs.data(), envp);
        } else {
            execve(arg_ptrs[0], arg_ptrs.data(), envp);
        }
    }
    [[maybe_unused]] const ssize_t n = write(2, exec_failed.data(), exec_failed.size());
    _exit(127);
}

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           std::chrono::milliseconds limit) {
    return run_process(argv, input, stream_setup{}, limit);
}

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const stream_setup& streams, std::chrono::milliseconds limit) {
    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // A child that exits without reading its input, or output read only in part, must not kill
    // the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const auto start = std::chrono::steady_clock::now();
    child_setup setup;
    setup.in_fd = in_pipe[0];
    setup.out_fd = streams.close_out ? -1 : out_pipe[1];
    setup.err_fd = streams.close_err ? -1 : err_pipe[1];
    const pid_t pid = start_child(argv, setup);
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!input.empty()) {
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = write(in_pipe[1], input.data() + done, input.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    close(in_pipe[1]);

    process_result result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start);
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            std::size_t want = sizeof buf;
            if (i == 0) {
                want = std::min(want, streams.out_limit - result.out.size());
            }
            const ssize_t n = read(fds[i].fd, buf, want);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            }
            if (n <= 0 || (i == 0 && result.out.size() >= streams.out_limit)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    record_exit(result, status);
    return result;
}

void record_exit(process_result& result, int wait_status) {
    if (WIFEXITED(wait_status)) {
        result.exit_status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/kvup-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
