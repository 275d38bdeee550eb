// Shared by the format unit's tests: streams over bytes, whole-image reads
// and writes, and the exact fatal message of a call.
#ifndef KESTRUM_FORMATS_TEST_HELPERS_H
#define KESTRUM_FORMATS_TEST_HELPERS_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kestrum/ppm.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace std::string_literals;

// The statement ends the process with status 1 and exactly this message.
#define EXPECT_FATAL(statement, message)                                        \
    EXPECT_EXIT(statement, ::testing::ExitedWithCode(1),                        \
                ::testing::Eq(std::string("kestrum: ") + (message) + "\n"))

// A stream over the bytes, closed when the holder goes.
struct Input {
    explicit Input(const std::string &bytes) : file(testsupport::memoryStream(bytes)) {}
    ~Input() { fclose(file); }
    operator FILE *() const { return file; }
    std::string rest() const {  // everything not yet read
        std::string out;
        for (int c; (c = getc(file)) != EOF;)
            out.push_back(static_cast<char>(c));
        return out;
    }
    FILE *file;
};

enum Reader { Ppm, Pgm, Pbm };

// A whole image as a reader gives it, samples flattened (r, g, b for Ppm).
struct Whole {
    int cols = -1, rows = -1;
    sample maxval = 0;
    std::vector<sample> values;
    bool contiguous = false;
};

template <typename Element>
void flatten(Element **array, Whole &out) {
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            if constexpr (std::is_same_v<Element, pixel>)
                out.values.insert(out.values.end(), {array[r][c].r, array[r][c].g, array[r][c].b});
            else
                out.values.push_back(array[r][c]);
        }
    out.contiguous = array[out.rows] != nullptr;
    pm_freearray(reinterpret_cast<void **>(array), out.rows);
}

inline Whole readWhole(FILE *file, Reader reader = Ppm) {
    Whole out;
    if (reader == Ppm)
        flatten(ppm_readppm(file, &out.cols, &out.rows, &out.maxval), out);
    else if (reader == Pgm)
        flatten(pgm_readpgm(file, &out.cols, &out.rows, &out.maxval), out);
    else
        flatten(pbm_readpbm(file, &out.cols, &out.rows), out);
    return out;
}

// forceplain for written(): raw, but with pm_plain_output set.
constexpr int PlainOutput = 2;

// What ppm_writeppm (three values a pixel) or pgm_writepgm writes.
inline std::string written(Reader writer, std::vector<sample> v, int cols, int rows, sample maxval, int forceplain) {
    std::vector<pixel> pixels;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3)
        pixels.push_back({v[i], v[i + 1], v[i + 2]});
    std::vector<pixel *> pixelRows;
    std::vector<sample *> grayRows;
    for (int r = 0; r < rows; ++r) {
        if (writer == Ppm)
            pixelRows.push_back(pixels.data() + r * cols);
        else
            grayRows.push_back(v.data() + r * cols);
    }
    pm_plain_output = forceplain == PlainOutput;
    const std::string out = testsupport::captureOutput([&](FILE *f) {
        if (writer == Ppm)
            ppm_writeppm(f, pixelRows.data(), cols, rows, maxval, forceplain == 1);
        else
            pgm_writepgm(f, grayRows.data(), cols, rows, maxval, forceplain == 1);
    });
    pm_plain_output = 0;
    return out;
}

#endif
