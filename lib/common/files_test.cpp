#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "test_support.h"

namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;
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

// The read end of a pipe already holding the bytes (under the pipe's capacity).
int pipeWith(const std::string &bytes) {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        abort();
    close(fds[1]);
    return fds[0];
}

std::string errnoFirst(int err) { return std::to_string(err) + " (" + strerror(err) + ")"; }
std::string textFirst(int err) { return std::string(strerror(err)) + " (" + std::to_string(err) + ")"; }

TEST(Files, OpenWriteCloseAndStandardStreams) {
    EXPECT_EQ(pm_openr("-"), stdin);
    EXPECT_EQ(pm_openw("-"), stdout);
    const std::string path = temporaryFile("old contents, longer");
    FILE *out = pm_openw(path.c_str());
    fputs("new", out);
    pm_closew(out);
    FILE *in = pm_openr(path.c_str());
    EXPECT_EQ(readAll(in), "new");
    pm_closer(in);
    pm_init("prog", 0);
    // Standard input stays open; standard output and a stream in error are
    // closed, the error reported. (Each child makes its own file: a child's
    // exit removes the temporary files it knows of.)
    EXPECT_EXIT((freopen(path.c_str(), "rb", stdin), pm_close(stdin), exit(getc(stdin) == 'n' ? 0 : 2)),
                ExitedWithCode(0), Eq(""));
    EXPECT_EXIT((pm_close(stdout), exit(isOpen(1) ? 2 : 0)), ExitedWithCode(0), Eq(""));
    EXPECT_EXIT(
        {
            pm_setMessage(1, nullptr);
            FILE *f = fopen(temporaryFile("a").c_str(), "rb");
            fputc('x', f);  // sets the error indicator of a read-only stream
            const int fd = fileno(f);
            pm_close(f);
            exit(isOpen(fd) ? 2 : 0);
        },
        ExitedWithCode(0), Eq("prog: A file read or write error occurred at some point\n"));
}

TEST(Files, SeekableInput) {
    const std::string path = temporaryFile("abc");
    struct stat want, got;
    FILE *f = pm_openr_seekable(path.c_str());
    ASSERT_EQ(stat(path.c_str(), &want) | fstat(fileno(f), &got), 0);
    EXPECT_EQ(got.st_ino, want.st_ino);
    pm_close(f);
    // A pipe becomes a temporary copy at its start (10000 bytes is not a
    // whole number of copy buffers).
    const std::string bytes = pattern(10000);
    const int fd = pipeWith(bytes);
    FILE *copy = pm_openr_seekable(("/dev/fd/" + std::to_string(fd)).c_str());
    EXPECT_EQ(ftello(copy), 0);
    EXPECT_EQ(readAll(copy), bytes);
    ASSERT_EQ(fseek(copy, 9000, SEEK_SET), 0);
    EXPECT_EQ(getc(copy), static_cast<unsigned char>(bytes[9000]));
    pm_close(copy);
    close(fd);
    // Standard input is copied too and left open, at its end.
    EXPECT_EXIT((dup2(pipeWith(bytes), 0),
                 exit(readAll(pm_openr_seekable("-")) == bytes && isOpen(0) && getc(stdin) == EOF ? 0 : 2)),
                ExitedWithCode(0), Eq(""));
}

TEST(Files, ReadUnknownSizeTakesEverythingLeft) {
    // Around the first buffer, around the end of doubling, and into linear growth.
    for (std::size_t n : {0, 1, 16384, 16385, 65537, 300000}) {
        const std::string bytes = pattern(n + 3);
        FILE *f = testsupport::memoryStream(bytes);
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
    FILE *f = testsupport::memoryStream(pattern(10));
    pm_seek(f, 7);
    EXPECT_EQ(pm_tell(f), 7);
    // Beyond what 32 bits can hold: only the 8-byte size carries it.
    int64_t wide = 5000000000, told = 0;
    pm_seek2(f, &wide, sizeof wide);
    pm_tell2(f, &told, sizeof told);
    EXPECT_EQ(told, 5000000000);
    EXPECT_EQ(ftello(f), 5000000000);
    fclose(f);
}

TEST(FilesDeath, Messages) {
    const std::string bytes = pattern(20000);
    const struct {
        std::function<void()> call;
        std::string err;
    } cases[] = {
        {[] { pm_openr("/nonexistent-kestrum/in.ppm"); },
         "Unable to open file '/nonexistent-kestrum/in.ppm' for reading.  fopen() returns errno " + errnoFirst(ENOENT)},
        {[] { pm_openw("/tmp"); },
         "Unable to open file '/tmp' for writing.  fopen() returns errno " + errnoFirst(EISDIR)},
        {[] {
             FILE *f = fopen(temporaryFile("a").c_str(), "rb");
             close(fileno(f));
             pm_close(f);
         },
         "close of file failed with errno " + errnoFirst(EBADF)},
        {[] { pm_openr_seekable("/tmp"); },
         "Error reading input file into temporary file.  Errno = " + textFirst(EISDIR)},
        {[&] {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit small = {8192, 8192};
             setrlimit(RLIMIT_FSIZE, &small);
             pm_openr_seekable(("/dev/fd/" + std::to_string(pipeWith(bytes))).c_str());
         },
         "Error writing input into temporary file.  Errno = " + textFirst(EFBIG)},
        {[] {
             FILE *f = testsupport::memoryStream("");
             pm_seek(f, 1);
             int64_t far = 5000000000;
             pm_seek2(f, &far, 8);
             pm_tell(f);
         },
         "File position 5000000000 does not fit in a 4-byte file position"},
        {[] { pm_tell(fdopen(pipeWith("xyz"), "rb")); },
         "ftello() to get current file position failed.  Errno = " + textFirst(ESPIPE) + "\n"},
        {[] { pm_tell2(stdin, nullptr, 2); },
         "File position size passed to pm_tell() is invalid: 2.  Valid sizes are 4 and 8"},
        {[] { pm_seek2(stdin, nullptr, 16); },
         "File position size passed to pm_seek() is invalid: 16.  Valid sizes are 4 and 8"},
    };
    pm_init("prog", 0);
    for (const auto &c : cases)
        EXPECT_EXIT(c.call(), ExitedWithCode(1), Eq("prog: " + c.err + "\n"));
}

}  // namespace
