#include <kestrum/format.h>

#include "test_helpers.h"

namespace {

TEST(Tokens, IntegerTokensFollowTheHeaderGrammar) {
    const struct {
        const char *bytes;
        std::vector<unsigned int> values;  // read with pm_getuint in turn
        const char *rest;
    } cases[] = {
        {"12#x\n34 ", {12, 34}, ""},          // '#' right after digits ends the number
        {"3 #comment\n2 ", {3, 2}, ""},       // a comment where a separator may stand
        {"5#a\r6 \t\r\n7 ", {5, 6, 7}, ""},   // CR ends a comment; every separator
        {"1,2x3 007 ", {1, 2, 3, 7}, ""},     // any one character ends a number
        {"2147483640 ", {2147483640u}, ""},  // the largest accepted
        {"8 #c\nX", {8}, "#c\nX"},            // exactly one character after the digits...
        {"8#c\nX", {8}, "X"},                 // ...and a '#' there is its whole comment
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        for (unsigned int expected : c.values)
            EXPECT_EQ(pm_getuint(in), expected) << c.bytes;
        EXPECT_EQ(in.rest(), c.rest) << c.bytes;
    }
}

TEST(TokensDeathTest, BadIntegerTokens) {
    const char *junk = "junk in file where an unsigned integer should be", *eof = "EOF / read error reading a byte";
    const char *tooLarge = "ASCII decimal integer in file is too large to be processed.  ";
    const std::pair<std::string, const char *> cases[] = {
        {"2147483641 ", tooLarge}, {"2147483632 ", tooLarge}, {"\v5 ", junk}, {"-5 ", junk}, {"1 x", junk},
        {"12", eof},  // an integer needs one character after it
        {"  # a comment that never ends", eof},
    };
    for (const auto &[bytes, message] : cases) {
        Input in(bytes);
        EXPECT_FATAL({ pm_getuint(in); pm_getuint(in); }, message) << bytes;
    }
}

TEST(TokensDeathTest, MagicNumberCharactersAndRawBytes) {
    Input in("P6P1 ##a\rX#");
    EXPECT_EQ(pm_readmagicnumber(in), 0x5036);
    EXPECT_EQ(pm_readmagicnumber(in), 20529);
    EXPECT_EQ(pm_readmagicnumber(in), ' ' * 256 + '#');  // read raw, no comment
    EXPECT_EQ(pm_getc(in), '\r');
    EXPECT_EQ(pm_getc(in), 'X');
    EXPECT_EQ(pm_getrawbyte(in), '#');
    EXPECT_FATAL(pm_getrawbyte(in), "EOF / read error reading a one-byte sample");
    EXPECT_FATAL(pm_getc(in), "EOF / read error reading a byte");
    Input shortInput("P");
    EXPECT_FATAL(pm_readmagicnumber(shortInput), "Error reading magic number from Kestrum image stream.  "
                                                 "Most often, this means your input file is empty.");
}

}  // namespace
