#include "options.h"

#include "run-process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct run_result {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs the real kvup with `args`, nothing on stdin, stdout and stderr kept apart.
run_result run_kvup(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KVUP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const process_result r = run_process(argv);
    EXPECT_FALSE(r.timed_out) << "kvup did not end";
    return {r.exit_status, r.out, r.err};
}

const std::string& usage() {
    static const std::string text = read_file(KVUP_TEST_DATA_DIR "/usage.txt");
    return text;
}

const std::string VERSION_LINE = "kvup v" KVUP_VERSION "\n";
const std::string BANNER = "kvup v" KVUP_VERSION " - Kelvane firmware updater\n\n";

std::string unrecognised(const std::string& arg) {
    return "ERROR: unrecognised option '" + arg + "'\n";
}

struct cli_case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

std::vector<cli_case> first_branch_cases() {
    const std::string& u = usage();
    return {
        // What kvup answers without opening anything.
        {"no arguments", {}, BANNER + u, "", 1},
        {"--help alone", {"--help"}, u, "", 0},
        {"--help repeated", {"--help", "--help"}, u, "", 0},
        {"--version alone", {"--version"}, VERSION_LINE, "", 0},
        {"--version before --help", {"--version", "--help"}, VERSION_LINE, "", 0},
        {"--help before --version", {"--help", "--version"}, VERSION_LINE, "", 0},
        {"--version needs no port", {"--firmware", "b.kvfw", "--version"}, VERSION_LINE, "", 0},
        {"--help with a complete command line",
         {"--port", "COM3", "--firmware", "b.kvfw", "--help"},
         u,
         "",
         0},
        // Incomplete command lines: banner and usage, no error line.
        {"port without firmware", {"--port", "COM3"}, BANNER + u, "", 1},
        {"firmware without port", {"--firmware", "b.kvfw"}, BANNER + u, "", 1},
        {"empty firmware without port", {"--firmware", ""}, BANNER + u, "", 1},
        {"only optional options",
         {"--password", "pw", "--target", "self", "--verbose"},
         BANNER + u,
         "",
         1},
        {"option name taken as the firmware value", {"--firmware", "--port"}, BANNER + u, "", 1},
        // Value options with nothing behind them.
        {"--firmware last", {"--firmware"}, u, "ERROR: --firmware requires a bundle filename\n", 1},
        {"--target last", {"--target"}, u, "ERROR: --target requires a value\n", 1},
        {"--port last", {"--port"}, u, "ERROR: --port requires a device name\n", 1},
        {"--password last", {"--password"}, u, "ERROR: --password requires a value\n", 1},
        {"--port last after a complete command line",
         {"--firmware", "b.kvfw", "--port", "COM3", "--port"},
         u,
         "ERROR: --port requires a device name\n",
         1},
        {"--version does not rescue a missing value",
         {"--version", "--password"},
         u,
         "ERROR: --password requires a value\n",
         1},
        // Arguments that are no option, wherever they stand.
        {"--version then -h", {"--version", "-h"}, u, unrecognised("-h"), 1},
        {"-h then --version", {"-h", "--version"}, u, unrecognised("-h"), 1},
        {"--help then a bad option", {"--help", "--bogus"}, u, unrecognised("--bogus"), 1},
        {"joined name and value", {"--port=COM3"}, u, unrecognised("--port=COM3"), 1},
        {"wrong case", {"--Help"}, u, unrecognised("--Help"), 1},
        {"bare file name", {"--port", "COM3", "b.kvfw"}, u, unrecognised("b.kvfw"), 1},
        {"empty argument", {""}, u, unrecognised(""), 1},
        {"only the first error is reported", {"-x", "-y", "--port"}, u, unrecognised("-x"), 1},
    };
}

TEST(CliBinary, FirstBranchesThroughTheBinary) {
    for (const auto& c : first_branch_cases()) {
        SCOPED_TRACE(c.name);
        const run_result r = run_kvup(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(CliBinary, CompleteCommandLinesGoPastTheFirstBranches) {
    // The port is the text "--help", and empty texts count as given. With a bundle that cannot
    // be opened the run stops at the bundle, but never with the usage text or the help.
    const std::vector<std::vector<std::string>> lines = {
        {"--port", "--help", "--firmware", "/nonexistent/kvup-test.kvfw", "--password", "pw"},
        {"--port", "", "--firmware", "", "--password", ""},
    };
    for (const auto& args : lines) {
        SCOPED_TRACE(args[1] + " / " + args[3]);
        const run_result r = run_kvup(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.find("Usage: kvup"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(BANNER), std::string::npos);
        EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
    }
}

// options_load called directly, for what the binary's output cannot show.
class OptionsLoad : public testing::Test {
  protected:
    bool load(std::vector<std::string> args) {
        args_ = std::move(args);
        args_.insert(args_.begin(), "kvup");
        argv_.clear();
        for (auto& arg : args_) {
            argv_.push_back(arg.data());
        }
        argv_.push_back(nullptr);
        return options_load(static_cast<int>(args_.size()), argv_.data());
    }

    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

TEST_F(OptionsLoad, ValuesPointIntoArgvAndTheLastOneWins) {
    ASSERT_TRUE(load({"--port", "COM3", "--firmware", "a.kvfw", "--port", "COM4"}));
    EXPECT_EQ(options.port, argv_[6]);
    EXPECT_STREQ(options.port, "COM4");
    EXPECT_EQ(options.firmware, argv_[4]);
    EXPECT_EQ(options.password, nullptr);
    EXPECT_EQ(options.target, nullptr);
}

TEST_F(OptionsLoad, RepeatedFlagsStaySet) {
    ASSERT_TRUE(load({"--verbose", "--verbose", "--help", "--help"}));
    EXPECT_TRUE(options.verbose);
    EXPECT_TRUE(options.help);
    EXPECT_FALSE(options.version);
}

TEST_F(OptionsLoad, EmptyValuesCountAsPresent) {
    ASSERT_TRUE(load({"--port", "", "--firmware", "", "--password", "", "--target", ""}));
    for (const char* value : {options.port, options.firmware, options.password, options.target}) {
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value, "");
    }
}

TEST_F(OptionsLoad, AValueIsNeverReadAsAnOption) {
    ASSERT_TRUE(load({"--target", "--verbose", "--password", "--version"}));
    EXPECT_STREQ(options.target, "--verbose");
    EXPECT_STREQ(options.password, "--version");
    EXPECT_FALSE(options.verbose);
    EXPECT_FALSE(options.version);
}

TEST_F(OptionsLoad, EachLoadStartsFromAClearRecord) {
    ASSERT_TRUE(load({"--verbose", "--port", "COM3", "--target", "all"}));
    ASSERT_TRUE(load({}));
    EXPECT_EQ(options.port, nullptr);
    EXPECT_EQ(options.target, nullptr);
    EXPECT_FALSE(options.verbose);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(load({"--version", "--port", "COM3", "-x"}));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(load({"--firmware", "b.kvfw"}));
    EXPECT_FALSE(options.version);
    EXPECT_EQ(options.port, nullptr);
}

} // namespace
