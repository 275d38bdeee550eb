// Hostile and broken images fed to the built quantize program. Whatever the
// bytes, the run ends with the reader's (or the program's) exact message and
// status 1, and nothing on standard output: no crash, no hang, no partial
// image behind a refusal. The families of bad input are tables; every small
// valid file is also cut at every byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::RunResult;
using testsupport::temporaryFile;
using namespace std::string_literals;

const std::string kQuantize = QUANTIZE_PATH;

// Messages of the readers, as the program prints them.
const std::string kMagic =
    "Error reading magic number from Kestrum image stream.  Most often, this means your input "
    "file is empty.";
const std::string kEofByte = "EOF / read error reading a byte";
const std::string kEofOneByteSample = "EOF / read error reading a one-byte sample";
const std::string kEofLongSample = "EOF /read error while reading a long sample";
const std::string kJunk = "junk in file where an unsigned integer should be";
const std::string kTooLargeInteger = "ASCII decimal integer in file is too large to be processed.  ";
const std::string kBadMagic = "bad magic number - not a ppm, pgm, or pbm file";
const std::string kJunkBits = "junk in file where bits should be";

RunResult quantize(const std::vector<std::string> &args, const std::string &input = "") {
    std::vector<std::string> all{"-quiet"};
    all.insert(all.end(), args.begin(), args.end());
    return testsupport::run(kQuantize, all, input);
}

// The run was refused with exactly this message and wrote no image.
void expectRefused(const RunResult &r, const std::string &message, const std::string &what,
                   int status = 1) {
    EXPECT_EQ(r.status, status) << what;
    EXPECT_EQ(r.err, "quantize: " + message + "\n") << what;
    EXPECT_EQ(r.out, "") << what;
}

struct BadInput {
    const char *what;
    std::string bytes;
    std::string message;
};

void expectAllRefused(const std::vector<BadInput> &cases) {
    for (const BadInput &c : cases)
        expectRefused(quantize({"2"}, c.bytes), c.message, c.what);
}

// --- Truncation -----------------------------------------------------------

struct ValidFile {
    const char *what;
    std::string bytes;
    size_t headerEnd;  // bytes up to and including the one after the last header integer
    std::string rasterEnd;  // the message when the raster is cut short
};

// Small valid files of every format, maxval class and header style.
std::vector<ValidFile> validFiles() {
    auto file = [](const char *what, std::string header, std::string raster, std::string end) {
        const size_t headerEnd = header.size();
        return ValidFile{what, header + raster, headerEnd, end};
    };
    return {
        // No character is needed after the last bit of a plain PBM.
        file("plain PBM", "P1\n3 2\n", "0 1 0\n1#c\n0 1", kEofByte),
        file("raw PBM, width 10", "P4\n10 1\n", "\xa5\x40", kEofOneByteSample),
        file("plain PGM", "P2\n2 2\n255\n", "0 7\n255 9\n", kEofByte),
        file("raw PGM, one-byte samples", "P5 2 1 255\n", "\x01\x02", kEofOneByteSample),
        file("raw PGM, two-byte samples", "P5\n1 2\n1000\n", "\x01\x02\x03\x00"s,
             kEofLongSample),
        file("plain PPM", "P3\n2 1\n255\n", "1 2 3 4 5 6\n", kEofByte),
        file("raw PPM, one-byte samples", "P6\n# made by hand\n1 2\n255\n", "abcdef",
             kEofOneByteSample),
        file("raw PPM, two-byte samples", "P61 1\t65535\r", "\0\1\2\3\4\5"s,
             kEofLongSample),
        file("raw PPM, comment after maxval", "P6 1 1 255#\n", "xyz", kEofOneByteSample),
    };
}

TEST(MalformedInput, EveryCutOfAValidFileIsRefusedWithTheMessageOfWhereItEnds) {
    for (const ValidFile &f : validFiles()) {
        const RunResult whole = quantize({"2"}, f.bytes);
        ASSERT_EQ(whole.status, 0) << f.what << ": " << whole.err;
        for (size_t cut = 0; cut < f.bytes.size(); ++cut) {
            const std::string expected = cut < 2 ? kMagic : cut < f.headerEnd ? kEofByte : f.rasterEnd;
            expectRefused(quantize({"2"}, f.bytes.substr(0, cut)), expected,
                          std::string(f.what) + " cut to " + std::to_string(cut) + " bytes");
        }
    }
}

// --- Header ---------------------------------------------------------------

TEST(MalformedInput, MagicNumbersThatAreNoImage) {
    expectAllRefused({
        {"P7", "P7 1 1 255\n\0\0\0"s, kBadMagic},
        {"P0", "P0 1 1 255\n\0\0\0"s, kBadMagic},
        {"lower-case p", "p6 1 1 255\n\0\0\0"s, kBadMagic},
        {"a blank before the magic number", " P6 1 1 255\n\0\0\0"s, kBadMagic},
        {"a comment before the magic number", "#c\nP6 1 1 255\n\0\0\0"s, kBadMagic},
        {"another kind of image", "\xff\xd8\xff\xe0\0\x10JFIF"s, kBadMagic},
        {"a single P", "P", kMagic},
    });
}

TEST(MalformedInput, HeaderIntegersThatCannotBeRead) {
    expectAllRefused({
        {"minus sign", "P6 -1 1 255\n\0\0\0"s, kJunk},
        {"plus sign", "P6 1 +1 255\n\0\0\0"s, kJunk},
        {"vertical tab", "P6 \v1 1 255\n\0\0\0"s, kJunk},
        {"form feed", "P6 1 1 \f255\n\0\0\0"s, kJunk},
        {"letter", "P6 a 1 255\n\0\0\0"s, kJunk},
        {"two letters between numbers", "P6 1xy1 255\n\0\0\0"s, kJunk},
        {"no maxval", "P6 1 1\n", kEofByte},
        {"comment running to the end", "P6 1 1 # no line end", kEofByte},
        {"comment after the magic number running to the end", "P6#", kEofByte},
        {"last digit is the last byte", "P6 1 1 255", kEofByte},
        {"width 2147483641", "P6 2147483641 1 255\n", kTooLargeInteger},
        {"height 2147483632", "P6 1 2147483632 255\n", kTooLargeInteger},
        {"maxval of eleven digits", "P6 1 1 99999999999\n", kTooLargeInteger},
        {"PGM width with leading zeros beyond the limit", "P5 0002147483641 1 255\n",
         kTooLargeInteger},
        {"PBM height 2147483648", "P4 8 2147483648\n", kTooLargeInteger},
    });
}

TEST(MalformedInput, IntegersAtTheLimitAreReadAndJudgedByWhatTheyMean) {
    expectAllRefused({
        {"maxval 2147483640", "P6 1 1 2147483640\n",
         "maxval (2147483640) is too large.\nThe maximum allowed by the PPM is 65535."},
        {"PPM maxval 65536", "P6 1 1 65536\n\0\0\0\0\0\0"s,
         "maxval (65536) is too large.\nThe maximum allowed by the PPM is 65535."},
        {"PGM maxval 65536", "P5 1 1 65536\n\0\0"s,
         "maxval is too large.  The largest we can handle is 65535."},
    });
    // The largest maxval and the smallest, and leading zeros.
    struct Accepted {
        const char *what;
        std::string bytes, out;
    } accepted[] = {
        {"maxval 65535", "P6 1 1 65535\n\xff\xff\0\0\x12\x34"s,
         "P6\n1 1\n65535\n\xff\xff\0\0\x12\x34"s},
        {"maxval 0", "P6 1 1 0\n\0\0\0"s, "P6\n1 1\n0\n\0\0\0"s},
        {"leading zeros", "P3 0001 01 00255 9 8 7 ", "P6\n1 1\n255\n\x09\x08\x07"},
    };
    for (const Accepted &a : accepted) {
        const RunResult r = quantize({"2"}, a.bytes);
        EXPECT_EQ(r.status, 0) << a.what << ": " << r.err;
        EXPECT_EQ(r.out, a.out) << a.what;
    }
}

// --- Sizes ----------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

// Runs quantize on `file` with its address space limited, where the build
// allows it (the sanitizer reserves terabytes of address space up front).
RunResult runWithMemoryLimit(const std::string &file, unsigned long bytes) {
#ifdef UNDER_ADDRESS_SANITIZER
    (void)bytes;
    return quantize({"2", file});
#else
    // The limit must be set in the child: a shell sets it and becomes the
    // program.
    const std::string command = "ulimit -v " + std::to_string(bytes / 1024) + " && exec '" +
                                kQuantize + "' -quiet 2 '" + file + "'";
    return testsupport::run("/bin/sh", {"-c", command});
#endif
}

TEST(MalformedInput, HeadersClaimingHugeImagesFailWithoutReservingTheirClaim) {
    // 46000 x 46000 pixels would take 25 GB; the file holds 22 raster bytes.
    const std::string claim = temporaryFile("P6\n46000 46000\n255\n" + std::string(22, 'x'));
    const RunResult r = runWithMemoryLimit(claim, 1ul << 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: " + kEofOneByteSample + "\n");
    EXPECT_EQ(r.out, "");

    expectRefused(quantize({"2"}, "P6\n60000 60000\n255\n" + std::string(21, 'x')),
                  "the image from standard input is too large: 60000 columns by 60000 rows is "
                  "more than 2147483647 pixels",
                  "more pixels than a count can hold");
}

TEST(MalformedInput, ImagesWithoutPixelsGiveAnImageWithoutPixels) {
    // Nothing of a raster is read, and nothing but a header is written.
    const struct {
        std::string in, out;
    } cases[] = {
        {"P6 0 3 255\n", "P6\n0 3\n255\n"},
        {"P3 3 0 65535\n", "P6\n3 0\n65535\n"},
        {"P5 0 0 7\n", "P6\n0 0\n7\n"},
        {"P4 0 2\n", "P6\n0 2\n1\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = quantize({"2"}, c.in);
        EXPECT_EQ(r.status, 0) << c.in << r.err;
        EXPECT_EQ(r.out, c.out) << c.in;
    }
}

// --- Raster ---------------------------------------------------------------

TEST(MalformedInput, RastersThatCannotBeRead) {
    expectAllRefused({
        {"plain PBM pixel 2", "P1 3 1 0 2 1\n", kJunkBits},
        {"plain PBM comment running to the end", "P1 3 1 0 1 #", kEofByte},
        {"plain PPM sample with a sign", "P3 1 1 255 1 -2 3\n", kJunk},
        {"plain PPM sample too large to read", "P3 1 1 255 1 2 2147483641\n", kTooLargeInteger},
        {"plain PGM comment running to the end", "P2 2 1 255 1 #", kEofByte},
        {"raw PPM short of its last byte", "P6 2 1 255\nabcde", kEofOneByteSample},
        {"raw two-byte PPM short of its last byte", "P6 1 1 256\n\0\1\0\1\0"s, kEofLongSample},
    });
}

TEST(MalformedInput, SamplesAboveMaxvalAreRefusedWithTheirPlace) {
    const std::string above = "the image from standard input has a sample of value ";
    expectAllRefused({
        {"plain PPM", "P3 1 2 255 1 2 3 4 300 6\n", above + "300 (row 1, column 0) above its maxval 255"},
        {"plain PGM", "P2 2 1 15 15 16\n", above + "16 (row 0, column 1) above its maxval 15"},
        {"raw PPM", "P6 1 1 100\n\x01\xc8\x01", above + "200 (row 0, column 0) above its maxval 100"},
        {"raw two-byte PGM", "P5 1 1 1000\n\x03\xe9", above + "1001 (row 0, column 0) above its maxval 1000"},
        {"maxval 0", "P6 1 1 0\n\0\1\0"s, above + "1 (row 0, column 0) above its maxval 0"},
    });
}

// --- Map image ------------------------------------------------------------

TEST(MalformedInput, MapImagesThatCannotServeAsAColourMap) {
    const std::string input = "P6 1 1 255\nabc";
    const std::string zeroWidth = temporaryFile("P6 0 5 255\n");
    const std::string zeroHeight = temporaryFile("P3 5 0 255\n");
    const std::string truncated = temporaryFile("P6 2 1 255\nabcde");
    const std::string notAnImage = temporaryFile("");
    std::string ramp = "P6 256 128 255\n";  // 32768 distinct colours
    for (int i = 0; i < 256 * 128; ++i)
        ramp += {static_cast<char>(i & 0xff), static_cast<char>(i >> 8), 0};
    const std::string tooMany = temporaryFile(ramp);
    const struct {
        std::string map, message;
    } cases[] = {
        {zeroWidth, "colormap in file '" + zeroWidth + "' contains no pixels"},
        {zeroHeight, "colormap in file '" + zeroHeight + "' contains no pixels"},
        {truncated, kEofOneByteSample},
        {notAnImage, kMagic},
        {tooMany, "too many colors in colormap!"},
    };
    for (const auto &c : cases)
        expectRefused(quantize({"-mapfile", c.map}, input), c.message, c.map);
}

// --- Output ---------------------------------------------------------------

TEST(MalformedOutput, AFullDeviceEndsTheRunWithStatusOne) {
    const std::string image = temporaryFile("P6 2 1 255\nabcdef");
    const RunResult r = testsupport::run(kQuantize, {"-quiet", "2", image}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: could not write the output image to standard output\n");
}

TEST(MalformedOutput, APipeWithoutReaderEndsTheRunAtOnceBySignal) {
    // An image larger than the output stream's buffer.
    std::string image = "P6 128 128 255\n";
    for (int i = 0; i < 128 * 128; ++i)
        image += {static_cast<char>(i & 0xff), static_cast<char>((i >> 8) & 0xff), static_cast<char>(i * 7)};
    const std::string input = temporaryFile(image);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    close(out[0]);  // the reader has gone before the program writes
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);  // as a shell starts a filter
        dup2(out[1], 1);
        close(out[1]);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl(kQuantize.c_str(), kQuantize.c_str(), "-quiet", "16", input.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Generous: a hang is what is being ruled out, not slowness.
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 600 && done == 0; ++waited) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "quantize went on writing into a pipe nobody reads";
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

}  // namespace
