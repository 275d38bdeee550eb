// The built quantize program, run as a user runs it: its command line and
// the images it makes, with exact standard output, standard error and exit
// status. (What it refuses to read is in malformed_input_test.cpp.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using testsupport::RunResult;
using testsupport::temporaryFile;

const std::string kQuantize = QUANTIZE_PATH;

struct Rgb {
    unsigned r, g, b;
    bool operator<(const Rgb &o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
    bool operator==(const Rgb &o) const { return std::tie(r, g, b) == std::tie(o.r, o.g, o.b); }
};

// A raw PPM exactly as the program writes one.
std::string rawPpm(int cols, int rows, unsigned maxval, const std::vector<Rgb> &pixels) {
    std::string out = "P6\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n" +
                      std::to_string(maxval) + "\n";
    for (const Rgb &p : pixels)
        for (unsigned s : {p.r, p.g, p.b}) {
            if (maxval > 255)
                out += static_cast<char>(s >> 8);
            out += static_cast<char>(s & 0xff);
        }
    return out;
}

// The distinct colours of an 8-bit raw PPM the program wrote.
std::set<Rgb> colours(const std::string &ppm) {
    int cols = 0, rows = 0, pos = 0;
    sscanf(ppm.c_str(), "P6\n%d %d\n%*u\n%n", &cols, &rows, &pos);
    EXPECT_EQ(ppm.size(), pos + 3u * cols * rows) << "size of the raster";
    std::set<Rgb> found;
    for (size_t i = pos; i + 2 < ppm.size(); i += 3)
        found.insert(Rgb{static_cast<unsigned char>(ppm[i]), static_cast<unsigned char>(ppm[i + 1]),
                         static_cast<unsigned char>(ppm[i + 2])});
    return found;
}

// Each line prefixed with the program name, as pm_message and pm_error write.
std::string messages(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines)
        out += "quantize: " + l + "\n";
    return out;
}

RunResult quantize(const std::vector<std::string> &args, const std::string &input = "") {
    return testsupport::run(kQuantize, args, input);
}

unsigned rescale(unsigned s, unsigned oldmax, unsigned newmax) {
    return (s * newmax + oldmax / 2) / oldmax;
}

const std::string kThreeColours = "P3\n3 1\n255\n10 20 30  40 50 60  70 80 90\n";
const std::string kPhoto = testsupport::sourcePath("examples/coffee.ppm");

// --- Command line -----------------------------------------------------------

TEST(QuantizeCommandLine, EveryMessageInTheOrderOfItsCheck) {
    const std::string noNumber =
        "quantize: You must specify the number of colors in the output as an argument, or "
        "specify the -mapfile option.\n";
    const std::string notNumber = "' is not a number.\n";
    const std::string positive = "quantize: The number of colors must be positive\n";
    const std::string conflict = "quantize: You cannot specify both -floyd and -nofloyd options.\n";
    const std::string help = "quantize: Use 'man quantize' for help.\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-floyd"}, 1, noNumber},
        // Too many arguments is found before a bad number.
        {{"abc", "b", "c", "d"}, 1,
         "quantize: Program takes at most two arguments: number of colors and input "
         "file specification.  You specified 4 arguments.\n"},
        {{"abc"}, 1, "quantize: The number of colors argument 'abc" + notNumber},
        {{"0x10"}, 1, "quantize: The number of colors argument '0x10" + notNumber},
        {{"8 "}, 1, "quantize: The number of colors argument '8 " + notNumber},
        {{""}, 1, positive},
        {{"--", "-3"}, 1, positive},
        {{"1"}, 1, "quantize: The number of colors must be greater than 1.\n"},
        // A count beyond 32 bits saturates: never 4294967298 mod 2^32 = 2.
        {{"4294967298"}, 1,
         messages({"making histogram...", "3 colors found", "choosing 2147483647 colors...",
                   "out of memory"})},
        {{"-3"}, 99, "unrecognized option `-3'\n"},
        {{"--floydx", "8"}, 99, "unrecognized option `--floydx'\n"},
        {{"-floyd=1", "8"}, 99, "option `--floyd' doesn't allow an argument\n"},
        // The start-up takes -plain away before the option parser looks.
        {{"-mapfile", "-plain"}, 99, "option `--mapfile' requires an argument\n"},
        // The conflict comes first of all, whatever the spelling.
        {{"-fs", "-nofs", "1", "2", "3"}, 1, conflict},
        {{"-f", "-no", "-mapfile", "x", "a", "b"}, 1, conflict},
        {{"-m=map.ppm", "a", "b"}, 1,
         "quantize: When you specify the -mapfile option, the only argument allowed is the input "
         "file specification.  You specified 2 arguments.\n"},
        {{"-quiet", "--HELP", "8"}, 1, help},
        // -mapfile makes the single argument a file name, not a number.
        {{"-mapfile", "nonexistent-map.ppm", "8"}, 1,
         "quantize: Unable to open file '8' for reading.  fopen() returns errno 2 (No such file "
         "or directory)\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = quantize(c.args, kThreeColours);
        std::string shown;
        for (const auto &a : c.args)
            shown += "[" + a + "]";
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(QuantizeCommandLine, VersionReportEndsTheRunSuccessfully) {
    const RunResult r = quantize({"8", "-version", "-help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("quantize: Using libkestrum from Kestrum Version: "));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5);

    const RunResult quiet = quantize({"-quiet", "--version"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST(QuantizeCommandLine, DitheringOptionsAndTheirAbbreviations) {
    // A grey row that dithering must break up: without it every pixel maps to
    // black; with it the error of 100 per pixel soon reaches past 127.
    std::string image = "P2\n40 1\n255\n";
    for (int i = 0; i < 40; ++i)
        image += "100 ";
    const std::string palette = temporaryFile("P3\n2 1\n255\n0 0 0  255 255 255\n", ".ppm");
    const std::set<Rgb> black{{0, 0, 0}}, both{{0, 0, 0}, {255, 255, 255}};
    const std::vector<std::pair<std::vector<std::string>, std::set<Rgb>>> cases = {
        {{}, black}, {{"-no"}, black}, {{"-f"}, both}, {{"--fs"}, both},
    };
    for (const auto &[options, expected] : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-mapfile", palette});
        const RunResult r = quantize(args, image);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(colours(r.out), expected) << (options.empty() ? "" : options[0]);
    }
}

// --- Results worked out by hand --------------------------------------------

struct ResultCase {
    const char *what;
    std::vector<std::string> args;
    std::string input, out;
    std::vector<std::string> err;  // the messages before "mapping image to new colors..."
};

// The messages of choosing n colours among `found`.
std::vector<std::string> chose(int found, int n) {
    return {"making histogram...", std::to_string(found) + " colors found",
            "choosing " + std::to_string(n) + " colors..."};
}

TEST(QuantizeColours, ResultsWorkedOutByHand) {
    const std::string inputFile = temporaryFile(kThreeColours, ".ppm");
    const std::string same = rawPpm(3, 1, 255, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}});
    const std::string rescaling = "rescaling input image to match colormap maxval";
    const ResultCase cases[] = {
        // Sorted by green, half of the 4 pixels lies on each side.
        {"two colours", {"2"},
         rawPpm(4, 1, 255, {{0, 0, 0}, {10, 10, 10}, {200, 200, 200}, {250, 250, 250}}),
         rawPpm(4, 1, 255, {{5, 5, 5}, {5, 5, 5}, {225, 225, 225}, {225, 225, 225}}), chose(4, 2)},
        {"more colours than the image has", {"8"},
         rawPpm(2, 2, 255, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}}),
         rawPpm(2, 2, 255, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}}), chose(4, 8)},
        // 16-bit: the box {1000, 65535} has the mean 33267; 1000 is nearer 0.
        {"16-bit samples", {"2"},
         rawPpm(3, 1, 65535, {{0, 0, 0}, {1000, 1000, 1000}, {65535, 65535, 65535}}),
         rawPpm(3, 1, 65535, {{0, 0, 0}, {0, 0, 0}, {33267, 33267, 33267}}), chose(3, 2)},
        {"raw grey input, 16-bit", {"2"}, "P5\n2 1\n1000\n" + std::string("\x03\xe8\x00\x01", 4),
         rawPpm(2, 1, 1000, {{1000, 1000, 1000}, {1, 1, 1}}), chose(2, 2)},
        {"raw bilevel input", {"2"}, std::string("P4\n3 1\n\x40", 8),
         rawPpm(3, 1, 1, {{1, 1, 1}, {0, 0, 0}, {1, 1, 1}}), chose(2, 2)},
        {"plain grey input, plain output", {"-plain", "3"}, "P2\n3 1\n15\n0 7 15\n",
         "P3\n3 1\n15\n0 0 0  7 7 7  15 15 15\n", chose(3, 3)},
        // Spellings of the number and the input.
        {"a plus sign", {"+3"}, kThreeColours, same, chose(3, 3)},
        {"a leading blank, standard input named", {" 3", "-"}, kThreeColours, same, chose(3, 3)},
        {"a file after the options' end", {"--", "3", inputFile}, "", same, chose(3, 3)},
        {"quiet, not dithered", {"-nofs", "3", "-quiet", "--nofloyd"}, kThreeColours, same, {}},
        // Decisions: images without pixels give the header alone, and maxval
        // 0 is an image of one colour.
        {"width 0", {"2"}, "P6\n0 5\n255\n", "P6\n0 5\n255\n", chose(0, 2)},
        {"width 0, half a billion rows", {"-plain", "2"}, "P3 0 500000000 255\n",
         "P3\n0 500000000\n255\n", chose(0, 2)},
        {"height 0, plain", {"2", "-plain"}, "P3\n4 0\n65535\n", "P3\n4 0\n65535\n", chose(0, 2)},
        {"maxval 0", {"2"}, "P3\n2 1\n0\n0 0 0 0 0 0\n", rawPpm(2, 1, 0, {{0, 0, 0}, {0, 0, 0}}),
         chose(1, 2)},
        // Mapped onto the colours of a map image.
        {"equal maxvals", {"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  60 60 60\n")}, kThreeColours,
         rawPpm(3, 1, 255, {{0, 0, 0}, {60, 60, 60}, {60, 60, 60}}), {"2 colors found in colormap"}},
        // 255 -> 15, 8 -> 0, 9 -> 1 at the map's maxval.
        {"different maxvals", {"-map", temporaryFile("P3\n3 1\n15\n0 0 0 1 1 1 15 15 15\n")},
         "P3\n3 1\n255\n255 255 255  8 8 8  9 9 9\n",
         rawPpm(3, 1, 15, {{15, 15, 15}, {0, 0, 0}, {1, 1, 1}}),
         {rescaling, "3 colors found in colormap"}},
        // (6, 34, 9) shares a hash bucket with black and, seen last, comes
        // first in the map. (3, 17, 4) is 19 from both once each square is
        // divided by 16, so the first wins; unscaled, black is nearer.
        {"16-bit distances are scaled", {"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  6 34 9\n")},
         "P3\n1 1\n65535\n3 17 4\n", rawPpm(1, 1, 65535, {{6, 34, 9}}), {"2 colors found in colormap"}},
        // Differences above 46340 square beyond 32 bits signed.
        {"16-bit colours far apart",
         {"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  65535 65535 65535\n")},
         "P3\n2 1\n65535\n50000 50000 50000  15000 15000 15000\n",
         rawPpm(2, 1, 65535, {{65535, 65535, 65535}, {0, 0, 0}}), {"2 colors found in colormap"}},
        {"map from standard input", {"-mapfile", "-", inputFile}, "P3\n1 1\n255\n1 2 3\n",
         rawPpm(3, 1, 255, std::vector<Rgb>(3, Rgb{1, 2, 3})), {"1 colors found in colormap"}},
        // Both from standard input: the input image first, the map after it.
        {"both from standard input", {"-mapfile", "-", "-"},
         "P3\n2 1\n255\n0 0 0 250 250 250\nP3\n1 1\n255\n9 9 9\n",
         rawPpm(2, 1, 255, std::vector<Rgb>(2, Rgb{9, 9, 9})), {"1 colors found in colormap"}},
        // Decision: rescaling from maxval 0 gives 0.
        {"input of maxval 0", {"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  255 255 255\n")},
         "P3\n2 1\n0\n0 0 0  0 0 0\n", rawPpm(2, 1, 255, {{0, 0, 0}, {0, 0, 0}}),
         {rescaling, "2 colors found in colormap"}},
    };
    for (const ResultCase &c : cases) {
        std::vector<std::string> err = c.err;
        if (!err.empty())
            err.push_back("mapping image to new colors...");
        const RunResult r = quantize(c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, messages(err)) << c.what;
    }
}

TEST(QuantizeColours, TooManyColoursHalveTheMaxvalUntilTheyFit) {
    // 64 x 64 x 8 levels, 257 apart: distinct down to maxval 255, where the
    // levels come one apart, and merged in pairs at 127 (4096 colours).
    std::vector<Rgb> pixels, expected;
    for (unsigned i = 0; i < 32768; ++i)
        pixels.push_back(Rgb{i % 64 * 257, i / 64 % 64 * 257, i / 4096 * 257});
    const unsigned chain[] = {65535, 32767, 16383, 8191, 4095, 2047, 1023, 511, 255, 127};
    std::vector<std::string> err{"making histogram..."};
    for (size_t i = 1; i < std::size(chain); ++i) {
        err.push_back("too many colors!");
        err.push_back("scaling colors from maxval=" + std::to_string(chain[i - 1]) + " to maxval=" +
                      std::to_string(chain[i]) + " to improve clustering...");
        err.push_back("making histogram...");
    }
    for (Rgb p : pixels) {
        for (size_t i = 1; i < std::size(chain); ++i)
            p = Rgb{rescale(p.r, chain[i - 1], chain[i]), rescale(p.g, chain[i - 1], chain[i]),
                    rescale(p.b, chain[i - 1], chain[i])};
        expected.push_back(p);
    }
    err.insert(err.end(), {"4096 colors found", "choosing 4096 colors...",
                           "mapping image to new colors..."});
    const RunResult r = quantize({"4096"}, rawPpm(256, 128, 65535, pixels));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, messages(err));
    EXPECT_EQ(r.out, rawPpm(256, 128, 127, expected));

    // 32767 colours still fit.
    std::vector<Rgb> fits;
    for (unsigned i = 0; i < 32768; ++i)
        fits.push_back(Rgb{i % 256, i / 256, 0});
    fits.back() = fits.front();
    const RunResult f = quantize({"2"}, rawPpm(256, 128, 255, fits));
    EXPECT_EQ(f.err, messages({"making histogram...", "32767 colors found", "choosing 2 colors...",
                               "mapping image to new colors..."}));
    EXPECT_THAT(f.out, StartsWith("P6\n256 128\n255\n"));
}

// --- A photograph ----------------------------------------------------------

TEST(QuantizePhoto, UnditheredOutputIsStableDitheredUsesOnlyMapColours) {
    const RunResult first = quantize({"-quiet", "16", kPhoto});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, quantize({"-quiet", "16", kPhoto}).out);
    unsigned maxval = 0;
    sscanf(first.out.c_str(), "P6 %*d %*d %u", &maxval);
    EXPECT_EQ(maxval, 63u);  // 94478 colours: halved twice
    EXPECT_LE(colours(first.out).size(), 16u);

    // Dithered: seeds are time ^ pid, so two runs may now and then share
    // one; three runs all alike would take two such coincidences. (A
    // photograph: on a small synthetic image different seeds often give the
    // same output.)
    const RunResult dithered = quantize({"-quiet", "-fs", "16", kPhoto});
    const RunResult second = quantize({"-quiet", "-fs", "16", kPhoto});
    const RunResult third = quantize({"-quiet", "-fs", "16", kPhoto});
    ASSERT_EQ(dithered.status, 0);
    EXPECT_FALSE(dithered.out == second.out && second.out == third.out);
    EXPECT_LE(colours(dithered.out).size(), 16u);

    const std::set<Rgb> corners{{0, 0, 0},     {255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                                {255, 255, 0}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    const std::string palette = temporaryFile(
        "P3\n8 1\n255\n0 0 0 255 0 0 0 255 0 0 0 255 255 255 0 255 0 255 0 255 255 255 255 255\n");
    const RunResult mapped = quantize({"-quiet", "-floyd", "-mapfile", palette, kPhoto});
    ASSERT_EQ(mapped.status, 0);
    const std::set<Rgb> used = colours(mapped.out);
    EXPECT_TRUE(std::includes(corners.begin(), corners.end(), used.begin(), used.end()));
}

// --- Output that cannot be written ------------------------------------------

TEST(QuantizeOutput, AFullDeviceEndsTheRunWithStatusOne) {
    const std::string small = temporaryFile(kThreeColours, ".ppm");
    RunResult r = testsupport::run(kQuantize, {"-quiet", "2", small}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: could not write the output image to standard output\n");

    r = testsupport::run(kQuantize, {"2", small}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, EndsWith("quantize: A file read or write error occurred at some point\n"
                                "quantize: could not write the output image to standard output\n"));

    // Larger than the stream's buffer: the row writer finds the error first.
    r = testsupport::run(kQuantize, {"-quiet", "16", kPhoto}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: Error writing single byte sample to file\n");
}

}  // namespace
