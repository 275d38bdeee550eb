// -refine: never worse than the median cut; the same bytes every time, each
// pixel the nearest refined colour at the input's maxval. -seed: dithering
// that a run repeats.
#include "refine.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "colormap_source.h"
#include "search.h"
#include "test_support.h"

using namespace quantize;

namespace {

using Rgb = std::tuple<sample, sample, sample>;

// Gradients with noise, as a photograph has many nearby colours; or only
// `distinct` colours when that is not 0.
PackedImage photoLike(int cols, int rows, sample maxval, unsigned distinct) {
    std::mt19937 rng(17);
    const std::uint64_t m = maxval;
    auto s = [&](std::uint64_t v) { return static_cast<sample>(std::min(m, v + rng() % (m / 8 + 1))); };
    PackedImage image;
    image.cols = cols;
    image.rows = rows;
    image.maxval = maxval;
    std::vector<pixel> row(static_cast<std::size_t>(cols));
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x)
            row[x] = distinct ? pixel{static_cast<sample>(rng() % distinct), 0, maxval}
                              : pixel{s(m * x / cols), s(m * y / rows), s(m * (x * y % 7) / 7)};
        image.appendRow(row.data());
    }
    return image;
}

Rgb rgb(const pixel &p) { return {p.r, p.g, p.b}; }

}  // namespace

TEST(Refine, NeverWorseThanTheMedianCut) {
    // columns, maxval, distinct colours (0: many), colours asked for; the
    // 256 columns hold too many colours for the median cut at maxval 255
    for (const auto &[cols, maxval, distinct, n] : {std::tuple<int, sample, unsigned, int>{48, 255, 0, 8},
             {256, 255, 0, 64}, {48, 65535, 0, 8}, {48, 1000, 0, 5}, {48, 15, 0, 12}, {48, 255, 5, 6}}) {
        const PackedImage image = photoLike(cols, cols * 5 / 6, maxval, distinct);
        color_histogram median, refined;
        sample cutMaxval, newmaxval;
        SampleScale scale;
        computeColorMapFromInputPacked(image, n, &median, &cutMaxval, &scale);
        for (int i = 0; i < n; ++i)
            for (sample *s : {&median[i].color.r, &median[i].color.g, &median[i].color.b})
                *s = rescaleSample(*s, cutMaxval, maxval);
        computeRefinedColorMap(image, n, &refined, &newmaxval, &scale);
        EXPECT_EQ(newmaxval, maxval);
        const std::vector<WeightedColor> hist = fullHistogram(image);
        const std::uint64_t after = totalError(hist, refined, n, maxval);
        if (distinct != 0)
            EXPECT_EQ(after, 0u) << "every colour has room in the map";
        else
            EXPECT_LT(after, totalError(hist, median, n, maxval)) << maxval << ", " << n << " colours";
        ppm_freecolorhist(median);
        ppm_freecolorhist(refined);
    }
}

TEST(Refine, ThePhotographAt16ColoursAsGoodAsMeasured) {
    // 29.68 dB PSNR when written; 29.6 dB is 51.4 million in squared error.
    const PackedImage photo = readPackedImage(testsupport::sourcePath("examples/coffee.ppm").c_str());
    color_histogram map;
    sample maxval;
    SampleScale scale;
    computeRefinedColorMap(photo, 16, &map, &maxval, &scale);
    std::uint64_t error = 0;  // pixel by pixel, not through the refinement's own histogram
    using P = Packing<std::uint32_t>;
    for (int r = 0; r < photo.rows; ++r)
        for (const std::uint32_t *w = photo.row<std::uint32_t>(r); w < photo.row<std::uint32_t>(r) + photo.cols; ++w) {
            std::uint64_t least = UINT64_MAX;
            for (int i = 0; i < 16; ++i)
                least = std::min(least, colorDistance(pixel{P::red(*w), P::green(*w), P::blue(*w)}, map[i].color, 255));
            error += least;
        }
    EXPECT_LE(error, 51400000u);
    ppm_freecolorhist(map);
}

TEST(Refine, TheProgramMapsToTheRefinedColoursAtTheInputMaxvalTheSameEveryTime) {
    std::mt19937 rng(5);
    // More colours than the median cut counts at maxval 1000.
    const std::string header = "P6\n200 170\n1000\n";
    std::string file = header;
    for (int k = 0; k < 200 * 170 * 3; ++k) {
        const unsigned v = rng() % 1001;
        file += {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
    }
    const std::string path = testsupport::temporaryFile(file, ".ppm");
    auto refine = [&] {
        const testsupport::RunResult r = testsupport::run(QUANTIZE_PATH, {"-quiet", "-refine", "6", path});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string out = refine();
    EXPECT_TRUE(refine() == out);
    ASSERT_EQ(out.size(), file.size());
    ASSERT_EQ(out.substr(0, header.size()), header);

    // Every pixel becomes the nearest map colour, the first among equals.
    color_histogram map;
    sample maxval;
    SampleScale scale;
    computeRefinedColorMap(readPackedImage(path.c_str()), 6, &map, &maxval, &scale);
    auto at = [](const std::string &bytes, std::size_t k) {
        auto sampleAt = [&](std::size_t j) { return static_cast<sample>((bytes[j] & 0xff) << 8 | (bytes[j + 1] & 0xff)); };
        return pixel{sampleAt(k), sampleAt(k + 2), sampleAt(k + 4)};
    };
    for (std::size_t k = header.size(); k < out.size(); k += 6) {
        int nearest = 0;
        for (int i = 1; i < 6; ++i)
            if (colorDistance(at(file, k), map[i].color, 1000) < colorDistance(at(file, k), map[nearest].color, 1000))
                nearest = i;
        ASSERT_EQ(rgb(at(out, k)), rgb(map[nearest].color)) << "at byte " << k;
    }
    ppm_freecolorhist(map);
}

TEST(Refine, ASeedGivesTheSameDitheringEveryTimeAndAnotherSeedAnother) {
    // Grey 1 halfway between the map's 0 and 2: the starting errors decide
    // the choices of the first row.
    const std::string map = testsupport::temporaryFile(std::string("P6\n2 1\n255\n\0\0\0\2\2\2", 17));
    const std::string input = testsupport::temporaryFile("P6\n64 2\n255\n" + std::string(64 * 2 * 3, '\1'));
    auto dither = [&](const char *seed) {
        const testsupport::RunResult r =
            testsupport::run(QUANTIZE_PATH, {"-quiet", "-floyd", "-seed", seed, "-mapfile", map, input});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string seven = dither("7");
    EXPECT_TRUE(dither("7") == seven);
    EXPECT_TRUE(dither("8") != seven);
}
