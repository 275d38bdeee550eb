#include <kestrum/ppm.h>

#include "test_helpers.h"

namespace {

// Every family through the colour reader; the stream stops at the raster's end.
TEST(PpmRead, RastersAndPromotion) {
    const struct {
        std::string bytes;
        sample maxval;
        std::vector<sample> values;
    } cases[] = {
        {"P62 1 255\n\x01\x02\x03\xfd\xfe\xffZ", 255, {1, 2, 3, 253, 254, 255}},  // no separator after the magic
        {"P6 1 1 1000\n\x01\x02\x00\x03\xff\xfeZ"s, 1000, {258, 3, 65534}},
        {"P3 # c\n1 # d\n1 9 1 20 #c\n300 Z", 9, {1, 20, 300}},  // above maxval: unchanged
        {"P2 2 1 7 0 7 Z", 7, {0, 0, 0, 7, 7, 7}},
        {"P5\n1 1\n256\n\n\x02Z"s, 256, {2562, 2562, 2562}},  // the second LF is raster
        {"P1 2 1 01Z", 1, {1, 1, 1, 0, 0, 0}},
        {"P4 3 1\n\x5fZ", 1, {1, 1, 1, 0, 0, 0, 1, 1, 1}},  // padding bits unused
        {"P6 0 5 255\nZ", 255, {}},                         // no raster byte read
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        const Whole image = readWhole(in);
        EXPECT_EQ(image.maxval, c.maxval) << c.bytes;
        EXPECT_EQ(image.values, c.values) << c.bytes;
        EXPECT_EQ(in.rest(), "Z") << c.bytes;
    }
}

TEST(PpmReadDeathTest, BadImages) {
    const char *badMagic = "bad magic number - not a ppm, pgm, or pbm file";
    const std::pair<const char *, const char *> cases[] = {
        {"P7 1 1 255\n", badMagic},
        {"\nP6 1 1 255\n", badMagic},  // nothing may precede the magic number
        {"P6 3xx2 255\n", "junk in file where an unsigned integer should be"},
        {"P6 1 1 65536\n", "maxval (65536) is too large.\nThe maximum allowed by the PPM is 65535."},
        {"P5 1 1 65536\n", "maxval is too large.  The largest we can handle is 65535."},
        {"P6 2 1 255\nabcde", "EOF / read error reading a one-byte sample"},
        {"P6 2 1 1000\nabcdefghijk", "EOF /read error while reading a long sample"},
        {"P3 1 1 255 1 2 3", "EOF / read error reading a byte"},  // last digit is the last byte
    };
    for (const auto &[bytes, message] : cases) {
        Input in(bytes);
        EXPECT_FATAL(readWhole(in), message) << bytes;
    }
    pixel row[1];
    EXPECT_FATAL(ppm_readppmrow(stdin, row, 0, 255, 0x5037), "can't happen");
}

TEST(PpmWrite, RawAndPlainForms) {
    EXPECT_EQ(written(Ppm, {1, 2, 3, 4, 5, 6}, 2, 1, 255, 0), "P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06");
    EXPECT_EQ(written(Ppm, {258, 0x1ff, 65535}, 1, 1, 256, 0), "P6\n1 1\n256\n\x01\x02\x01\xff\xff\xff"s);
    EXPECT_EQ(written(Ppm, {0x1ff, 0, 0}, 1, 1, 255, 0), "P6\n1 1\n255\n\xff\x00\x00"s);  // low 8 bits
    std::vector<sample> row;
    for (int i = 0; i < 6; ++i)
        row.insert(row.end(), {255, 0, 10});
    row.insert(row.end(), {70000, 1, 2});
    EXPECT_EQ(written(Ppm, row, 7, 1, 70000, 1),
              "P3\n7 1\n70000\n255 0 10  255 0 10  255 0 10  255 0 10  255 0 10  255 0 10\n70000 1 2\n");
    EXPECT_EQ(written(Ppm, {}, 0, 2, 255, 1), "P3\n0 2\n255\n");  // width 0: not even a line feed
    EXPECT_EQ(written(Ppm, {1, 2, 3}, 1, 1, 65536, PlainOutput), "P3\n1 1\n65536\n1 2 3\n");
}

TEST(PpmWriteDeathTest, Failures) {
    EXPECT_FATAL(written(Ppm, {}, 0, 0, 65536, 0), "too-large maxval passed to ppm_writeppminit(): 65536."
                                                   "Maximum allowed by the PPM format is 65535.");
    const pixel row[1] = {{1, 2, 3}};
    FILE *readOnly = fopen("/dev/null", "r");
    EXPECT_FATAL(ppm_writeppmrow(readOnly, row, 1, 255, 0), "Error writing single byte sample to file");
    EXPECT_FATAL(ppm_writeppmrow(readOnly, row, 1, 256, 0), "Error writing double byte sample to file");
    fclose(readOnly);
}

}  // namespace
