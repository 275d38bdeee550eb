// Reading a file twice instead of holding it: the streaming histogram
// against the packed one (entries, order, counts, maxval halvings, sample
// table, messages), whole runs from a file against the held image, and the
// refusal of a file that changed between the two readings.
#include "two_pass_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "quantize_testutil.h"
#include "streaming_histogram.h"
#include "test_support.h"

namespace {

using quantizetest::Compared;
using quantizetest::ErrorRows;
using quantizetest::Image;
using quantizetest::messagesOf;

std::vector<color_count> entriesOf(color_histogram chv, int colors) {
    std::vector<color_count> v(chv, chv + colors);
    ppm_freecolorhist(chv);
    return v;
}

TEST(StreamingHistogram, AgreesWithThePackedCountInSpansOfAnySize) {
    struct Case {
        sample maxval;
        int colors;
    };
    const Case cases[] = {{0, 1}, {1, 8}, {15, 50}, {255, 40000}, {1000, 40000}, {65535, 40000}, {65535, 300}};
    quantizetest::differential(14, 2, cases, [](std::mt19937 &rng, const Case &c) {
        const Image img = quantizetest::randomImage(rng, 211, 180, c.maxval, c.colors);
        Compared<color_count> r{std::to_string(c.colors) + " colours at maxval " + std::to_string(c.maxval)};
        color_histogram slow;
        std::vector<quantize::WideColorCount> fast;
        int slowColors;
        sample slowMaxval, fastMaxval;
        quantize::SampleScale slowScale, fastScale;
        r.oracleMessages = messagesOf([&] {
            quantize::computeHistogramPacked(img.packed(), &slow, &slowColors, &slowMaxval, &slowScale);
        });
        r.fastMessages = messagesOf([&] {
            quantize::StreamingHistogram counter(img.maxval);
            for (std::size_t done = 0; done < img.px.size();) {
                const std::size_t n = std::min<std::size_t>(img.px.size() - done, 1 + rng() % 5000);
                counter.add(img.px.data() + done, static_cast<int>(n));
                done += n;
            }
            counter.finish(&fast, &fastMaxval, &fastScale);
        });
        r.oracle = entriesOf(slow, slowColors);
        for (const quantize::WideColorCount &e : fast)
            r.fast.push_back(color_count{e.color, static_cast<int>(e.value)});
        EXPECT_EQ(fastMaxval, slowMaxval) << r.what;
        EXPECT_EQ(fastScale, slowScale) << r.what;
        return r;
    });
}

std::string ppmBytes(const Image &img) {
    std::string bytes = "P6\n" + std::to_string(img.cols) + " " + std::to_string(img.rows) + "\n" +
                        std::to_string(img.maxval) + "\n";
    for (const pixel &p : img.px)
        for (sample s : {p.r, p.g, p.b}) {
            if (img.maxval > 255)
                bytes += static_cast<char>(s >> 8);
            bytes += static_cast<char>(s & 0xff);
        }
    return bytes;
}

// What a run writes to standard output, its messages and its maxval, from
// the file read twice (errors given: dithered from them) ...
std::string twoPassRun(const std::string &path, int newcolors, ErrorRows *errors) {
    testing::internal::CaptureStdout();
    quantize::TwoPassInput input(pm_openr(path.c_str()), path.c_str(), true);
    color_histogram map;
    int mapColors;
    sample maxval;
    quantize::SampleScale scale;
    input.chooseColorMap(newcolors, errors != nullptr, &map, &mapColors, &maxval, &scale);
    ppm_writeppminit(stdout, input.cols(), input.rows(), maxval, 0);
    quantize::FastConverter converter(map, mapColors, maxval, std::move(scale));
    input.convertRows(converter, errors ? &errors->fs : nullptr, maxval);
    std::fflush(stdout);
    ppm_freecolorhist(map);
    return testing::internal::GetCapturedStdout();
}

// ... and from the image held.
std::string heldRun(const Image &img, int newcolors, ErrorRows *errors) {
    testing::internal::CaptureStdout();
    const quantize::PackedImage image = img.packed();
    color_histogram map;
    int mapColors;
    sample maxval;
    quantize::SampleScale scale;
    quantize::computeChosenColorMapPacked(image, newcolors, errors != nullptr, &map, &mapColors, &maxval, &scale);
    ppm_writeppminit(stdout, img.cols, img.rows, maxval, 0);
    quantize::FastConverter converter(map, mapColors, maxval, std::move(scale));
    std::vector<pixel> out(static_cast<std::size_t>(img.cols));
    for (int r = 0; r < img.rows; ++r) {
        image.dispatch([&](auto word) {
            converter.convert(image.row<decltype(word)>(r), img.cols, out.data(), errors ? &errors->fs : nullptr);
        });
        ppm_writeppmrow(stdout, out.data(), img.cols, maxval, 0);
    }
    std::fflush(stdout);
    ppm_freecolorhist(map);
    return testing::internal::GetCapturedStdout();
}

TEST(TwoPassInput, RunsFromAFileWriteWhatTheHeldImageGives) {
    std::mt19937 rng(1414);
    // Rows of more than a block, several blocks, and a maxval with halvings.
    const struct {
        int cols, rows;
        sample maxval;
        int colors, newcolors;
    } cases[] = {{1100, 1000, 255, 300, 16}, {3, 400000, 65535, 40000, 64}, {37, 23, 255, 50, 100}};
    for (const auto &c : cases) {
        const Image img = quantizetest::randomImage(rng, c.cols, c.rows, c.maxval, c.colors);
        const std::string path = testsupport::temporaryFile(ppmBytes(img));
        pm_init("quantize", 0);
        pm_setMessage(0, nullptr);
        EXPECT_EQ(twoPassRun(path, c.newcolors, nullptr), heldRun(img, c.newcolors, nullptr)) << c.cols;
        const std::uint32_t seed = rng();
        std::mt19937 seedA(seed), seedB(seed);
        ErrorRows a(img.cols, &seedA), b(img.cols, &seedB);
        EXPECT_EQ(twoPassRun(path, c.newcolors, &a), heldRun(img, c.newcolors, &b)) << c.cols << ", dithered";
    }
}

TEST(MapFile, ItsColoursAreThoseOfTheMapReadWhole) {
    std::mt19937 rng(77);
    for (const auto &c : {std::pair<sample, int>{255, 300}, {65535, 5000}, {15, 1}}) {
        const Image map = quantizetest::randomImage(rng, 300, 40, c.first, c.second);
        const std::string path = testsupport::temporaryFile(ppmBytes(map));
        Compared<color_count> r{"map of " + std::to_string(c.second) + " colours"};
        color_histogram slow, fast;
        int slowColors, fastColors;
        sample fastMaxval;
        quantize::SampleScale slowScale, fastScale;
        r.oracleMessages = messagesOf([&] {
            quantize::computeColorMapFromMapPacked(255, quantize::readPackedImage(path.c_str()), &slow, &slowColors,
                                                   &slowScale);
        });
        r.fastMessages = messagesOf([&] {
            quantize::computeColorMapFromMapFile(255, path.c_str(), &fast, &fastColors, &fastMaxval, &fastScale);
        });
        EXPECT_EQ(r.fastMessages, r.oracleMessages) << r.what;
        EXPECT_EQ(entriesOf(fast, fastColors), entriesOf(slow, slowColors)) << r.what;
        EXPECT_EQ(fastScale, slowScale) << r.what;
        EXPECT_EQ(fastMaxval, c.first) << r.what;
    }
}

TEST(MapFileDeathTest, RefusalsComeInTheOrderOfTheMapReadWhole) {
    // 32768 colours in the first 128 rows: too many, but a sample above
    // maxval in the last row is found first, as when the map is read whole.
    std::string raw = "P6 256 129 255\n", plain = "P3 256 129 255\n";
    for (int i = 0; i < 256 * 129; ++i) {
        const int r = i < 256 * 128 ? i & 0xff : 1, g = i < 256 * 128 ? i >> 8 : 1;
        raw += {static_cast<char>(r), static_cast<char>(g), 0};
        plain += std::to_string(r) + " " + std::to_string(g) + (i == 256 * 129 - 1 ? " 300\n" : " 0\n");
    }
    const std::string tooMany = testsupport::temporaryFile(raw);
    const std::string badLast = testsupport::temporaryFile(plain);
    const std::string empty = testsupport::temporaryFile("P6 0 3 255\n");
    const struct {
        std::string path, message;
    } cases[] = {
        {tooMany, "too many colors in colormap!"},
        {badLast, "the image from file '" + badLast + "' has a sample of value 300 .row 128, column 255. above"},
        {empty, "colormap in file '" + empty + "' contains no pixels"},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT(
            {
                pm_init("quantize", 0);
                color_histogram map;
                int colors;
                sample maxval;
                quantize::SampleScale scale;
                quantize::computeColorMapFromMapFile(255, c.path.c_str(), &map, &colors, &maxval, &scale);
            },
            testing::ExitedWithCode(1), "quantize: " + c.message)
            << c.path;
    }
}

// Reads the file once, rewrites it as `changed`, then converts it: does
// not return.
void rereadAfterChange(const std::string &path, const std::string &changed) {
    pm_init("quantize", 0);
    quantize::TwoPassInput input(pm_openr(path.c_str()), path.c_str(), false);
    FILE *rewrite = std::fopen(path.c_str(), "wb");
    std::fwrite(changed.data(), 1, changed.size(), rewrite);
    std::fclose(rewrite);
    const color_count black{{0, 0, 0}, 0};
    quantize::FastConverter converter(&black, 1, 255, quantize::rescaleTable(255, 255));
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::exit(2);
    input.convertRows(converter, nullptr, 255);
    std::exit(0);
}

TEST(TwoPassInputDeathTest, AFileChangedBetweenTheReadingsIsRefused) {
    std::mt19937 rng(2);
    const Image img = quantizetest::randomImage(rng, 2000, 1200, 255, 100);
    const std::string bytes = ppmBytes(img);
    const struct {
        const char *what;
        std::string changed;
    } cases[] = {
        {"a sample in the last block", bytes.substr(0, bytes.size() - 1) + static_cast<char>(bytes.back() ^ 1)},
        {"longer", bytes + "x"},
        {"shorter", bytes.substr(0, bytes.size() - 3)},
    };
    for (const auto &c : cases) {
        const std::string path = testsupport::temporaryFile(bytes);
        EXPECT_EXIT(rereadAfterChange(path, c.changed), testing::ExitedWithCode(1),
                    "quantize: the image in file '" + path + "' changed between its first and second reading\n")
            << c.what;
    }
}

}  // namespace
