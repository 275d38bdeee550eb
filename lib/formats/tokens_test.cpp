#include <kestrum/format.h>

#include <vector>

#include "test_helpers.h"

namespace {

struct TokenCase {
    const char *bytes;
    std::vector<unsigned int> values;  // read with pm_getuint in turn
    const char *rest;                  // what is left after them
};

TEST(Tokens, IntegerTokensFollowTheHeaderGrammar) {
    const TokenCase cases[] = {
        {"12#x\n34 ", {12, 34}, ""},               // '#' right after digits ends the number
        {"3 #comment\n2 ", {3, 2}, ""},            // comment where a separator may stand
        {"5#a\r6#b\n\n7 ", {5, 6, 7}, ""},         // CR ends a comment too
        {" \t\r\n9 ", {9}, ""},                    // every separator
        {"1,2x3 ", {1, 2, 3}, ""},                 // any single character ends a number
        {"007 ", {7}, ""},                         // leading zeros
        {"0\n", {0}, ""},
        {"2147483640 ", {2147483640u}, ""},        // the largest accepted
        {"8 #c\nX", {8}, "#c\nX"},                 // exactly one character after the digits
        {"8#c\nX", {8}, "X"},                      // ... and a '#' there is the whole comment
        {"8\n\nX", {8}, "\nX"},
    };
    for (const TokenCase &c : cases) {
        Input in(c.bytes);
        for (unsigned int expected : c.values)
            EXPECT_EQ(pm_getuint(in), expected) << c.bytes;
        EXPECT_EQ(in.rest(), c.rest) << c.bytes;
    }
}

struct FailureCase {
    std::string bytes;
    const char *message;
};

const char *const kJunk = "junk in file where an unsigned integer should be";
const char *const kTooLarge = "ASCII decimal integer in file is too large to be processed.  ";
const char *const kEof = "EOF / read error reading a byte";

TEST(TokensDeathTest, BadIntegerTokensFailWithTheirMessage) {
    const FailureCase cases[] = {
        {"2147483641 ", kTooLarge},
        {"2147483632 ", kTooLarge},  // smaller than the largest accepted, still refused
        {"99999999999 ", kTooLarge},
        {"\v5 ", kJunk},
        {"\f5 ", kJunk},
        {"-5 ", kJunk},
        {"+5 ", kJunk},
        {"1 x", kJunk},  // only one character may stand between numbers: "1 x" reads 1, then x
        {"12", kEof},    // an integer needs one character after it
        {"", kEof},
        {"  # a comment that never ends", kEof},
        {std::string("\0", 1), kJunk},
    };
    for (const FailureCase &c : cases) {
        Input in(c.bytes);
        EXPECT_FATAL({ pm_getuint(in); pm_getuint(in); }, c.message) << c.bytes;
    }
}

TEST(Tokens, MagicNumberIsTheFirstTwoBytesRaw) {
    Input in("P6P1 #");
    EXPECT_EQ(pm_readmagicnumber(in), 0x5036);
    EXPECT_EQ(pm_readmagicnumber(in), 20529);
    EXPECT_EQ(pm_readmagicnumber(in), ' ' * 256 + '#');  // no comment handling
}

TEST(TokensDeathTest, MagicNumberNeedsTwoBytes) {
    const char *message = "Error reading magic number from Kestrum image stream.  "
                          "Most often, this means your input file is empty.";
    for (const char *bytes : {"", "P"}) {
        Input in(bytes);
        EXPECT_FATAL(pm_readmagicnumber(in), message) << bytes;
    }
}

TEST(TokensDeathTest, GetcFoldsCommentsAndRawByteDoesNot) {
    Input in("#abc\rX#\xff");
    EXPECT_EQ(pm_getc(in), '\r');
    EXPECT_EQ(pm_getc(in), 'X');
    EXPECT_EQ(pm_getrawbyte(in), 0x23);
    EXPECT_EQ(pm_getrawbyte(in), 0xff);
    EXPECT_FATAL(pm_getrawbyte(in), "EOF / read error reading a one-byte sample");
    EXPECT_FATAL(pm_getc(in), kEof);
}

TEST(Tokens, FormatFamilies) {
    const struct {
        int code, family;
    } cases[] = {{PBM_FORMAT, PBM_TYPE}, {RPBM_FORMAT, PBM_TYPE}, {PGM_FORMAT, PGM_TYPE},
                 {RPGM_FORMAT, PGM_TYPE}, {PPM_FORMAT, PPM_TYPE}, {RPPM_FORMAT, PPM_TYPE},
                 {'P' * 256 + '7', -1},  {'P' * 256 + '0', -1},  {0, -1},
                 {-1, -1}};
    for (const auto &c : cases)
        EXPECT_EQ(format_family(c.code), c.family) << c.code;
    EXPECT_EQ(RPPM_FORMAT, 0x5036);
    EXPECT_EQ(PBM_FORMAT, 20529);
}

}  // namespace
