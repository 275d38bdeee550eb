// The quantizer's fast paths against the straightforward code they replace,
// on random input made to break them (duplicate and surplus black map
// entries, ties, maxvals above 255 where distances are scaled), then the
// hand-worked results of the code that both forms share.
#include <kestrum/colormap.h>
#include <kestrum/pgm.h>
#include <kestrum/ppm.h>

#include <gtest/gtest.h>
#include <test_support.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "colormap_source.h"
#include "fast_convert.h"
#include "image_input.h"
#include "mediancut.h"
#include "nearest.h"
#include "packed_colormap_source.h"
#include "search.h"
#include "streaming_histogram.h"
#include "threads.h"
#include "two_pass_input.h"

namespace {

using namespace quantize;
using Values = std::vector<long long>;

void put(Values *v, const pixel *from, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        v->insert(v->end(), {from[i].r, from[i].g, from[i].b});
}

pixel randomColor(std::mt19937 &rng, sample maxval) {
    const auto s = [&] { return static_cast<sample>(rng() % (std::uint64_t{maxval} + 1)); };
    return pixel{s(), s(), s()};
}

struct Image {
    int cols, rows;
    sample maxval;
    std::vector<pixel> px;
};

// The image as a plain or raw file, for both readers to take: a PGM file
// when every pixel is grey.
std::string fileOf(std::mt19937 &rng, const Image &img) {
    const int plain = img.px.size() < 100000 && rng() % 2;
    const bool grey = std::all_of(img.px.begin(), img.px.end(), [](const pixel &p) { return p.r == p.g && p.g == p.b; });
    return testsupport::temporaryFile(testsupport::captureOutput([&](FILE *f) {
        grey ? pgm_writepgminit(f, img.cols, img.rows, img.maxval, plain) : ppm_writeppminit(f, img.cols, img.rows, img.maxval, plain);
        for (int row = 0; row < img.rows; ++row) {
            std::vector<sample> greys;
            for (int col = 0; col < img.cols && grey; ++col)
                greys.push_back(img.px[static_cast<std::size_t>(row * img.cols + col)].r);
            grey ? pgm_writepgmrow(f, greys.data(), img.cols, img.maxval, plain)
                 : ppm_writeppmrow(f, img.px.data() + row * img.cols, img.cols, img.maxval, plain);
        }
    }));
}

// The straightforward reading of a file, as an image array.
struct RowArray {
    explicit RowArray(const std::string &path) { pixels = readImage(path.c_str(), &cols, &rows, &maxval); }
    ~RowArray() { pm_freearray(reinterpret_cast<void **>(pixels), rows); }
    int cols, rows;
    sample maxval;
    pixel **pixels;
};

// The packed reading: the header, then each pixel through the scale table.
Values unpack(const PackedImage &image, const SampleScale &scale) {
    Values v{image.cols, image.rows, image.maxval};
    for (int row = 0; row < image.rows; ++row)
        image.dispatch([&](auto word) {
            using P = Packing<decltype(word)>;
            for (int k = 0; k < image.cols; ++k) {
                const auto w = image.row<decltype(word)>(row)[k];
                v.insert(v.end(), {scale[P::red(w)], scale[P::green(w)], scale[P::blue(w)]});
            }
        });
    return v;
}

// Pixels from a palette of `colors` random colours, in runs, with smooth
// stretches: the flat areas and many nearby colours of photographs. With a
// cube side: its every colour once, scrambled, less the last `colors`, in
// rows of 256 filled up with the first.
Image randomImage(std::mt19937 &rng, int cols, int rows, sample maxval, int colors, int cube = 0) {
    Image img{cube ? 256 : cols, cube ? (cube * cube * cube - colors + 255) / 256 : rows, maxval, {}};
    for (int i = 0; i < cube * cube * cube - colors; ++i)
        img.px.push_back(pixel{sample(i % cube), sample(i / cube % cube), sample(i / cube / cube)});
    std::shuffle(img.px.begin(), img.px.end(), rng);
    std::vector<pixel> palette;
    for (int i = 0; i < colors && !cube; ++i)
        palette.push_back(randomColor(rng, maxval));
    pixel current = cube ? img.px[0] : palette[0];
    while (img.px.size() < static_cast<std::size_t>(img.cols * img.rows)) {
        const unsigned what = cube ? 4 : rng() % 8;
        if (what < 3)
            current = palette[rng() % palette.size()];
        else if (what == 3)
            current.r = std::min<sample>(maxval, current.r + 1);
        img.px.push_back(current);
    }
    return img;
}

template <typename F>
std::string messagesOf(F f) {
    pm_setMessage(1, nullptr);
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

Values entries(color_histogram chv, int colors, bool counts = true) {
    Values v;
    for (int i = 0; i < colors; ++i) {
        put(&v, &chv[i].color, 1);
        if (counts)
            v.push_back(chv[i].value);
    }
    ppm_freecolorhist(chv);
    return v;
}

int linearScan(const std::vector<color_count> &map, const pixel &c, sample maxval) {
    usehash = 0;
    int index = -1;
    searchColormap(map.data(), static_cast<int>(map.size()), c.r, c.g, c.b, maxval, &index);
    return index;
}

enum Kind { Histogram, Streaming, MapFile, Convert, Chosen, TwoPass, Nearest, Resort };
constexpr std::size_t kDefault = SIZE_MAX;

struct Case {
    Kind kind;
    sample maxval, mapMaxval;
    int colors, size;              // the image's colours; map entries (or the cube's side)
    std::size_t limit = kDefault;  // candidate pool
    int cols = 0, rows = 0;        // 0: random
};

// Random error rows for dithering from a seed, so that both paths can start
// alike; beyond one step (spread 1024) they reach the map's far colours.
struct ErrorRows {
    ErrorRows(int cols, std::uint32_t seed, std::int32_t spread = 1024) : e(6 * (cols + 2)) {
        std::mt19937 rng(seed);
        std::generate(e.begin(), e.end(), [&] { return static_cast<std::int32_t>(rng() % (2 * spread)) - spread; });
        const auto at = [&](int k) { return e.data() + k * (cols + 2); };
        fs = {at(0), at(1), at(2), at(3), at(4), at(5), 1};
    }
    ErrorRows(const ErrorRows &) = delete;
    std::vector<std::int32_t> e;
    fserr_state fs;
};

struct Compared {
    Values oracle, fast;
    std::string oracleMessages, fastMessages;
};

// Straightforward: read, rescaled in place, then convertRow with its cache,
// which stops taking entries at row dropCacheAt as after a refused entry.
void convertRows(const std::string &path, const std::vector<color_count> &map, sample maxval, int dropCacheAt,
                 fserr_state *fs, Values *out) {
    RowArray img(path);
    rescaleImage(img.pixels, img.cols, img.rows, img.maxval, maxval);
    cht = ppm_alloccolorhash();
    for (int r = 0; r < img.rows; ++r) {
        usehash = r < dropCacheAt;
        convertRow(img.pixels[r], img.cols, maxval, map.data(), static_cast<int>(map.size()), fs != nullptr, fs);
        put(out, img.pixels[r], img.cols);
    }
    ppm_freecolorhash(cht);
}

void convertFast(const std::string &path, const std::vector<color_count> &map, sample maxval, std::size_t limit,
                 fserr_state *fs, Values *out) {
    const PackedImage image = readPackedImage(path.c_str());
    FastConverter converter(map.data(), static_cast<int>(map.size()), maxval, rescaleTable(image.maxval, maxval),
                            limit == kDefault ? FastConverter::kCellPoolLimit : limit);
    std::vector<pixel> row(image.cols);
    for (int r = 0; r < image.rows; ++r) {
        image.dispatch([&](auto word) { converter.convert(image.row<decltype(word)>(r), image.cols, row.data(), fs); });
        put(out, row.data(), row.size());
    }
}

Compared compare(std::mt19937 &rng, const Case &c) {
    Compared r;
    const int least = c.kind >= Convert && c.kind <= TwoPass ? 1 : 0;  // the converters are never given empty rows
    const int cols = c.cols ? c.cols : least + static_cast<int>(rng() % 70);
    const int rows = c.rows ? c.rows : least + static_cast<int>(rng() % 40);
    Image img = c.kind <= TwoPass ? randomImage(rng, cols, rows, c.maxval, c.colors, c.kind <= Streaming ? c.size : 0)
                                  : Image{0, 0, 0, {}};
    for (pixel &p : img.px)  // a grey image, read from a PGM file, now and then
        p = c.kind == TwoPass && img.px.size() % 3 == 0 ? pixel{p.r, p.r, p.r} : p;
    const std::string path = c.kind <= TwoPass ? fileOf(rng, img) : "";
    if (c.kind == Histogram) {  // the packed scale table must give the samples rescaled in place
        RowArray slow(path);
        const PackedImage image = readPackedImage(path.c_str());
        color_histogram slowChv, fastChv;
        int slowColors, fastColors;
        sample slowMaxval, fastMaxval;
        SampleScale scale;
        r.oracleMessages = messagesOf(
            [&] { computeHistogram(slow.pixels, slow.cols, slow.rows, slow.maxval, &slowChv, &slowColors, &slowMaxval); });
        r.fastMessages = messagesOf([&] { computeHistogramPacked(image, &fastChv, &fastColors, &fastMaxval, &scale); });
        r.oracle = {slow.cols, slow.rows, slow.maxval};
        for (int row = 0; row < slow.rows; ++row)
            put(&r.oracle, slow.pixels[row], slow.cols);
        r.fast = unpack(image, scale);
        for (auto [out, chv, colors, maxval] : {std::tuple{&r.oracle, slowChv, slowColors, slowMaxval},
                                                std::tuple{&r.fast, fastChv, fastColors, fastMaxval}}) {
            const Values e = entries(chv, colors);
            out->insert(out->end(), e.begin(), e.end());
            out->push_back(maxval);
        }
    } else if (c.kind == Streaming) {  // a file's count, span by span, against the packed count
        color_histogram chv;
        int colors;
        sample maxval[2];
        SampleScale scale[2];
        std::vector<WideColorCount> wide;
        r.oracleMessages = messagesOf(
            [&] { computeHistogramPacked(readPackedImage(path.c_str()), &chv, &colors, &maxval[0], &scale[0]); });
        r.fastMessages = messagesOf([&] {
            // Counted in parts apart (pixels or raw bytes), merged in any order.
            std::vector<std::size_t> cut{0, img.px.size()};
            for (std::size_t parts = c.size ? 3 : 1 + rng() % 4; cut.size() <= parts;)
                cut.push_back(rng() % (img.px.size() + 1));
            std::sort(cut.begin(), cut.end());
            std::vector<std::unique_ptr<StreamingHistogram>> counters;
            for (std::size_t p = 0; p + 1 < cut.size(); ++p) {
                counters.push_back(std::make_unique<StreamingHistogram>(img.maxval));
                counters.back()->startAt(cut[p]);
                for (std::size_t done = cut[p], n; done < cut[p + 1]; done += n) {
                    n = std::min<std::size_t>(cut[p + 1] - done, 1 + rng() % 5000);
                    std::vector<unsigned char> bytes;
                    for (std::size_t i = done; i < done + n && img.maxval <= 255 && p % 2; ++i)
                        bytes.insert(bytes.end(), {static_cast<unsigned char>(img.px[i].r),
                                                   static_cast<unsigned char>(img.px[i].g),
                                                   static_cast<unsigned char>(img.px[i].b)});
                    bytes.empty() ? counters.back()->add(img.px.data() + done, static_cast<int>(n))
                                  : counters.back()->addBytes(bytes.data(), 3, n);
                }
            }
            std::shuffle(counters.begin(), counters.end(), rng);
            for (std::size_t p = 1; p < counters.size(); ++p)
                counters[0]->merge(*counters[p]);
            counters[0]->finish(&wide, &maxval[1], &scale[1]);
        });
        r.oracle = entries(chv, colors);
        for (const WideColorCount &e : wide)
            put(&r.fast, &e.color, 1), r.fast.push_back(static_cast<long long>(e.value));
        for (int side = 0; side < 2; ++side) {
            Values &out = side ? r.fast : r.oracle;
            out.insert(out.end(), scale[side].begin(), scale[side].end());
            out.push_back(maxval[side]);
        }
    } else if (c.kind == MapFile) {  // a map read once for its colours against the map held
        color_histogram chv[2];
        int colors[2];
        sample mapMaxval = 0;
        SampleScale scale[2];
        r.oracleMessages = messagesOf([&] {
            computeColorMapFromMapPacked(c.mapMaxval, readPackedImage(path.c_str()), &chv[0], &colors[0], &scale[0]);
        });
        r.fastMessages = messagesOf(
            [&] { computeColorMapFromMapFile(c.mapMaxval, path.c_str(), &chv[1], &colors[1], &mapMaxval, &scale[1]); });
        for (int side = 0; side < 2; ++side) {
            Values &out = side ? r.fast : r.oracle;
            out = entries(chv[side], colors[side]);
            out.insert(out.end(), scale[side].begin(), scale[side].end());
            out.push_back(side ? mapMaxval : img.maxval);
        }
    } else if (c.kind == Convert) {
        // A median-cut map of the image, with its surplus black, and
        // duplicates half the time; undithered, then dithered from the same
        // random first errors, then the errors left for the next row.
        RowArray scaled(path);
        rescaleImage(scaled.pixels, cols, rows, img.maxval, c.mapMaxval);
        int n;
        color_histogram chv = ppm_computecolorhist(scaled.pixels, cols, rows, 0, &n);
        color_histogram cut = mediancut(chv, n, cols * rows, c.mapMaxval, c.size);
        std::vector<color_count> map(cut, cut + c.size);
        ppm_freecolorhist(chv), ppm_freecolorhist(cut);
        for (int i = rng() % 2 ? c.size / 4 + 1 : 0; i > 0; --i)
            map.push_back(map[rng() % map.size()]);
        const int dropCacheAt = static_cast<int>(rng() % (rows + 1));
        const std::uint32_t seed = rng();
        ErrorRows errors[2] = {{cols, seed}, {cols, seed}};
        fserr_state *fs[2] = {&errors[0].fs, &errors[1].fs};
        r.oracleMessages = messagesOf([&] {
            convertRows(path, map, c.mapMaxval, dropCacheAt, nullptr, &r.oracle);
            convertRows(path, map, c.mapMaxval, dropCacheAt, fs[0], &r.oracle);
        });
        r.fastMessages = messagesOf([&] {
            convertFast(path, map, c.mapMaxval, c.limit, nullptr, &r.fast);
            convertFast(path, map, c.mapMaxval, c.limit, fs[1], &r.fast);
        });
        for (int side = 0; side < 2; ++side) {
            Values &out = side ? r.fast : r.oracle;
            // All six rows: the last row's, and the shares it carried ahead in the row before.
            const fserr_state &e = *fs[side];
            for (const std::int32_t *row : {e.this_red_err, e.this_green_err, e.this_blue_err, e.next_red_err,
                                            e.next_green_err, e.next_blue_err})
                out.insert(out.end(), row, row + cols + 2);
            out.push_back(e.left_to_right);
        }
    } else if (c.kind == Chosen) {
        // The program's map (the colours chosen, one black for the surplus)
        // against mediancut's N entries, by whole runs: undithered, dithered.
        const std::uint32_t seed = rng();
        for (int dither = 0; dither < 2; ++dither) {
            RowArray slow(path);
            color_histogram map;
            sample maxval;
            ErrorRows errors[2] = {{cols, seed, 1 << 14}, {cols, seed, 1 << 14}};
            r.oracleMessages += messagesOf([&] { computeColorMapFromInput(slow.pixels, cols, rows, slow.maxval, c.size, &map, &maxval); });
            cht = ppm_alloccolorhash(), usehash = 1;
            r.oracle.push_back(maxval);
            for (int row = 0; row < rows; ++row) {
                convertRow(slow.pixels[row], cols, maxval, map, c.size, dither, &errors[0].fs);
                put(&r.oracle, slow.pixels[row], cols);
            }
            ppm_freecolorhash(cht), ppm_freecolorhist(map);
            const PackedImage image = readPackedImage(path.c_str());
            int mapColors;
            SampleScale scale;
            r.fastMessages += messagesOf([&] { computeChosenColorMapPacked(image, c.size, dither, &map, &mapColors, &maxval, &scale); });
            FastConverter converter(map, mapColors, maxval, std::move(scale));
            r.fast.push_back(maxval);
            std::vector<pixel> out(cols);
            for (int row = 0; row < rows; ++row) {
                image.dispatch([&](auto w) { converter.convert(image.row<decltype(w)>(row), cols, out.data(), dither ? &errors[1].fs : nullptr); });
                put(&r.fast, out.data(), cols);
            }
            ppm_freecolorhist(map);
        }
    } else if (c.kind == TwoPass) {  // runs from the file read twice against runs of the image held
        const std::uint32_t seed = rng();
        for (int dither = 0; dither < 2; ++dither) {
            ErrorRows errors[2] = {{cols, seed}, {cols, seed}};
            for (int twice = 0; twice < 2; ++twice) {
                std::unique_ptr<TwoPassInput> input;
                const PackedImage held = twice ? PackedImage{} : readPackedImage(path.c_str());
                if (twice)
                    input = std::make_unique<TwoPassInput>(pm_openr(path.c_str()), path.c_str(), true);
                color_histogram map;
                int mapColors;
                sample maxval;
                SampleScale scale;
                (twice ? r.fastMessages : r.oracleMessages) += messagesOf([&] {
                    twice ? input->chooseColorMap(c.size, dither, &map, &mapColors, &maxval, &scale)
                          : computeChosenColorMapPacked(held, c.size, dither, &map, &mapColors, &maxval, &scale);
                });
                FastConverter converter(map, mapColors, maxval, std::move(scale));
                fserr_state *fs = dither ? &errors[twice].fs : nullptr;
                std::vector<pixel> out(cols);
                ::testing::internal::CaptureStdout();
                if (twice)
                    input->convertRows(converter, fs, maxval);
                for (int row = 0; row < (twice ? 0 : rows); ++row) {
                    held.dispatch([&](auto w) { converter.convert(held.row<decltype(w)>(row), cols, out.data(), fs); });
                    ppm_writeppmrow(stdout, out.data(), cols, maxval, 0);
                }
                std::fflush(stdout);
                const std::string bytes = ::testing::internal::GetCapturedStdout();
                (twice ? r.fast : r.oracle).insert((twice ? r.fast : r.oracle).end(), bytes.begin(), bytes.end());
                ppm_freecolorhist(map);
            }
        }
    } else if (c.kind == Nearest) {
        // A map made to break a pruned search (random, a lattice where many
        // colours are equidistant from several entries, or a tight cluster
        // far from most colours), with duplicates and surplus black.
        const pixel centre = randomColor(rng, c.maxval);
        const unsigned kind = rng() % 3, step = c.maxval / 8 + 1;
        const auto near = [&](long long s, long long d) { return static_cast<sample>(std::clamp<long long>(s + d, 0, c.maxval)); };
        std::vector<color_count> map;
        for (int i = 0; i < c.size; ++i) {
            pixel p = randomColor(rng, c.maxval);
            if (kind == 1)
                p = pixel{near(rng() % 9 * step, 0), near(rng() % 9 * step, 0), near(rng() % 9 * step, 0)};
            else if (kind == 2)
                p = pixel{near(centre.r, rng() % 5), near(centre.g, rng() % 5), near(centre.b, rng() % 5)};
            map.push_back(color_count{p, 0});
        }
        for (int i = 0; i < c.size / 4; ++i)
            map.push_back(map[rng() % map.size()]);
        map.resize(map.size() + rng() % 20, color_count{pixel{0, 0, 0}, 0});
        NearestColorIndex index(map.data(), static_cast<int>(map.size()), c.maxval,
                                c.limit == kDefault ? NearestColorIndex::kPoolLimit : c.limit);
        // Corners, random colours, entries, midpoints of two, colours near one.
        for (int i = 0; i < 400; ++i) {
            const pixel &a = map[rng() % map.size()].color, &b = map[rng() % map.size()].color;
            const int d = static_cast<int>(rng() % 9) - 4;
            const pixel choices[] = {{c.maxval, c.maxval * (i % 2), c.maxval * (i / 2 % 2)}, randomColor(rng, c.maxval), a,
                                     {(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2}, {near(a.r, d), near(a.g, -d), near(a.b, 3 * d)}};
            const pixel &p = choices[i < 4 ? 0 : i % 4 + 1];
            r.oracle.push_back(linearScan(map, p, c.maxval)), r.fast.push_back(index.nearest(p.r, p.g, p.b));
        }
        // The nearest entry of every colour of a cell must be among its
        // candidates, in map order so that ties go to the lowest index; cells
        // around entries, where the lists are longest, and anywhere.
        for (int cell = 0; cell < 4; ++cell) {
            const unsigned shift = rng() % 4, side = 1u << shift;
            const pixel at = cell % 2 ? map[rng() % map.size()].color : randomColor(rng, c.maxval);
            const sample lo[3] = {at.r >> shift << shift, at.g >> shift << shift, at.b >> shift << shift};
            std::vector<std::uint32_t> ids;
            r.fast.push_back(index.cellCandidates(lo, shift, map.size(), &ids)), r.oracle.push_back(true);
            std::vector<color_count> candidates;
            for (std::uint32_t id : ids)
                candidates.push_back(map[index.indexOf(id)]);
            for (sample k = 0; k < side * side * side; ++k) {
                const pixel p{lo[0] + k % side, lo[1] + k / side % side, lo[2] + k / side / side};
                if (std::max({p.r, p.g, p.b}) > c.maxval)
                    continue;
                const int best = candidates.empty() ? -1 : linearScan(candidates, p, c.maxval);
                r.oracle.push_back(linearScan(map, p, c.maxval)), r.fast.push_back(best < 0 ? -1 : index.indexOf(ids[best]));
            }
        }
    } else {  // boxes re-sorted after a cut, against a whole stable sort
        const auto byCount = [](const color_box &a, const color_box &b) { return sumcompare(a, b) < 0; };
        for (int t = 0; t < 500; ++t) {
            std::vector<color_box> boxes(2 + rng() % 40);
            for (std::size_t i = 0; i < boxes.size(); ++i)
                boxes[i] = color_box{static_cast<int>(i), 1, static_cast<int>(rng() % 8)};  // many ties
            std::stable_sort(boxes.begin(), boxes.end() - 1, byCount);
            const std::size_t at = rng() % (boxes.size() - 1);
            boxes[at].pixel_count = static_cast<int>(rng() % (boxes[at].pixel_count + 1));
            std::vector<color_box> expected = boxes;
            std::stable_sort(expected.begin(), expected.end(), byCount);
            resortBoxesAfterCut(boxes.data(), static_cast<int>(boxes.size()), static_cast<int>(at));
            for (std::size_t i = 0; i < boxes.size(); ++i)
                r.oracle.push_back(expected[i].first_entry), r.fast.push_back(boxes[i].first_entry);
        }
    }
    return r;
}

// Every case, twice (QUANTIZE_DIFF_SCALE times more for long runs), must give
// the same results and messages by both paths.
TEST(FastPaths, AgreeWithTheStraightforwardCode) {
    std::vector<Case> cases = {
        // 32768 colours, one too many, and 32767; the maxval halves until they fit.
        {Histogram, 31, 0, 0, 32}, {Histogram, 31, 0, 1, 32}, {Histogram, 255, 0, 0, 32}, {Resort, 0, 0, 0, 0},
        {Streaming, 255, 0, 0, 40}, {Streaming, 63, 0, 0, 40},  // parts that fit, together too many
        {Histogram, 65535, 0, 200, 0, kDefault, 1500, 800},  // rows spread over several blocks
        {Convert, 255, 255, 3000, 256}, {Convert, 255, 255, 40, 300}, {Convert, 255, 15, 500, 16},
        {Convert, 15, 255, 100, 50}, {Convert, 63, 63, 2000, 2}, {Convert, 65535, 65535, 800, 64},
        {Convert, 65535, 300, 800, 200}, {Convert, 1000, 1000, 50, 500}, {Convert, 1, 1, 8, 3},
        {Convert, 0, 0, 1, 2}, {Convert, 255, 65535, 200, 40}, {Convert, 255, 100, 3000, 256},
        // Without room, cells of several candidates fall back to the search,
        // and after a few thousand cells to the colour cache.
        {Convert, 255, 255, 6000, 256, 0, 300, 60}, {Convert, 255, 255, 6000, 256, 40, 300, 60},
        {Convert, 255, 255, 6000, 256, 1000, 300, 60},
        // N below, at and above the image's colours, plain and scaled distances.
        {Chosen, 255, 0, 40, 2}, {Chosen, 255, 0, 40, 40}, {Chosen, 255, 0, 40, 83}, {Chosen, 255, 0, 400, 200},
        {Chosen, 15, 0, 30, 64}, {Chosen, 65535, 0, 60, 100}, {Chosen, 1, 0, 4, 9}, {Chosen, 255, 0, 60000, 256, kDefault, 400, 200},
        // Rows of more than a block, many blocks, a maxval with halvings.
        {TwoPass, 255, 0, 300, 16, kDefault, 5000, 300}, {TwoPass, 65535, 0, 40000, 64, kDefault, 3, 400000},
        {TwoPass, 255, 0, 50, 100, kDefault, 37, 23}, {TwoPass, 15, 0, 9, 4, kDefault, 1, 3000}, {TwoPass, 255, 0, 40, 8, kDefault, 3000, 1}, {MapFile, 65535, 255, 5000, 0, kDefault, 300, 40},
    };
    for (sample m : {0, 1, 15, 31, 63, 100, 255, 256, 1000, 4095, 65535}) {
        for (Kind k : {Histogram, Streaming}) {
            cases.push_back({k, m, 0, 50, 0});
            cases.push_back({k, m, 0, 40000, 0, kDefault, 211, 180});  // too many colours
        }
        cases.push_back({MapFile, m, 255, 300, 0, kDefault, 300, 40});
        for (int size : {1, 2, 7, 40, 256, 1500})
            cases.push_back({Nearest, m, 0, 0, size});
    }
    for (std::size_t limit : {0, 300, 5000})  // candidate lists that run out of room
        cases.push_back({Nearest, 255, 0, 0, 300, limit}), cases.push_back({Nearest, 65535, 0, 0, 300, limit});
    const char *scale = std::getenv("QUANTIZE_DIFF_SCALE");
    std::mt19937 rng(12);
    pm_init("quantize", 0);
    for (int trial = 0; trial < 2 * std::max(1, scale ? std::atoi(scale) : 1); ++trial)
        for (const Case &c : cases) {
            const Compared r = compare(rng, c);
            const auto at = std::mismatch(r.fast.begin(), r.fast.end(), r.oracle.begin(), r.oracle.end());
            ASSERT_EQ(r.fastMessages, r.oracleMessages) << "trial " << trial << ", case " << &c - &cases[0];
            ASSERT_TRUE(r.fast == r.oracle) << "trial " << trial << ", case " << &c - &cases[0] << ": from value "
                                            << at.first - r.fast.begin() << " on, "
                                            << ::testing::PrintToString(Values(at.first, r.fast.end())) << " instead of "
                                            << ::testing::PrintToString(Values(at.second, r.oracle.end()));
        }
}

// Counts beyond 32 bits: with every count even each box's half is exact, so
// counts 2^40 times larger change no choice and no mean, unless a count, sum
// or weighted sum were cut to 32 bits.
TEST(MedianCut, CountsBeyond32BitsCutAsTheirSmallerForm) {
    std::mt19937 rng(33);
    for (int trial = 0; trial < 100; ++trial) {
        std::vector<WideColorCount> small, large;
        std::uint64_t sum = 0;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 150); i < n; ++i) {
            const pixel c{sample(i * 37 % 251), sample(rng() % 65536), sample(rng() % 4)};
            const std::uint64_t count = 2 * (1 + rng() % 1000);
            small.push_back({c, count}), large.push_back({c, count << 40}), sum += count;
        }
        const int n = 2 + static_cast<int>(rng() % 200);
        int colors[2];
        color_histogram a = mediancutWide(small.data(), int(small.size()), sum, 65535, n, &colors[0]);
        color_histogram b = mediancutWide(large.data(), int(large.size()), sum << 40, 65535, n, &colors[1]);
        ASSERT_EQ(entries(a, colors[0], false), entries(b, colors[1], false)) << "trial " << trial;
    }
}

// Reads the file once, rewrites it as `changed`, then converts it on
// `workers` threads, dithered or not.
void rereadAfterChange(const std::string &path, const std::string &changed, unsigned workers, bool dithered) {
    TwoPassInput input(pm_openr(path.c_str()), path.c_str(), false);
    FILE *rewrite = std::fopen(path.c_str(), "wb");
    std::fwrite(changed.data(), 1, changed.size(), rewrite);
    std::fclose(rewrite);
    const color_count black{{0, 0, 0}, 0};
    std::vector<std::unique_ptr<FastConverter>> converters;
    for (unsigned w = 0; w < workers; ++w)
        converters.push_back(std::make_unique<FastConverter>(&black, 1, 255, rescaleTable(255, 255)));
    ErrorRows errors(input.cols(), 1);
    if (std::freopen("/dev/null", "w", stdout) != nullptr)
        input.convertBands(workers, dithered ? &errors.fs : nullptr, 255,
                           [&](unsigned w) -> FastConverter & { return *converters[w]; });
    std::exit(0);
}

// What a map read once and a file read twice refuse, in the order of an image read whole.
TEST(FileReadingDeathTest, RefusalsAsWhenReadWhole) {
    // 32768 colours in the first 128 rows, too many; but in a plain copy a
    // sample above maxval in the last row is found first.
    std::string raw = "P6 256 129 255\n", plain = "P3 256 129 255\n";
    for (int i = 0; i < 256 * 129; ++i) {
        const int r = i < 256 * 128 ? i & 0xff : 1, g = i < 256 * 128 ? i >> 8 : 1;
        raw += {char(r), char(g), 0};
        plain += std::to_string(r) + " " + std::to_string(g) + (i == 256 * 129 - 1 ? " 300\n" : " 0\n");
    }
    const std::string tooMany = testsupport::temporaryFile(raw), badLast = testsupport::temporaryFile(plain),
                      empty = testsupport::temporaryFile("P6 0 3 255\n");
    std::mt19937 rng(2);
    std::string bytes = "P6\n2000 1200\n255\n";
    for (int i = 0; i < 2000 * 1200 * 3; ++i)
        bytes += char(rng() % 4);
    const auto mapOf = [](const std::string &path) {
        color_histogram map;
        int colors;
        sample maxval;
        SampleScale scale;
        computeColorMapFromMapFile(255, path.c_str(), &map, &colors, &maxval, &scale);
    };
    std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { mapOf(tooMany); }, "too many colors in colormap!"},
        {[&] { mapOf(badLast); }, "the image from file '" + badLast + "' has a sample of value 300 .row 128, column 255. above"},
        {[&] { mapOf(empty); }, "colormap in file '" + empty + "' contains no pixels"}};
    // The first or last sample, or the length, changed between the readings.
    std::string first = bytes;
    first[first.size() - 2000 * 1200 * 3] ^= 1;
    for (const std::string &changed : {first, bytes.substr(0, bytes.size() - 1) + char(bytes.back() ^ 1), bytes + "x",
                                       bytes.substr(0, bytes.size() - 3)}) {
        // On one thread; on two, each reading its bands; dithered, read ahead by the main thread.
        for (const auto &[workers, dithered] : {std::pair{1u, false}, {2u, false}, {2u, true}}) {
            const std::string path = testsupport::temporaryFile(bytes);
            cases.push_back({[=] { rereadAfterChange(path, changed, workers, dithered); },
                             "the image in file '" + path + "' changed between its first and second reading\n"});
        }
    }
    for (const auto &[run, message] : cases) {
        EXPECT_EXIT((pm_init("quantize", 0), run()), ::testing::ExitedWithCode(1), "quantize: " + message) << message;
    }
}

// The median cut that both paths share, on histograms worked out by hand.
TEST(MedianCut, WorkedExamples) {
    const struct {
        std::vector<color_count> hist;
        sample maxval;
        Values expected;
    } cases[] = {
        {{{{40, 50, 60}, 7}}, 255, {40, 50, 60, 0, 0, 0, 0, 0, 0}},  // then surplus black
        {{}, 255, {0, 0, 0, 0, 0, 0}},                               // no division by 0
        // Sorted by green, stably: red, blue, green; red alone reaches half of 9. Most pixels first.
        {{{{255, 0, 0}, 5}, {{0, 255, 0}, 3}, {{0, 0, 255}, 1}}, 255, {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}},
        // The lower part grows to 2 and the cut stops one entry before the end.
        {{{{0, 0, 0}, 1}, {{10, 0, 0}, 1}, {{200, 0, 0}, 10}}, 255, {200, 0, 0, 5, 0, 0}},
        {{{{0, 0, 0}, 10}, {{10, 0, 0}, 1}, {{200, 0, 0}, 1}}, 255, {0, 0, 0, 105, 0, 0}},
        // Boxes of 4 pixels each keep their order; 43 / 4 truncates to 10.
        {{{{200, 0, 0}, 4}, {{11, 0, 0}, 1}, {{10, 0, 0}, 3}}, 255, {10, 0, 0, 200, 0, 0}},
        // The first entry alone holds the widest red, then the least green.
        {{{{200, 0, 0}, 1}, {{100, 50, 0}, 1}, {{100, 0, 0}, 1}}, 255, {150, 0, 0, 100, 50, 0}},
        {{{{200, 50, 0}, 1}, {{0, 200, 0}, 1}, {{100, 200, 0}, 1}}, 255, {50, 200, 0, 200, 50, 0}},
        // Sums beyond 2^31; a mean above maxval is cut.
        {{{{65535, 65535, 65535}, 100000}, {{65533, 65533, 65533}, 100000}, {{0, 0, 0}, 300000}}, 65535,
         {0, 0, 0, 65534, 65534, 65534}},
        {{{{200, 5, 300}, 2}, {{0, 0, 0}, 2}}, 100, {0, 0, 0, 100, 5, 100}},
        // Extents, not their ends: red 100 (29.89) over green 140 - 100 (23.46); 3 / 2 is 1.
        {{{{0, 120, 0}, 1}, {{100, 100, 0}, 1}, {{50, 140, 0}, 1}}, 255, {75, 120, 0, 0, 120, 0}},
        // Extents 100, 50, 255 weigh 29.89, 29.33, 29.1975: red; green 51: 29.9166.
        {{{{0, 50, 128}, 5}, {{100, 0, 0}, 5}, {{50, 25, 255}, 1}}, 255, {91, 4, 42, 0, 50, 128}},
        {{{{0, 51, 128}, 5}, {{100, 0, 0}, 5}, {{50, 25, 255}, 1}}, 255, {8, 46, 149, 100, 0, 0}},
        // 838 * 0.2989 and 427 * 0.5866 tie in single precision: red wins;
        // 1145 * 0.5866 equals 5866 * 0.1145: green wins.
        {{{{0, 427, 0}, 5}, {{838, 0, 0}, 5}, {{400, 200, 0}, 1}}, 65535, {765, 33, 0, 0, 427, 0}},
        {{{{0, 1145, 0}, 5}, {{0, 0, 5866}, 5}, {{0, 500, 3000}, 1}}, 65535, {0, 1037, 500, 0, 0, 5866}},
    };
    for (auto c : cases) {
        int sum = 0, n = static_cast<int>(c.expected.size() / 3);
        for (const auto &e : c.hist)
            sum += e.value;
        EXPECT_EQ(entries(mediancut(c.hist.data(), static_cast<int>(c.hist.size()), sum, c.maxval, n), n, false),
                  c.expected) << &c - cases;
    }
}

// Kept threads: a job is done when joined, a free thread takes the next one,
// and a child of fork (which has none of the parent's threads) still runs jobs.
TEST(KeptThreadsDeathTest, JobsJoinedReusedAndRunAfterFork) {
    keepHelpers(2);
    std::vector<std::thread::id> ran;
    for (int round = 0; round < 20; ++round) {
        std::thread::id one, two;
        Task a([&] { one = std::this_thread::get_id(); }, Task::Then::stayAwake);
        Task b([&] { two = std::this_thread::get_id(); });
        a.join();
        b.join();
        ASSERT_TRUE(one != std::thread::id() && two != std::thread::id() && one != two);
        ran.insert(ran.end(), {one, two});
    }
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(std::unique(ran.begin(), ran.end()) - ran.begin(), 2);
    EXPECT_EXIT(
        {
            int n = 0;
            Task([&] { n = 7; }).join();
            std::exit(n);
        },
        ::testing::ExitedWithCode(7), "");
}

// Bands converted in order on one worker (as dithering needs) are each
// converted after the main thread has prepared them in the slot given, and
// written in order.
TEST(KeptThreads, OrderedBandsPreparedBeforeConverted) {
    const int cols = 64, rows = 40 * bandRowsOf(64) + 3;
    std::vector<int> preparedIn(kMostBandsInFlight, -1), converted;
    bool allPrepared = true;
    ::testing::internal::CaptureStdout();
    convertAndWriteRows(
        cols, rows, 255, 2, true,
        [&](unsigned, int firstRow, int count, BandOut &out) -> const char * {
            allPrepared = allPrepared && preparedIn[out.slot] == firstRow;
            converted.push_back(firstRow);
            for (int i = 0; i < count * cols; ++i)
                out.pixels[i] = pixel{static_cast<sample>(firstRow + i / cols), 0, 0};
            return nullptr;
        },
        [&](int firstRow, int, std::size_t slot) {
            if (firstRow == 0)  // a worker that did not wait for it would be at it by now
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            preparedIn[slot] = firstRow;
        });
    const std::string written = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(allPrepared);
    EXPECT_TRUE(std::is_sorted(converted.begin(), converted.end()));
    ASSERT_EQ(written.size(), std::size_t(3) * cols * rows);
    for (int row = 0; row < rows; ++row)
        ASSERT_EQ(static_cast<unsigned char>(written[std::size_t(3) * cols * row]), row % 256) << row;
}

// The program's first error rows: random within one step, the first row going right.
TEST(FloydSteinberg, FirstErrorsAreWithinOneStep) {
    fserr_state fs;
    initFserr(&fs, 500);
    EXPECT_EQ(fs.left_to_right, 1);
    for (const std::int32_t *row : {fs.this_red_err, fs.this_green_err, fs.this_blue_err}) {
        const auto [lo, hi] = std::minmax_element(row, row + 502);
        EXPECT_TRUE(*lo >= -1024 && *hi <= 1023 && *lo < *hi);
    }
    freeFserr(&fs);}

}  // namespace
