#include <kestrum/pgm.h>

#include <random>
#include <vector>

#include "test_helpers.h"

using namespace std::string_literals;

namespace {

struct Gray {
    int cols = -1, rows = -1;
    sample maxval = 0;
    std::vector<sample> samples;
};

Gray readGray(FILE *file) {
    Gray image;
    sample **array = pgm_readpgm(file, &image.cols, &image.rows, &image.maxval);
    for (int r = 0; r < image.rows; ++r)
        image.samples.insert(image.samples.end(), array[r], array[r] + image.cols);
    pm_freearray(reinterpret_cast<void **>(array), image.rows);
    return image;
}

TEST(PgmRead, SamplesAndPromotedBits) {
    const struct {
        std::string bytes;
        sample maxval;
        std::vector<sample> samples;
    } cases[] = {
        {"P5 3 1 255\n\x00\x0a\xff"s, 255, {0, 10, 255}},
        {"P5 2 1 256\n\x01\x02\xff\xff"s, 256, {258, 65535}},
        {"P5 2 1 0\n\x01\x02"s, 0, {1, 2}},  // maxval 0: one byte a sample, none compared
        {"P5 1 1 65535\n\x12\x34"s, 65535, {0x1234}},
        {"P2 3 1 5 0 #c\n5 1000 ", 5, {0, 5, 1000}},
        {"P1 3 1 010", 255, {255, 0, 255}},  // PBM read as grey: maxval 255, white 255
        {"P4 3 1\n\x40"s, 255, {255, 0, 255}},
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        Gray image = readGray(in);
        EXPECT_EQ(image.maxval, c.maxval) << c.bytes;
        EXPECT_EQ(image.samples, c.samples) << c.bytes;
        EXPECT_EQ(in.rest(), "") << c.bytes;
    }
}

TEST(PgmReadDeathTest, Failures) {
    const struct {
        const char *bytes;
        const char *message;
    } cases[] = {
        {"P6 1 1 255\nabc", "bad magic number - not a pgm or pbm file"},
        {"P2 1 1 65536 0 ", "maxval is too large.  The largest we can handle is 65535."},
        {"P5 1 1 256\n\x01", "EOF /read error while reading a long sample"},
        {"P5 2 1 255\n\x01", "EOF / read error reading a one-byte sample"},
    };
    for (const auto &c : cases) {
        Input in(c.bytes);
        EXPECT_FATAL(readGray(in), c.message) << c.bytes;
    }
    Input in("");
    sample row[1];
    EXPECT_FATAL(pgm_readpgmrow(in, row, 1, 255, RPPM_FORMAT), "can't happen");
}

TEST(PgmReadDeathTest, SingleRawSamples) {
    Input in("\x01\x02\x03"s);
    EXPECT_EQ(pgm_getrawsample(in, 256), 258u);
    EXPECT_EQ(pgm_getrawsample(in, 255), 3u);
    EXPECT_FATAL(pgm_getrawsample(in, 255), "EOF / read error reading a one-byte sample");
}

// --- Writing -------------------------------------------------------------

std::string writeGray(std::vector<sample> samples, int cols, int rows, sample maxval, int forceplain) {
    std::vector<sample *> index;
    for (int r = 0; r < rows; ++r)
        index.push_back(samples.data() + static_cast<std::size_t>(r) * cols);
    return testsupport::captureOutput(
        [&](FILE *f) { pgm_writepgm(f, index.data(), cols, rows, maxval, forceplain); });
}

TEST(PgmWrite, RawAndPlainForms) {
    EXPECT_EQ(writeGray({1, 258}, 2, 1, 256, 0), "P5\n2 1\n256\n\x00\x01\x01\x02"s);
    EXPECT_EQ(writeGray({7, 0}, 1, 2, 255, 0), "P5\n1 2\n255\n\x07\x00"s);
    std::vector<sample> row(18, 100);
    row[17] = 0;
    EXPECT_EQ(writeGray(row, 18, 1, 255, 1),
              "P2\n18 1\n255\n"
              "100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100 100\n"
              "0\n");
    pm_plain_output = 1;
    const std::string plain = writeGray({65535, 70000}, 2, 1, 70000, 0);
    pm_plain_output = 0;
    EXPECT_EQ(plain, "P2\n2 1\n70000\n65535 70000\n");
}

TEST(PgmWriteDeathTest, Failures) {
    EXPECT_FATAL(testsupport::captureOutput([](FILE *f) { pgm_writepgminit(f, 1, 1, 65536, 0); }),
                 "too-large maxval passed to ppm_writepgminit(): 65536.\n"
                 "Maximum allowed by the PGM format is 65535.");
    FILE *readOnly = fopen("/dev/null", "r");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FATAL(pgm_writerawsample(readOnly, 1, 255), "Error writing single byte sample to file");
    EXPECT_FATAL(pgm_writerawsample(readOnly, 1, 65535), "Error writing double byte sample to file");
    const sample row[2] = {1, 2};
    EXPECT_FATAL(pgm_writepgmrow(readOnly, row, 2, 65535, 0), "Error writing double byte sample to file");
    fclose(readOnly);
}

TEST(PgmWrite, RoundTripsThroughTheReader) {
    std::mt19937 random(11);
    for (const int plain : {0, 1}) {
        for (const sample maxval : {255u, 4095u, 65535u}) {
            std::vector<sample> samples(40 * 3);
            for (sample &s : samples)
                s = static_cast<sample>(random() % (maxval + 1));
            Input in(writeGray(samples, 40, 3, maxval, plain));
            Gray back = readGray(in);
            EXPECT_EQ(back.maxval, maxval);
            EXPECT_EQ(back.samples, samples) << "plain " << plain << " maxval " << maxval;
        }
    }
}

}  // namespace
