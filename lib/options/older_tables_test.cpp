#include "options_internal.h"
#include "options_test_support.h"

#include <cstdlib>
#include <tuple>

namespace {

using namespace optiontest;

TEST(OlderTables, ConversionCopiesFiveFieldsAndEndsTheTable) {
    int a = 0;
    const old_option_entry old[] = {{'a', "all", kind_flag, &a, 0},
                                    {'b', nullptr, kind_int, nullptr, target_is_function},
                                    {0, "c", option_kind(9), &a, 0},
                                    {0, nullptr, kind_end, nullptr, 0}};
    const std::vector<old_option_entry> unended(600, old[0]);  // cut at 500 entries
    for (const old_option_entry *table : {old, &unended[0]}) {
        option_entry *converted = optStructTblToEntryTbl(table);
        const int count = optStructCount(converted);
        ASSERT_EQ(count, table == old ? 3 : 500);
        for (int i = 0; i <= count; ++i) {
            const option_entry &c = converted[i];
            const old_option_entry o = i < count ? table[i] : old[3];
            EXPECT_EQ(std::make_tuple(c.short_name, c.long_name, c.kind, c.target, c.specified, c.flags),
                      std::make_tuple(o.short_name, o.long_name, o.kind, o.target, nullptr, o.flags));
        }
        free(converted);
    }
}

// Short a (long "all") and b, b taking a value; "mapfile" has no short name.
// Entry points: 1 and 2 the oldest (2 with negative numbers), 3 and 4 the
// second (4 with short options).
template <int entryPoint>
struct Old {
    int a = 0;
    const char *b = nullptr, *mapfile = nullptr;
    old_option_entry entries[4] = {{'a', "all", kind_flag, &a, 0},
                                   {'b', nullptr, kind_string, &b, 0},
                                   {0, "mapfile", kind_string, &mapfile, 0},
                                   {0, nullptr, kind_end, nullptr, 0}};
    void parse(Argv &v) {
        if (entryPoint <= 2)
            optParseOptions(&v.argc, v.v.data(), entries, entryPoint == 2);
        else
            optParseOptions2(&v.argc, v.v.data(), {entryPoint == 4, 1, entries}, 0);
    }
    std::string state() const {
        return std::to_string(a) + (b ? " b=" + std::string(b) : "") + (mapfile ? " map=" + std::string(mapfile) : "");
    }
};

TEST(OlderTables, EntryPoints) {
    checkCases<Old<1>>({
        {"p -ab x", "p | 1 b=x"}, {"p -abc x", "p x | 1 b=c"}, {"x -- -a", "x -a | 0"},
        {"-a f - --map n --mapfile=m", "f - | 1 map=m"}, {"p -mapfile", "unrecognized option `-m'\n | 0"},
        {"p -5", "unrecognized option `-5'\n | 0"}, {"p -ab", "option `-b' requires an argument\n | 1"},
        {"p --al=1", "option `--all' doesn't allow an argument\n | 0"},
    });
    checkCases<Old<2>>({{"p -5 -1x -b -2", "p -5 -1x | 0 b=-2"}});
    checkCases<Old<3>>({{"p -mapfile m -12 -- -a", "p -12 -a | 0 map=m"}, {"p -ab", "unrecognized option `-ab'\n | 0"}});
    checkCases<Old<4>>({{"p -abq -12 --mapfile=z", "p -12 | 1 b=q map=z"}});
}

}  // namespace
