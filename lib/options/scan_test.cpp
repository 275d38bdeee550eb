#include "options_internal.h"
#include "options_test_support.h"

namespace {

using namespace optiontest;

// The quantizer's own table: -floyd and -fs share one counter, -nofloyd and
// -nofs another; one dash introduces a long name.
struct Quantizer {
    unsigned floyd = 9, nofloyd = 9, mapCount = 9;
    const char *mapfile = nullptr;
    option_entry entries[6] = {{0, "floyd", kind_flag, nullptr, &floyd, 0},
                               {0, "fs", kind_flag, nullptr, &floyd, 0},
                               {0, "nofloyd", kind_flag, nullptr, &nofloyd, 0},
                               {0, "nofs", kind_flag, nullptr, &nofloyd, 0},
                               {0, "mapfile", kind_string, &mapfile, &mapCount, 0},
                               {0, nullptr, kind_end, nullptr, nullptr, 0}};
    void parse(Argv &a) { optParseOptions3(&a.argc, a.v.data(), {0, 0, entries}, 8, 0); }
    std::string state() const {
        return std::to_string(floyd) + " " + std::to_string(nofloyd) + " " + std::to_string(mapCount) +
               (mapfile ? " map=" + std::string(mapfile) : "");
    }
};

TEST(ScanQuantizerTable, EveryExampleOfItsCommandLine) {
    checkCases<Quantizer>({
        {"q 256 -floyd in.ppm", "q 256 in.ppm | 1 0 0"},
        {"q -mapfile map.ppm", "q | 0 0 1 map=map.ppm"},
        {"q --mapfile=map.ppm x", "q x | 0 0 1 map=map.ppm"},
        {"q -m map.ppm", "q | 0 0 1 map=map.ppm"},
        {"q --mapfile=", "q | 0 0 1 map="},
        {"q -mapfile=a=b", "q | 0 0 1 map=a=b"},
        {"q -mapfile -floyd", "q | 0 0 1 map=-floyd"},
        {"q -mapfile a --mapfile b", "q | 0 0 2 map=b"},
        {"q - 8 -", "q - 8 - | 0 0 0"},
        {"q -- -floyd f.ppm", "q -floyd f.ppm | 0 0 0"},
        {"q -f -- -- -3", "q -- -3 | 1 0 0"},
        {"q -floyd 8 -fs -fl", "q 8 | 3 0 0"},
        {"-fs 8 -nofs -no -n --nofloyd ~", "8 ~ | 1 4 0"},
        {"q -mapfile", "option `--mapfile' requires an argument\n | 0 0 0"},
        {"q -fs -floyd=1", "option `--floyd' doesn't allow an argument\n | 1 0 0"},
        {"q --=x", "option `--floyd' doesn't allow an argument\n | 0 0 0"},
        {"q -=", "option `--floyd' doesn't allow an argument\n | 0 0 0"},
        {"q -x", "unrecognized option `-x'\n | 0 0 0"},
        {"q -5", "unrecognized option `-5'\n | 0 0 0"},
        {"q --foo=3", "unrecognized option `--foo=3'\n | 0 0 0"},
        {"q -floydx", "unrecognized option `-floydx'\n | 0 0 0"},
        {"q ---floyd", "unrecognized option `---floyd'\n | 0 0 0"},
    });
}

// Short options -v (a flag), -o (a text), -n (a number, also --number).
template <bool negativeNumbers>
struct Short {
    int verbose = 0, number = 0;
    unsigned vCount = 0;
    const char *out = nullptr;
    option_entry entries[4] = {{'v', "verbose", kind_flag, &verbose, &vCount, 0},
                               {'o', nullptr, kind_string, &out, nullptr, 0},
                               {'n', "number", kind_int, &number, nullptr, 0},
                               {0, nullptr, kind_end, nullptr, nullptr, 0}};
    void parse(Argv &a) { optParseOptions3(&a.argc, a.v.data(), {1, negativeNumbers, entries}, 8, 0); }
    std::string state() const {
        return std::to_string(vCount) + " " + std::to_string(verbose) + " " + std::to_string(number) +
               (out ? " o=" + std::string(out) : "");
    }
};

TEST(ScanShortOptions, ClustersValuesAndNegativeNumbers) {
    checkCases<Short<false>>({
        {"p -vo file x", "p x | 1 1 0 o=file"},
        {"p -vofile x", "p x | 1 1 0 o=file"},
        {"p -ov", "p | 0 0 0 o=v"},
        {"p -vv --verbose -vn -5 --number=7", "p | 4 1 7"},
        {"p -vq", "unrecognized option `-q'\n | 1 1 0"},
        {"p -12", "unrecognized option `-1'\n | 0 0 0"},
        {"p -verbose", "unrecognized option `-e'\n | 1 1 0"},
        {"p -vo", "option `-o' requires an argument\n | 1 1 0"},
        {"p --number", "option `--number' requires an argument\n | 0 0 0"},
        {"p --verbose=1", "option `--verbose' doesn't allow an argument\n | 0 0 0"},
    });
    checkCases<Short<true>>({
        {"p -12 -1x -n12 -n -3 -", "p -12 -1x - | 0 0 -3"},
        {"p -n12x", "invalid number `12x'\n | 0 0 0"},
    });
}

// Whatever the texts, the scan stays inside the vector and its texts, and
// the vector stays null-ended.
TEST(ScanHostileVectors, OddElementsEndInAnErrorOrAsArguments) {
    const std::string huge(100000, 'v');
    for (const std::string &odd : std::vector<std::string>{"~", "=", "--=", "-=", "---", "-_", "-o", "-vo", "-n", "-n ~", "- -- -",
                                  "--" + huge + "=x", "-" + huge, "-x" + huge, "--mapfile=" + huge}) {
        Quantizer q;
        Short<true> s;
        Argv a("p " + odd), b("p " + odd);
        EXPECT_NE(fatalOf([&] { q.parse(a); }) + a.rest() + fatalOf([&] { s.parse(b); }) + b.rest(), "");
    }
    Short<false> s;
    Argv many("-" + huge + " -o x");
    many.v[2] = nullptr;  // a null element among the arguments
    s.parse(many);
    EXPECT_EQ(s.vCount, 100000u);
    EXPECT_EQ(many.argc, 0);
    EXPECT_EQ(s.out, nullptr);
}

}  // namespace
