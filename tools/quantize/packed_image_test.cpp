// The packed reader against readImage: the same pixels from every format,
// and the same message and status for every input either refuses.
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

struct ReadCase {
    const char *what;
    std::string bytes;
    const char *failure;  // null: read successfully
};

std::vector<pixel> unpack(const quantize::PackedImage &image) {
    std::vector<pixel> out;
    for (int r = 0; r < image.rows; ++r)
        image.dispatch([&](auto word) {
            using Word = decltype(word);
            const Word *row = image.row<Word>(r);
            for (int c = 0; c < image.cols; ++c)
                out.push_back(pixel{quantize::Packing<Word>::red(row[c]),
                                    quantize::Packing<Word>::green(row[c]),
                                    quantize::Packing<Word>::blue(row[c])});
        });
    return out;
}

TEST(PackedImage, ReadsWhatReadImageReads) {
    const ReadCase cases[] = {
        {"raw 8-bit", "P6\n2 1\n255\n\x01\x02\x03\xff\x00\x80"s, nullptr},
        {"raw 16-bit", "P6\n1 1\n65535\n\xff\xfe\x00\x01\x80\x00"s, nullptr},
        {"plain maxval 1000", "P3\n2 2\n1000\n1000 0 7 1 2 3 4 5 6 999 998 997\n", nullptr},
        {"grey", "P2\n3 1\n15\n0 7 15\n", nullptr},
        {"bilevel", "P1\n3 2\n1 0 1 0 0 1\n", nullptr},
        {"no columns", "P3\n0 3\n255\n", nullptr},
        {"sample above maxval", "P3\n2 1\n10\n1 2 3 4 11 5\n",
         "quantize: the image from file 'IN' has a sample of value 11 (row 0, column 1) above its maxval 10\n"},
        {"too large", "P6\n65536 65536\n255\n",
         "quantize: the image from file 'IN' is too large: 65536 columns by 65536 rows is more "
         "than 2147483647 pixels\n"},
    };
    for (const ReadCase &c : cases) {
        const std::string path = testsupport::temporaryFile(c.bytes);
        if (c.failure == nullptr) {
            int cols, rows;
            sample maxval;
            pixel **pixels = quantize::readImage(path.c_str(), &cols, &rows, &maxval);
            const quantize::PackedImage image = quantize::readPackedImage(path.c_str());
            EXPECT_EQ(image.cols, cols) << c.what;
            EXPECT_EQ(image.rows, rows) << c.what;
            EXPECT_EQ(image.maxval, maxval) << c.what;
            std::vector<pixel> expected;
            for (int r = 0; r < rows; ++r)
                expected.insert(expected.end(), pixels[r], pixels[r] + cols);
            EXPECT_EQ(unpack(image), expected) << c.what;
            pm_freearray(reinterpret_cast<void **>(pixels), rows);
            continue;
        }
        std::string message = c.failure;
        message.replace(message.find("IN"), 2, path);
        int cols, rows;
        sample maxval;
        EXPECT_EXIT(
            {
                pm_init("quantize", 0);
                quantize::readImage(path.c_str(), &cols, &rows, &maxval);
            },
            ::testing::ExitedWithCode(1), ::testing::Eq(message))
            << c.what;
        EXPECT_EXIT(
            {
                pm_init("quantize", 0);
                quantize::readPackedImage(path.c_str());
            },
            ::testing::ExitedWithCode(1), ::testing::Eq(message))
            << c.what;
    }
}

}  // namespace
