#include "packed_colormap_source.h"

#include <kestrum/common.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "colormap_rules.h"
#include "histogram_order.h"
#include "malloc_product.h"
#include "mediancut.h"

namespace quantize {

namespace {

unsigned bitWidth(sample m) {
    unsigned bits = 0;
    while (bits < 32 && (m >> bits) != 0)
        ++bits;
    return bits;
}

// Counts the distinct colours of the image, as seen through a sample table,
// up to kMaxHistogramColors. Colours are numbered in order of first
// occurrence, which with their counts is all it takes to rebuild the
// histogram order of the chained table (ascending bucket, and within a
// bucket the colour seen first last, since chains grow at their head).
//
// Colours are found through a direct table indexed by the colour when the
// samples are narrow enough (at most 2^21 slots), else through an
// open-addressing index of 2^16 slots keyed on the whole colour, which the
// limit keeps at most half full.
class LimitedColorCounter {
public:
    static constexpr std::uint32_t kLimit = kMaxHistogramColors;

    explicit LimitedColorCounter(sample maxval) {
        bits_ = bitWidth(maxval);
        const std::size_t slots = 3 * bits_ <= 21 ? std::size_t{1} << (3 * bits_) : kHashSlots;
        hashed_ = 3 * bits_ > 21;
        slots_.reset(static_cast<std::uint16_t *>(std::calloc(slots, sizeof(std::uint16_t))));
        if (!slots_ && !hashed_) {
            // The direct table is only the faster way to the same count.
            hashed_ = true;
            slots_.reset(static_cast<std::uint16_t *>(std::calloc(kHashSlots, sizeof(std::uint16_t))));
        }
        if (!slots_)
            pm_error("out of memory allocating hash table");
    }

    // Counts the image; false on its first colour beyond the limit.
    template <typename Word>
    bool count(const PackedImage &image, const SampleScale *scale) {
        const int rows = image.cols == 0 ? 0 : image.rows;  // empty rows hold no colour
        for (int r = 0; r < rows; ++r) {
            const Word *row = image.row<Word>(r);
            if (!(scale ? countRow<Word, true>(row, image.cols, scale->data())
                        : countRow<Word, false>(row, image.cols, nullptr)))
                return false;
        }
        return true;
    }

    int size() const { return static_cast<int>(colors_.size()); }

    // The histogram in the chained table's order, with room for the limit.
    color_histogram histogram() const {
        void *block;
        kestrum::mallocProduct(&block, kLimit, sizeof(color_count));
        auto *chv = static_cast<color_count *>(block);
        const auto colorOf = [this](std::uint32_t i) { return colors_[i]; };
        const auto place = [&](std::uint32_t position, std::uint32_t i) {
            chv[position] = color_count{colors_[i], static_cast<int>(counts_[i])};
        };
        if (chv == nullptr ||
            !kestrum::placeInHistogramOrder(static_cast<std::uint32_t>(colors_.size()), colorOf, place)) {
            std::free(chv);
            pm_error("out of memory generating histogram");
        }
        return chv;
    }

private:
    static constexpr std::size_t kHashSlots = std::size_t{1} << 16;

    template <typename Word, bool Scaled>
    bool countRow(const Word *row, int cols, const sample *scale) {
        using P = Packing<Word>;
        // A run of one colour costs one comparison a pixel.
        Word previous = 0;
        std::uint32_t previousId = UINT32_MAX;
        for (int col = 0; col < cols; ++col) {
            const Word w = row[col];
            if (w == previous && previousId != UINT32_MAX) {
                ++counts_[previousId];
                continue;
            }
            sample r = P::red(w), g = P::green(w), b = P::blue(w);
            if (Scaled) {
                r = scale[r];
                g = scale[g];
                b = scale[b];
            }
            const std::uint32_t id = find(r, g, b);
            if (id == UINT32_MAX)
                return false;
            ++counts_[id];
            previous = w;
            previousId = id;
        }
        return true;
    }

    // The number of the colour, a new one if unseen; UINT32_MAX when a new
    // colour would pass the limit.
    std::uint32_t find(sample r, sample g, sample b) {
        std::uint16_t *slot;
        if (!hashed_) {
            slot = &slots_[(std::size_t{r} << (2 * bits_)) | (std::size_t{g} << bits_) | b];
        } else {
            const std::uint64_t key = (std::uint64_t{r} << 32) | (std::uint64_t{g} << 16) | b;
            std::size_t s = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 48);
            for (;; s = (s + 1) & (kHashSlots - 1)) {
                const std::uint16_t n = slots_[s];
                if (n == 0)
                    break;
                const pixel &c = colors_[n - 1];
                if (c.r == r && c.g == g && c.b == b)
                    return n - 1u;
            }
            slot = &slots_[s];
        }
        if (*slot != 0)
            return *slot - 1u;
        if (colors_.size() == kLimit)
            return UINT32_MAX;
        colors_.push_back(pixel{r, g, b});
        counts_.push_back(0);
        *slot = static_cast<std::uint16_t>(colors_.size());
        return static_cast<std::uint32_t>(colors_.size() - 1);
    }

    struct FreeDeleter {
        void operator()(void *p) const { std::free(p); }
    };
    unsigned bits_;
    bool hashed_;
    std::unique_ptr<std::uint16_t[], FreeDeleter> slots_;  // colour number + 1; 0: empty
    std::vector<pixel> colors_;
    std::vector<std::uint32_t> counts_;
};

}  // namespace

SampleScale rescaleTable(sample oldmaxval, sample newmaxval) {
    SampleScale table(std::size_t{oldmaxval} + 1);
    for (sample s = 0; s <= oldmaxval; ++s)
        table[s] = rescaleSample(s, oldmaxval, newmaxval);
    return table;
}

color_histogram packedColorHistogram(const PackedImage &image, const SampleScale *scale,
                                     sample maxval, int *colorsP) {
    LimitedColorCounter counter(maxval);
    const bool fits = image.dispatch([&](auto word) {
        return counter.count<decltype(word)>(image, scale);
    });
    if (!fits) {
        *colorsP = kMaxHistogramColors + 1;
        return nullptr;
    }
    *colorsP = counter.size();
    return counter.histogram();
}

void computeHistogramPacked(const PackedImage &image, color_histogram *chvP, int *colorsP,
                            sample *newmaxvalP, SampleScale *scaleP) {
    sample m = image.maxval;
    SampleScale scale = rescaleTable(m, m);  // the identity
    bool rescaled = false;
    color_histogram chv;
    int colors;
    for (;;) {
        pm_message("making histogram...");
        chv = packedColorHistogram(image, rescaled ? &scale : nullptr, m, &colors);
        if (chv != nullptr)
            break;
        const sample halved = m / 2;
        pm_message("too many colors!");
        pm_message("scaling colors from maxval=%d to maxval=%d to improve clustering...",
                   static_cast<int>(m), static_cast<int>(halved));
        // One more halving, applied to what the earlier ones made of each
        // sample: exactly the value that rescaling the image again would give.
        for (sample &s : scale)
            s = rescaleSample(s, m, halved);
        rescaled = true;
        m = halved;
    }
    pm_message("%d colors found", colors);
    *chvP = chv;
    *colorsP = colors;
    *newmaxvalP = m;
    *scaleP = std::move(scale);
}

void computeChosenColorMapPacked(const PackedImage &image, int newcolors, bool dithered,
                                 color_histogram *colormapP, int *mapColorsP,
                                 sample *newmaxvalP, SampleScale *scaleP) {
    color_histogram chv;
    int colors;
    computeHistogramPacked(image, &chv, &colors, newmaxvalP, scaleP);
    std::vector<WideColorCount> hist(static_cast<std::size_t>(colors));
    for (std::size_t i = 0; i < hist.size(); ++i)
        hist[i] = WideColorCount{chv[i].color, static_cast<std::uint32_t>(chv[i].value)};
    ppm_freecolorhist(chv);
    chooseColorMap(std::move(hist), static_cast<std::uint64_t>(image.rows) * static_cast<std::uint64_t>(image.cols),
                   *newmaxvalP, newcolors, dithered, colormapP, mapColorsP);
}

void chooseColorMap(std::vector<WideColorCount> hist, std::uint64_t pixels, sample maxval, int newcolors,
                    bool dithered, color_histogram *colormapP, int *mapColorsP) {
    pm_message("choosing %d colors...", newcolors);
    const int colors = static_cast<int>(hist.size());
    if (!dithered && newcolors >= colors && maxval <= 255) {
        // Every colour is kept, each box of the median cut one colour of
        // the histogram, and without dithering each pixel (at the final
        // maxval) becomes the map's entry of its own colour: at distance 0,
        // which in the plain distance form of maxvals up to 255 no other
        // colour is. The order of the map, which is most of the median
        // cut's work here, cannot show in the output, and the histogram's
        // colours serve as the map. (An image without pixels gets one
        // black entry.)
        if (!colormapFits(newcolors))
            pm_error("out of memory");
        const int mapColors = std::max(colors, 1);
        void *block = nullptr;
        kestrum::mallocProduct(&block, static_cast<unsigned int>(mapColors), sizeof(color_count));
        if (block == nullptr)
            pm_error("out of memory");
        auto *colormap = static_cast<color_histogram>(block);
        colormap[0] = color_count{pixel{0, 0, 0}, 0};
        for (int i = 0; i < colors; ++i)
            colormap[i] = color_count{hist[static_cast<std::size_t>(i)].color, 0};
        *colormapP = colormap;
        *mapColorsP = mapColors;
        return;
    }
    *colormapP = mediancutWide(hist.data(), colors, pixels, maxval, newcolors, mapColorsP);
}

void computeColorMapFromInputPacked(const PackedImage &image, int newcolors,
                                    color_histogram *colormapP, sample *newmaxvalP,
                                    SampleScale *scaleP) {
    color_histogram chosen;
    int mapColors;
    computeChosenColorMapPacked(image, newcolors, true, &chosen, &mapColors, newmaxvalP, scaleP);
    void *block = nullptr;
    kestrum::mallocProduct(&block, static_cast<unsigned int>(newcolors), sizeof(color_count));
    if (block == nullptr)
        pm_error("out of memory");
    auto *colormap = static_cast<color_histogram>(block);
    std::copy(chosen, chosen + mapColors, colormap);
    std::fill(colormap + mapColors, colormap + newcolors, color_count{pixel{0, 0, 0}, 0});
    ppm_freecolorhist(chosen);
    *colormapP = colormap;
}

void computeColorMapFromMapPacked(const PackedImage &input, const PackedImage &map,
                                  color_histogram *colormapP, int *colorsP, SampleScale *scaleP) {
    computeColorMapFromMapPacked(input.maxval, map, colormapP, colorsP, scaleP);
}

void computeColorMapFromMapPacked(sample inputMaxval, const PackedImage &map,
                                  color_histogram *colormapP, int *colorsP, SampleScale *scaleP) {
    if (map.maxval != inputMaxval)
        pm_message("rescaling input image to match colormap maxval");
    *scaleP = rescaleTable(inputMaxval, map.maxval);
    int colors;
    color_histogram colormap = packedColorHistogram(map, nullptr, map.maxval, &colors);
    if (colormap == nullptr)
        pm_error("too many colors in colormap!");
    pm_message("%d colors found in colormap", colors);
    *colormapP = colormap;
    *colorsP = colors;
}

}  // namespace quantize
