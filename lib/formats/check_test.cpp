#include <kestrum/ppm.h>

#include <fcntl.h>
#include <unistd.h>

#include "test_helpers.h"

namespace {

// A regular file holding the header and `rasterBytes` bytes after it, read
// up to the raster.
struct HeaderRead {
    explicit HeaderRead(const std::string &header, std::size_t rasterBytes)
        : file(fopen(testsupport::temporaryFile(header + std::string(rasterBytes, 'x')).c_str(), "rb")) {
        ppm_readppminit(file, &cols, &rows, &maxval, &format);
    }
    ~HeaderRead() { fclose(file); }
    check_result check() {
        check_result result = -1;
        ppm_check(file, check_basic, format, cols, rows, maxval, &result);
        return result;
    }
    FILE *file;
    int cols, rows, format;
    sample maxval;
};

TEST(Check, ComparesTheBytesLeftWithTheRawRaster) {
    const struct {
        const char *header;
        std::size_t bytes;
        check_result result;
    } cases[] = {
        {"P6 2 2 255\n", 12, check_passed},  {"P6 2 2 255\n", 13, check_extra_data},
        {"P6 2 2 256\n", 24, check_passed},  {"P5 3 2 255\n", 6, check_passed},
        {"P5 3 2 300\n", 13, check_extra_data}, {"P4 9 2\n", 4, check_passed},
        {"P3 2 2 255\n", 0, check_not_possible}, {"P2 2 2 255\n", 0, check_not_possible},
        {"P1 2 2\n", 0, check_not_possible},   {"P6 0 0 255\n", 0, check_passed},
    };
    for (const auto &c : cases) {
        HeaderRead read(c.header, c.bytes);
        EXPECT_EQ(read.check(), c.result) << c.header << c.bytes;
        EXPECT_EQ(fgetc(read.file), c.bytes ? 'x' : EOF);  // the position is not moved
    }
}

TEST(CheckDeathTest, ShortFilesAndBadArguments) {
    const struct {
        const char *header;
        std::size_t bytes;
        const char *message;
    } cases[] = {
        {"P6 2 2 255\n", 11, "File has invalid format.  The raster should contain 12 bytes, but\n"
                             "the file ends after only 11 bytes."},
        {"P4 9 2\n", 3, "File has invalid format.  The raster should contain 4 bytes, but\n"
                        "the file ends after only 3 bytes."},
        {"P6 2147483640 2147483640 65535\n", 0,  // wider than 64 bits, printed whole
         "File has invalid format.  The raster should contain 27670115904405897600 bytes, but\n"
         "the file ends after only 0 bytes."},
    };
    // Each dying child opens its own stream: a child's exit resets the file
    // offset it shares with the parent.
    for (const auto &c : cases) {
        EXPECT_FATAL(HeaderRead(c.header, c.bytes).check(), c.message) << c.header;
        EXPECT_FATAL(
            {
                HeaderRead read(c.header, c.bytes);
                ppm_check(read.file, check_basic, read.format, read.cols, read.rows, read.maxval, nullptr);
            },
            c.message);
    }
    HeaderRead read("P5 1 1 255\n", 1);
    check_result result;
    EXPECT_FATAL(ppm_check(read.file, 1, RPPM_FORMAT, 1, -1, 255, &result),
                 "Invalid number of rows passed to ppm_check(): -1");
    EXPECT_FATAL(ppm_check(read.file, check_basic, RPGM_FORMAT, -2, 1, 255, &result),
                 "Invalid number of columns passed to ppm_check(): -2");
    EXPECT_FATAL(pgm_check(read.file, check_basic, RPGM_FORMAT, 1, -3, 255, &result),
                 "Invalid number of rows passed to pgm_check(): -3");
    EXPECT_FATAL(pbm_check(read.file, check_basic, RPBM_FORMAT, -4, 1, &result),
                 "Invalid number of columns passed to pbm_check(): -4");
}

TEST(Check, UnsupportedTypesUnseekableStreamsAndNullResults) {
    HeaderRead read("P6 2 2 255\n", 12);
    check_result result = -1;
    ppm_check(read.file, 1, RPPM_FORMAT, 2, 2, 255, &result);
    EXPECT_EQ(result, check_not_supported);
    ppm_check(read.file, check_basic, RPPM_FORMAT, 2, 2, 255, nullptr);  // stores nothing

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *pipeIn = fdopen(fds[0], "rb");
    ppm_check(pipeIn, check_basic, RPPM_FORMAT, 2, 2, 255, &result);
    EXPECT_EQ(result, check_not_possible);
    fclose(pipeIn);
    close(fds[1]);
}

TEST(CheckDeathTest, StatusOfAStreamWithoutADescriptor) {
    char bytes[] = "abc";
    FILE *memory = fmemopen(bytes, 3, "rb");
    ASSERT_NE(memory, nullptr);
    EXPECT_FATAL(pm_check(memory, check_basic, 3, nullptr),
                 "fstat() failed to get size of file, though ftello() successfully identified\n"
                 "the current position.  Errno=Bad file descriptor (9)");
    fclose(memory);
}

TEST(CheckDeathTest, SizesFilesBeyond4GiB) {
    // A sparse file: a header and 6 GiB of raster, none of it on disk.
    const std::string header = "P6\n32768 65536\n255\n";
    const std::string path = testsupport::temporaryFile(header);
    const off_t raster = off_t{6} << 30;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size()) + raster), 0);
    FILE *file = fopen(path.c_str(), "rb");
    int cols, rows, format;
    sample maxval;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    check_result result = -1;
    ppm_check(file, check_basic, format, cols, rows, maxval, &result);
    EXPECT_EQ(result, check_passed);
    EXPECT_FATAL(ppm_check(file, check_basic, format, cols, rows, 256, &result),
                 "File has invalid format.  The raster should contain 12884901888 bytes, but\n"
                 "the file ends after only 6442450944 bytes.");
    fclose(file);
}

TEST(NextImage, SkipsWhiteSpaceToTheNextImage) {
    const struct {
        const char *bytes;
        int eof;
        const char *rest;
    } cases[] = {
        {"\n \t\r\v\f", 1, ""},
        {"", 1, ""},
        {"\nP6 1 1", 0, "P6 1 1"},
        {" #comment\nP6", 0, "#comment\nP6"},  // comments are not skipped
    };
    for (const auto &c : cases) {
        for (auto next : {pm_nextimage, ppm_nextimage, pgm_nextimage, pbm_nextimage}) {
            Input in(c.bytes);
            int eof = -1;
            next(in, &eof);
            EXPECT_EQ(eof, c.eof) << c.bytes;
            EXPECT_EQ(in.rest(), c.rest) << c.bytes;
        }
    }
}

TEST(NextImageDeathTest, ReadErrors) {
    FILE *unreadable = fopen("/dev/null", "w");
    ASSERT_NE(unreadable, nullptr);
    int eof;
    EXPECT_FATAL(pm_nextimage(unreadable, &eof), "File error on getc() to position to image");
    fclose(unreadable);
}

}  // namespace
