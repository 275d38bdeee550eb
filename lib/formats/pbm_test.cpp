#include <kestrum/pbm.h>

#include "test_helpers.h"

namespace {

TEST(PbmRead, PlainRawAndPackedRows) {
    const std::pair<std::string, std::vector<sample>> cases[] = {
        {"P1\n4 1\n0110", {0, 1, 1, 0}},                // no separators needed
        {"P1 4 1 0 1#comment\n1\r\n0", {0, 1, 1, 0}},  // a comment is skipped like a line break
        {"P4 10 2\n\xff\xff\x80\x3f"s, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &[bytes, bits] : cases) {
        Input in(bytes);
        EXPECT_EQ(readWhole(in, Pbm).values, bits) << bytes;
        EXPECT_EQ(in.rest(), "") << bytes;
    }
    Input packed("\xa5\xc0" "1 0 1 0 0 1 0 1\n1 1");
    unsigned char row[2] = {0, 0};
    pbm_readpbmrow_packed(packed, row, 10, RPBM_FORMAT);
    EXPECT_EQ(row[0] << 8 | row[1], 0xa5c0);  // held as it is, padding included
    row[0] = row[1] = 0;
    pbm_readpbmrow_packed(packed, row, 10, PBM_FORMAT);
    EXPECT_EQ(row[0] << 8 | row[1], 0xa5c0);
}

TEST(PbmReadDeathTest, BadImagesAndRows) {
    const std::pair<const char *, const char *> cases[] = {
        {"P2 1 1 1 1", "bad magic number - not a pbm file"},
        {"P1 3 1 012", "junk in file where bits should be"},
        {"P4 9 1\n\x01", "EOF / read error reading a one-byte sample"},
    };
    for (const auto &[bytes, message] : cases) {
        Input in(bytes);
        EXPECT_FATAL(readWhole(in, Pbm), message) << bytes;
    }
    unsigned char row[2] = {0, 0};
    Input empty(""), half("\xff");
    FILE *unreadable = fopen("/dev/null", "w");
    EXPECT_FATAL(pbm_readpbmrow_packed(empty, row, 10, RPBM_FORMAT),
                 "Attempt to read a raw PBM image row, but no more rows left in file.");
    EXPECT_FATAL(pbm_readpbmrow_packed(half, row, 10, RPBM_FORMAT), "EOF in the middle of a raw PBM row.");
    EXPECT_FATAL(pbm_readpbmrow_packed(unreadable, row, 10, RPBM_FORMAT), "I/O error reading raw PBM row");
    EXPECT_FATAL(pbm_readpbmrow_packed(empty, row, 10, PPM_FORMAT), "Internal error in pbm_readpbmrow_packed.");
    EXPECT_FATAL(pbm_readpbmrow(empty, row, 1, RPGM_FORMAT), "can't happen");
    fclose(unreadable);
}

}  // namespace
