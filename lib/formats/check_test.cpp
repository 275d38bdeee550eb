#include <kestrum/ppm.h>

#include <unistd.h>

#include "test_helpers.h"

namespace {

// Reads the header of a regular file holding it and `rasterBytes` more
// bytes, and checks the raster with ppm_check.
check_result checkFile(const std::string &header, off_t rasterBytes, bool nullResult = false) {
    const std::string path = testsupport::temporaryFile(header);
    EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size()) + rasterBytes), 0);  // sparse
    FILE *file = fopen(path.c_str(), "rb");
    int cols, rows, format;
    sample maxval;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    check_result result = -1;
    ppm_check(file, check_basic, format, cols, rows, maxval, nullResult ? nullptr : &result);
    EXPECT_EQ(ftell(file), static_cast<long>(header.size()));  // the position is not moved
    fclose(file);
    return result;
}

TEST(CheckDeathTest, ComparesTheBytesLeftWithTheRawRaster) {
    const struct {
        const char *header;
        off_t bytes;
        check_result result;
    } passing[] = {
        {"P6 2 2 255\n", 12, check_passed}, {"P6 2 2 255\n", 13, check_extra_data}, {"P5 3 2 300\n", 12, check_passed},
        {"P4 9 2\n", 4, check_passed}, {"P3 2 2 255\n", 0, check_not_possible},
        {"P6\n32768 65536\n255\n", off_t{6} << 30, check_passed},
    };
    for (const auto &c : passing)
        EXPECT_EQ(checkFile(c.header, c.bytes), c.result) << c.header << c.bytes;
    EXPECT_EQ(checkFile("P6 2 2 255\n", 12, true), -1);  // a null result pointer: nothing stored
    const struct {
        const char *header;
        off_t bytes;
        const char *sizes;
    } failing[] = {
        {"P6 2 2 255\n", 11, "12 bytes, but\nthe file ends after only 11 bytes."},
        {"P4 9 2\n", 3, "4 bytes, but\nthe file ends after only 3 bytes."},
        {"P6\n32768 65536\n65535\n", off_t{6} << 30, "12884901888 bytes, but\nthe file ends after only 6442450944 bytes."},
        {"P6 2147483640 2147483640 65535\n", 0, "27670115904405897600 bytes, but\nthe file ends after only 0 bytes."},
    };
    for (const auto &c : failing)  // the first also with a null result pointer
        EXPECT_FATAL(checkFile(c.header, c.bytes, &c == failing), "File has invalid format.  The raster should contain "s + c.sizes);
}

TEST(CheckDeathTest, ArgumentsStreamsAndTypes) {
    check_result result = -1;
    EXPECT_FATAL(ppm_check(stdin, 1, RPPM_FORMAT, 1, -1, 255, &result),
                 "Invalid number of rows passed to ppm_check(): -1");  // before the type is looked at
    EXPECT_FATAL(pgm_check(stdin, 0, RPGM_FORMAT, 1, -3, 255, &result), "Invalid number of rows passed to pgm_check(): -3");
    EXPECT_FATAL(pbm_check(stdin, 0, RPBM_FORMAT, -4, 1, &result), "Invalid number of columns passed to pbm_check(): -4");
    ppm_check(stdin, 1, RPPM_FORMAT, 2, 2, 255, &result);
    EXPECT_EQ(result, check_not_supported);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *pipeIn = fdopen(fds[0], "rb");
    ppm_check(pipeIn, check_basic, RPPM_FORMAT, 2, 2, 255, &result);
    EXPECT_EQ(result, check_not_possible);
    fclose(pipeIn);
    close(fds[1]);

    char bytes[] = "abc";  // a stream with a position but no descriptor
    FILE *memory = fmemopen(bytes, 3, "rb");
    EXPECT_FATAL(pm_check(memory, check_basic, 3, &result),
                 "fstat() failed to get size of file, though ftello() successfully identified\n"
                 "the current position.  Errno=Bad file descriptor (9)");
    fclose(memory);
}

TEST(NextImageDeathTest, SkipsWhiteSpaceToTheNextImage) {
    const std::pair<const char *, const char *> cases[] = {
        {"\n \t\r\v\f", ""}, {"", ""}, {"\nP6 1 1", "P6 1 1"}, {" #comment\nP6", "#comment\nP6"},  // comments stay
    };
    for (const auto &[bytes, rest] : cases) {
        for (auto next : {pm_nextimage, ppm_nextimage, pgm_nextimage, pbm_nextimage}) {
            Input in(bytes);
            int eof = -1;
            next(in, &eof);
            EXPECT_EQ(eof, *rest == 0) << bytes;
            EXPECT_EQ(in.rest(), rest) << bytes;
        }
    }
    FILE *unreadable = fopen("/dev/null", "w");
    int eof;
    EXPECT_FATAL(pm_nextimage(unreadable, &eof), "File error on getc() to position to image");
    fclose(unreadable);
}

}  // namespace
