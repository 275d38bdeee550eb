// The common unit through its public interface: maxval arithmetic (no wrap
// past 2^32), binary integers, streams, start-up, and its fatal messages.
#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <list>

#include "test_support.h"

namespace {

// Runs the start-up on copies of the words, kept for good since the program
// name points into them; returns what is left.
std::vector<std::string> startWith(std::vector<std::string> words) {
    static std::list<std::vector<std::string>> kept;
    std::vector<char *> argv;
    for (auto &w : kept.emplace_back(std::move(words)))
        argv.push_back(&w[0]);
    int argc = int(argv.size());
    argv.push_back(nullptr);
    ppm_init(&argc, argv.data());
    EXPECT_EQ(argv[argc], nullptr);
    return {argv.begin(), argv.begin() + argc};
}

TEST(Common, MaxvalsAndBinaryIntegers) {
    for (auto [maxval, bits] : std::initializer_list<std::pair<int, int>>{{INT_MIN, 1}, {1, 1}, {255, 8}, {256, 9}})
        EXPECT_EQ(pm_maxvaltobits(maxval), bits) << maxval;
    EXPECT_EQ(std::vector<unsigned>({pm_bitstomaxval(16), pm_bitstomaxval(32)}), std::vector<unsigned>({65535, UINT_MAX}));
    const unsigned int lcm[][5] = {{4, 6, 10, 1000, 60}, {4, 6, 10, 59, 59}, {UINT_MAX, 2, 1, UINT_MAX, UINT_MAX}};
    for (const auto &c : lcm)
        EXPECT_EQ(pm_lcm(c[0], c[1], c[2], c[3]), c[4]) << c[0] << " " << c[1];
    for (bool big : {true, false}) {
        const std::string bytes(big ? "\x12\x34\xfe\xdc\xba\x98" : "\x34\x12\x98\xba\xdc\xfe", 6);
        EXPECT_EQ(testsupport::captureOutput([&](FILE *f) {
                      (big ? pm_writebigshort : pm_writelittleshort)(f, 0x1234);
                      (big ? pm_writebiglong : pm_writelittlelong)(f, int32_t(0xfedcba98));
                  }), bytes);
        FILE *in = testsupport::memoryStream(bytes + "abc");
        int16_t s = 0;
        int32_t l = 0;
        EXPECT_EQ((big ? pm_readbigshort : pm_readlittleshort)(in, &s), 0);
        EXPECT_EQ((big ? pm_readbiglong : pm_readlittlelong)(in, &l), 0);
        EXPECT_TRUE(s == 0x1234 && l == int32_t(0xfedcba98));
        EXPECT_EQ((big ? pm_readbiglong : pm_readlittlelong)(in, &l), -1);  // three bytes left
        fclose(in);
    }
    char **rows = reinterpret_cast<char **>(pm_allocarray(5, 3, 1));  // rows one after another, each its own
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(rows[r], rows[0] + 5 * r);
    pm_freearray(rows, 3);
}

TEST(Common, StreamsAndStartup) {
    EXPECT_TRUE(pm_openr("-") == stdin && pm_openw("-") == stdout);
    const std::string path = testsupport::temporaryFile("new");
    FILE *f = pm_openr_seekable(path.c_str());  // a regular file is used as it is
    struct stat want, got;
    ASSERT_EQ(stat(path.c_str(), &want) | fstat(fileno(f), &got), 0);
    EXPECT_EQ(got.st_ino, want.st_ino);
    pm_close(f);
    std::string bytes(10000, 'x');  // more than a copy's buffer
    bytes[9000] = 'y';
    int fds[2];  // a pipe becomes a seekable copy
    ASSERT_TRUE(pipe(fds) == 0 && write(fds[1], bytes.data(), 10000) == 10000 && close(fds[1]) == 0);
    f = pm_openr_seekable(("/dev/fd/" + std::to_string(fds[0])).c_str());
    ASSERT_EQ(fseek(f, 9000, SEEK_SET), 0);
    EXPECT_EQ(getc(f), 'y');
    pm_close(f);
    int32_t nread = 0;  // a stream of unknown length, read whole in a growing block
    unsigned char *all = pm_read_unknown_size(testsupport::memoryStream(bytes + bytes), &nread);
    EXPECT_TRUE(nread == 20000 && std::string(reinterpret_cast<char *>(all), 20000) == bytes + bytes);
    free(all);
    using Words = std::vector<std::string>;
    EXPECT_EQ(startWith({"q", "--quiet", "-QUIET", "256", "--Plain", "-plain"}), Words({"q", "256"}));
    const Words kept = {"-plain", "-mapfile", "--", "-q", "-plai", "-quiet=1", "---quiet"};  // argv[0] is no option
    EXPECT_EQ(pm_plain_output, 1);
    pm_plain_output = 0;
    EXPECT_EQ(startWith(kept), kept);
    EXPECT_EQ(pm_plain_output, 0);
    const std::string seventy(70, 'n'), names[][2] = {{"/usr/bin/quantize.exe", "quantize"}, {".exe", ""},
                                                       {"x.EXE", "x.EXE"}, {"/a/" + seventy, seventy.substr(0, 64)}};
    for (const auto &n : names)
        EXPECT_EQ(pm_arg0toprogname(n[0].c_str()), n[1]) << n[0];
}

TEST(CommonDeath, MessagesAndStatus) {
    auto say = [](const char *text) { pm_message("%s", text), exit(0); };
    const struct {
        std::function<void()> call;
        std::string err;
        int status;
    } cases[] = {
        {[] { pm_allocarray(1, 536870912, 1); }, "prog: out of memory allocating row index (536870912 rows) for an array\n",
         1},
        {[] { pm_allocrow(-1, 4); }, "prog: Invalid number of columns passed to pm_allocrow(): -1\n", 1},
        {[] { pm_allocarray(2, 2, -4); }, "prog: Invalid element size passed to pm_allocarray(): -4\n", 1},
        // The name is the library's own copy: the caller's text may go (a file's name, and a longer one).
        {[] { char *n = strdup("freed"); pm_init(n, 0), memset(n, 'x', 5), free(n), pm_error("late"); }, "freed: late\n", 1},
        {[] { char *n = strdup(std::string(300, 'n').c_str()); pm_init(n, 0), memset(n, 'x', 300), free(n), pm_error("late"); },
         std::string(300, 'n') + ": late\n", 1},
        {[] { pm_maxvaltobits(65536); }, "prog: maxval of 65536 is too large!\n", 1},
        {[] { errno = ENOENT, pm_perror("x"); }, "prog: x - " + std::string(strerror(ENOENT)) + "\n", 1},
        {[] { pm_lcm(2, 3, 0, 100); }, "prog: pm_lcm(): Least common multiple of zero taken.\n", 1},
        {[] { pm_openr("/nonexistent/in.ppm"); }, "prog: Unable to open file '/nonexistent/in.ppm' for reading.  "
                                                   "fopen() returns errno 2 (" + std::string(strerror(ENOENT)) + ")\n", 1},
        {[&] { say("hidden"); }, "", 0},  // messages are off until switched on
        {[&] { pm_setMessage(1, nullptr), say("shown"); }, "prog: shown\n", 0},
        {[&] { startWith({"quantize", "-quiet"}), say("hidden"); }, "", 0},
        {[] { startWith({"./bin/quantize", "-quiet", "-?"}); }, "quantize: Use 'man quantize' for help.\n", 1},
        {[] { startWith({"quantize", "--help"}); }, "quantize: Use 'man quantize' for help.\n", 1},
    };
    for (const auto &c : cases) {
        pm_init("prog", 0);
        EXPECT_EXIT(c.call(), ::testing::ExitedWithCode(c.status), ::testing::Eq(c.err));
    }
}

}  // namespace
