// The built quantize program, run as a user runs it: argument vectors,
// standard input and files in; exact standard output, standard error and
// exit status out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::RunResult;
using testsupport::temporaryFile;

const std::string kQuantize = QUANTIZE_PATH;

struct Rgb {
    unsigned r, g, b;
    bool operator<(const Rgb &o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

// A raw PPM exactly as the program writes one.
std::string rawPpm(int cols, int rows, unsigned maxval, const std::vector<Rgb> &pixels) {
    std::string out = "P6\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n" +
                      std::to_string(maxval) + "\n";
    for (const Rgb &p : pixels) {
        for (unsigned s : {p.r, p.g, p.b}) {
            if (maxval > 255)
                out += static_cast<char>(s >> 8);
            out += static_cast<char>(s & 0xff);
        }
    }
    return out;
}

// The pixels of a raw PPM the program wrote (header as the writer makes it).
struct Decoded {
    int cols = 0, rows = 0;
    unsigned maxval = 0;
    std::vector<Rgb> pixels;
};
Decoded decode(const std::string &ppm) {
    Decoded d;
    int consumed = 0;
    sscanf(ppm.c_str(), "P6\n%d %d\n%u\n%n", &d.cols, &d.rows, &d.maxval, &consumed);
    const int bytes = d.maxval > 255 ? 2 : 1;
    size_t pos = static_cast<size_t>(consumed);
    auto next = [&]() {
        unsigned v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v * 256 + static_cast<unsigned char>(ppm.at(pos++));
        return v;
    };
    for (long i = 0; i < static_cast<long>(d.cols) * d.rows; ++i) {
        const unsigned r = next(), g = next(), b = next();
        d.pixels.push_back(Rgb{r, g, b});
    }
    EXPECT_EQ(pos, ppm.size()) << "bytes after the raster";
    return d;
}

std::set<Rgb> distinct(const std::vector<Rgb> &pixels) { return {pixels.begin(), pixels.end()}; }

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

// --- Command line -----------------------------------------------------------

struct CommandLineCase {
    std::vector<std::string> args;
    int status;
    std::string err;
};

TEST(QuantizeCommandLine, EveryMessageInTheOrderOfItsCheck) {
    const std::string noNumber =
        "quantize: You must specify the number of colors in the output as an argument, or "
        "specify the -mapfile option.\n";
    const std::string twoArgsMap =
        "quantize: When you specify the -mapfile option, the only argument allowed is the input "
        "file specification.  You specified 2 arguments.\n";
    const std::string conflict = "quantize: You cannot specify both -floyd and -nofloyd options.\n";
    const std::string positive = "quantize: The number of colors must be positive\n";
    const CommandLineCase cases[] = {
        {{}, 1, noNumber},
        {{"-floyd"}, 1, noNumber},
        {{"1", "2", "3"}, 1,
         "quantize: Program takes at most two arguments: number of colors and input "
         "file specification.  You specified 3 arguments.\n"},
        // Too many arguments is found before a bad number.
        {{"abc", "b", "c", "d"}, 1,
         "quantize: Program takes at most two arguments: number of colors and input "
         "file specification.  You specified 4 arguments.\n"},
        {{"abc"}, 1, "quantize: The number of colors argument 'abc' is not a number.\n"},
        {{"8x"}, 1, "quantize: The number of colors argument '8x' is not a number.\n"},
        {{"0x10"}, 1, "quantize: The number of colors argument '0x10' is not a number.\n"},
        {{"8 "}, 1, "quantize: The number of colors argument '8 ' is not a number.\n"},
        {{""}, 1, positive},
        {{"0"}, 1, positive},
        {{"--", "-3"}, 1, positive},
        {{"-3"}, 99, "unrecognized option `-3'\n"},
        {{"1"}, 1, "quantize: The number of colors must be greater than 1.\n"},
        // The conflict comes first of all.
        {{"-fs", "-nofs", "1", "2", "3"}, 1, conflict},
        {{"-floyd", "-nofloyd"}, 1, conflict},
        {{"-f", "-no", "-mapfile", "x", "a", "b"}, 1, conflict},
        {{"-mapfile", "map.ppm", "a", "b"}, 1, twoArgsMap},
        {{"-m=map.ppm", "a", "b"}, 1, twoArgsMap},
        {{"--mapfile", "map.ppm", "a", "b"}, 1, twoArgsMap},
        {{"-mapfile"}, 99, "option `--mapfile' requires an argument\n"},
        // The start-up takes -plain away before the option parser looks.
        {{"-mapfile", "-plain"}, 99, "option `--mapfile' requires an argument\n"},
        {{"-floyd=1", "8"}, 99, "option `--floyd' doesn't allow an argument\n"},
        {{"-x", "8"}, 99, "unrecognized option `-x'\n"},
        {{"--floydx", "8"}, 99, "unrecognized option `--floydx'\n"},
        {{"-help"}, 1, "quantize: Use 'man quantize' for help.\n"},
        {{"-quiet", "--HELP", "8"}, 1, "quantize: Use 'man quantize' for help.\n"},
        // -mapfile makes the single argument a file name, not a number.
        {{"-mapfile", "nonexistent-map.ppm", "8"}, 1,
         "quantize: Unable to open file '8' for reading.  fopen() returns errno 2 (No such file "
         "or directory)\n"},
    };
    for (const CommandLineCase &c : cases) {
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

TEST(QuantizeCommandLine, AcceptedSpellingsOfTheNumberAndTheInput) {
    const std::string expected = rawPpm(3, 1, 255, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}});
    const std::string file = temporaryFile(kThreeColours, ".ppm");
    const std::vector<std::vector<std::string>> spellings = {
        {"3"}, {"+3"}, {" 3"}, {"3", "-"}, {"--", "3"}, {"3", file}, {"3", "-quiet", file},
        {"-nofloyd", "3"}, {"-nofs", "3", "--nofloyd"},
    };
    for (const auto &args : spellings) {
        const RunResult r = quantize(args, kThreeColours);
        EXPECT_EQ(r.status, 0) << args[0] << " " << r.err;
        EXPECT_EQ(r.out, expected) << args[0];
    }
}

// A grey row that dithering must break up: without it every pixel maps to
// black; with it the error of 100 per pixel soon reaches past 127.
struct DitherProbe {
    std::string image = "P2\n40 1\n255\n" + [] {
        std::string row;
        for (int i = 0; i < 40; ++i)
            row += "100 ";
        return row + "\n";
    }();
    std::string palette = temporaryFile("P3\n2 1\n255\n0 0 0  255 255 255\n", ".ppm");

    bool dithers(std::vector<std::string> options) {
        options.push_back("-mapfile");
        options.push_back(palette);
        const RunResult r = quantize(options, image);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::set<Rgb> colours = distinct(decode(r.out).pixels);
        EXPECT_TRUE(colours.count(Rgb{0, 0, 0}));
        return colours.count(Rgb{255, 255, 255}) > 0;
    }
};

TEST(QuantizeCommandLine, DitheringOptionsAndTheirAbbreviations) {
    DitherProbe probe;
    EXPECT_FALSE(probe.dithers({}));
    EXPECT_FALSE(probe.dithers({"-nofloyd"}));
    EXPECT_FALSE(probe.dithers({"-no"}));
    EXPECT_TRUE(probe.dithers({"-floyd"}));
    EXPECT_TRUE(probe.dithers({"--fs"}));
    EXPECT_TRUE(probe.dithers({"-f"}));
    EXPECT_TRUE(probe.dithers({"-fl"}));
    EXPECT_TRUE(probe.dithers({"-fs", "-fs"}));
}

// --- Quantizing to N colours ----------------------------------------------

struct QuantizeCase {
    const char *what;
    std::vector<std::string> args;
    std::string input;
    std::string out;
    std::vector<std::string> err;
};

TEST(QuantizeColours, ResultsWorkedOutByHand) {
    const QuantizeCase cases[] = {
        // Sorted by green, half of the 4 pixels lies on each side.
        {"two colours", {"2"},
         rawPpm(4, 1, 255, {{0, 0, 0}, {10, 10, 10}, {200, 200, 200}, {250, 250, 250}}),
         rawPpm(4, 1, 255, {{5, 5, 5}, {5, 5, 5}, {225, 225, 225}, {225, 225, 225}}),
         {"making histogram...", "4 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"more colours than the image has", {"8"},
         rawPpm(2, 2, 255, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}}),
         rawPpm(2, 2, 255, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}}),
         {"making histogram...", "4 colors found", "choosing 8 colors...", "mapping image to new colors..."}},
        {"a single colour", {"2"},
         rawPpm(3, 2, 255, std::vector<Rgb>(6, Rgb{7, 8, 9})),
         rawPpm(3, 2, 255, std::vector<Rgb>(6, Rgb{7, 8, 9})),
         {"making histogram...", "1 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        // 16-bit: the box {1000, 65535} has the mean 33267; 1000 is nearer 0.
        {"16-bit samples", {"2"},
         rawPpm(3, 1, 65535, {{0, 0, 0}, {1000, 1000, 1000}, {65535, 65535, 65535}}),
         rawPpm(3, 1, 65535, {{0, 0, 0}, {0, 0, 0}, {33267, 33267, 33267}}),
         {"making histogram...", "3 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"plain grey input", {"3"}, "P2\n3 1\n15\n0 7 15\n",
         rawPpm(3, 1, 15, {{0, 0, 0}, {7, 7, 7}, {15, 15, 15}}),
         {"making histogram...", "3 colors found", "choosing 3 colors...", "mapping image to new colors..."}},
        {"raw grey input, 16-bit", {"2"}, "P5\n2 1\n1000\n" + std::string("\x03\xe8\x00\x01", 4),
         rawPpm(2, 1, 1000, {{1000, 1000, 1000}, {1, 1, 1}}),
         {"making histogram...", "2 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"plain bilevel input", {"2"}, "P1\n3 1\n0 1 0\n",
         rawPpm(3, 1, 1, {{1, 1, 1}, {0, 0, 0}, {1, 1, 1}}),
         {"making histogram...", "2 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"raw bilevel input", {"2"}, std::string("P4\n3 1\n\x40", 8),
         rawPpm(3, 1, 1, {{1, 1, 1}, {0, 0, 0}, {1, 1, 1}}),
         {"making histogram...", "2 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"plain output", {"-plain", "3"}, "P2\n3 1\n15\n0 7 15\n",
         "P3\n3 1\n15\n0 0 0  7 7 7  15 15 15\n",
         {"making histogram...", "3 colors found", "choosing 3 colors...", "mapping image to new colors..."}},
        {"quiet", {"3", "-quiet"}, kThreeColours,
         rawPpm(3, 1, 255, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}}), {}},
        // Decisions: images without pixels give the header alone.
        {"width 0", {"2"}, "P6\n0 5\n255\n", "P6\n0 5\n255\n",
         {"making histogram...", "0 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"height 0, plain", {"2", "-plain"}, "P3\n4 0\n255\n", "P3\n4 0\n255\n",
         {"making histogram...", "0 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
        {"maxval 0", {"2"}, "P3\n2 1\n0\n0 0 0 0 0 0\n", rawPpm(2, 1, 0, {{0, 0, 0}, {0, 0, 0}}),
         {"making histogram...", "1 colors found", "choosing 2 colors...", "mapping image to new colors..."}},
    };
    for (const QuantizeCase &c : cases) {
        const RunResult r = quantize(c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, messages(c.err)) << c.what;
    }
}

// 256 x 128 pixels of distinct colours: red the column, green the row.
std::vector<Rgb> colourRamp() {
    std::vector<Rgb> pixels;
    for (unsigned y = 0; y < 128; ++y)
        for (unsigned x = 0; x < 256; ++x)
            pixels.push_back(Rgb{x, y, 0});
    return pixels;
}

TEST(QuantizeColours, MoreThan32767ColoursLowerTheMaxval) {
    const std::vector<Rgb> ramp = colourRamp();  // 32768 colours
    std::vector<Rgb> expected;
    for (const Rgb &p : ramp)
        expected.push_back(Rgb{rescale(p.r, 255, 127), rescale(p.g, 255, 127), 0});
    const size_t colours = distinct(expected).size();
    ASSERT_EQ(colours, 128u * 64u);
    // Enough colours for every one left: each pixel keeps its rescaled colour.
    const RunResult r = quantize({"9000"}, rawPpm(256, 128, 255, ramp));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, messages({"making histogram...", "too many colors!",
                               "scaling colors from maxval=255 to maxval=127 to improve clustering...",
                               "making histogram...", "8192 colors found", "choosing 9000 colors...",
                               "mapping image to new colors..."}));
    EXPECT_EQ(r.out, rawPpm(256, 128, 127, expected));

    // 32767 colours still fit.
    std::vector<Rgb> fits = ramp;
    fits.back() = fits.front();
    const RunResult f = quantize({"2"}, rawPpm(256, 128, 255, fits));
    EXPECT_EQ(f.err, messages({"making histogram...", "32767 colors found", "choosing 2 colors...",
                               "mapping image to new colors..."}));
    EXPECT_THAT(f.out, StartsWith("P6\n256 128\n255\n"));
}

TEST(QuantizeColours, SixteenBitImageIsHalvedUntilItsColoursFit) {
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
    const std::string colours = std::to_string(distinct(expected).size());
    ASSERT_EQ(colours, "4096");
    err.push_back(colours + " colors found");
    err.push_back("choosing " + colours + " colors...");
    err.push_back("mapping image to new colors...");

    const RunResult r = quantize({colours}, rawPpm(256, 128, 65535, pixels));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, messages(err));
    EXPECT_EQ(r.out, rawPpm(256, 128, 127, expected));
}

// --- Mapping onto a map image ---------------------------------------------

TEST(QuantizeMapFile, MapsOntoTheColoursOfTheMapImage) {
    const std::string inputFile = temporaryFile(kThreeColours, ".ppm");
    const QuantizeCase cases[] = {
        {"equal maxvals", {"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  60 60 60\n")}, kThreeColours,
         rawPpm(3, 1, 255, {{0, 0, 0}, {60, 60, 60}, {60, 60, 60}}),
         {"2 colors found in colormap", "mapping image to new colors..."}},
        // 255 -> 15, 8 -> 0, 9 -> 1 at the map's maxval.
        {"different maxvals", {"-map", temporaryFile("P3\n3 1\n15\n0 0 0 1 1 1 15 15 15\n")},
         "P3\n3 1\n255\n255 255 255  8 8 8  9 9 9\n",
         rawPpm(3, 1, 15, {{15, 15, 15}, {0, 0, 0}, {1, 1, 1}}),
         {"rescaling input image to match colormap maxval", "3 colors found in colormap",
          "mapping image to new colors..."}},
        {"single-colour map", {"--mapfile=" + temporaryFile("P6\n2 2\n255\n" + std::string(12, 'A'))},
         kThreeColours, rawPpm(3, 1, 255, std::vector<Rgb>(3, Rgb{65, 65, 65})),
         {"1 colors found in colormap", "mapping image to new colors..."}},
        // (6, 34, 9) shares a hash bucket with black and, seen last, comes
        // first in the map. (3, 17, 4) is 19 from both once each square is
        // divided by 16, so the first wins; unscaled, black is nearer.
        {"16-bit distances are scaled",
         {"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  6 34 9\n")},
         "P3\n1 1\n65535\n3 17 4\n", rawPpm(1, 1, 65535, {{6, 34, 9}}),
         {"2 colors found in colormap", "mapping image to new colors..."}},
        // Differences above 46340 square beyond 32 bits signed.
        {"16-bit colours far apart",
         {"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  65535 65535 65535\n")},
         "P3\n2 1\n65535\n50000 50000 50000  15000 15000 15000\n",
         rawPpm(2, 1, 65535, {{65535, 65535, 65535}, {0, 0, 0}}),
         {"2 colors found in colormap", "mapping image to new colors..."}},
        {"8-bit distances are not",
         {"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  6 34 9\n")},
         "P3\n1 1\n255\n3 17 4\n", rawPpm(1, 1, 255, {{0, 0, 0}}),
         {"2 colors found in colormap", "mapping image to new colors..."}},
        {"map from standard input", {"-mapfile", "-", inputFile}, "P3\n1 1\n255\n1 2 3\n",
         rawPpm(3, 1, 255, std::vector<Rgb>(3, Rgb{1, 2, 3})),
         {"1 colors found in colormap", "mapping image to new colors..."}},
        // Both from standard input: the input image first, the map after it.
        {"both from standard input", {"-mapfile", "-", "-"},
         "P3\n2 1\n255\n0 0 0 250 250 250\nP3\n1 1\n255\n9 9 9\n",
         rawPpm(2, 1, 255, std::vector<Rgb>(2, Rgb{9, 9, 9})),
         {"1 colors found in colormap", "mapping image to new colors..."}},
        // Decision: rescaling from maxval 0 gives 0.
        {"input of maxval 0", {"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  255 255 255\n")},
         "P3\n2 1\n0\n0 0 0  0 0 0\n", rawPpm(2, 1, 255, {{0, 0, 0}, {0, 0, 0}}),
         {"rescaling input image to match colormap maxval", "2 colors found in colormap",
          "mapping image to new colors..."}},
    };
    for (const QuantizeCase &c : cases) {
        const RunResult r = quantize(c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, messages(c.err)) << c.what;
    }
}

TEST(QuantizeMapFile, MapsThatCannotServe) {
    const std::string empty = temporaryFile("P6\n0 3\n255\n", ".ppm");
    RunResult r = quantize({"-mapfile", empty}, kThreeColours);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: colormap in file '" + empty + "' contains no pixels\n");
    EXPECT_EQ(r.out, "");

    r = quantize({"-mapfile", temporaryFile(rawPpm(256, 128, 255, colourRamp()))}, kThreeColours);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: too many colors in colormap!\n");
    EXPECT_EQ(r.out, "");

    // The input is read and closed before the map is opened.
    r = quantize({"-mapfile", "no-such-map.ppm", "no-such-input.ppm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("quantize: Unable to open file 'no-such-input.ppm' for reading."));
}

// --- Determinism and dithering ---------------------------------------------

TEST(QuantizePhoto, UnditheredOutputIsTheSameRunAfterRun) {
    const std::string photo = testsupport::sourcePath("examples/coffee.ppm");
    const RunResult first = quantize({"-quiet", "16", photo});
    const RunResult second = quantize({"-quiet", "16", photo});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, second.out);
    const Decoded d = decode(first.out);
    EXPECT_EQ(d.maxval, 63u);  // 94478 colours: halved twice
    EXPECT_LE(distinct(d.pixels).size(), 16u);
}

TEST(QuantizePhoto, DitheredOutputVariesButUsesOnlyMapColours) {
    // Seeds are time ^ pid, so two runs may now and then share one; three
    // runs all alike would take two such coincidences. (A photograph: on a
    // small synthetic image different seeds often give the same output.)
    const std::string photo = testsupport::sourcePath("examples/coffee.ppm");
    const RunResult first = quantize({"-quiet", "-fs", "16", photo});
    const RunResult second = quantize({"-quiet", "-fs", "16", photo});
    const RunResult third = quantize({"-quiet", "-fs", "16", photo});
    ASSERT_EQ(first.status, 0);
    EXPECT_FALSE(first.out == second.out && second.out == third.out);
    EXPECT_LE(distinct(decode(first.out).pixels).size(), 16u);

    const std::set<Rgb> corners{{0, 0, 0},     {255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                                {255, 255, 0}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    const std::string palette = temporaryFile(
        "P3\n8 1\n255\n0 0 0 255 0 0 0 255 0 0 0 255 255 255 0 255 0 255 0 255 255 255 255 255\n");
    const RunResult mapped = quantize({"-quiet", "-floyd", "-mapfile", palette, photo});
    ASSERT_EQ(mapped.status, 0);
    for (const Rgb &p : distinct(decode(mapped.out).pixels))
        EXPECT_TRUE(corners.count(p)) << p.r << " " << p.g << " " << p.b;
}

// --- What the program refuses ----------------------------------------------

TEST(QuantizeRefuses, InputItCannotProcessFaithfully) {
    const std::string badMap = temporaryFile("P3\n1 1\n100\n0 101 0\n", ".ppm");
    const CommandLineCase cases[] = {
        {{"2"}, 1,
         "quantize: the image from standard input has a sample of value 500 (row 1, column 0) "
         "above its maxval 255\n"},
        {{"-mapfile", badMap}, 1,
         "quantize: the image from file '" + badMap +
             "' has a sample of value 101 (row 0, column 0) above its maxval 100\n"},
        // A count beyond 32 bits saturates: never 4294967298 mod 2^32 = 2.
        {{"4294967298"}, 1, "quantize: out of memory\n"},
    };
    const std::string input = "P3\n1 2\n255\n1 2 3\n4 500 6\n";
    for (const CommandLineCase &c : cases) {
        const RunResult r = quantize(c.args, c.args[0] == "2" ? input : kThreeColours);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_THAT(r.err, EndsWith(c.err)) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
    }
    const RunResult huge = quantize({"4294967298"}, kThreeColours);
    EXPECT_THAT(huge.err, HasSubstr("choosing 2147483647 colors..."));

    // Refused from its header: nothing of a raster is needed to know.
    const RunResult big = quantize({"2"}, "P6\n65536 32768\n255\n");
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.err,
              "quantize: the image from standard input is too large: 65536 columns by 32768 rows "
              "is more than 2147483647 pixels\n");
}

TEST(QuantizeRefuses, ToEndSuccessfullyWhenTheOutputCouldNotBeWritten) {
    const std::string small = temporaryFile(kThreeColours, ".ppm");
    RunResult r = testsupport::run(kQuantize, {"-quiet", "2", small}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quantize: could not write the output image to standard output\n");

    r = testsupport::run(kQuantize, {"2", small}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, EndsWith("quantize: A file read or write error occurred at some point\n"
                                "quantize: could not write the output image to standard output\n"));

    // Larger than the stream's buffer: the row writer finds the error first.
    r = testsupport::run(kQuantize, {"-quiet", "16", testsupport::sourcePath("examples/coffee.ppm")},
                         "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
}

}  // namespace
