// The image formats through their public interface: the chunked readers and
// writers against the samples a generated image is made of (the
// straightforward oracle), exact forms, size checks and the fatal messages.
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <random>

#include "formats_internal.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

FILE *in(const std::string &bytes) { return testsupport::memoryStream(bytes); }

std::string rest(FILE *f) {  // everything not yet read; closes the stream
    std::string out;
    for (int c; (c = getc(f)) != EOF;)
        out += char(c);
    return fclose(f), out;
}

// A whole image as a reader ('P'pm, 'G'rey, 'B'its) gives it, samples
// flattened (r, g, b for pixels), and whether it came in one block.
struct Whole {
    int cols = 0, rows = 0;
    sample maxval = 0;
    std::vector<sample> values;
    bool contiguous = false;
    void add(pixel p) { values.insert(values.end(), {p.r, p.g, p.b}); }
    void add(sample s) { values.push_back(s); }
    template <typename Element>
    Whole &take(Element **image) {
        for (int i = 0; i < rows * cols; ++i)
            add(image[i / cols][i % cols]);
        contiguous = image[rows] != nullptr;
        return pm_freearray(reinterpret_cast<void **>(image), rows), *this;
    }
};
Whole readWhole(FILE *file, char reader = 'P') {
    Whole w;
    if (reader == 'G')
        return w.take(pgm_readpgm(file, &w.cols, &w.rows, &w.maxval));
    if (reader == 'B')
        return w.take(pbm_readpbm(file, &w.cols, &w.rows));
    return w.take(ppm_readppm(file, &w.cols, &w.rows, &w.maxval));
}

// What ppm_writeppm writes of three values a pixel; plain 2 asks for the
// plain form through pm_plain_output instead.
std::string written(std::vector<sample> v, int cols, int rows, sample maxval, int plain) {
    std::vector<pixel> pixels;
    std::vector<pixel *> index;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3)
        pixels.push_back({v[i], v[i + 1], v[i + 2]});
    for (int r = 0; r < rows; ++r)
        index.push_back(pixels.data() + r * cols);
    pm_plain_output = plain == 2;
    const std::string out = testsupport::captureOutput(
        [&](FILE *f) { ppm_writeppm(f, index.data(), cols, rows, maxval, plain == 1); });
    return pm_plain_output = 0, out;
}

// A random image followed by "END", and the samples the colour reader must
// give (r, g, b a pixel); plain rasters get random separators and comments,
// raw bit rows random padding.
std::string randomImage(std::mt19937 &random, char digit, int cols, int rows, sample maxval, std::vector<sample> &values) {
    std::string out = "P"s + digit + "\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n";
    if (digit != '1' && digit != '4')
        out += std::to_string(maxval) + "\n";
    const char *separators[] = {" ", "\n", "\t", "\r", "  ", "#x\n", ""};
    const int perPixel = digit == '3' || digit == '6' ? 3 : 1;
    for (int i = 0, n = rows * cols * perPixel; i < n; ++i) {
        const sample s = sample(random() % (maxval + 1));
        const int col = i % cols, padding = 8 - (cols - col);  // raw bits: padding bits in the row's last byte
        values.insert(values.end(), 4 - perPixel, digit == '1' || digit == '4' ? s ^ 1 : s);  // a bit of 1 is black
        if (digit <= '3')  // only bits may run together; the reader takes one character after a number
            out += std::to_string(s) + (i + 1 < n ? separators[random() % (digit == '1' ? 7 : 6)] : digit == '1' ? "" : " ");
        else if (digit == '4' && col % 8 == 0)
            out += char(s << 7 | (padding > 0 ? random() & ((1u << padding) - 1) : 0));
        else if (digit == '4')
            out.back() |= char(s << (7 - col % 8));
        else
            out += maxval > 255 ? std::string{char(s >> 8), char(s)} : std::string(1, char(s));
    }
    return out + "END";
}

// Each image read whole or row by row gives the samples and stops at its end,
// and written back raw and plain it reads the same. Rows of 480000 bytes,
// read into a block that starts at 100 bytes, make it grow until it would
// pass 1 MiB in row 1; what was read so far then moves to rows of their own.
TEST(Formats, ChunkedReadsAndRoundTrips) {
    std::mt19937 random(3);
    const struct {
        char digit;
        int cols, rows;
        sample maxval;
    } cases[] = {{'6', 16384 + 13, 2, 255}, {'6', 20000, 2, 1000}, {'5', 16384 * 3 + 1, 2, 255}, {'5', 33, 4, 65535},
                 {'4', 16384 + 9, 3, 1},    {'4', 1, 3, 1},       {'3', 16390, 1, 65535},      {'2', 16385, 2, 70},
                 {'1', 16400, 2, 1},        {'4', 40000, 3, 1}};
    const std::size_t savedInitial = kestrum::formats::imageInitialBlock;
    for (const auto &c : cases) {
        SCOPED_TRACE("P"s + c.digit + " " + std::to_string(c.cols));
        const bool moves = c.cols == 40000;
        kestrum::formats::imageInitialBlock = moves ? 100 : savedInitial;
        kestrum::formats::imageBlockLimit = moves ? std::size_t{1} << 20 : std::size_t(-1);
        std::vector<sample> values;
        const std::string bytes = randomImage(random, c.digit, c.cols, c.rows, c.maxval, values);
        FILE *f = in(bytes);
        const Whole got = readWhole(f);
        EXPECT_TRUE(got.values == values && got.contiguous != moves && rest(f) == "END");
        Whole byRows;  // a whole row in one call
        int format;
        ppm_readppminit(f = in(bytes), &byRows.cols, &byRows.rows, &byRows.maxval, &format);
        for (int r = 0; r < byRows.rows; ++r) {
            std::vector<pixel> row(byRows.cols);
            ppm_readppmrow(f, row.data(), byRows.cols, byRows.maxval, format);
            for (const pixel &p : row)
                byRows.add(p);
        }
        EXPECT_TRUE(byRows.values == values && rest(f) == "END");
        for (const int plain : {0, 1}) {
            FILE *back = in(written(values, got.cols, got.rows, got.maxval, plain));
            EXPECT_TRUE(readWhole(back).values == values && rest(back).empty());
        }
    }
    kestrum::formats::imageInitialBlock = savedInitial;
    kestrum::formats::imageBlockLimit = std::size_t(-1);
}

TEST(Formats, ExactFormsAndChecks) {
    auto read = [](const std::string &bytes, char reader) {  // "maxval: samples | what is left"
        FILE *f = in(bytes);
        const Whole image = readWhole(f, reader);
        std::string out = std::to_string(image.maxval) + ":";
        for (const sample v : image.values)
            out += " " + std::to_string(v);
        return out + " | " + rest(f);
    };
    EXPECT_EQ(read("P62 1 255\n\x01\x02\x03\xfd\xfe\xffZ", 'P'), "255: 1 2 3 253 254 255 | Z");  // no blank after P6
    EXPECT_EQ(read("P3 # c\n1 # d\n1 9 1 20 #c\n300 Z", 'P'), "9: 1 20 300 | Z");  // above maxval: unchanged
    EXPECT_EQ(read("P5\n1 1\n256\n\n\x02Z"s, 'P'), "256: 2562 2562 2562 | Z");  // the second LF is raster
    EXPECT_EQ(read("P1 3 1 010Z", 'G'), "255: 255 0 255 | Z");
    EXPECT_EQ(read("P4 10 1\n\xff\x80Z"s, 'B'), "0: 1 1 1 1 1 1 1 1 1 0 | Z");
    unsigned char packed[2] = {0, 0};  // packed rows keep their padding bits
    FILE *f = in("\xa5\xc0" "1 0 1 0 0 1 0 1\n1 1");
    pbm_readpbmrow_packed(f, packed, 10, RPBM_FORMAT);
    const int raw = packed[0] << 8 | packed[1];
    packed[0] = packed[1] = 0;
    pbm_readpbmrow_packed(f, packed, 10, PBM_FORMAT);
    EXPECT_TRUE(raw == 0xa5c0 && (packed[0] << 8 | packed[1]) == 0xa5c0 && rest(f).empty());
    sample grey[] = {1, 258}, *greyRows[] = {grey};
    EXPECT_EQ(testsupport::captureOutput([&](FILE *o) { pgm_writepgm(o, greyRows, 2, 1, 256, 0); }),
              "P5\n2 1\n256\n\x00\x01\x01\x02"s);
    EXPECT_EQ(testsupport::captureOutput([&](FILE *o) { pgm_writepgmrow(o, grey, 2, 255, 1); }), "1 258\n");
    EXPECT_EQ(written({258, 0x1ff, 65535}, 1, 1, 256, 0), "P6\n1 1\n256\n\x01\x02\x01\xff\xff\xff"s);
    EXPECT_EQ(written({0x1ff, 0, 0}, 1, 1, 255, 0), "P6\n1 1\n255\n\xff\x00\x00"s);  // low 8 bits
    EXPECT_EQ(written(std::vector<sample>(21, 10), 7, 1, 70000, 2),  // plain lines stay under 70 characters
              "P3\n7 1\n70000\n10 10 10  10 10 10  10 10 10  10 10 10  10 10 10  10 10 10\n10 10 10\n");
    auto check = [](format_code format, int cols, int rows, sample maxval, off_t bytes) {  // a sparse file that long
        const std::string path = testsupport::temporaryFile("");
        FILE *file = truncate(path.c_str(), bytes) == 0 ? fopen(path.c_str(), "rb") : nullptr;
        check_result result = -1;
        ppm_check(file, check_basic, format, cols, rows, maxval, &result);
        return fclose(file), result;
    };
    EXPECT_EQ(check(RPPM_FORMAT, 2, 2, 255, 13), check_extra_data);
    EXPECT_EQ(check(RPBM_FORMAT, 9, 2, 1, 4), check_passed);
    EXPECT_EQ(check(RPGM_FORMAT, 0, 2, 255, 0), check_passed);
    EXPECT_EQ(check(PPM_FORMAT, 2, 2, 255, 0), check_not_possible);
    EXPECT_EQ(check(RPPM_FORMAT, 32768, 65536, 65535, off_t{12} << 30), check_passed);  // sizes past 32 bits
}

// Reads with the address space capped, so that a reader that took memory on
// a header's word would fail for want of it (not under the sanitizers, whose
// shadow memory does not fit under a cap).
void readCapped(const std::string &bytes) {
#ifndef __SANITIZE_ADDRESS__
    const rlimit cap{std::size_t{1} << 30, std::size_t{1} << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
    readWhole(in(bytes));
}

TEST(FormatsDeath, Messages) {
    const std::string eof = "EOF / read error reading a byte";
    auto reads = [](std::string bytes, char reader = 'P') { return [=] { readWhole(in(bytes), reader); }; };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {reads("\nP6 1 1 255\n"), "bad magic number - not a ppm, pgm, or pbm file"},  // nothing may precede it
        {reads("P6 1 1 65536\n"), "maxval (65536) is too large.\nThe maximum allowed by the PPM is 65535."},
        {reads("P5 1 1 65536\n"), "maxval is too large.  The largest we can handle is 65535."},
        {reads("P6 2 1 1000\nabcdefghijk"), "EOF /read error while reading a long sample"}, {reads("P3 1 1 255 1 2 3"), eof},
        {reads("P1 3 1 012", 'B'), "junk in file where bits should be"},
        {[] { readCapped("P6\n60000 60000\n255\n" + std::string(21, 'x')); }, "EOF / read error reading a one-byte sample"},
        {reads("P6 2147483641 1 255\n"), "ASCII decimal integer in file is too large to be processed.  "},
        {reads("P3 1 1 255 # a comment that never ends"), eof},
        // The most rows whose index of rows + 1 pointers still has a 32-bit size, refused from the header.
        {reads("P6 1 " + std::to_string(UINT32_MAX / sizeof(void *)) + " 255\n"),
         "out of memory allocating row index (" + std::to_string(UINT32_MAX / sizeof(void *)) + " rows) for an array"},
        {[] { pm_readmagicnumber(in("P")); },
         "Error reading magic number from Kestrum image stream.  Most often, this means your input file is empty."},
        {[] { unsigned char row[2]; pbm_readpbmrow_packed(in("\xff"), row, 10, RPBM_FORMAT); },
         "EOF in the middle of a raw PBM row."},
        {[] { written({}, 0, 0, 65536, 0); },
         "too-large maxval passed to ppm_writeppminit(): 65536.Maximum allowed by the PPM format is 65535."},
        {[] { pgm_writerawsample(fopen("/dev/null", "r"), 1, 65535); }, "Error writing double byte sample to file"},
        {[] { ppm_writeppminit(stdout, -3, 2, 255, 0); }, "Invalid number of columns passed to ppm_writeppminit(): -3"},
        {[] { pgm_writepgminit(stdout, 2, -1, 255, 1); }, "Invalid number of rows passed to pgm_writepgminit(): -1"},
        {[] { pm_check(in(std::string(11, 'x')), check_basic, 12, nullptr); },
         "File has invalid format.  The raster should contain 12 bytes, but\nthe file ends after only 11 bytes."},
        {[] { ppm_check(in(""), check_basic, RPPM_FORMAT, 2147483640, 2147483640, 65535, nullptr); },  // past 64 bits
         "File has invalid format.  The raster should contain 27670115904405897600 bytes, but\nthe file ends after only 0 bytes."},
    };
    for (const auto &[call, message] : cases)
        EXPECT_EXIT(call(), ::testing::ExitedWithCode(1), ::testing::Eq("kestrum: " + message + "\n")) << message;
}

}  // namespace
