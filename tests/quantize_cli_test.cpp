// The built quantize program, run as a user runs it: one table of command
// lines and the images they make, one of hostile input, each row with its
// exact standard output, standard error and exit status. A refused input
// leaves nothing on standard output: no crash, no hang, no partial image.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::string_literals;
using testsupport::temporaryFile;

const std::string kQuantize = QUANTIZE_PATH, kPhoto = testsupport::sourcePath("examples/coffee.ppm");

// The program's messages, each line after its name.
std::string said(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines)
        out += "quantize: " + l + "\n";
    return out;
}

// The messages of choosing n colours among `found`, then mapping.
std::string chose(int found, int n) {
    return said({"making histogram...", std::to_string(found) + " colors found",
                 "choosing " + std::to_string(n) + " colors...", "mapping image to new colors..."});
}
std::string mapped(int n, bool rescaled = false) {
    std::vector<std::string> lines{std::to_string(n) + " colors found in colormap", "mapping image to new colors..."};
    if (rescaled)
        lines.insert(lines.begin(), "rescaling input image to match colormap maxval");
    return said(lines);
}

// A raw PPM as the program writes one, from its samples.
std::string ppm(int cols, int rows, unsigned maxval, const std::vector<unsigned> &samples) {
    std::string out = "P6\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n" + std::to_string(maxval) + "\n";
    for (unsigned s : samples)
        out += maxval > 255 ? std::string{char(s >> 8), char(s & 255)} : std::string{char(s)};
    return out;
}

const std::string kMagic = "Error reading magic number from Kestrum image stream.  Most often, this means your "
                           "input file is empty.",
                  kEofByte = "EOF / read error reading a byte", kEofSample = "EOF / read error reading a one-byte sample",
                  kEofLong = "EOF /read error while reading a long sample",
                  kJunk = "junk in file where an unsigned integer should be",
                  kTooLarge = "ASCII decimal integer in file is too large to be processed.  ",
                  kBadMagic = "bad magic number - not a ppm, pgm, or pbm file",
                  kAbove = "the image from standard input has a sample of value ",
                  kNotNumber = "' is not a number.", kPositive = "The number of colors must be positive",
                  kConflict = "You cannot specify both -floyd and -nofloyd options.",
                  kNoFile = "' for reading.  fopen() returns errno 2 (No such file or directory)",
                  kFull = "could not write the output image to standard output";

struct Row {
    std::vector<std::string> args;  // a first argument that is a path names a shell to run instead
    std::string input, out, err;
    int status;
    std::string stdoutTo = "";
};

void expectRows(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows.data()) + ", input " + row.input.substr(0, 40));
        const bool shell = row.args[0][0] == '/';
        const auto r = testsupport::run(shell ? row.args[0] : kQuantize, {row.args.begin() + shell, row.args.end()},
                                        row.input, row.stdoutTo);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_TRUE(r.out == row.out);
    }
}

Row refused(const std::string &input, const std::string &message, std::vector<std::string> args = {"2"}) {
    args.insert(args.begin(), "-quiet");
    return Row{args, input, "", said({message}), 1};
}

TEST(Quantize, CommandLinesAndTheirImages) {
    const std::string three = "P3\n3 1\n255\n10 20 30  40 50 60  70 80 90\n", threeFile = temporaryFile(three);
    const std::string same = ppm(3, 1, 255, {10, 20, 30, 40, 50, 60, 70, 80, 90});
    const std::string bw = temporaryFile("P3\n2 1\n255\n0 0 0  255 255 255\n"), ramp = "P2 2 2 255 100 100 100 100\n";
    expectRows({
        {{"-floyd"}, three, "",
         said({"You must specify the number of colors in the output as an argument, or specify the -mapfile option."}), 1},
        // Too many arguments is found before a bad number.
        {{"abc", "b", "c", "d"}, three, "",
         said({"Program takes at most two arguments: number of colors and input file specification.  You "
               "specified 4 arguments."}), 1},
        {{"0x10"}, three, "", said({"The number of colors argument '0x10" + kNotNumber}), 1},
        {{"8 "}, three, "", said({"The number of colors argument '8 " + kNotNumber}), 1},
        {{""}, three, "", said({kPositive}), 1},
        {{"--", "-3"}, three, "", said({kPositive}), 1},
        {{"1"}, three, "", said({"The number of colors must be greater than 1."}), 1},
        // A count beyond 32 bits saturates: never 4294967298 mod 2^32 = 2.
        {{"4294967298"}, three, "",
         said({"making histogram...", "3 colors found", "choosing 2147483647 colors...", "out of memory"}), 1},
        {{"-3"}, three, "", "unrecognized option `-3'\n", 99},
        // The start-up takes -plain away before the option parser looks.
        {{"-mapfile", "-plain"}, three, "", "option `--mapfile' requires an argument\n", 99},
        // The conflict comes first of all, whatever the spelling.
        {{"-fs", "-nofs", "1", "2", "3"}, three, "", said({kConflict}), 1},
        {{"-f", "-no", "-mapfile", "x", "a", "b"}, three, "", said({kConflict}), 1},
        {{"-m=map.ppm", "a", "b"}, three, "",
         said({"When you specify the -mapfile option, the only argument allowed is the input "
               "file specification.  You specified 2 arguments."}), 1},
        {{"-quiet", "--HELP", "8"}, three, "", said({"Use 'man quantize' for help."}), 1},
        {{"-refine", "-mapfile", "map.ppm"}, three, "", said({"You cannot specify both -mapfile and -refine options."}), 1},
        {{"-fs", "-seed", "abc", "8"}, three, "", "invalid number `abc'\n", 99},
        {{"-quiet", "8", "--version"}, three, "", "", 0},
        // -mapfile makes the single argument a file name, not a number.
        {{"-mapfile", "nonexistent-map.ppm", "8"}, three, "", said({"Unable to open file '8" + kNoFile}), 1},
        // Sorted by green, half of the 4 pixels lies on each side.
        {{"2"}, ppm(4, 1, 255, {0, 0, 0, 10, 10, 10, 200, 200, 200, 250, 250, 250}),
         ppm(4, 1, 255, {5, 5, 5, 5, 5, 5, 225, 225, 225, 225, 225, 225}), chose(4, 2), 0},
        {{"8"}, ppm(2, 2, 255, {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}),
         ppm(2, 2, 255, {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}), chose(4, 8), 0},
        // 16-bit: the box {1000, 65535} has the mean 33267; 1000 is nearer 0.
        {{"2"}, ppm(3, 1, 65535, {0, 0, 0, 1000, 1000, 1000, 65535, 65535, 65535}),
         ppm(3, 1, 65535, {0, 0, 0, 0, 0, 0, 33267, 33267, 33267}), chose(3, 2), 0},
        {{"2"}, "P5\n2 1\n1000\n\x03\xe8\x00\x01"s, ppm(2, 1, 1000, {1000, 1000, 1000, 1, 1, 1}), chose(2, 2), 0},
        {{"2"}, "P4\n3 1\n\x40"s, ppm(3, 1, 1, {1, 1, 1, 0, 0, 0, 1, 1, 1}), chose(2, 2), 0},
        {{"-plain", "3"}, "P2\n3 1\n15\n0 7 15\n", "P3\n3 1\n15\n0 0 0  7 7 7  15 15 15\n", chose(3, 3), 0},
        {{" 3", "-"}, three, same, chose(3, 3), 0},
        {{"--", "3", threeFile}, "", same, chose(3, 3), 0},
        {{"-nofs", "3", "-quiet", "--nofloyd"}, three, same, "", 0},
        // Images without pixels give the header alone; maxval 0 is an image of one colour.
        {{"2"}, "P6\n0 5\n255\n", "P6\n0 5\n255\n", chose(0, 2), 0},
        {{"-plain", "2"}, "P3 0 500000000 255\n", "P3\n0 500000000\n255\n", chose(0, 2), 0},
        {{"2"}, "P3\n2 1\n0\n0 0 0 0 0 0\n", ppm(2, 1, 0, {0, 0, 0, 0, 0, 0}), chose(1, 2), 0},
        // Mapped onto the colours of a map image; 255 -> 15, 8 -> 0, 9 -> 1 at its maxval.
        {{"-mapfile", temporaryFile("P3\n2 1\n255\n0 0 0  60 60 60\n")}, three,
         ppm(3, 1, 255, {0, 0, 0, 60, 60, 60, 60, 60, 60}), mapped(2), 0},
        {{"-map", temporaryFile("P3\n3 1\n15\n0 0 0 1 1 1 15 15 15\n")}, "P3\n3 1\n255\n255 255 255  8 8 8  9 9 9\n",
         ppm(3, 1, 15, {15, 15, 15, 0, 0, 0, 1, 1, 1}), mapped(3, true), 0},
        // (6, 34, 9) shares a hash bucket with black and, seen last, comes
        // first in the map. (3, 17, 4) is 19 from both once each square is
        // divided by 16, so the first wins; unscaled, black is nearer.
        {{"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  6 34 9\n")}, "P3\n1 1\n65535\n3 17 4\n",
         ppm(1, 1, 65535, {6, 34, 9}), mapped(2), 0},
        // Differences above 46340 square beyond 32 bits signed.
        {{"-mapfile", temporaryFile("P3\n2 1\n65535\n0 0 0  65535 65535 65535\n")},
         "P3\n2 1\n65535\n50000 50000 50000  15000 15000 15000\n",
         ppm(2, 1, 65535, {65535, 65535, 65535, 0, 0, 0}), mapped(2), 0},
        {{"-mapfile", "-", threeFile}, "P3\n1 1\n255\n1 2 3\n", ppm(3, 1, 255, {1, 2, 3, 1, 2, 3, 1, 2, 3}), mapped(1), 0},
        // Both from standard input: the input image first, the map after it.
        {{"-mapfile", "-", "-"}, "P3\n2 1\n255\n0 0 0 250 250 250\nP3\n1 1\n255\n9 9 9\n",
         ppm(2, 1, 255, {9, 9, 9, 9, 9, 9}), mapped(1), 0},
        {{"-mapfile", bw}, "P3\n2 1\n0\n0 0 0  0 0 0\n", ppm(2, 1, 255, {0, 0, 0, 0, 0, 0}), mapped(2, true), 0},
        // Dithered, whatever the random first errors (within one step): 100
        // -> black pushes 100 on, 143 -> white pushes -112 on and below; the
        // second row runs right to left: 100 - 28 -> black, 100 + 10 + 31 -> white.
        {{"-quiet", "--floyd", "-map", bw}, ramp, ppm(2, 2, 255, {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0}), "", 0},
        {{"-quiet", "-no", "-map", bw}, ramp, ppm(2, 2, 255, std::vector<unsigned>(12, 0)), "", 0},
        // Output that cannot be written; larger than the stream's buffer, the row writer finds it first.
        {{"-quiet", "2", threeFile}, "", "", said({kFull}), 1, "/dev/full"},
        {{"2", threeFile}, "", "", chose(3, 2) + said({"A file read or write error occurred at some point", kFull}), 1,
         "/dev/full"},
        {{"-quiet", "16", kPhoto}, "", "", said({"Error writing single byte sample to file"}), 1, "/dev/full"},
        // A reader that has gone: the shell starts the program with SIGPIPE at its default.
        {{"/bin/bash", "-c", "'" + kQuantize + "' -quiet 16 '" + kPhoto + "' | true; exit ${PIPESTATUS[0]}"}, "", "",
         "", 128 + SIGPIPE},
    });
}

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

// A run under 1 GiB of address space where the build allows it (the
// sanitizer reserves terabytes up front), and 5 seconds.
Row capped(const std::vector<std::string> &args, const std::string &input, const std::string &out,
           const std::string &err, int status) {
#ifdef UNDER_ADDRESS_SANITIZER
    std::string command = "exec timeout 5 '" + kQuantize + "' -quiet";
#else
    std::string command = "ulimit -v 1048576 && exec timeout 5 '" + kQuantize + "' -quiet";
#endif
    for (const std::string &a : args)
        command += " '" + a + "'";
    return Row{{"/bin/sh", "-c", command}, input, out, err, status};
}

TEST(Quantize, HostileInputIsRefusedWithTheExactMessage) {
    // 46000 x 46000 pixels would take 25 GB; the file holds 22 raster bytes.
    const std::string claim = temporaryFile("P6\n46000 46000\n255\n" + std::string(22, 'x'));
    std::string colours = "P6 256 128 255\n";  // 32768 distinct: too many for a map
    for (int i = 0; i < 256 * 128; ++i)
        colours += {static_cast<char>(i & 0xff), static_cast<char>(i >> 8), 0};
    const std::string zeroWidth = temporaryFile("P6 0 5 255\n"), empty = temporaryFile(""),
                      badSample = temporaryFile("P3\n1 1\n100\n0 101 0\n"), tooMany = temporaryFile(colours),
                      pixel = "P6 1 1 255\nabc",
                      small = ppm(4, 2, 255, {0, 0, 0, 9, 9, 9, 1, 2, 3, 250, 0, 0, 0, 250, 0, 0, 0, 250, 7, 7, 7, 90, 90, 9}),
                      smallFile = temporaryFile(small);
    std::vector<Row> rows = {
        refused("P7 1 1 255\n\0\0\0"s, kBadMagic),
        refused("P6 -1 1 255\n\0\0\0"s, kJunk),
        refused("P6 1xy1 255\n\0\0\0"s, kJunk),
        refused("P6 2147483641 1 255\n", kTooLarge),
        refused("P4 8 2147483648\n", kTooLarge),
        // Integers at the limit are read, then judged by what they mean.
        refused("P6 1 1 2147483640\n", "maxval (2147483640) is too large.\nThe maximum allowed by the PPM is 65535."),
        refused("P5 1 1 65536\n\0\0"s, "maxval is too large.  The largest we can handle is 65535."),
        refused("P6\n60000 60000\n255\n" + std::string(21, 'x'),
                "the image from standard input is too large: 60000 columns by 60000 rows is more than 2147483647 pixels"),
        refused("P1 3 1 0 2 1\n", "junk in file where bits should be"),
        refused("P3 1 1 255 1 -2 3\n", kJunk),
        refused("P3 1 1 255 1 2 2147483641\n", kTooLarge),
        refused("P3 1 2 255 1 2 3 4 300 6\n", kAbove + "300 (row 1, column 0) above its maxval 255"),
        refused("P2 2 1 15 15 16\n", kAbove + "16 (row 0, column 1) above its maxval 15"),
        refused("P6 1 1 100\n\x01\xc8\x01", kAbove + "200 (row 0, column 0) above its maxval 100"),
        Row{{"-quiet", "2"}, "P5 1 1 65535\n\xff\xff", ppm(1, 1, 65535, {65535, 65535, 65535}), "", 0},
        refused("P5 1 1 1000\n\x03\xe9", kAbove + "1001 (row 0, column 0) above its maxval 1000"),
        refused("P6 1 1 0\n\0\1\0"s, kAbove + "1 (row 0, column 0) above its maxval 0"),
        refused(pixel, "colormap in file '" + zeroWidth + "' contains no pixels", {"-mapfile", zeroWidth}),
        refused(pixel, kMagic, {"-mapfile", empty}),
        refused(pixel, "the image from file '" + badSample + "' has a sample of value 101 (row 0, column 0) above its "
                       "maxval 100", {"-mapfile", badSample}),
        refused(pixel, "too many colors in colormap!", {"-mapfile", tooMany}),
        // The input is read and closed before the map is opened.
        refused(pixel, "Unable to open file 'in.ppm" + kNoFile, {"-mapfile", "map.ppm", "in.ppm"}),
        // Headers claim what the bytes never bring: the run costs what arrives.
        capped({"2", claim}, "", "", said({kEofSample}), 1),
        capped({"16"}, "P6 2000000000 0 255\n", "P6\n2000000000 0\n255\n", "", 0),
        capped({"64"}, "P3 147483640 0 255\n", "P6\n147483640 0\n255\n", "", 0),
        capped({"-floyd", "64"}, "P2147483640 0 3 255\n", "P6\n147483640 0\n3\n", "", 0),
        capped({"-fs", "-mapfile", smallFile}, "P2147483640 0 3 255\n", "P6\n147483640 0\n255\n", "", 0),
        capped({"-fs", "2"}, "P6 0 2000000000 255\n", "P6\n0 2000000000\n255\n", "", 0),
        capped({"2"}, "P6 2000000000 1 255\nabc", "", said({kEofSample}), 1),
        capped({"2"}, "P4 2000000000 1\n\xff", "", said({kEofSample}), 1),
        capped({"2"}, "P3 2000000000 1 255\n1 2 3\n", "", said({kEofByte}), 1),
        capped({"2"}, "P5 2000000000 1 65535\n\x00\x01"s, "", said({kEofLong}), 1),
        capped({"2"}, "P6 1073741823 2 255\nabc", "", said({kEofSample}), 1),
        capped({"-mapfile", temporaryFile("P6 2000000000 1 255\nabc")}, small, "", said({kEofSample}), 1),
        // A number of colours costs only the colours there are, up to its limit.
        capped({"268435455"}, "P6 0 0 255\n", "P6\n0 0\n255\n", "", 0),
        capped({"268435455"}, small, small, "", 0),
        capped({"268435456"}, small, "", said({"out of memory"}), 1),
    };
    // Small valid files of every format, maxval class and header style, cut
    // at every byte: header bytes, then the raster, then the message where
    // the raster is cut short. No character is needed after the last bit of a plain PBM.
    const std::string valid[][3] = {
        {"P1\n3 2\n", "0 1 0\n1#c\n0 1", kEofByte},       {"P4\n10 1\n", "\xa5\x40", kEofSample},
        {"P2\n2 2\n255\n", "0 7\n255 9\n", kEofByte},      {"P5 2 1 255\n", "\x01\x02", kEofSample},
        {"P5\n1 2\n1000\n", "\x01\x02\x03\x00"s, kEofLong}, {"P3\n2 1\n255\n", "1 2 3 4 5 6\n", kEofByte},
        {"P6\n# made by hand\n1 2\n255\n", "abcdef", kEofSample}, {"P61 1\t65535\r", "\0\1\2\3\4\5"s, kEofLong},
        {"P6 1 1 255#\n", "xyz", kEofSample},
    };
    for (const auto &[header, raster, end] : valid) {
        const std::string whole = header + raster;
        rows.push_back(Row{{"-quiet", "2"}, whole, testsupport::run(kQuantize, {"2"}, whole).out, "", 0});
        for (std::size_t cut = 0; cut < whole.size(); ++cut)
            rows.push_back(refused(whole.substr(0, cut), cut < 2 ? kMagic : cut < header.size() ? kEofByte : end));
    }
    expectRows(rows);
}

// The number of threads changes nothing: the photograph (several bands) plain,
// dithered from fixed errors, cut short late, and with a sample above maxval.
TEST(Quantize, ThreadsChangeNothing) {
    std::ifstream in(kPhoto, std::ios::binary);
    const std::string photo{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string cut = temporaryFile(photo.substr(0, photo.size() * 4 / 5)),
                      above = temporaryFile("P6\n600 400\n254" + photo.substr(14));
    const std::vector<std::vector<std::string>> runs = {
        {"256", kPhoto}, {"-floyd", "-seed", "5", "256", kPhoto}, {"16", cut}, {"-fs", "2", above}};
    for (const auto &args : runs) {
        testsupport::RunResult one;
        for (const std::string threads : {"1", "2", "8"}) {
            std::vector<std::string> a{"QUANTIZE_THREADS=" + threads, kQuantize};
            a.insert(a.end(), args.begin(), args.end());
            const auto r = testsupport::run("/usr/bin/env", a);
            one = threads == "1" ? r : one;
            EXPECT_EQ(r.status, args.back() == kPhoto ? 0 : 1);
            EXPECT_EQ(r.err, one.err);
            EXPECT_TRUE(r.out == one.out) << threads << " threads: quantize " << args[0];
        }
    }
}

}  // namespace
