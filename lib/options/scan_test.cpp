#include "options_internal.h"
#include "options_test_support.h"

namespace {

using namespace optiontest;

TEST(Scan, LongNamesAfterOneOrTwoDashes) {
    checkCases<Kinds<false>>({
        {"q 256 -flag in.ppm", "q 256 in.ppm | n=1 flag"}, {"q -string -flag", "q | n=1 s=-flag"},
        {"q -s a --string b --string=", "q | n=3 s="}, {"q - 8 -", "q - 8 - | n=0"},
        {"q -fla -- -- -3", "q -- -3 | n=1 flag"},
        // The first element is scanned too; a prefix names the first entry it begins.
        {"-flag 8 -fl 1 ~", "8 ~ | n=2 f=1 flag"}, {"q -string", "option `--string' requires an argument\n | n=0"},
        {"q -flag=1", "option `--flag' doesn't allow an argument\n | n=0"},
        {"q -x", "unrecognized option `-x'\n | n=0"}, {"q -5", "unrecognized option `-5'\n | n=0"},
        {"q --foo=3", "unrecognized option `--foo=3'\n | n=0"}, {"q -flagx", "unrecognized option `-flagx'\n | n=0"},
        {"q ---flag", "unrecognized option `---flag'\n | n=0"},
    });
}

TEST(Scan, ShortOptionsClusterAndTakeValues) {
    checkCases<Kinds<true>>({
        {"p -Fs file x", "p x | n=2 s=file flag"}, {"p -Fsfile x", "p x | n=2 s=file flag"}, {"p -sF", "p | n=1 s=F"},
        {"p -FF --flag -Fc -5 --count=7", "p | n=6 i=7 flag"}, {"p -Fq", "unrecognized option `-q'\n | n=1 flag"},
        {"p -12", "unrecognized option `-1'\n | n=0"}, {"p -Fs", "option `-s' requires an argument\n | n=1 flag"},
    });
    checkCases<Kinds<true, true>>({
        {"p -12 -1x -c12 -c -3 -", "p -12 -1x - | n=2 i=-3"},
        {"p -c12x", "invalid number `12x'\n | n=1"},
    });
}

// Whatever the texts, the scan stays inside the vector and its texts, and
// the vector stays null-ended.
TEST(Scan, HostileVectorsEndInAnErrorOrAsArguments) {
    const std::string huge(100000, 'F');
    for (const std::string &odd : std::vector<std::string>{"~", "=", "--=", "-=", "---", "-_", "-s", "-Fs", "-c", "-c ~",
                                  "- -- -", "--" + huge + "=x", "-" + huge, "-x" + huge, "--string=" + huge}) {
        Kinds<false> longOnly;
        Kinds<true, true> withShort;
        Argv a("p " + odd), b("p " + odd);
        EXPECT_NE(fatalOf([&] { longOnly.parse(a); }) + a.rest() + fatalOf([&] { withShort.parse(b); }) + b.rest(), "");
    }
    Kinds<true> k;
    Argv many("-" + huge + " -s x");
    many.v[2] = nullptr;  // a null element among the arguments
    k.parse(many);
    EXPECT_EQ(k.n, 100001u);
    EXPECT_EQ(many.argc, 0);
    EXPECT_EQ(k.s, nullptr);
}

}  // namespace
