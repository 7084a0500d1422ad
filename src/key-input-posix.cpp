#include "key-input.h"

#include <cerrno>
#include <cstddef>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum class key_input_state {
    idle,
    // stdin is a terminal in the prompt's settings: no echo, no line editing.
    terminal,
    // stdin is a pipe or a file: its bytes are the keys, the terminal is not touched.
    stream,
    // the terminal would not turn its echo off; no key is read rather than show the password.
    refused,
};

// The signals that would otherwise end or stop the program with the terminal still unechoed.
constexpr int KEY_INPUT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr std::size_t KEY_INPUT_SIGNAL_COUNT = sizeof KEY_INPUT_SIGNALS / sizeof(int);

key_input_state key_input_mode = key_input_state::idle;
// Written before any handler is installed, only read by the handlers.
termios key_input_saved{};
termios key_input_quiet{};
struct sigaction key_input_old_actions[KEY_INPUT_SIGNAL_COUNT];
bool key_input_caught[KEY_INPUT_SIGNAL_COUNT];

std::size_t key_input_signal_index(int signal_number) {
    std::size_t index = 0;
    while (index + 1 < KEY_INPUT_SIGNAL_COUNT && KEY_INPUT_SIGNALS[index] != signal_number) {
        ++index;
    }
    return index;
}

sigset_t key_input_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : KEY_INPUT_SIGNALS) {
        sigaddset(&set, signal_number);
    }
    return set;
}

extern "C" void key_input_on_signal(int signal_number);

struct sigaction key_input_action() {
    struct sigaction action {};
    action.sa_handler = key_input_on_signal;
    action.sa_mask = key_input_signal_set();
    action.sa_flags = 0;
    return action;
}

// Only async-signal-safe calls: tcsetattr, sigaction, sigprocmask, raise.
extern "C" void key_input_on_signal(int signal_number) {
    const int saved_errno = errno;
    const std::size_t index = key_input_signal_index(signal_number);
    tcsetattr(STDIN_FILENO, TCSANOW, &key_input_saved);
    sigaction(signal_number, &key_input_old_actions[index], nullptr);
    if (signal_number == SIGTSTP) {
        // Stop here with the user's settings on the terminal; once continued, the prompt goes
        // on, so its settings and this handler come back.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTSTP);
        sigprocmask(SIG_UNBLOCK, &stop, nullptr);
        raise(SIGTSTP);
        sigprocmask(SIG_BLOCK, &stop, nullptr);
        const struct sigaction again = key_input_action();
        sigaction(SIGTSTP, &again, nullptr);
        tcsetattr(STDIN_FILENO, TCSANOW, &key_input_quiet);
    } else {
        // Pending until the handler returns, then it meets the disposition the program had.
        raise(signal_number);
    }
    errno = saved_errno;
}

void key_input_catch_signals() {
    const struct sigaction action = key_input_action();
    for (std::size_t i = 0; i < KEY_INPUT_SIGNAL_COUNT; ++i) {
        struct sigaction& old = key_input_old_actions[i];
        key_input_caught[i] = false;
        if (sigaction(KEY_INPUT_SIGNALS[i], nullptr, &old) != 0) {
            continue;
        }
        // An ignored signal stays ignored. A stop is only taken over from the default action:
        // a program's own SIGTSTP handler already knows what to do with the terminal.
        const bool takes_default = (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL;
        const bool ignored = (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_IGN;
        if (ignored || (KEY_INPUT_SIGNALS[i] == SIGTSTP && !takes_default)) {
            continue;
        }
        key_input_caught[i] = sigaction(KEY_INPUT_SIGNALS[i], &action, nullptr) == 0;
    }
}

void key_input_release_signals() {
    for (std::size_t i = 0; i < KEY_INPUT_SIGNAL_COUNT; ++i) {
        if (key_input_caught[i]) {
            sigaction(KEY_INPUT_SIGNALS[i], &key_input_old_actions[i], nullptr);
            key_input_caught[i] = false;
        }
    }
}

bool key_input_go_quiet() {
    key_input_quiet = key_input_saved;
    key_input_quiet.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON);
    // Enter must arrive as CR or LF; whether ICRNL turns one into the other does not matter.
    key_input_quiet.c_iflag &= ~(INLCR | IGNCR);
    key_input_quiet.c_cc[VMIN] = 1;
    key_input_quiet.c_cc[VTIME] = 0;
    key_input_catch_signals();
    // tcsetattr succeeds when any one change took, so the result is read back.
    termios applied{};
    if (tcsetattr(STDIN_FILENO, TCSANOW, &key_input_quiet) == 0 &&
        tcgetattr(STDIN_FILENO, &applied) == 0 && (applied.c_lflag & (ECHO | ICANON)) == 0) {
        return true;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &key_input_saved);
    key_input_release_signals();
    return false;
}

} // namespace

void key_input_begin() {
    if (key_input_mode != key_input_state::idle) {
        return;
    }
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &key_input_saved) != 0) {
        key_input_mode = key_input_state::stream;
        return;
    }
    // No signal may see the handlers half installed or the terminal half switched.
    const sigset_t block = key_input_signal_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &block, &previous);
    key_input_mode = key_input_go_quiet() ? key_input_state::terminal : key_input_state::refused;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int key_input_read() {
    if (key_input_mode == key_input_state::refused) {
        return -1;
    }
    unsigned char key = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) {
            break;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
    if (key_input_mode == key_input_state::terminal) {
        const cc_t erase = key_input_saved.c_cc[VERASE];
        if (key == 8 || (erase != _POSIX_VDISABLE && key == erase)) {
            return 8;
        }
    }
    return key;
}

void key_input_end() {
    if (key_input_mode == key_input_state::terminal) {
        // Blocked, so a stop cannot put the prompt's settings back after they were restored.
        const sigset_t block = key_input_signal_set();
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &block, &previous);
        tcsetattr(STDIN_FILENO, TCSANOW, &key_input_saved);
        key_input_release_signals();
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    key_input_mode = key_input_state::idle;
}
