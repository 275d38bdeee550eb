#include "options_internal.h"
#include "options_test_support.h"

#include <climits>

namespace {

using namespace optiontest;

TEST(OptionValues, ConvertedStoredOrReportedByKind) {
    checkCases<Kinds<false>>({
        {"p --count=12 -count=_12", "p | n=2 i=12"}, {"p --count= -co=+7 x", "p x | n=2 i=7"},
        {"p --count=-2147483648 --long=-9223372036854775808", "p | n=2 i=-2147483648 l=-9223372036854775808"},
        {"p --count 2147483647 --uint 4294967295 --long=9223372036854775807 --ulong=-1",
         "p | n=4 i=2147483647 u=4294967295 l=9223372036854775807 ul=18446744073709551615"},
        {"p --uint=-4294967295", "p | n=1 u=1"},
        {"p --count=2147483648", "number `2147483648' to `--count' out of range\n | n=1"},
        {"p -count=-2147483649", "number `-2147483649' to `--count' out of range\n | n=1"},
        {"p --uint=4294967296", "number `4294967296' to `--uint' out of range\n | n=1"},
        {"p --uint=-4294967296", "number `-4294967296' to `--uint' out of range\n | n=1"},
        {"p --long=9223372036854775808", "number `9223372036854775808' to `--long' out of range\n | n=1"},
        {"p --ulong=18446744073709551616", "number `18446744073709551616' to `--ulong' out of range\n | n=1"},
        {"p --count=12_", "invalid number `12 '\n | n=1"}, {"p --count=0x10", "invalid number `0x10'\n | n=1"},
        {"p --c=99999999999x", "invalid number `99999999999x'\n | n=1"}, {"p --uint=-", "invalid number `-'\n | n=1"},
        {"p --float=0.1", "p | n=1 f=0.100000001"}, {"p --float=1e300", "p | n=1 f=inf"},
        {"p --float=3.4028235677973362e38", "p | n=1 f=3.40282347e+38"},
        {"p --float=3.4028235677973366e38", "p | n=1 f=inf"},
        {"p --float=1e400", "floating point number `1e400' to `--float' out of range\n | n=1"},
        {"p --float=1e-400", "floating point number `1e-400' to `--float' out of range\n | n=1"},
        {"p --float=1.5x", "invalid floating point number `1.5x'\n | n=1"},
        {"p --string=a=b --flag -flag", "p | n=3 s=a=b flag"},
        // "--=" names the first entry, "ab" the first name beginning with it; a null
        // target only counts; an unknown kind takes no value.
        {"p --=3 -nothing 5 --weird x", "p x | n=3 i=3"}, {"p --nothing=x", "invalid number `x'\n | n=1"},
        {"p --weird=3", "option `--weird' doesn't allow an argument\n | n=0"}, {"p --ab=5", "p | n=1 i=5"},
        {"p --abc", "option `--abcdefghijklmnopqrstuvwxyzAB' requires an argument\n | n=0"},
        {"p --abcdefghijklmnopqrstuvwxyzABCD=99999999999",
         "number `99999999999' to `--abcdefghijklmnopqrstuvwxyzAB' out of range\n | n=1"},
    });
    checkCases<Kinds<true>>({{"p -Fc99999999999", "number `99999999999' to `-c' out of range\n | n=2 flag"},
                             {"p -uc -s", "invalid number `c'\n | n=1"}});
    Kinds<false> k;
    Argv a("p --count x");
    a.v[2] = nullptr;
    EXPECT_EXIT(k.parse(a), ::testing::ExitedWithCode(99),
                ::testing::Eq("internal error: optExecute() called with NULL argument '--count'"));
}

std::vector<std::string> calls;
void onFlag() { calls.push_back("flag"); }
void onString(const char *v) { calls.push_back(v); }
template <typename T> void onNumber(T v) { calls.push_back(std::to_string(v)); }

TEST(OptionFunctions, EveryKindCallsItsTargetInCommandLineOrder) {
    unsigned n = 77;
#define FN(letter, name, kind, f) {letter, name, kind, reinterpret_cast<void *>(&f), &n, target_is_function}
    const option_entry entries[] = {
        FN('a', "flag", kind_flag, onFlag),           FN('b', "string", kind_string, onString),
        FN('c', "int", kind_int, onNumber<int>),      FN('d', "uint", kind_uint, onNumber<unsigned>),
        FN('e', "long", kind_long, onNumber<long>),   FN('f', "ulong", kind_ulong, onNumber<unsigned long>),
        FN('g', "float", kind_float, onNumber<double>), {'h', "none", kind_int, nullptr, &n, target_is_function},
        {0, nullptr, kind_end, nullptr, nullptr, 0}};
#undef FN
    Argv a("p -ab s --int=-5 -d-1 --long -9 -f9 --float=16777217 -a --none=1"), b("p --none=z");
    optParseOptions3(&a.argc, a.v.data(), {1, 0, entries}, 8, 0);
    EXPECT_THAT(calls, ::testing::ElementsAre("flag", "s", "-5", "4294967295", "-9", "9", "16777216.000000", "flag"));
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(fatalOf([&] { optParseOptions3(&b.argc, b.v.data(), {1, 0, entries}, 8, 0); }), "invalid number `z'\n");
}

// Without an end entry nothing past entry 499 is read.
TEST(OptionTable, OnlyTheFirst500EntriesTakePart) {
    std::vector<std::string> names;
    for (int i = 0; i <= 500; ++i)
        names.push_back("e" + std::to_string(i));
    unsigned n = 0;
    std::vector<option_entry> entries;
    for (const auto &name : names)
        entries.push_back({0, name.c_str(), kind_flag, nullptr, &n, 0});
    Argv a("p --e499 --e500");
    EXPECT_EQ(fatalOf([&] { optParseOptions3(&a.argc, a.v.data(), {0, 0, entries.data()}, 8, 0); }),
              "unrecognized option `--e500'\n");
    EXPECT_EQ(n, 1u);
}

void returningHook(const char *, ...) { fputs("returned\n", stderr); }

TEST(OptionFatalHook, ReplacementGetsTheFormatAndMustNotReturn) {
    Kinds<false> k;
    Argv a("p --uint=4294967296"), b("p --count");
    std::string format;
    optSetFatalFunc(throwingHook);
    try {
        k.parse(a);
    } catch (const Fatal &fatal) {
        format = fatal.format;
    }
    optSetFatalFunc(nullptr);
    EXPECT_EQ(format, "number `%s' to `%s' out of range\n");
    // A hook that returns must not let the parse go on past the failed check.
    EXPECT_EXIT((optSetFatalFunc(returningHook), k.parse(b)), ::testing::ExitedWithCode(99), ::testing::Eq("returned\n"));
    unsigned counter = UINT_MAX - 1;
    for (int i = 0; i < 2; ++i)
        optExecute({'v', "verbose", kind_flag, nullptr, &counter, 0}, nullptr, 0);
    EXPECT_EQ(counter, UINT_MAX);  // saturates instead of wrapping
}

}  // namespace
