// The chunked span decoders and the growing image array, against a reader
// that takes the raster one token or byte at a time through the public
// tokenizer: the straightforward oracle.
#include <kestrum/ppm.h>

#include <sys/resource.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "formats_internal.h"
#include "test_helpers.h"

namespace {


struct Image {
    int cols = -1, rows = -1;
    sample maxval = 0;
    std::vector<pixel> pixels;
    bool contiguous = false;
};

Image readWhole(FILE *file) {
    Image image;
    pixel **array = ppm_readppm(file, &image.cols, &image.rows, &image.maxval);
    for (int r = 0; r < image.rows; ++r)
        image.pixels.insert(image.pixels.end(), array[r], array[r] + image.cols);
    image.contiguous = array[image.rows] != nullptr;
    pm_freearray(reinterpret_cast<void **>(array), image.rows);
    return image;
}

// One sample or pixel at a time, the way the format is defined.
Image readReference(FILE *file) {
    Image image;
    int format;
    ppm_readppminit(file, &image.cols, &image.rows, &image.maxval, &format);
    for (int r = 0; r < image.rows; ++r) {
        unsigned char byte = 0;
        for (int c = 0; c < image.cols; ++c) {
            pixel p{};
            char ch;
            switch (format) {
            case PPM_FORMAT: p = {pm_getuint(file), pm_getuint(file), pm_getuint(file)}; break;
            case RPPM_FORMAT:
                p.r = pgm_getrawsample(file, image.maxval);
                p.g = pgm_getrawsample(file, image.maxval);
                p.b = pgm_getrawsample(file, image.maxval);
                break;
            case PGM_FORMAT: p.r = p.g = p.b = pm_getuint(file); break;
            case RPGM_FORMAT: p.r = p.g = p.b = pgm_getrawsample(file, image.maxval); break;
            case PBM_FORMAT:
                do
                    ch = pm_getc(file);
                while (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r');
                p.r = p.g = p.b = ch == '0' ? image.maxval : 0;
                break;
            case RPBM_FORMAT:
                if (c % 8 == 0)
                    byte = pm_getrawbyte(file);
                p.r = p.g = p.b = (byte >> (7 - c % 8) & 1) ? 0 : image.maxval;
                break;
            }
            image.pixels.push_back(p);
        }
    }
    return image;
}

// A random image in the given format; plain rasters get random separators
// and comments between their tokens.
std::string randomImage(std::mt19937 &random, char digit, int cols, int rows, sample maxval) {
    std::string out = std::string("P") + digit + "\n" + std::to_string(cols) + " " +
                      std::to_string(rows) + "\n";
    if (digit != '1' && digit != '4')
        out += std::to_string(maxval) + "\n";
    auto separator = [&] {
        const char *choices[] = {" ", "\n", "\t", "\r", "  ", "#x\n"};
        return std::string(choices[random() % 6]);
    };
    const int perPixel = digit == '3' || digit == '6' ? 3 : 1;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols * perPixel; ++c) {
            const sample s = static_cast<sample>(random() % (maxval + 1));
            switch (digit) {
            case '1': out += (random() % 2 ? "1" : "0") + (random() % 4 ? "" : separator()); break;
            case '2':
            case '3': out += std::to_string(s) + separator(); break;
            case '5':
            case '6':
                if (maxval > 255)
                    out.push_back(static_cast<char>(s >> 8));
                out.push_back(static_cast<char>(s));
                break;
            case '4':
                if (c % 8 == 0)
                    out.push_back(static_cast<char>(random()));
                break;
            }
        }
    }
    return out + "END";
}

TEST(Raster, ChunkedReadsMatchTheReference) {
    std::mt19937 random(3);
    const struct {
        char digit;
        int cols, rows;
        sample maxval;
    } cases[] = {
        {'6', 16384 + 13, 2, 255}, {'6', 20000, 2, 1000}, {'6', 7, 5, 65535},
        {'5', 16384 * 3 + 1, 2, 255}, {'5', 33, 4, 300},
        {'4', 16384 + 9, 3, 1}, {'4', 8, 2, 1}, {'4', 1, 3, 1},
        {'3', 16390, 1, 255}, {'3', 5, 4, 65535},
        {'2', 16385, 2, 70}, {'1', 16400, 2, 1}, {'1', 3, 3, 1},
    };
    for (const auto &c : cases) {
        const std::string bytes = randomImage(random, c.digit, c.cols, c.rows, c.maxval);
        Input whole(bytes), reference(bytes);
        const Image got = readWhole(whole);
        const Image want = readReference(reference);
        EXPECT_EQ(got.pixels, want.pixels) << "P" << c.digit << " " << c.cols;
        EXPECT_EQ(got.maxval, want.maxval);
        EXPECT_TRUE(got.contiguous);
        const std::string rest = reference.rest();  // the stream stops where the oracle's does
        EXPECT_EQ(whole.rest(), rest);

        // Row by row with whole rows in one call.
        Input rows(bytes);
        int cols, height, format;
        sample maxval;
        ppm_readppminit(rows, &cols, &height, &maxval, &format);
        std::vector<pixel> row(static_cast<std::size_t>(cols)), all;
        for (int r = 0; r < height; ++r) {
            ppm_readppmrow(rows, row.data(), cols, maxval, format);
            all.insert(all.end(), row.begin(), row.end());
        }
        EXPECT_EQ(all, want.pixels);
        EXPECT_EQ(rows.rest(), rest);
    }
}

// Restores the builder's limits when a test ends.
struct BlockLimits {
    BlockLimits(std::size_t initial, std::size_t limit) {
        kestrum::formats::imageInitialBlock = initial;
        kestrum::formats::imageBlockLimit = limit;
    }
    ~BlockLimits() {
        kestrum::formats::imageInitialBlock = savedInitial;
        kestrum::formats::imageBlockLimit = savedLimit;
    }
    std::size_t savedInitial = kestrum::formats::imageInitialBlock;
    std::size_t savedLimit = kestrum::formats::imageBlockLimit;
};

TEST(Raster, GrowsTheBlockAndMovesToRowsWhenItCannot) {
    std::mt19937 random(5);
    const std::string bytes = randomImage(random, '4', 40000, 3, 1);
    Input reference(bytes);
    const Image want = readReference(reference);
    {
        // Rows of 480000 bytes: the block grows from 100 bytes until it would
        // pass 1 MiB, in the middle of row 1; row 0 and the part of row 1
        // read so far move to blocks of their own.
        BlockLimits limits(100, std::size_t{1} << 20);
        Input in(bytes);
        const Image got = readWhole(in);
        EXPECT_FALSE(got.contiguous);
        EXPECT_EQ(got.pixels, want.pixels);
        EXPECT_EQ(in.rest(), "END");
    }
    {
        BlockLimits limits(100, std::size_t(-1));
        Input in(bytes);
        const Image got = readWhole(in);
        EXPECT_TRUE(got.contiguous);
        EXPECT_EQ(got.pixels, want.pixels);
    }
}

TEST(Raster, ContiguousLayoutOfAnEmptyImage) {
    kestrum::formats::ImageBuilder builder(0, 3, sizeof(pixel));
    void **index = builder.finish();
    EXPECT_NE(index[3], nullptr);
    EXPECT_EQ(index[0], index[3]);
    pm_freearray(index, 3);
}

// Runs the statement with the address space capped, so that a reader that
// took memory on a header's word would fail for want of it.
template <typename Statement>
void withAddressSpaceCap(Statement statement) {
    const rlimit cap{std::size_t{1} << 30, std::size_t{1} << 30};
    setrlimit(RLIMIT_AS, &cap);
    statement();
}

FILE *pipeHolding(const std::string &bytes) {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        return nullptr;
    close(fds[1]);
    return fdopen(fds[0], "rb");
}

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_ASAN 1
#endif
#endif

TEST(RasterDeathTest, HugeClaimsFailAtTheFirstMissingByte) {
#ifdef KESTRUM_ASAN
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space cap";
#endif
    // 60000 x 60000 pixels would take 43 GB.
    const std::string header = "P6\n60000 60000\n255\n";
    const std::string bytes = header + std::string(40 - header.size(), 'x');
    Input file(bytes);
    EXPECT_FATAL(withAddressSpaceCap([&] { readWhole(file); }), "EOF / read error reading a one-byte sample");
    FILE *pipe = pipeHolding(bytes);
    ASSERT_NE(pipe, nullptr);
    EXPECT_FATAL(withAddressSpaceCap([&] { readWhole(pipe); }), "EOF / read error reading a one-byte sample");
    fclose(pipe);
    Input plain("P3 60000 60000 255\n1 2 3 4");
    EXPECT_FATAL(withAddressSpaceCap([&] { readWhole(plain); }), "EOF / read error reading a byte");
    Input wide("P5 2000000000 1 65535\n\x01\x02\x03");
    EXPECT_FATAL(withAddressSpaceCap([&] { readWhole(wide); }), "EOF /read error while reading a long sample");
}

TEST(RasterDeathTest, RowIndexBeyondA32BitSize) {
    Input in("P6 1 600000000 255\n");
    EXPECT_FATAL(readWhole(in), "out of memory allocating row index (600000000 rows) for an array");
}

}  // namespace
