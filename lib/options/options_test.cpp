// The option parser through its public entry points: each case is an argv
// line and what is left of it with the values stored, or the message the
// default hook writes to standard error before it ends with status 99.
#include <kestrum/options.h>

#include <gmock/gmock.h>

#include <cstdarg>
#include <iomanip>
#include <sstream>

namespace {

void returningHook(const char *, ...) { fputs("returned\n", stderr); }
void throwingHook(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    throw 99;
}

std::vector<std::string> calls;
template <typename T>
void called(T value) { calls.push_back(std::to_string(value)); }

// Options of every kind counted in n; "N" has no target, "w" an unknown kind,
// "I" a function target. Entry points: 0 to 2 the newest (1: short clusters,
// 2: also negative numbers), 3 the older table and 4 the oldest, both with
// clusters, negative numbers and only "a", "b" and "mapfile".
struct Kinds {
    int entryPoint, i = 0, flag = 0;
    unsigned u = 0, n = 9;
    long l = 0;
    float f = 0;
    const char *s = nullptr;
    option_entry entries[11] = {
        {'c', "count", kind_int, &i, &n, 0},       {'u', "uint", kind_uint, &u, &n, 0},
        {'l', "long", kind_long, &l, &n, 0},       {'f', "float", kind_float, &f, &n, 0},
        {'s', "string", kind_string, &s, &n, 0},   {'F', "flag", kind_flag, &flag, &n, 0},
        {'N', "nothing", kind_int, nullptr, &n, 0}, {'w', "weird", option_kind(9), &i, &n, 0},
        {'I', "call", kind_ulong, reinterpret_cast<void *>(&called<unsigned long>), &n, target_is_function},
        {0, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN", kind_int, &i, &n, 0}, {0, nullptr, kind_end, nullptr, nullptr, 0}};
    old_option_entry old[4] = {{'a', "all", kind_flag, &flag, 0}, {'b', nullptr, kind_string, &s, 0},
                               {0, "mapfile", kind_string, &s, 0}, {0, nullptr, kind_end, nullptr, 0}};
    std::vector<std::string> words = {};
    // Parses the blank-separated words ("~" an empty one); returns what is
    // left of them and the values stored.
    std::string parse(const std::string &line) {
        std::istringstream in(line);
        for (std::string w; in >> w;)
            words.push_back(w == "~" ? "" : w);
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(&w[0]);
        int argc = int(words.size());
        argv.push_back(nullptr);
        if (entryPoint < 3)
            optParseOptions3(&argc, argv.data(), {entryPoint > 0, entryPoint > 1, entries}, 8, 0);
        else if (entryPoint == 3)
            optParseOptions2(&argc, argv.data(), {1, 1, old}, 0);
        else
            optParseOptions(&argc, argv.data(), old, 1);
        std::ostringstream out;
        for (int k = 0; k < argc; ++k)
            out << (*argv[k] ? argv[k] : "~") << " ";
        out << (argv[argc] ? "no null end " : "") << "| n=" << n << (i ? " i=" + std::to_string(i) : "")
            << (u ? " u=" + std::to_string(u) : "") << (l ? " l=" + std::to_string(l) : "")
            << (s ? " s=" + std::string(s) : "") << (flag ? " flag" : "");
        if (f != 0)
            out << " f=" << std::setprecision(9) << f;
        return out.str();
    }
};

TEST(Options, KindsNamesClustersAndMessages) {
    const struct {
        int entryPoint;
        const char *line, *expected;
    } cases[] = {
        {0, "p --count=12 -co=+7 x", "p x | n=2 i=7"}, {0, "p --count=12x", "invalid number `12x'\n"},
        {0, "p --count 2147483647 --uint=-1 --long=-9223372036854775808",
         "p | n=3 i=2147483647 u=4294967295 l=-9223372036854775808"},
        {0, "p --count=2147483648", "number `2147483648' to `--count' out of range\n"},
        {0, "p --uint=-4294967296", "number `-4294967296' to `--uint' out of range\n"},
        {0, "p --float=0.1", "p | n=1 f=0.100000001"}, {0, "p --float=1.5x", "invalid floating point number `1.5x'\n"},
        // "--=" names the first entry, a prefix the first name it begins; a null
        // target only counts; an unknown kind takes no value.
        {0, "p --string=a=b --flag -flag --=3 -nothing 5 --weird x", "p x | n=6 i=3 s=a=b flag"},
        {0, "p --weird=3", "option `--weird' doesn't allow an argument\n"},
        {0, "p --abc", "option `--abcdefghijklmnopqrstuvwxyzAB' requires an argument\n"},
        // The first element is scanned too; "--" ends the options, a lone "-" is an argument.
        {0, "-flag 8 -fl 1 ~ - -- -- -3", "8 ~ - -- -3 | n=2 flag f=1"}, {0, "q ---flag", "unrecognized option `---flag'\n"},
        {1, "p -Fs file x -Fsfile", "p x | n=4 s=file flag"}, {1, "p -Fq", "unrecognized option `-q'\n"},
        {1, "p -Fs", "option `-s' requires an argument\n"}, {2, "p -12 -1x -c12 -c -3 -", "p -12 -1x - | n=2 i=-3"},
        {1, "p -Fc99999999999", "number `99999999999' to `-c' out of range\n"}, {4, "p -mapfile", "unrecognized option `-m'\n"},
        {3, "p -abq -12 --mapfile=z", "p -12 | n=9 s=z flag"}, {4, "p -ab x -5 -- -a", "p -5 -a | n=9 s=x flag"},
    };
    for (const auto &c : cases) {
        Kinds k{c.entryPoint};
        if (std::string(c.expected).back() == '\n') {  // a failure: the message on standard error, status 99
            EXPECT_EXIT(k.parse(c.line), ::testing::ExitedWithCode(99), ::testing::Eq(c.expected)) << c.line;
        } else {
            EXPECT_EQ(k.parse(c.line), c.expected) << c.line;
        }
    }
    // Each message names its option afresh: a short name after a long one.
    optSetFatalFunc(throwingHook);
    ::testing::internal::CaptureStderr();
    for (const char *line : {"p --abc", "p --weird=3"})
        EXPECT_THROW(Kinds{0}.parse(line), int);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "option `--abcdefghijklmnopqrstuvwxyzAB' requires an argument\n"
                                                        "option `--weird' doesn't allow an argument\n");
    // A hook that returns must not let the parse go on past the failed check.
    EXPECT_EXIT((optSetFatalFunc(returningHook), Kinds{0}.parse("p --count")), ::testing::ExitedWithCode(99),
                ::testing::Eq("returned\n"));
    EXPECT_EQ(Kinds{1}.parse("p -I9 --call=-1"), "p | n=2");  // a function target gets the converted value
    EXPECT_THAT(calls, ::testing::ElementsAre("9", "18446744073709551615"));
}

}  // namespace
