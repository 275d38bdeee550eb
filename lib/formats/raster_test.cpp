// The chunked span decoders and the growing image array, against a reader
// that takes the raster one token or byte at a time through the public
// tokenizer: the straightforward oracle.
#include <sys/resource.h>
#include <unistd.h>

#include <random>

#include "formats_internal.h"
#include "test_helpers.h"

namespace {

// One sample or bit at a time, the way the format is defined.
Whole readReference(FILE *file) {
    Whole image;
    int format;
    ppm_readppminit(file, &image.cols, &image.rows, &image.maxval, &format);
    const int perPixel = format_family(format) == PPM_TYPE ? 3 : 1;
    for (int r = 0; r < image.rows; ++r) {
        unsigned char byte = 0;
        for (int c = 0; c < image.cols; ++c) {
            for (int k = 0; k < perPixel; ++k) {
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
    }
    return image;
}

// A random image; plain rasters get random separators and comments.
std::string randomImage(std::mt19937 &random, char digit, int cols, int rows, sample maxval) {
    std::string out = "P"s + digit + "\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n";
    if (digit != '1' && digit != '4')
        out += std::to_string(maxval) + "\n";
    const char *separators[] = {" ", "\n", "\t", "\r", "  ", "#x\n", ""};
    const int perRow = digit == '4' ? (cols + 7) / 8 : digit == '3' || digit == '6' ? 3 * cols : cols;
    for (int i = 0; i < perRow * rows; ++i) {
        const sample s = sample(random() % (maxval + 1));
        if (digit == '1')
            out += std::to_string(s) + separators[random() % 7];
        else if (digit == '2' || digit == '3')
            out += std::to_string(s) + separators[random() % 6];
        else if (maxval > 255)
            out += {char(s >> 8), char(s)};
        else
            out += char(digit == '4' ? random() : s);
    }
    return out + "END";
}

TEST(Raster, ChunkedReadsAndWriterRoundTripsMatchTheReference) {
    std::mt19937 random(3);
    const struct {
        char digit;
        int cols, rows;
        sample maxval;
    } cases[] = {
        {'6', 16384 + 13, 2, 255}, {'6', 20000, 2, 1000}, {'5', 16384 * 3 + 1, 2, 255}, {'5', 33, 4, 65535},
        {'4', 16384 + 9, 3, 1},    {'4', 1, 3, 1},       {'3', 16390, 1, 65535},      {'2', 16385, 2, 70},
        {'1', 16400, 2, 1},
    };
    for (const auto &c : cases) {
        const std::string bytes = randomImage(random, c.digit, c.cols, c.rows, c.maxval);
        Input whole(bytes), reference(bytes), rows(bytes);
        const Whole want = readReference(reference), got = readWhole(whole);
        const std::string rest = reference.rest();  // the stream stops where the oracle's does
        EXPECT_EQ(got.values, want.values) << "P" << c.digit << " " << c.cols;
        EXPECT_TRUE(got.contiguous);
        EXPECT_EQ(whole.rest(), rest);

        int cols, height, format;  // row by row, a whole row in one call
        sample maxval;
        ppm_readppminit(rows, &cols, &height, &maxval, &format);
        std::vector<pixel> row(std::size_t(cols) * height);
        for (int r = 0; r < height; ++r)
            ppm_readppmrow(rows, row.data() + std::size_t(r) * cols, cols, maxval, format);
        std::vector<sample> all;
        for (const pixel &p : row)
            all.insert(all.end(), {p.r, p.g, p.b});
        EXPECT_EQ(all, want.values);
        EXPECT_EQ(rows.rest(), rest);
        for (const int plain : {0, 1}) {  // written back, raw and plain, it reads the same
            Input back(written(Ppm, want.values, want.cols, want.rows, want.maxval, plain));
            EXPECT_EQ(readWhole(back).values, want.values);
            EXPECT_EQ(back.rest(), "");
        }
    }
}

TEST(Raster, GrowsTheBlockAndMovesToRowsWhenItCannot) {
    std::mt19937 random(5);
    const std::string bytes = randomImage(random, '4', 40000, 3, 1);
    Input reference(bytes);
    const Whole want = readReference(reference);
    const std::size_t savedInitial = kestrum::formats::imageInitialBlock;
    // Rows of 480000 bytes: the block grows from 100 bytes until it would pass
    // 1 MiB, in row 1; what was read so far moves to blocks of their own.
    kestrum::formats::imageInitialBlock = 100;
    for (const std::size_t limit : {std::size_t{1} << 20, std::size_t(-1)}) {
        kestrum::formats::imageBlockLimit = limit;
        Input in(bytes);
        const Whole got = readWhole(in);
        EXPECT_EQ(got.contiguous, limit == std::size_t(-1));
        EXPECT_EQ(got.values, want.values);
        EXPECT_EQ(in.rest(), "END");
    }
    kestrum::formats::imageInitialBlock = savedInitial;
}

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_ASAN 1
#endif
#endif

// Reads with the address space capped, so that a reader that took memory on
// a header's word would fail for want of it. The sanitizers' shadow memory
// does not fit under a cap: there only the messages are checked.
void readCapped(FILE *file) {
#ifndef KESTRUM_ASAN
    const rlimit cap{std::size_t{1} << 30, std::size_t{1} << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
    readWhole(file);
}

TEST(RasterDeathTest, HugeClaimsFailAtTheFirstMissingByte) {
    const std::string bytes = "P6\n60000 60000\n255\n" + std::string(21, 'x');  // claims 43 GB
    Input file(bytes), plain("P3 60000 60000 255\n1 2 3 4"), wide("P5 2000000000 1 65535\n\x01\x02\x03");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fds[1]);
    FILE *pipeIn = fdopen(fds[0], "rb");
    EXPECT_FATAL(readCapped(file), "EOF / read error reading a one-byte sample");
    EXPECT_FATAL(readCapped(pipeIn), "EOF / read error reading a one-byte sample");
    EXPECT_FATAL(readCapped(plain), "EOF / read error reading a byte");
    EXPECT_FATAL(readCapped(wide), "EOF /read error while reading a long sample");
    fclose(pipeIn);
    Input rowIndex("P6 1 600000000 255\n");  // rows + 1 pointers need more than 32 bits
    EXPECT_FATAL(readWhole(rowIndex), "out of memory allocating row index (600000000 rows) for an array");
}

}  // namespace
