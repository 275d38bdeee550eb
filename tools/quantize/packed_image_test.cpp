// The packed reader against readImage: the same header and pixels from every
// format. (Its refusals are image_input's, checked through the program.)
#include "packed_image.h"

#include <kestrum/common.h>

#include <gtest/gtest.h>
#include <test_support.h>

#include <string>
#include <vector>

#include "image_input.h"
#include "quantize_testutil.h"

namespace {

using namespace std::string_literals;
using quantizetest::Compared;

// Both readings of the bytes, each as its header, then its pixels.
Compared<pixel> readBoth(const std::string &bytes, const std::string &what) {
    const std::string path = testsupport::temporaryFile(bytes);
    int cols, rows;
    sample maxval;
    pixel **pixels = quantize::readImage(path.c_str(), &cols, &rows, &maxval);
    const quantize::PackedImage image = quantize::readPackedImage(path.c_str());
    Compared<pixel> r{what, {{sample(cols), sample(rows), maxval}},
                      {{sample(image.cols), sample(image.rows), image.maxval}}};
    for (int row = 0; row < rows; ++row)
        r.oracle.insert(r.oracle.end(), pixels[row], pixels[row] + cols);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
    for (int row = 0; row < image.rows; ++row)
        image.dispatch([&](auto word) {
            using Packing = quantize::Packing<decltype(word)>;
            for (int c = 0; c < image.cols; ++c) {
                const auto w = image.row<decltype(word)>(row)[c];
                r.fast.push_back(pixel{Packing::red(w), Packing::green(w), Packing::blue(w)});
            }
        });
    return r;
}

// A raw PPM of random colours.
std::string randomRaw(std::mt19937 &rng, int cols, int rows, sample maxval) {
    const auto img = quantizetest::randomImage(rng, cols, rows, maxval, 200);
    std::string bytes = "P6\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n" +
                        std::to_string(maxval) + "\n";
    for (const pixel &p : img.px)
        for (sample s : {p.r, p.g, p.b})
            bytes += maxval > 255 ? std::string{char(s >> 8), char(s & 255)} : std::string{char(s)};
    return bytes;
}

TEST(PackedImage, ReadsWhatReadImageReads) {
    const std::vector<std::string> files = {
        "P6\n2 1\n255\n\x01\x02\x03\xff\x00\x80"s,
        "P6\n1 1\n65535\n\xff\xfe\x00\x01\x80\x00"s,
        "P3\n2 2\n1000\n1000 0 7 1 2 3 4 5 6 999 998 997\n",
        "P2\n3 1\n15\n0 7 15\n",
        "P1\n3 2\n1 0 1 0 0 1\n",
        "P3\n0 3\n255\n",
    };
    quantizetest::differential(0, 1, files, [](std::mt19937 &, const std::string &bytes) {
        return readBoth(bytes, bytes.substr(0, 12));
    });
    // Random raw images of one and two bytes a sample.
    const sample maxvals[] = {255, 256, 65535};
    quantizetest::differential(2, 1, maxvals, [](std::mt19937 &rng, sample maxval) {
        return readBoth(randomRaw(rng, 1 + rng() % 70, 1 + rng() % 40, maxval),
                        "random at maxval " + std::to_string(maxval));
    });
    // Rows spread over several blocks (a block holds 2^20 words).
    const sample wide[] = {255, 65535};
    quantizetest::differential(3, 1, wide, [](std::mt19937 &rng, sample maxval) {
        return readBoth(randomRaw(rng, 1500, 800, maxval), "several blocks at maxval " + std::to_string(maxval));
    });
}

}  // namespace
