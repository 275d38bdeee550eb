#include <kestrum/pgm.h>

#include "test_helpers.h"

namespace {

TEST(PgmRead, SamplesAndPromotedBits) {
    const struct {
        std::string bytes;
        sample maxval;
        std::vector<sample> values;
    } cases[] = {
        {"P5 3 1 255\n\x00\x0a\xff"s, 255, {0, 10, 255}},
        {"P5 2 1 256\n\x01\x02\xff\xff"s, 256, {258, 65535}},
        {"P5 2 1 0\n\x01\x02"s, 0, {1, 2}},  // maxval 0: one byte a sample, none compared
        {"P2 3 1 65535 0 #c\n5 70000 ", 65535, {0, 5, 70000}},
        {"P1 3 1 010", 255, {255, 0, 255}},  // PBM read as grey: maxval 255
        {"P4 3 1\n\x40"s, 255, {255, 0, 255}},
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        const Whole image = readWhole(in, Pgm);
        EXPECT_EQ(image.maxval, c.maxval) << c.bytes;
        EXPECT_EQ(image.values, c.values) << c.bytes;
        EXPECT_EQ(in.rest(), "") << c.bytes;
    }
}

TEST(PgmReadDeathTest, BadImages) {
    const std::pair<const char *, const char *> cases[] = {
        {"P6 1 1 255\nabc", "bad magic number - not a pgm or pbm file"},
        {"P2 1 1 65536 0 ", "maxval is too large.  The largest we can handle is 65535."},
        {"P5 1 1 256\n\x01", "EOF /read error while reading a long sample"},
        {"P5 2 1 255\n\x01", "EOF / read error reading a one-byte sample"},
    };
    for (const auto &[bytes, message] : cases) {
        Input in(bytes);
        EXPECT_FATAL(readWhole(in, Pgm), message) << bytes;
    }
    sample row[1];
    EXPECT_FATAL(pgm_readpgmrow(stdin, row, 1, 255, RPPM_FORMAT), "can't happen");
}

TEST(PgmWrite, RawAndPlainForms) {
    std::vector<sample> row(18, 100);  // a plain line stays under 70 characters
    row[17] = 0;
    EXPECT_EQ(written(Pgm, {1, 258}, 2, 1, 256, 0), "P5\n2 1\n256\n\x00\x01\x01\x02"s);
    EXPECT_EQ(written(Pgm, row, 18, 1, 255, 1),
              "P2\n18 1\n255\n100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100\n0\n");
    EXPECT_EQ(written(Pgm, {65535, 70000}, 2, 1, 70000, PlainOutput), "P2\n2 1\n70000\n65535 70000\n");
}

TEST(PgmWriteDeathTest, Failures) {
    EXPECT_FATAL(written(Pgm, {}, 0, 0, 65536, 0), "too-large maxval passed to ppm_writepgminit(): 65536.\n"
                                                   "Maximum allowed by the PGM format is 65535.");
    FILE *readOnly = fopen("/dev/null", "r");
    EXPECT_FATAL(pgm_writerawsample(readOnly, 1, 255), "Error writing single byte sample to file");
    EXPECT_FATAL(pgm_writerawsample(readOnly, 1, 65535), "Error writing double byte sample to file");
    fclose(readOnly);
}

}  // namespace
