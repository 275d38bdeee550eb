#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "test_support.h"

namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;
using testsupport::memoryStream;
using testsupport::temporaryFile;

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

std::string readAll(FILE *f) {
    std::string s;
    for (int c; (c = getc(f)) != EOF;)
        s += static_cast<char>(c);
    return s;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int openDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += isOpen(fd);
    return n;
}

// The read end of a pipe already holding the bytes (under the pipe's capacity).
int pipeWith(const std::string &bytes) {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        abort();
    close(fds[1]);
    return fds[0];
}

// The two orders in which messages name a system error.
std::string systemError(int err) { return std::to_string(err) + " (" + strerror(err) + ")"; }
std::string textFirst(int err) { return std::string(strerror(err)) + " (" + std::to_string(err) + ")"; }

TEST(Files, DashIsTheStandardStream) {
    EXPECT_EQ(pm_openr("-"), stdin);
    EXPECT_EQ(pm_openr("-"), stdin);
    EXPECT_EQ(pm_openw("-"), stdout);
}

TEST(Files, WriteTruncatesAndReadsBack) {
    const std::string path = temporaryFile("old contents, longer");
    FILE *out = pm_openw(path.c_str());
    fputs("new", out);
    pm_closew(out);
    FILE *in = pm_openr(path.c_str());
    EXPECT_EQ(readAll(in), "new");
    pm_closer(in);
}

TEST(FilesDeath, OpenFailuresNameTheSystemError) {
    pm_init("prog", 0);
    EXPECT_EXIT(pm_openr("/nonexistent-kestrum/in.ppm"), ExitedWithCode(1),
                Eq("prog: Unable to open file '/nonexistent-kestrum/in.ppm' for reading.  fopen() returns errno " +
                   systemError(ENOENT) + "\n"));
    EXPECT_EXIT(pm_openw("/nonexistent-kestrum/out.ppm"), ExitedWithCode(1),
                Eq("prog: Unable to open file '/nonexistent-kestrum/out.ppm' for writing.  fopen() returns errno " +
                   systemError(ENOENT) + "\n"));
    EXPECT_EXIT(pm_openw("/tmp"), ExitedWithCode(1),
                Eq("prog: Unable to open file '/tmp' for writing.  fopen() returns errno " + systemError(EISDIR) + "\n"));
}

// Each child makes its own file: a child's exit removes the temporary files
// it knows of, which would take the parent's away too.
FILE *freshFile(const char *mode) { return fopen(temporaryFile("a").c_str(), mode); }

TEST(FilesDeath, CloseLeavesStandardInputOpenAndClosesTheRest) {
    pm_init("prog", 0);
    EXPECT_EXIT(
        {
            if (!freopen(temporaryFile("a").c_str(), "rb", stdin))
                exit(3);
            pm_close(stdin);
            exit(getc(stdin) == 'a' ? 0 : 2);
        },
        ExitedWithCode(0), Eq(""));
    EXPECT_EXIT((pm_close(stdout), exit(isOpen(1) ? 2 : 0)), ExitedWithCode(0), Eq(""));
    // A stream with an error is reported, and closed all the same.
    EXPECT_EXIT(
        {
            pm_setMessage(1, nullptr);
            FILE *f = freshFile("rb");
            fputc('x', f);  // a write on a read-only stream sets its error indicator
            const int fd = fileno(f);
            pm_close(f);
            exit(isOpen(fd) ? 2 : 0);
        },
        ExitedWithCode(0), Eq("prog: A file read or write error occurred at some point\n"));
    EXPECT_EXIT(
        {
            FILE *f = freshFile("rb");
            close(fileno(f));
            pm_close(f);
        },
        ExitedWithCode(1), Eq("prog: close of file failed with errno " + systemError(EBADF) + "\n"));
}

TEST(Files, SeekableRegularFileIsTheFileItself) {
    const std::string path = temporaryFile("abc");
    struct stat want, got;
    ASSERT_EQ(stat(path.c_str(), &want), 0);
    FILE *f = pm_openr_seekable(path.c_str());
    ASSERT_EQ(fstat(fileno(f), &got), 0);
    EXPECT_EQ(got.st_ino, want.st_ino);
    pm_close(f);
}

TEST(Files, SeekablePipeBecomesATemporaryCopyAtItsStart) {
    const std::string bytes = pattern(10000);  // not a whole number of copy buffers
    const int fd = pipeWith(bytes);
    const int before = openDescriptors();
    FILE *copy = pm_openr_seekable(("/dev/fd/" + std::to_string(fd)).c_str());
    EXPECT_EQ(openDescriptors(), before + 1);  // the pipe's stream was closed
    EXPECT_EQ(ftello(copy), 0);
    EXPECT_EQ(readAll(copy), bytes);
    ASSERT_EQ(fseek(copy, 9000, SEEK_SET), 0);
    EXPECT_EQ(getc(copy), static_cast<unsigned char>(bytes[9000]));
    pm_close(copy);
    close(fd);
}

TEST(FilesDeath, SeekableStandardInputStaysOpenAtItsEnd) {
    const std::string bytes = pattern(5000);
    EXPECT_EXIT(
        {
            dup2(pipeWith(bytes), 0);
            FILE *copy = pm_openr_seekable("-");
            exit(readAll(copy) == bytes && isOpen(0) && getc(stdin) == EOF && feof(stdin) ? 0 : 2);
        },
        ExitedWithCode(0), Eq(""));
}

TEST(FilesDeath, SeekableCopyFailures) {
    pm_init("prog", 0);
    EXPECT_EXIT(pm_openr_seekable("/tmp"), ExitedWithCode(1),
                Eq("prog: Error reading input file into temporary file.  Errno = " + textFirst(EISDIR) + "\n"));
    const std::string bytes = pattern(20000);
    EXPECT_EXIT(
        {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit small;
            small.rlim_cur = small.rlim_max = 8192;
            setrlimit(RLIMIT_FSIZE, &small);
            pm_openr_seekable(("/dev/fd/" + std::to_string(pipeWith(bytes))).c_str());
        },
        ExitedWithCode(1),
        Eq("prog: Error writing input into temporary file.  Errno = " + textFirst(EFBIG) + "\n"));
}

TEST(Files, ReadUnknownSizeTakesEverythingLeft) {
    // Around the first buffer, around the end of doubling, and well into linear growth.
    for (std::size_t n : {0, 1, 16383, 16384, 16385, 65536, 65537, 131073, 300000}) {
        const std::string bytes = pattern(n + 3);
        FILE *f = memoryStream(bytes);
        fseek(f, 3, SEEK_SET);
        int32_t count = -1;
        unsigned char *data = pm_read_unknown_size(f, &count);
        ASSERT_EQ(count, static_cast<int32_t>(n));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), n), bytes.substr(3)) << n;
        free(data);
        fclose(f);
    }
}

TEST(Files, PositionsOfFourAndEightBytes) {
    FILE *f = memoryStream(pattern(10));
    char skipped[3];
    ASSERT_EQ(fread(skipped, 1, 3, f), 3u);
    EXPECT_EQ(pm_tell(f), 3);
    int64_t wide = -1;
    pm_tell2(f, &wide, sizeof wide);
    EXPECT_EQ(wide, 3);
    pm_seek(f, 7);
    EXPECT_EQ(ftello(f), 7);
    wide = 2;
    pm_seek2(f, &wide, sizeof wide);
    EXPECT_EQ(ftello(f), 2);
    // Beyond what 32 bits can hold: only the 8-byte size carries it.
    wide = 5000000000;
    pm_seek2(f, &wide, sizeof wide);
    EXPECT_EQ(ftello(f), 5000000000);
    int64_t told = 0;
    pm_tell2(f, &told, sizeof told);
    EXPECT_EQ(told, 5000000000);
    pm_init("prog", 0);
    EXPECT_EXIT(pm_tell(f), ExitedWithCode(1),
                Eq("prog: File position 5000000000 does not fit in a 4-byte file position\n"));
    fclose(f);
}

TEST(FilesDeath, PositionFailures) {
    pm_init("prog", 0);
    FILE *f = memoryStream("abc");
    int64_t pos = 0;
    for (unsigned int size : {0u, 2u, 16u}) {
        const std::string valid = std::to_string(size) + ".  Valid sizes are 4 and 8\n";
        EXPECT_EXIT(pm_tell2(f, &pos, size), ExitedWithCode(1),
                    Eq("prog: File position size passed to pm_tell() is invalid: " + valid));
        EXPECT_EXIT(pm_seek2(f, &pos, size), ExitedWithCode(1),
                    Eq("prog: File position size passed to pm_seek() is invalid: " + valid));
    }
    fclose(f);
    FILE *pipeStream = fdopen(pipeWith("xyz"), "rb");
    EXPECT_EXIT(pm_tell(pipeStream), ExitedWithCode(1),
                Eq("prog: ftello() to get current file position failed.  Errno = " + textFirst(ESPIPE) + "\n\n"));
    fclose(pipeStream);
}

}  // namespace
