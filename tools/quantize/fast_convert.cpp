#include "fast_convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include "packed_image.h"

namespace quantize {

namespace {

constexpr unsigned kMemoBits = 16;
// The direct table is used up to 2^24 colours (32 MiB, touched only where
// colours occur) and only while colour numbers fit 16 bits.
constexpr unsigned kDirectMaxBits = 24;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

FastConverter::FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale)
    : index_(colormap, ncolors, maxval), scale_(std::move(scale)), maxval_(maxval) {
    for (std::uint32_t id = 0; id < index_.distinctCount(); ++id)
        colors_.push_back(index_.colorOf(id));
    while (bits_ < 16 && (sample{1} << bits_) <= maxval)
        ++bits_;
    if (3 * bits_ <= kDirectMaxBits && index_.distinctCount() < 65535) {
        // Morton order: the bits of the three samples interleaved, so that
        // nearby colours (neighbouring pixels, dithered variants of one
        // colour) share cache lines and pages.
        for (sample v = 0; v < (sample{1} << bits_); ++v) {
            std::uint32_t spread = 0;
            for (unsigned bit = 0; bit < bits_; ++bit)
                spread |= ((v >> bit) & 1u) << (3 * bit);
            spread_.push_back(spread);
        }
        const std::size_t bytes = (std::size_t{1} << (3 * bits_)) * sizeof(std::uint16_t);
        if (bytes >= kHugePage) {
            // Zeroed pages on first touch, in huge pages where the system
            // offers them: the table is read all over, and a TLB miss per
            // lookup would cost more than the search it saves.
            void *block = nullptr;
            if (posix_memalign(&block, kHugePage, bytes) == 0) {
                madvise(block, bytes, MADV_HUGEPAGE);
                std::memset(block, 0, bytes);
                direct_ = static_cast<std::uint16_t *>(block);
            }
        } else {
            direct_ = static_cast<std::uint16_t *>(std::calloc(bytes, 1));
        }
    }
    if (direct_ == nullptr)
        memo_.assign(std::size_t{1} << kMemoBits, MemoSlot{0, 0});
}

FastConverter::~FastConverter() { std::free(direct_); }

// The distinct colour number nearest to (r, g, b), through the cache.
inline std::uint32_t FastConverter::lookup(sample r, sample g, sample b) {
    if (direct_ != nullptr) {
        std::uint16_t &slot = direct_[(spread_[r] << 2) | (spread_[g] << 1) | spread_[b]];
        if (slot == 0)
            slot = static_cast<std::uint16_t>(index_.nearestDistinct(r, g, b) + 1);
        return slot - 1u;
    }
    const std::uint64_t key = ((std::uint64_t{r} << 32) | (std::uint64_t{g} << 16) | b) + 1;
    MemoSlot &slot = memo_[static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kMemoBits))];
    if (slot.key != key) {
        slot.key = key;
        slot.id = index_.nearestDistinct(r, g, b);
    }
    return slot.id;
}

template <typename Word>
void FastConverter::convert(const Word *row, int cols, pixel *out, fserr_state *fs) {
    if (cols <= 0)
        return;
    if (fs == nullptr)
        convertPlain(row, cols, out);
    else if (fs->left_to_right)
        convertDithered<Word, true>(row, cols, out, fs);
    else
        convertDithered<Word, false>(row, cols, out, fs);
}

template <typename Word>
void FastConverter::convertPlain(const Word *row, int cols, pixel *out) {
    using P = Packing<Word>;
    const sample *scale = scale_.data();
    Word previous = row[0];
    pixel chosen = colors_[lookup(scale[P::red(previous)], scale[P::green(previous)], scale[P::blue(previous)])];
    for (int col = 0; col < cols; ++col) {
        const Word w = row[col];
        if (w != previous) {
            chosen = colors_[lookup(scale[P::red(w)], scale[P::green(w)], scale[P::blue(w)])];
            previous = w;
        }
        out[col] = chosen;
    }
}

// One pixel of Floyd-Steinberg as floydAdjustColor, the search and
// floydPropagateErr do it: the error is fixed point with 1024 to a step, so
// each share err * w / 16 of err = diff * 1024 is exactly diff * 64 * w.
template <typename Word, bool LeftToRight>
void FastConverter::convertDithered(const Word *row, int cols, pixel *out, fserr_state *fs) {
    using P = Packing<Word>;
    floydInitRow(fs, cols);
    const sample *scale = scale_.data();
    std::int32_t *thisErr[3] = {fs->this_red_err, fs->this_green_err, fs->this_blue_err};
    std::int32_t *nextErr[3] = {fs->next_red_err, fs->next_green_err, fs->next_blue_err};
    const std::int32_t maxval = static_cast<std::int32_t>(maxval_);
    for (int i = 0; i < cols; ++i) {
        const int col = LeftToRight ? i : cols - 1 - i;
        const Word w = row[col];
        const sample original[3] = {scale[P::red(w)], scale[P::green(w)], scale[P::blue(w)]};
        sample adjusted[3];
        for (int k = 0; k < 3; ++k) {
            // Division truncating toward zero, as in floydAdjustColor.
            const std::int32_t v = static_cast<std::int32_t>(original[k]) + thisErr[k][col + 1] / kFserrScale;
            adjusted[k] = static_cast<sample>(std::clamp<std::int32_t>(v, 0, maxval));
        }
        const pixel chosen = colors_[lookup(adjusted[0], adjusted[1], adjusted[2])];
        const sample chosenSamples[3] = {chosen.r, chosen.g, chosen.b};
        const int ahead = LeftToRight ? col + 2 : col;
        const int behind = LeftToRight ? col : col + 2;
        for (int k = 0; k < 3; ++k) {
            const std::int32_t diff = static_cast<std::int32_t>(adjusted[k]) - static_cast<std::int32_t>(chosenSamples[k]);
            thisErr[k][ahead] += diff * 448;
            nextErr[k][behind] += diff * 192;
            nextErr[k][col + 1] += diff * 320;
            nextErr[k][ahead] += diff * 64;
        }
        out[col] = chosen;
    }
    floydSwitchDir(fs);
}

template void FastConverter::convert<std::uint32_t>(const std::uint32_t *, int, pixel *, fserr_state *);
template void FastConverter::convert<std::uint64_t>(const std::uint64_t *, int, pixel *, fserr_state *);

}  // namespace quantize
