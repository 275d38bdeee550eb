// The image formats through their public interface: the chunked readers and
// writers against a reading one token or byte at a time through the public
// tokenizer (the straightforward oracle), round trips, the header grammar,
// raster size checks and every fatal message.
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "formats_internal.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

std::string rest(FILE *f) {  // everything not yet read; closes the stream
    std::string out;
    for (int c; (c = getc(f)) != EOF;)
        out += char(c);
    fclose(f);
    return out;
}

std::string times(const std::string &s, int n) { return n ? s + times(s, n - 1) : ""; }

enum Reader { Ppm, Pgm, Pbm };

// A whole image as a reader gives it, samples flattened (r, g, b for Ppm).
struct Whole {
    int cols = -1, rows = -1;
    sample maxval = 0;
    std::vector<sample> values;
    bool contiguous = false;
};

template <typename Element>
Whole flatten(Element **array, Whole out) {  // takes the image array
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            if constexpr (std::is_same_v<Element, pixel>)
                out.values.insert(out.values.end(), {array[r][c].r, array[r][c].g, array[r][c].b});
            else
                out.values.push_back(array[r][c]);
        }
    out.contiguous = array[out.rows] != nullptr;
    pm_freearray(reinterpret_cast<void **>(array), out.rows);
    return out;
}

Whole readWhole(FILE *file, Reader reader = Ppm) {
    Whole w;
    if (reader == Ppm) {
        pixel **image = ppm_readppm(file, &w.cols, &w.rows, &w.maxval);
        return flatten(image, w);
    }
    if (reader == Pgm) {
        sample **image = pgm_readpgm(file, &w.cols, &w.rows, &w.maxval);
        return flatten(image, w);
    }
    pbm_bit **image = pbm_readpbm(file, &w.cols, &w.rows);
    return flatten(image, w);
}

// What ppm_writeppm (three values a pixel) or pgm_writepgm writes; forceplain
// 2 asks for the plain form through pm_plain_output instead.
std::string written(Reader writer, std::vector<sample> v, int cols, int rows, sample maxval, int forceplain) {
    std::vector<pixel> pixels;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3)
        pixels.push_back({v[i], v[i + 1], v[i + 2]});
    std::vector<pixel *> pixelRows;
    std::vector<sample *> grayRows;
    for (int r = 0; r < rows; ++r)
        pixelRows.push_back(pixels.data() + r * cols), grayRows.push_back(v.data() + r * cols);
    pm_plain_output = forceplain == 2;
    const std::string out = testsupport::captureOutput([&](FILE *f) {
        if (writer == Ppm)
            ppm_writeppm(f, pixelRows.data(), cols, rows, maxval, forceplain == 1);
        else
            pgm_writepgm(f, grayRows.data(), cols, rows, maxval, forceplain == 1);
    });
    pm_plain_output = 0;
    return out;
}

// One sample or bit at a time, the way the format is defined.
Whole readReference(FILE *file) {
    Whole image;
    int format;
    ppm_readppminit(file, &image.cols, &image.rows, &image.maxval, &format);
    const int perPixel = format_family(format) == PPM_TYPE ? 3 : 1;
    for (int r = 0; r < image.rows; ++r) {
        unsigned char byte = 0;
        for (int c = 0; c < image.cols * perPixel; ++c) {
            sample v = 0;
            char ch;
            switch (format) {
            case PPM_FORMAT: case PGM_FORMAT: v = pm_getuint(file); break;
            case RPPM_FORMAT: case RPGM_FORMAT: v = pgm_getrawsample(file, image.maxval); break;
            case PBM_FORMAT:
                while ((ch = pm_getc(file)) == ' ' || ch == '\t' || ch == '\n' || ch == '\r') {}
                v = ch == '0' ? image.maxval : 0;
                break;
            case RPBM_FORMAT:
                byte = c % 8 ? byte : pm_getrawbyte(file);
                v = (byte >> (7 - c % 8) & 1) ? 0 : image.maxval;
            }
            image.values.insert(image.values.end(), 4 - perPixel, v);
        }
    }
    return image;
}

// A random image followed by "END"; plain rasters get random separators and comments.
std::string randomImage(std::mt19937 &random, char digit, int cols, int rows, sample maxval) {
    std::string out = "P"s + digit + "\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n";
    if (digit != '1' && digit != '4')
        out += std::to_string(maxval) + "\n";
    const char *separators[] = {" ", "\n", "\t", "\r", "  ", "#x\n", ""};
    const int perRow = digit == '4' ? (cols + 7) / 8 : digit == '3' || digit == '6' ? 3 * cols : cols;
    for (int i = 0; i < perRow * rows; ++i) {
        const sample s = sample(random() % (maxval + 1));
        if (digit <= '3')  // only bits may run together
            out += std::to_string(s) + separators[random() % (digit == '1' ? 7 : 6)];
        else if (maxval > 255)
            out += {char(s >> 8), char(s)};
        else
            out += char(digit == '4' ? random() : s);
    }
    return out + "END";
}

TEST(Formats, ChunkedReadsRowsAndRoundTripsMatchTheReference) {
    std::mt19937 random(3);
    const struct {
        char digit;
        int cols, rows;
        sample maxval;
    } cases[] = {{'6', 16384 + 13, 2, 255}, {'6', 20000, 2, 1000}, {'5', 16384 * 3 + 1, 2, 255}, {'5', 33, 4, 65535},
                 {'4', 16384 + 9, 3, 1},    {'4', 1, 3, 1},       {'3', 16390, 1, 65535},      {'2', 16385, 2, 70},
                 {'1', 16400, 2, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE("P"s + c.digit + " " + std::to_string(c.cols));
        const std::string bytes = randomImage(random, c.digit, c.cols, c.rows, c.maxval);
        FILE *reference = testsupport::memoryStream(bytes), *whole = testsupport::memoryStream(bytes),
             *rows = testsupport::memoryStream(bytes);
        const Whole want = readReference(reference), got = readWhole(whole);
        const std::string left = rest(reference);  // each stops where the oracle does
        EXPECT_EQ(got.values, want.values);
        EXPECT_TRUE(got.contiguous);
        EXPECT_EQ(rest(whole), left);
        int cols, height, format;  // a whole row in one call
        sample maxval;
        ppm_readppminit(rows, &cols, &height, &maxval, &format);
        std::vector<pixel> row(std::size_t(cols) * height);
        for (int r = 0; r < height; ++r)
            ppm_readppmrow(rows, row.data() + std::size_t(r) * cols, cols, maxval, format);
        std::vector<sample> all;
        for (const pixel &p : row)
            all.insert(all.end(), {p.r, p.g, p.b});
        EXPECT_EQ(all, want.values);
        EXPECT_EQ(rest(rows), left);
        for (const int plain : {0, 1}) {
            FILE *back = testsupport::memoryStream(written(Ppm, want.values, want.cols, want.rows, want.maxval, plain));
            EXPECT_EQ(readWhole(back).values, want.values);
            EXPECT_EQ(rest(back), "");
        }
    }
    // Rows of 480000 bytes: from 100 bytes the block grows until it would
    // pass 1 MiB, in row 1; what was read so far moves to rows of its own.
    const std::string bytes = randomImage(random, '4', 40000, 3, 1);
    FILE *reference = testsupport::memoryStream(bytes);
    const Whole want = readReference(reference);
    fclose(reference);
    const std::size_t savedInitial = kestrum::formats::imageInitialBlock;
    kestrum::formats::imageInitialBlock = 100;
    for (const std::size_t limit : {std::size_t{1} << 20, std::size_t(-1)}) {
        kestrum::formats::imageBlockLimit = limit;
        FILE *in = testsupport::memoryStream(bytes);
        const Whole got = readWhole(in);
        EXPECT_EQ(got.contiguous, limit == std::size_t(-1));
        EXPECT_EQ(got.values, want.values);
        EXPECT_EQ(rest(in), "END");
    }
    kestrum::formats::imageInitialBlock = savedInitial;
}

TEST(Formats, ReadersWritersAndTokens) {
    const struct {
        std::string bytes;
        Reader reader;
        sample maxval;
        std::vector<sample> values;
    } reads[] = {
        {"P62 1 255\n\x01\x02\x03\xfd\xfe\xffZ", Ppm, 255, {1, 2, 3, 253, 254, 255}},  // no separator after the magic
        {"P3 # c\n1 # d\n1 9 1 20 #c\n300 Z", Ppm, 9, {1, 20, 300}},                   // above maxval: unchanged
        {"P2 2 1 7 0 7 Z", Ppm, 7, {0, 0, 0, 7, 7, 7}},
        {"P5\n1 1\n256\n\n\x02Z"s, Ppm, 256, {2562, 2562, 2562}},  // the second LF is raster
        {"P1 2 1 01Z", Ppm, 1, {1, 1, 1, 0, 0, 0}},
        {"P4 3 1\n\x5fZ", Ppm, 1, {1, 1, 1, 0, 0, 0, 1, 1, 1}},  // padding bits unused
        {"P6 0 5 255\nZ", Ppm, 255, {}},
        {"P2 3 1 65535 0 #c\n5 70000 Z", Pgm, 65535, {0, 5, 70000}},
        {"P4 3 1\n\x40Z"s, Pgm, 255, {255, 0, 255}},
        {"P1 4 1 0 1#comment\n1\r\n0Z", Pbm, 0, {0, 1, 1, 0}},
        {"P4 10 2\n\xff\xff\x80\x3fZ"s, Pbm, 0, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : reads) {
        FILE *in = testsupport::memoryStream(c.bytes);
        const Whole image = readWhole(in, c.reader);
        EXPECT_EQ(image.maxval, c.maxval) << c.bytes;
        EXPECT_EQ(image.values, c.values) << c.bytes;
        EXPECT_EQ(rest(in), "Z") << c.bytes;
    }
    unsigned char packed[2] = {0, 0};  // packed rows hold their padding as it is
    FILE *in = testsupport::memoryStream("\xa5\xc0" "1 0 1 0 0 1 0 1\n1 1");
    pbm_readpbmrow_packed(in, packed, 10, RPBM_FORMAT);
    EXPECT_EQ(packed[0] << 8 | packed[1], 0xa5c0);
    packed[0] = packed[1] = 0;
    pbm_readpbmrow_packed(in, packed, 10, PBM_FORMAT);
    EXPECT_EQ(packed[0] << 8 | packed[1], 0xa5c0);
    fclose(in);
    std::vector<sample> colour;  // a plain line stays under 70 characters
    for (int i = 0; i < 6; ++i)
        colour.insert(colour.end(), {255, 0, 10});
    colour.insert(colour.end(), {70000, 1, 2});
    const struct {
        Reader writer;
        std::vector<sample> values;
        int cols;
        sample maxval;
        int plain;
        std::string bytes;
    } writes[] = {
        {Pgm, {1, 258}, 2, 256, 0, "P5\n2 1\n256\n\x00\x01\x01\x02"s},
        {Pgm, std::vector<sample>(18, 100), 18, 255, 1, "P2\n18 1\n255\n" + times("100 ", 16) + "100\n100\n"},
        {Pgm, {65535, 70000}, 2, 70000, 2, "P2\n2 1\n70000\n65535 70000\n"},
        {Ppm, {258, 0x1ff, 65535}, 1, 256, 0, "P6\n1 1\n256\n\x01\x02\x01\xff\xff\xff"s},
        {Ppm, {0x1ff, 0, 0}, 1, 255, 0, "P6\n1 1\n255\n\xff\x00\x00"s},  // low 8 bits
        {Ppm, colour, 7, 70000, 1, "P3\n7 1\n70000\n" + times("255 0 10  ", 5) + "255 0 10\n70000 1 2\n"},
        {Ppm, {}, 0, 255, 2, "P3\n0 1\n255\n"},  // width 0: not even a line feed
    };
    for (const auto &w : writes)
        EXPECT_EQ(written(w.writer, w.values, w.cols, 1, w.maxval, w.plain), w.bytes) << w.bytes;
    const struct {
        const char *bytes;
        std::vector<unsigned int> values;
        const char *rest;
    } tokens[] = {
        {"12#x\n34 ", {12, 34}, ""},         // '#' right after digits ends the number
        {"5#a\r6 \t\r\n7 ", {5, 6, 7}, ""},  // CR ends a comment; every separator
        {"1,2x3 007 ", {1, 2, 3, 7}, ""},    // any one character ends a number
        {"2147483640 ", {2147483640u}, ""},  // the largest accepted
        {"8 #c\nX", {8}, "#c\nX"},           // exactly one character after the digits
    };
    for (const auto &t : tokens) {
        FILE *f = testsupport::memoryStream(t.bytes);
        for (unsigned int expected : t.values)
            EXPECT_EQ(pm_getuint(f), expected) << t.bytes;
        EXPECT_EQ(rest(f), t.rest) << t.bytes;
    }
}

// A regular file holding the header and `rasterBytes` more bytes (sparse).
check_result checkFile(const std::string &header, off_t rasterBytes, bool nullResult = false) {
    const std::string path = testsupport::temporaryFile(header);
    EXPECT_EQ(truncate(path.c_str(), off_t(header.size()) + rasterBytes), 0);
    FILE *file = fopen(path.c_str(), "rb");
    int cols, rows, format;
    sample maxval;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    check_result result = -1;
    ppm_check(file, check_basic, format, cols, rows, maxval, nullResult ? nullptr : &result);
    EXPECT_EQ(ftell(file), long(header.size()));  // the position is not moved
    fclose(file);
    return result;
}

TEST(Formats, SizeChecksAndNextImage) {
    const struct {
        const char *header;
        off_t bytes;
        check_result result;
    } checks[] = {{"P6 2 2 255\n", 12, check_passed}, {"P6 2 2 255\n", 13, check_extra_data},
                  {"P5 3 2 300\n", 12, check_passed}, {"P4 9 2\n", 4, check_passed},
                  {"P3 2 2 255\n", 0, check_not_possible}, {"P6\n32768 65536\n255\n", off_t{6} << 30, check_passed}};
    for (const auto &c : checks)
        EXPECT_EQ(checkFile(c.header, c.bytes), c.result) << c.header << c.bytes;
    EXPECT_EQ(checkFile("P6 2 2 255\n", 12, true), -1);
    check_result result = -1;
    ppm_check(stdin, 1, RPPM_FORMAT, 2, 2, 255, &result);
    EXPECT_EQ(result, check_not_supported);
    const std::pair<const char *, const char *> next[] = {{"\n \t\r\v\f", ""}, {"", ""}, {" #c\nP6", "#c\nP6"}};
    for (const auto &[bytes, left] : next)
        for (auto nextImage : {pm_nextimage, ppm_nextimage, pgm_nextimage, pbm_nextimage}) {
            FILE *in = testsupport::memoryStream(bytes);
            int eof = -1;
            nextImage(in, &eof);
            EXPECT_EQ(eof, *left == 0) << bytes;
            EXPECT_EQ(rest(in), left) << bytes;
        }
}

// Reads with the address space capped, so that a reader that took memory on
// a header's word would fail for want of it (not under the sanitizers, whose
// shadow memory does not fit under a cap).
void readCapped(const std::string &bytes) {
#ifndef __SANITIZE_ADDRESS__
    const rlimit cap{std::size_t{1} << 30, std::size_t{1} << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
    readWhole(testsupport::memoryStream(bytes));
}

TEST(FormatsDeath, Messages) {
    const std::string badMagic = "bad magic number - not a ppm, pgm, or pbm file", eof = "EOF / read error reading a byte",
                      eof1 = "EOF / read error reading a one-byte sample", eof2 = "EOF /read error while reading a long sample",
                      junk = "junk in file where an unsigned integer should be",
                      tooLarge = "ASCII decimal integer in file is too large to be processed.  ";
    auto reads = [](std::string bytes, Reader reader = Ppm) {
        return [=] { readWhole(testsupport::memoryStream(bytes), reader); };
    };
    auto tokens = [](std::string bytes) {
        return [=] { FILE *f = testsupport::memoryStream(bytes); pm_getuint(f), pm_getuint(f); };
    };
    unsigned char packed[2];
    const std::pair<std::function<void()>, std::string> cases[] = {
        {reads("P7 1 1 255\n"), badMagic}, {reads("\nP6 1 1 255\n"), badMagic},
        {reads("P6 3xx2 255\n"), junk}, {reads("P2 1 1 1 1", Pbm), "bad magic number - not a pbm file"},
        {reads("P6 1 1 255\nabc", Pgm), "bad magic number - not a pgm or pbm file"},
        {reads("P6 1 1 65536\n"), "maxval (65536) is too large.\nThe maximum allowed by the PPM is 65535."},
        {reads("P5 1 1 65536\n"), "maxval is too large.  The largest we can handle is 65535."},
        {reads("P6 2 1 255\nabcde"), eof1}, {reads("P6 2 1 1000\nabcdefghijk"), eof2},
        {reads("P3 1 1 255 1 2 3"), eof}, {reads("P1 3 1 012", Pbm), "junk in file where bits should be"},
        {[] { readCapped("P6\n60000 60000\n255\n" + std::string(21, 'x')); }, eof1},  // claims 10 GB
        {[] { readCapped("P3 60000 60000 255\n1 2 3 4"); }, eof},
        {[] { readCapped("P5 2000000000 1 65535\n\x01\x02\x03"); }, eof2},
        {reads("P6 1 600000000 255\n"), "out of memory allocating row index (600000000 rows) for an array"},
        {tokens("2147483641 "), tooLarge}, {tokens("2147483632 "), tooLarge}, {tokens("\v5 "), junk},
        {tokens("-5 "), junk}, {tokens("12"), eof}, {tokens("  # a comment that never ends"), eof},
        {[] { pm_readmagicnumber(testsupport::memoryStream("P")); },
         "Error reading magic number from Kestrum image stream.  Most often, this means your input file is empty."},
        {[&] { pbm_readpbmrow_packed(testsupport::memoryStream(""), packed, 10, RPBM_FORMAT); },
         "Attempt to read a raw PBM image row, but no more rows left in file."},
        {[&] { pbm_readpbmrow_packed(testsupport::memoryStream("\xff"), packed, 10, RPBM_FORMAT); },
         "EOF in the middle of a raw PBM row."},
        {[] { ppm_readppmrow(stdin, nullptr, 0, 255, 0x5037); }, "can't happen"},
        {[] { written(Ppm, {}, 0, 0, 65536, 0); },
         "too-large maxval passed to ppm_writeppminit(): 65536.Maximum allowed by the PPM format is 65535."},
        {[] { written(Pgm, {}, 0, 0, 65536, 0); },
         "too-large maxval passed to ppm_writepgminit(): 65536.\nMaximum allowed by the PGM format is 65535."},
        {[] { pgm_writerawsample(fopen("/dev/null", "r"), 1, 65535); }, "Error writing double byte sample to file"},
        {[] { checkFile("P6 2 2 255\n", 11, true); },
         "File has invalid format.  The raster should contain 12 bytes, but\nthe file ends after only 11 bytes."},
        {[] { checkFile("P6 2147483640 2147483640 65535\n", 0); },
         "File has invalid format.  The raster should contain 27670115904405897600 bytes, but\n"
         "the file ends after only 0 bytes."},
        {[] { pgm_check(stdin, 0, RPGM_FORMAT, 1, -3, 255, nullptr); }, "Invalid number of rows passed to pgm_check(): -3"},
        {[] { pbm_check(stdin, 0, RPBM_FORMAT, -4, 1, nullptr); }, "Invalid number of columns passed to pbm_check(): -4"},
        {[] { int eof; pm_nextimage(fopen("/dev/null", "w"), &eof); }, "File error on getc() to position to image"},
    };
    for (const auto &[call, message] : cases)
        EXPECT_EXIT(call(), ::testing::ExitedWithCode(1), ::testing::Eq("kestrum: " + message + "\n")) << message;
}

}  // namespace
