#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "kestrum_buildinfo.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::Eq;
using ::testing::ExitedWithCode;

// argv as pm_proginit sees it: mutable strings with a final null.
struct Args {
    std::vector<std::string> text;
    std::vector<char *> argv;
    int argc;
    explicit Args(std::vector<std::string> words) : text(std::move(words)) {
        for (auto &w : text)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        argc = static_cast<int>(text.size());
    }
    std::vector<std::string> remaining() const { return {argv.begin(), argv.begin() + argc}; }
};

// Runs the start-up on the words; the program name points into them, so
// they are kept for the rest of the process.
Args &startWith(std::vector<std::string> words) {
    static std::list<Args> kept;
    Args &a = kept.emplace_back(std::move(words));
    ppm_init(&a.argc, a.argv.data());
    return a;
}

struct ScanCase {
    std::vector<std::string> args;
    std::vector<std::string> left;
    int plain;
};

TEST(Startup, RemovesExactlyTheCommonOptions) {
    const ScanCase cases[] = {
        {{"q", "-quiet", "-plain", "256"}, {"q", "256"}, 1},
        {{"q", "-QUIET", "256", "--Plain"}, {"q", "256"}, 1},
        {{"q", "--quiet", "--QUIET", "-PLAIN", "--plain"}, {"q"}, 1},
        // The scan knows nothing of the program's options or of "--".
        {{"q", "-mapfile", "-plain"}, {"q", "-mapfile"}, 1},
        {{"q", "--", "-quiet", "f"}, {"q", "--", "f"}, 0},
        {{"q", "-q", "-qui", "-verb", "-quiet=1", "---quiet", "-plai", "-h", "-??", "quiet"},
         {"q", "-q", "-qui", "-verb", "-quiet=1", "---quiet", "-plai", "-h", "-??", "quiet"}, 0},
    };
    for (const auto &c : cases) {
        pm_plain_output = 1 - c.plain;
        const Args &a = startWith(c.args);
        EXPECT_THAT(a.remaining(), ElementsAreArray(c.left)) << c.args[1];
        EXPECT_EQ(a.argv[a.argc], nullptr);
        EXPECT_EQ(pm_plain_output, c.plain) << c.args[1];
    }
}

TEST(Startup, EmptyArgumentVectorKeepsTheNameItHad) {
    char *argv[] = {nullptr};
    int argc = 0;
    pm_init("before", 0);
    pm_proginit(&argc, argv);
    EXPECT_EQ(argc, 0);
    EXPECT_EXIT(pm_error("x"), ExitedWithCode(1), Eq("before: x\n"));
}

std::string versionReport(const std::string &prog, const std::string &rgbLine) {
    return prog + ": Using libkestrum from Kestrum Version: " KESTRUM_RELEASE "\n" + prog +
           ": Compiled " KESTRUM_COMPILE_TIME " by user \"" KESTRUM_COMPILED_BY "\"\n" + prog +
           ": BSD defined\n" + prog + ": RGB_ENV='RGBDEF'\n" + prog + ": RGBENV= 'RGBDEF' " + rgbLine + "\n";
}

TEST(StartupDeath, VersionReport) {
    EXPECT_THAT(KESTRUM_RELEASE, ::testing::MatchesRegex("Kestrum [0-9]+\\.[0-9]+\\.[0-9]+"));
    EXPECT_EXIT((unsetenv("RGBDEF"), startWith({"/usr/local/bin/quantize", "-version"})), ExitedWithCode(0),
                Eq(versionReport("quantize", "(env vbl is unset)")));
    EXPECT_EXIT((setenv("RGBDEF", "/etc/rgb.txt", 1), startWith({"quantize", "--VERSION", "-help"})),
                ExitedWithCode(0), Eq(versionReport("quantize", "(env vbl set to '/etc/rgb.txt')")));
    EXPECT_EXIT((setenv("RGBDEF", "", 1), startWith({"quantize", "--version"})), ExitedWithCode(0),
                Eq(versionReport("quantize", "(env vbl set to '')")));
    EXPECT_EXIT(startWith({"quantize", "-version", "-quiet"}), ExitedWithCode(0), Eq(""));
}

TEST(StartupDeath, HelpEndsThroughPmErrorEvenWhenQuiet) {
    for (const char *help : {"-help", "--HELP", "-?"})
        EXPECT_EXIT(startWith({"./bin/quantize", "-quiet", help}), ExitedWithCode(1),
                    Eq("quantize: Use 'man quantize' for help.\n"))
            << help;
    // Only pm_arg0toprogname drops ".exe"; the start-up keeps the whole name.
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
    EXPECT_EXIT(messageThenExit("two\nlines"), ExitedWithCode(0), Eq("prog: two\nlines\n"));
    EXPECT_EXIT(messageThenExit("ends\n"), ExitedWithCode(0), Eq("prog: ends\n\n"));
    pm_setMessage(0, &old);
    EXPECT_EQ(old, 1);
    EXPECT_EXIT(startWith({"quantize", "-plain"}); messageThenExit("shown"), ExitedWithCode(0),
                Eq("quantize: shown\n"));
    EXPECT_EXIT(startWith({"quantize", "-Quiet"}); messageThenExit("hidden"), ExitedWithCode(0), Eq(""));
}

TEST(StartupDeath, UsageAndSystemErrors) {
    pm_init("prog", 0);
    EXPECT_EXIT(pm_usage("[-floyd] ncolors [file]"), ExitedWithCode(1),
                Eq("usage:  prog [-floyd] ncolors [file]\n"));
    const std::string text = strerror(ENOENT);
    EXPECT_EXIT((errno = ENOENT, pm_perror("opening map")), ExitedWithCode(1),
                Eq("prog: opening map - " + text + "\n"));
    EXPECT_EXIT((errno = ENOENT, pm_perror("")), ExitedWithCode(1), Eq("prog: " + text + "\n"));
    EXPECT_EXIT((errno = ENOENT, pm_perror(nullptr)), ExitedWithCode(1), Eq("prog: " + text + "\n"));
}

TEST(Startup, KeyMatch) {
    struct {
        const char *text, *keyword;
        int min, match;
    } const cases[] = {
        {"-HEL", "-help", 3, 1}, {"-helpme", "-help", 3, 0}, {"-h", "-help", 3, 0},
        {"-help", "-help", 5, 1}, {"-HeLp", "-help", 5, 1}, {"-hel", "-help", 5, 0},
        {"-hx", "-help", 2, 0},   {"", "-help", 0, 1},      {"-\xc4", "-\xe4", 2, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(pm_keymatch(c.text, c.keyword, c.min), c.match) << c.text << " " << c.keyword;
}

TEST(Startup, ProgramNameFromArgument) {
    const std::string seventy(70, 'n');
    const std::string cutExe = std::string(60, 'a') + ".exe" + "zz";
    const struct {
        std::string arg, name;
    } cases[] = {
        {"/usr/bin/quantize.exe", "quantize"}, {"quantize", "quantize"}, {".exe", ""},
        {"dir/", ""},                          {"x.EXE", "x.EXE"},       {"/a/" + seventy, seventy.substr(0, 64)},
        {cutExe, std::string(60, 'a')},
    };
    for (const auto &c : cases)
        EXPECT_EQ(pm_arg0toprogname(c.arg.c_str()), c.name) << c.arg;
}

}  // namespace
