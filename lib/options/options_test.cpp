// The option parser through its public entry points: each case is an argv
// line and what is left of it (or the message) with the values stored. A
// failing case runs again with the default hook: the same text on standard
// error, status 99.
#include <kestrum/options.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <sstream>

namespace {

// A writable, null-ended argv from blank-separated words; "~" is the empty
// text and "_" a blank.
struct Argv {
    std::vector<std::string> text;
    std::vector<char *> v;
    int argc = 0;
    explicit Argv(const std::string &line) {
        std::istringstream in(line);
        for (std::string w; in >> w; text.push_back(w == "~" ? "" : w))
            std::replace(w.begin(), w.end(), '_', ' ');
        for (auto &w : text)
            v.push_back(&w[0]);
        v.push_back(nullptr);
        argc = int(text.size());
    }
    std::string rest() const {
        EXPECT_EQ(v[argc], nullptr);
        std::string out;
        for (int i = 0; i < argc; ++i)
            out += (i ? " " : "") + std::string(*v[i] ? v[i] : "~");
        return out;
    }
};

struct Fatal {
    std::string message;
};
void throwingHook(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw Fatal{text};
}
void returningHook(const char *, ...) { fputs("returned\n", stderr); }

// One option of every kind, all counted in one counter (n); "N" has no
// target and "w" an unknown kind. Entry points: 3 (0: long names after one
// dash, 1: short clusters, 2: short clusters and negative numbers), 2 and 1
// the older tables, "a"/"b"/"mapfile" only.
struct Kinds {
    int entryPoint, i = 0, flag = 0;
    unsigned u = 0, n = 9;
    long l = 0;
    unsigned long ul = 0;
    float f = 0;
    const char *s = nullptr;
    option_entry entries[12] = {
        {'c', "count", kind_int, &i, &n, 0},       {'u', "uint", kind_uint, &u, &n, 0},
        {'l', "long", kind_long, &l, &n, 0},       {'U', "ulong", kind_ulong, &ul, &n, 0},
        {'f', "float", kind_float, &f, &n, 0},     {'s', "string", kind_string, &s, &n, 0},
        {'F', "flag", kind_flag, &flag, &n, 0},    {'N', "nothing", kind_int, nullptr, &n, 0},
        {'w', "weird", option_kind(9), &i, &n, 0}, {0, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN", kind_int, &i, &n, 0},
        {0, "ab", kind_flag, &flag, &n, 0},        {0, nullptr, kind_end, nullptr, nullptr, 0}};
    old_option_entry old[4] = {{'a', "all", kind_flag, &flag, 0}, {'b', nullptr, kind_string, &s, 0},
                               {0, "mapfile", kind_string, &s, 0}, {0, nullptr, kind_end, nullptr, 0}};

    void parse(Argv &a) {
        if (entryPoint < 3)
            optParseOptions3(&a.argc, a.v.data(), {entryPoint > 0, entryPoint > 1, entries}, 8, 0);
        else if (entryPoint < 5)
            optParseOptions2(&a.argc, a.v.data(), {entryPoint == 4, 1, old}, 0);
        else
            optParseOptions(&a.argc, a.v.data(), old, entryPoint == 6);
    }
    std::string state() const {
        char single[32];
        snprintf(single, sizeof single, "%.9g", f);
        std::ostringstream out;
        out << "n=" << n << (i ? " i=" + std::to_string(i) : "") << (u ? " u=" + std::to_string(u) : "")
            << (l ? " l=" + std::to_string(l) : "") << (ul ? " ul=" + std::to_string(ul) : "")
            << (f != 0 ? " f=" + std::string(single) : "") << (s ? " s=" + std::string(s) : "") << (flag ? " flag" : "");
        return out.str();
    }
};

TEST(Options, KindsNamesClustersAndMessages) {
    const struct {
        int entryPoint;
        const char *line, *expected;
    } cases[] = {
        {0, "p --count=12 -count=_12", "p | n=2 i=12"}, {0, "p --count= -co=+7 x", "p x | n=2 i=7"},
        {0, "p --count=-2147483648 --long=-9223372036854775808", "p | n=2 i=-2147483648 l=-9223372036854775808"},
        {0, "p --count 2147483647 --uint 4294967295 --long=9223372036854775807 --ulong=-1",
         "p | n=4 i=2147483647 u=4294967295 l=9223372036854775807 ul=18446744073709551615"},
        {0, "p --uint=-4294967295", "p | n=1 u=1"},
        {0, "p --count=2147483648", "number `2147483648' to `--count' out of range\n | n=1"},
        {0, "p -count=-2147483649", "number `-2147483649' to `--count' out of range\n | n=1"},
        {0, "p --uint=-4294967296", "number `-4294967296' to `--uint' out of range\n | n=1"},
        {0, "p --long=9223372036854775808", "number `9223372036854775808' to `--long' out of range\n | n=1"},
        {0, "p --ulong=18446744073709551616", "number `18446744073709551616' to `--ulong' out of range\n | n=1"},
        {0, "p --count=12_", "invalid number `12 '\n | n=1"}, {0, "p --count=0x10", "invalid number `0x10'\n | n=1"},
        {0, "p --float=0.1", "p | n=1 f=0.100000001"}, {0, "p --float=3.4028235677973366e38", "p | n=1 f=inf"},
        {0, "p --float=1e-400", "floating point number `1e-400' to `--float' out of range\n | n=1"},
        {0, "p --float=1.5x", "invalid floating point number `1.5x'\n | n=1"},
        // "--=" names the first entry, "ab" the first name beginning with it; a
        // null target only counts; an unknown kind takes no value.
        {0, "p --string=a=b --flag -flag --=3 -nothing 5 --weird x", "p x | n=6 i=3 s=a=b flag"},
        {0, "p --weird=3", "option `--weird' doesn't allow an argument\n | n=0"}, {0, "p --ab=5", "p | n=1 i=5"},
        {0, "p --abc", "option `--abcdefghijklmnopqrstuvwxyzAB' requires an argument\n | n=0"},
        // The first element is scanned too; "--" ends the options, a lone "-" is an argument.
        {0, "-flag 8 -fl 1 ~ - -- -- -3", "8 ~ - -- -3 | n=2 f=1 flag"},
        {0, "q -x", "unrecognized option `-x'\n | n=0"}, {0, "q --foo=3", "unrecognized option `--foo=3'\n | n=0"},
        {0, "q ---flag", "unrecognized option `---flag'\n | n=0"},
        {1, "p -Fs file x -Fsfile", "p x | n=4 s=file flag"}, {1, "p -sF", "p | n=1 s=F"},
        {1, "p -Fq", "unrecognized option `-q'\n | n=1 flag"}, {1, "p -12", "unrecognized option `-1'\n | n=0"},
        {1, "p -Fs", "option `-s' requires an argument\n | n=1 flag"},
        {1, "p -Fc99999999999", "number `99999999999' to `-c' out of range\n | n=2 flag"},
        {2, "p -12 -1x -c12 -c -3 -", "p -12 -1x - | n=2 i=-3"}, {2, "p -c12x", "invalid number `12x'\n | n=1"},
        {3, "p -mapfile m -12 -- -a", "p -12 -a | n=9 s=m"}, {3, "p -ab", "unrecognized option `-ab'\n | n=9"},
        {4, "p -abq -12 --mapfile=z", "p -12 | n=9 s=z flag"},
        {5, "p -ab x -- -a", "p -a | n=9 s=x flag"}, {5, "p -mapfile", "unrecognized option `-m'\n | n=9"},
        {5, "p --al=1", "option `--all' doesn't allow an argument\n | n=9"}, {5, "p -5", "unrecognized option `-5'\n | n=9"},
        {6, "p -5 -1x -b -2", "p -5 -1x | n=9 s=-2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        Kinds k{c.entryPoint};
        Argv a(c.line);
        std::string error;
        optSetFatalFunc(throwingHook);
        try {
            k.parse(a);
        } catch (const Fatal &fatal) {
            error = fatal.message;
        }
        optSetFatalFunc(nullptr);
        EXPECT_EQ((error.empty() ? a.rest() : error) + " | " + k.state(), c.expected);
        if (!error.empty()) {
            EXPECT_EXIT({ Kinds k2{c.entryPoint}; Argv b(c.line); k2.parse(b); }, ::testing::ExitedWithCode(99), ::testing::Eq(error));
        }
    }
    // A hook that returns must not let the parse go on past the failed check.
    EXPECT_EXIT({ Kinds k{0}; Argv a("p --count"); optSetFatalFunc(returningHook); k.parse(a); },
                ::testing::ExitedWithCode(99), ::testing::Eq("returned\n"));
}

std::vector<std::string> calls;
void onFlag() { calls.push_back("flag"); }
void onString(const char *v) { calls.push_back(v); }
template <typename T>
void onNumber(T v) { calls.push_back(std::to_string(v)); }

TEST(Options, FunctionTargetsInOrderAndTheFirst500Entries) {
    unsigned n = 77;
#define FN(letter, kind, f) {letter, nullptr, kind, reinterpret_cast<void *>(&f), &n, target_is_function}
    const option_entry entries[] = {
        FN('a', kind_flag, onFlag),         FN('b', kind_string, onString),       FN('c', kind_int, onNumber<int>),
        FN('d', kind_uint, onNumber<unsigned>), FN('e', kind_long, onNumber<long>), FN('f', kind_ulong, onNumber<unsigned long>),
        FN('g', kind_float, onNumber<double>), {0, nullptr, kind_end, nullptr, nullptr, 0}};
#undef FN
    Argv a("p -ab s -c-5 -d-1 -e -9 -f9 -g16777217 -a");
    optParseOptions3(&a.argc, a.v.data(), {1, 0, entries}, 8, 0);
    EXPECT_THAT(calls, ::testing::ElementsAre("flag", "s", "-5", "4294967295", "-9", "9", "16777216.000000", "flag"));
    EXPECT_EQ(n, 8u);
    std::vector<std::string> names;  // without an end entry nothing past entry 499 is read
    for (int i = 0; i <= 500; ++i)
        names.push_back("e" + std::to_string(i));
    std::vector<option_entry> many;
    for (const auto &name : names)
        many.push_back({0, name.c_str(), kind_flag, nullptr, &n, 0});
    Argv b("p --e499 --e500");
    EXPECT_EXIT(optParseOptions3(&b.argc, b.v.data(), {0, 0, many.data()}, 8, 0), ::testing::ExitedWithCode(99),
                ::testing::Eq("unrecognized option `--e500'\n"));
}

}  // namespace
