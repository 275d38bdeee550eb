#include <kestrum/ppm.h>

#include <random>
#include <vector>

#include "test_helpers.h"

using namespace std::string_literals;

namespace {

struct Image {
    int cols = -1, rows = -1;
    sample maxval = 0;
    std::vector<pixel> pixels;
};

// Reads a whole image and frees the library's array.
Image readWhole(FILE *file) {
    Image image;
    pixel **array = ppm_readppm(file, &image.cols, &image.rows, &image.maxval);
    for (int r = 0; r < image.rows; ++r)
        image.pixels.insert(image.pixels.end(), array[r], array[r] + image.cols);
    pm_freearray(reinterpret_cast<void **>(array), image.rows);
    return image;
}


std::vector<pixel> grey(std::initializer_list<sample> values) {
    std::vector<pixel> out;
    for (sample v : values)
        out.push_back({v, v, v});
    return out;
}

struct HeaderCase {
    std::string bytes;
    int cols, rows;
    sample maxval;
    int format;
    std::string rest;  // the stream after the header
};

TEST(PpmHeader, ReadsEveryFamilyAndLeavesTheRasterStart) {
    const HeaderCase cases[] = {
        {"P6\n3 2\n255\nR", 3, 2, 255, RPPM_FORMAT, "R"},
        {"P61 1 255\nR", 1, 1, 255, RPPM_FORMAT, "R"},          // no separator after the magic
        {"P6 3x2 255\nR", 3, 2, 255, RPPM_FORMAT, "R"},
        {"P6 1 1 255#comment\nR", 1, 1, 255, RPPM_FORMAT, "R"},  // a '#' swallows its comment
        {"P5\n1 1\n255\n\nR", 1, 1, 255, RPGM_FORMAT, "\nR"},   // the second LF is raster
        {"P3 # c\n2 # d\n1 65535 R", 2, 1, 65535, PPM_FORMAT, "R"},
        {"P2 0 0 0 R", 0, 0, 0, PGM_FORMAT, "R"},
        {"P4 9 2\nR", 9, 2, 1, RPBM_FORMAT, "R"},               // PBM read as colour: maxval 1
        {"P1 9 2 R", 9, 2, 1, PBM_FORMAT, "R"},
    };
    for (const HeaderCase &c : cases) {
        Input in(c.bytes);
        int cols, rows, format;
        sample maxval;
        ppm_readppminit(in, &cols, &rows, &maxval, &format);
        EXPECT_EQ(cols, c.cols) << c.bytes;
        EXPECT_EQ(rows, c.rows) << c.bytes;
        EXPECT_EQ(maxval, c.maxval) << c.bytes;
        EXPECT_EQ(format, c.format) << c.bytes;
        EXPECT_EQ(in.rest(), c.rest) << c.bytes;
    }
}

struct FailureCase {
    std::string bytes;
    const char *message;
};

TEST(PpmReadDeathTest, BadImagesFailWithTheirMessage) {
    const char *badMagic = "bad magic number - not a ppm, pgm, or pbm file";
    const char *oneByte = "EOF / read error reading a one-byte sample";
    const char *longSample = "EOF /read error while reading a long sample";
    const FailureCase cases[] = {
        {"", "Error reading magic number from Kestrum image stream.  "
             "Most often, this means your input file is empty."},
        {"P7 1 1 255\n", badMagic},
        {"\nP6 1 1 255\n", badMagic},  // nothing may precede the magic number
        {"#c\nP6 1 1 255\n", badMagic},
        {"P6 3xx2 255\n", "junk in file where an unsigned integer should be"},
        {"P6 1 1 65536\n", "maxval (65536) is too large.\nThe maximum allowed by the PPM is 65535."},
        {"P5 1 1 65536\n", "maxval is too large.  The largest we can handle is 65535."},
        {"P6 2 1 255\nabcde", oneByte},            // one byte short
        {"P6 2 1 1000\nabcdefghijk", longSample},  // one byte short, two-byte samples
        {"P5 2 1 256\nabc", longSample},
        {"P4 9 1\n\x80", oneByte},
        {"P3 1 1 255 1 2 3", "EOF / read error reading a byte"},  // last digit is the last byte
        {"P3 1 1 255 1 2 x", "junk in file where an unsigned integer should be"},
        {"P1 2 1 0", "EOF / read error reading a byte"},
        {"P1 2 1 02", "junk in file where bits should be"},
    };
    for (const FailureCase &c : cases) {
        Input in(c.bytes);
        EXPECT_FATAL(readWhole(in), c.message) << c.bytes;
    }
}

TEST(PpmReadDeathTest, RowOfAnUnknownFormat) {
    Input in("");
    pixel row[1];
    EXPECT_FATAL(ppm_readppmrow(in, row, 1, 255, 'P' * 256 + '7'), "can't happen");
    EXPECT_FATAL(ppm_readppmrow(in, row, 0, 255, 0), "can't happen");
}

TEST(PpmRead, RawSamplesOfOneAndTwoBytes) {
    Input narrow("P6 2 1 255\n\x01\x02\x03\xfd\xfe\xffZ");
    Image a = readWhole(narrow);
    EXPECT_EQ(a.pixels, (std::vector<pixel>{{1, 2, 3}, {253, 254, 255}}));
    EXPECT_EQ(narrow.rest(), "Z");

    Input wide("P6 1 1 1000\n\x01\x02\x00\x03\xff\xfeZ"s);
    Image b = readWhole(wide);
    EXPECT_EQ(b.maxval, 1000u);
    EXPECT_EQ(b.pixels, (std::vector<pixel>{{258, 3, 65534}}));
    EXPECT_EQ(wide.rest(), "Z");
}

TEST(PpmRead, PromotesGreyAndBits) {
    Input plainGrey("P2 3 1 7 0 7 300 Z");  // a sample above maxval passes unchanged
    Image a = readWhole(plainGrey);
    EXPECT_EQ(a.maxval, 7u);
    EXPECT_EQ(a.pixels, grey({0, 7, 300}));
    EXPECT_EQ(plainGrey.rest(), "Z");

    Input rawGrey("P5 2 1 256\n\x01\x02\x00\x05"s);
    EXPECT_EQ(readWhole(rawGrey).pixels, grey({258, 5}));

    Input rawBits("P4 10 2\n\x40\xff\x80\x00Z"s);  // low bits of each row's second byte unused
    Image c = readWhole(rawBits);
    EXPECT_EQ(c.maxval, 1u);
    EXPECT_EQ(c.pixels, grey({1, 0, 1, 1, 1, 1, 1, 1, 0, 0,  //
                              0, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(rawBits.rest(), "Z");

    Input plainBits("P1 2 2\n0#x\n1\n10");
    EXPECT_EQ(readWhole(plainBits).pixels, grey({1, 0, 0, 1}));
}

TEST(PpmRead, EmptyImagesReadNoRasterByte) {
    for (const char *bytes : {"P6 0 5 255\nZ", "P6 5 0 255\nZ", "P4 0 3\nZ", "P3 0 2 1 Z"}) {
        Input in(bytes);
        Image image = readWhole(in);
        EXPECT_TRUE(image.pixels.empty()) << bytes;
        EXPECT_EQ(in.rest(), "Z") << bytes;
    }
}

// --- Writing -------------------------------------------------------------

std::string writeImage(const std::vector<pixel> &pixels, int cols, int rows, sample maxval,
                       int forceplain) {
    std::vector<pixel *> index;
    std::vector<pixel> copy = pixels;
    for (int r = 0; r < rows; ++r)
        index.push_back(copy.data() + static_cast<std::size_t>(r) * cols);
    return testsupport::captureOutput(
        [&](FILE *f) { ppm_writeppm(f, index.data(), cols, rows, maxval, forceplain); });
}

TEST(PpmWrite, RawBytes) {
    EXPECT_EQ(writeImage({{1, 2, 3}, {4, 5, 6}}, 2, 1, 255, 0),
              "P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06");
    EXPECT_EQ(writeImage({{258, 0, 65535}}, 1, 1, 256, 0),
              "P6\n1 1\n256\n\x01\x02\x00\x00\xff\xff"s);
    EXPECT_EQ(writeImage({{0x1ff, 0, 0}}, 1, 1, 255, 0),  // cut to the low 8 bits
              "P6\n1 1\n255\n\xff\x00\x00"s);
}

TEST(PpmWrite, PlainRowsBreakAfterSixPixels) {
    std::vector<pixel> row(7, pixel{255, 0, 10});
    row[6] = {70000, 1, 2};
    EXPECT_EQ(writeImage(row, 7, 1, 70000, 1),
              "P3\n7 1\n70000\n"
              "255 0 10  255 0 10  255 0 10  255 0 10  255 0 10  255 0 10\n"
              "70000 1 2\n");
    EXPECT_EQ(writeImage({}, 0, 2, 255, 1), "P3\n0 2\n255\n");  // no line feed for width 0
}

TEST(PpmWrite, PlainOutputSwitchIsHonoured) {
    pm_plain_output = 1;
    const std::string out = writeImage({{1, 2, 3}}, 1, 1, 255, 0);
    pm_plain_output = 0;
    EXPECT_EQ(out, "P3\n1 1\n255\n1 2 3\n");
}

TEST(PpmWriteDeathTest, RawMaxvalLimit) {
    EXPECT_FATAL(testsupport::captureOutput([](FILE *f) { ppm_writeppminit(f, 1, 1, 65536, 0); }),
                 "too-large maxval passed to ppm_writeppminit(): 65536."
                 "Maximum allowed by the PPM format is 65535.");
    EXPECT_EQ(testsupport::captureOutput([](FILE *f) { ppm_writeppminit(f, 1, 1, 65536, 1); }),
              "P3\n1 1\n65536\n");
    pm_plain_output = 1;
    const std::string out =
        testsupport::captureOutput([](FILE *f) { ppm_writeppminit(f, 1, 1, 65536, 0); });
    pm_plain_output = 0;
    EXPECT_EQ(out, "P3\n1 1\n65536\n");
}

TEST(PpmWriteDeathTest, RawWriteErrors) {
    const pixel row[1] = {{1, 2, 3}};
    FILE *readOnly = fopen("/dev/null", "r");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FATAL(ppm_writeppmrow(readOnly, row, 1, 255, 0), "Error writing single byte sample to file");
    EXPECT_FATAL(ppm_writeppmrow(readOnly, row, 1, 256, 0), "Error writing double byte sample to file");
    fclose(readOnly);
}

TEST(PpmWrite, RoundTripsThroughTheReader) {
    std::mt19937 random(7);
    for (const bool plain : {false, true}) {
        for (const sample maxval : {1u, 255u, 256u, 65535u}) {
            const int cols = 37, rows = 5;
            std::vector<pixel> pixels(cols * rows);
            auto value = [&] { return static_cast<sample>(random() % (maxval + 1)); };
            for (pixel &p : pixels)
                p = {value(), value(), value()};
            Input in(writeImage(pixels, cols, rows, maxval, plain));
            Image back = readWhole(in);
            EXPECT_EQ(back.cols, cols);
            EXPECT_EQ(back.rows, rows);
            EXPECT_EQ(back.maxval, maxval);
            EXPECT_EQ(back.pixels, pixels) << "plain " << plain << " maxval " << maxval;
            EXPECT_EQ(in.rest(), "");
        }
    }
}

}  // namespace
