// Hostile and broken input fed to the built quantize program. Whatever the
// bytes, the run ends with the reader's (or the program's) exact message and
// status 1, and nothing on standard output: no crash, no hang, no partial
// image behind a refusal. The families of bad input are tables; every small
// valid file is also cut at every byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
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
void expectRefused(const RunResult &r, const std::string &message, const std::string &what) {
    EXPECT_EQ(r.status, 1) << what;
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

TEST(MalformedInput, HeadersThatCannotBeRead) {
    expectAllRefused({
        {"P7", "P7 1 1 255\n\0\0\0"s, kBadMagic},
        {"lower-case p", "p6 1 1 255\n\0\0\0"s, kBadMagic},
        {"a comment before the magic number", "#c\nP6 1 1 255\n\0\0\0"s, kBadMagic},
        {"a single P", "P", kMagic},
        {"minus sign", "P6 -1 1 255\n\0\0\0"s, kJunk},
        {"vertical tab", "P6 \v1 1 255\n\0\0\0"s, kJunk},
        {"two letters between numbers", "P6 1xy1 255\n\0\0\0"s, kJunk},
        {"comment running to the end", "P6 1 1 # no line end", kEofByte},
        {"width 2147483641", "P6 2147483641 1 255\n", kTooLargeInteger},
        {"PBM height 2147483648", "P4 8 2147483648\n", kTooLargeInteger},
        // Integers at the limit are read, then judged by what they mean.
        {"maxval 2147483640", "P6 1 1 2147483640\n",
         "maxval (2147483640) is too large.\nThe maximum allowed by the PPM is 65535."},
        {"PGM maxval 65536", "P5 1 1 65536\n\0\0"s,
         "maxval is too large.  The largest we can handle is 65535."},
        {"more pixels than a count can hold", "P6\n60000 60000\n255\n" + std::string(21, 'x'),
         "the image from standard input is too large: 60000 columns by 60000 rows is "
         "more than 2147483647 pixels"},
    });
}

// --- Raster ---------------------------------------------------------------

TEST(MalformedInput, RastersThatCannotBeRead) {
    expectAllRefused({
        {"plain PBM pixel 2", "P1 3 1 0 2 1\n", kJunkBits},
        {"plain PPM sample with a sign", "P3 1 1 255 1 -2 3\n", kJunk},
        {"plain PPM sample too large to read", "P3 1 1 255 1 2 2147483641\n", kTooLargeInteger},
        {"plain PGM comment running to the end", "P2 2 1 255 1 #", kEofByte},
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

// --- Size -----------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

TEST(MalformedInput, HugeClaimsFailFastWithoutReservingThem) {
    // 46000 x 46000 pixels would take 25 GB; the file holds 22 raster bytes.
    // The address space is limited where the build allows it (the sanitizer
    // reserves terabytes up front); a shell sets the limit and becomes the
    // program.
    const std::string claim = temporaryFile("P6\n46000 46000\n255\n" + std::string(22, 'x'));
#ifdef UNDER_ADDRESS_SANITIZER
    const RunResult r = quantize({"2", claim});
#else
    const RunResult r = testsupport::run(
        "/bin/sh", {"-c", "ulimit -v 1048576 && exec '" + kQuantize + "' -quiet 2 '" + claim + "'"});
#endif
    expectRefused(r, kEofOneByteSample, "claim of 46000 x 46000 pixels");
}

// --- Map image ------------------------------------------------------------

TEST(MalformedInput, MapImagesThatCannotServeAsAColourMap) {
    const std::string input = "P6 1 1 255\nabc";
    const std::string zeroWidth = temporaryFile("P6 0 5 255\n");
    const std::string notAnImage = temporaryFile("");
    const std::string badSample = temporaryFile("P3\n1 1\n100\n0 101 0\n");
    std::string ramp = "P6 256 128 255\n";  // 32768 distinct colours
    for (int i = 0; i < 256 * 128; ++i)
        ramp += {static_cast<char>(i & 0xff), static_cast<char>(i >> 8), 0};
    const std::string tooMany = temporaryFile(ramp);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-mapfile", zeroWidth}, "colormap in file '" + zeroWidth + "' contains no pixels"},
        {{"-mapfile", notAnImage}, kMagic},
        {{"-mapfile", badSample},
         "the image from file '" + badSample + "' has a sample of value 101 (row 0, column 0) "
         "above its maxval 100"},
        {{"-mapfile", tooMany}, "too many colors in colormap!"},
        // The input is read and closed before the map is opened.
        {{"-mapfile", "no-such-map.ppm", "no-such-input.ppm"},
         "Unable to open file 'no-such-input.ppm' for reading.  fopen() returns errno 2 (No such "
         "file or directory)"},
    };
    for (const auto &c : cases)
        expectRefused(quantize(c.args, input), c.message, c.args[1]);
}

// --- Output ---------------------------------------------------------------

TEST(MalformedOutput, APipeWithoutReaderEndsTheRunBySignal) {
    // An image larger than a pipe holds, written to a reader that has gone
    // (the shell starts the program with SIGPIPE at its default).
    std::string image = "P6 256 256 255\n";
    for (int i = 0; i < 256 * 256; ++i)
        image += {static_cast<char>(i & 0xff), static_cast<char>(i >> 8), static_cast<char>(i * 7)};
    const RunResult r = testsupport::run(
        "/bin/bash", {"-c", "'" + kQuantize + "' -quiet 16 '" + temporaryFile(image) +
                                "' | true; exit ${PIPESTATUS[0]}"});
    EXPECT_EQ(r.status, 128 + SIGPIPE);
}

}  // namespace
