// options_load on arbitrary argument vectors: the input is cut at each NUL byte into
// argv[1..], after a fixed program name.

#include "fuzz-support.h"
#include "options.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// A set text is the word right after its option's name, the very pointer from argv.
void check_text(const char* text, const char* name, const std::vector<char*>& argv) {
    if (text == nullptr) {
        return;
    }
    for (std::size_t i = 2; i + 1 < argv.size(); ++i) {
        if (argv[i] == text) {
            FUZZ_CHECK(std::strcmp(argv[i - 1], name) == 0);
            return;
        }
    }
    fuzz::invariant_failed(__FILE__, __LINE__, "a text points outside the argument vector");
}

bool has_word(const std::vector<char*>& argv, const char* word) {
    for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
        if (std::strcmp(argv[i], word) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each word in an allocation of its own, so reading past one is caught.
    std::vector<std::unique_ptr<char[]>> words;
    auto add_word = [&words](std::string_view text) {
        auto word = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(word.get(), text.data(), text.size());
        word[text.size()] = '\0';
        words.push_back(std::move(word));
    };
    add_word("kvup");
    const std::string_view rest(reinterpret_cast<const char*>(data), size);
    if (!rest.empty()) {
        for (std::size_t at = 0;;) {
            const std::size_t end = rest.find('\0', at);
            add_word(rest.substr(at, end == std::string_view::npos ? end : end - at));
            if (end == std::string_view::npos) {
                break;
            }
            at = end + 1;
        }
    }
    std::vector<char*> argv;
    for (const auto& word : words) {
        argv.push_back(word.get());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    options.verbose = true;
    options.firmware = "stale";
    if (!options_load(argc, argv.data())) {
        return 0;
    }
    check_text(options.firmware, "--firmware", argv);
    check_text(options.port, "--port", argv);
    check_text(options.password, "--password", argv);
    check_text(options.target, "--target", argv);
    // A flag is only ever set by its own word.
    FUZZ_CHECK(!options.verbose || has_word(argv, "--verbose"));
    FUZZ_CHECK(!options.version || has_word(argv, "--version"));
    FUZZ_CHECK(!options.help || has_word(argv, "--help"));
    return 0;
}
