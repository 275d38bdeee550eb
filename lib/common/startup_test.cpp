#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "kestrum_buildinfo.h"

namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;

// Runs the start-up on mutable copies of the words, kept for the rest of the
// process since the program name points into them; returns what is left.
std::vector<std::string> startWith(std::vector<std::string> words) {
    static std::list<std::vector<std::string>> kept;
    auto &text = kept.emplace_back(std::move(words));
    std::vector<char *> argv;
    for (auto &w : text)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(text.size());
    ppm_init(&argc, argv.data());
    EXPECT_EQ(argv[argc], nullptr);
    return {argv.begin(), argv.begin() + argc};
}

TEST(Startup, RemovesExactlyTheCommonOptions) {
    const struct {
        std::vector<std::string> args, left;
        int plain;
    } cases[] = {
        {{"q", "--quiet", "-QUIET", "256", "--Plain", "-plain"}, {"q", "256"}, 1},
        // The scan knows nothing of the program's options or of "--".
        {{"q", "-mapfile", "--", "-quiet", "f"}, {"q", "-mapfile", "--", "f"}, 0},
        {{"q", "-q", "-qui", "-quiet=1", "---quiet", "-plai", "-h", "-??", "quiet"},
         {"q", "-q", "-qui", "-quiet=1", "---quiet", "-plai", "-h", "-??", "quiet"}, 0},
    };
    for (const auto &c : cases) {
        pm_plain_output = 1 - c.plain;
        EXPECT_EQ(startWith(c.args), c.left) << c.args[1];
        EXPECT_EQ(pm_plain_output, c.plain) << c.args[1];
    }
    char *none[] = {nullptr};
    int argc = 0;
    pm_init("before", 0);
    pm_proginit(&argc, none);
    EXPECT_EXIT(pm_error("x"), ExitedWithCode(1), Eq("before: x\n"));
}

TEST(StartupDeath, VersionAndHelp) {
    const std::string report = "quantize: Using libkestrum from Kestrum Version: " KESTRUM_RELEASE
                               "\nquantize: Compiled " KESTRUM_COMPILE_TIME " by user \"" KESTRUM_COMPILED_BY
                               "\"\nquantize: BSD defined\nquantize: RGB_ENV='RGBDEF'\nquantize: RGBENV= 'RGBDEF' ";
    EXPECT_EXIT((unsetenv("RGBDEF"), startWith({"/usr/local/bin/quantize", "-version"})), ExitedWithCode(0),
                Eq(report + "(env vbl is unset)\n"));
    EXPECT_EXIT((setenv("RGBDEF", "/etc/rgb.txt", 1), startWith({"quantize", "--VERSION", "-help"})),
                ExitedWithCode(0), Eq(report + "(env vbl set to '/etc/rgb.txt')\n"));
    EXPECT_EXIT((setenv("RGBDEF", "", 1), startWith({"quantize", "--version"})), ExitedWithCode(0),
                Eq(report + "(env vbl set to '')\n"));
    EXPECT_EXIT(startWith({"quantize", "-version", "-quiet"}), ExitedWithCode(0), Eq(""));
    // Help ends through pm_error even when quiet; only pm_arg0toprogname drops ".exe".
    for (const char *help : {"--HELP", "-?"})
        EXPECT_EXIT(startWith({"./bin/quantize", "-quiet", help}), ExitedWithCode(1),
                    Eq("quantize: Use 'man quantize' for help.\n"));
    EXPECT_EXIT(startWith({"quantize.exe", "-help"}), ExitedWithCode(1),
                Eq("quantize.exe: Use 'man quantize.exe' for help.\n"));
}

TEST(StartupDeath, MessagesFollowTheSwitchErrorsDoNot) {
    auto messageThenExit = [](const char *text) {
        pm_message("%s", text);
        exit(0);
    };
    pm_init("prog", 0);  // messages off until switched on
    EXPECT_EXIT(messageThenExit("hidden"), ExitedWithCode(0), Eq(""));
    EXPECT_EXIT(pm_error("%d bad", 3), ExitedWithCode(1), Eq("prog: 3 bad\n"));
    int old = -1;
    pm_setMessage(7, &old);
    EXPECT_EQ(old, 0);
    EXPECT_EXIT(messageThenExit("ends\n"), ExitedWithCode(0), Eq("prog: ends\n\n"));
    pm_setMessage(0, &old);
    EXPECT_EQ(old, 1);
    EXPECT_EXIT((startWith({"quantize", "-plain"}), messageThenExit("shown")), ExitedWithCode(0),
                Eq("quantize: shown\n"));
    EXPECT_EXIT((startWith({"quantize", "-Quiet"}), messageThenExit("hidden")), ExitedWithCode(0), Eq(""));
    EXPECT_EXIT(pm_usage("[-floyd] ncolors [file]"), ExitedWithCode(1), Eq("usage:  prog [-floyd] ncolors [file]\n"));
    const std::string text = strerror(ENOENT);
    EXPECT_EXIT((errno = ENOENT, pm_perror("opening map")), ExitedWithCode(1), Eq("prog: opening map - " + text + "\n"));
    EXPECT_EXIT((errno = ENOENT, pm_perror("")), ExitedWithCode(1), Eq("prog: " + text + "\n"));
    EXPECT_EXIT((errno = ENOENT, pm_perror(nullptr)), ExitedWithCode(1), Eq("prog: " + text + "\n"));
}

TEST(Startup, KeyMatchAndProgramName) {
    const struct {
        const char *text, *keyword;
        int min, match;
    } keys[] = {{"-HEL", "-help", 3, 1}, {"-helpme", "-help", 3, 0}, {"-h", "-help", 3, 0}, {"-HeLp", "-help", 5, 1},
                {"-hx", "-help", 2, 0},  {"", "-help", 0, 1},        {"-\xc4", "-\xe4", 2, 0}};
    for (const auto &c : keys)
        EXPECT_EQ(pm_keymatch(c.text, c.keyword, c.min), c.match) << c.text << " " << c.keyword;
    const std::string seventy(70, 'n'), sixty(60, 'a');
    const std::string names[][2] = {{"/usr/bin/quantize.exe", "quantize"}, {".exe", ""}, {"dir/", ""},
                                    {"x.EXE", "x.EXE"}, {"/a/" + seventy, seventy.substr(0, 64)},
                                    {sixty + ".exezz", sixty}};
    for (const auto &n : names)
        EXPECT_EQ(pm_arg0toprogname(n[0].c_str()), n[1]) << n[0];
}

}  // namespace
