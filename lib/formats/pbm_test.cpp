#include <kestrum/pbm.h>

#include <vector>

#include "test_helpers.h"

using namespace std::string_literals;

namespace {

std::vector<int> readBits(FILE *file) {
    int cols, rows;
    pbm_bit **bits = pbm_readpbm(file, &cols, &rows);
    std::vector<int> out;
    for (int r = 0; r < rows; ++r)
        out.insert(out.end(), bits[r], bits[r] + cols);
    pm_freearray(reinterpret_cast<void **>(bits), rows);
    return out;
}

TEST(PbmRead, PlainAndRawRasters) {
    const struct {
        std::string bytes;
        std::vector<int> bits;
    } cases[] = {
        {"P1\n4 1\n0110", {0, 1, 1, 0}},                // no separators needed
        {"P1 4 1 0 1#comment\n1\r\n0", {0, 1, 1, 0}},  // a comment is skipped like a line break
        {"P4 8 1\n\x80", {1, 0, 0, 0, 0, 0, 0, 0}},
        {"P4 10 2\n\xff\xff\x40\x3f"s, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // padding bits dropped
                                        0, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        EXPECT_EQ(readBits(in), c.bits) << c.bytes;
        EXPECT_EQ(in.rest(), "") << c.bytes;
    }
}

TEST(PbmReadDeathTest, Failures) {
    const struct {
        const char *bytes;
        const char *message;
    } cases[] = {
        {"P2 1 1 1 1", "bad magic number - not a pbm file"},
        {"P1 3 1 012", "junk in file where bits should be"},
        {"P4 9 1\n\x01", "EOF / read error reading a one-byte sample"},
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        EXPECT_FATAL(readBits(in), c.message) << c.bytes;
    }
    Input in("0");
    pbm_bit row[1];
    EXPECT_FATAL(pbm_readpbmrow(in, row, 1, RPGM_FORMAT), "can't happen");
}

TEST(PbmRead, PackedRows) {
    Input raw("\xa5\xc0\x5a\x3fZ");
    unsigned char row[2] = {0, 0};
    pbm_readpbmrow_packed(raw, row, 10, RPBM_FORMAT);
    EXPECT_EQ(row[0], 0xa5);
    EXPECT_EQ(row[1], 0xc0);  // the row is held as it is, padding included
    pbm_readpbmrow_packed(raw, row, 10, RPBM_FORMAT);
    EXPECT_EQ(row[0], 0x5a);
    EXPECT_EQ(raw.rest(), "Z");

    Input plain("1 0 1 0 0 1 0 1\n1 1");
    unsigned char bits[2] = {0, 0};
    pbm_readpbmrow_packed(plain, bits, 10, PBM_FORMAT);
    EXPECT_EQ(bits[0], 0xa5);
    EXPECT_EQ(bits[1], 0xc0);
}

TEST(PbmReadDeathTest, PackedRowFailures) {
    unsigned char row[2] = {0, 0};
    Input empty("");
    EXPECT_FATAL(pbm_readpbmrow_packed(empty, row, 10, RPBM_FORMAT),
                 "Attempt to read a raw PBM image row, but no more rows left in file.");
    Input half("\xff");
    EXPECT_FATAL(pbm_readpbmrow_packed(half, row, 10, RPBM_FORMAT), "EOF in the middle of a raw PBM row.");
    FILE *unreadable = fopen("/dev/null", "w");
    ASSERT_NE(unreadable, nullptr);
    EXPECT_FATAL(pbm_readpbmrow_packed(unreadable, row, 10, RPBM_FORMAT), "I/O error reading raw PBM row");
    fclose(unreadable);
    EXPECT_FATAL(pbm_readpbmrow_packed(empty, row, 10, PPM_FORMAT), "Internal error in pbm_readpbmrow_packed.");
}

}  // namespace
