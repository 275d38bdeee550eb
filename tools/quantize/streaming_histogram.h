// The colour histogram of an image that is read once and not kept: the
// same histogram, final maxval, sample table and messages as
// computeHistogramPacked, from pixels handed over in raster order.
//
// computeHistogramPacked counts the whole image at a maxval and halves it
// while the image has more than kMaxHistogramColors colours. Here the
// colours seen so far are counted at the current maxval; when they pass the
// limit the image as a whole would too, so the maxval is halved at once and
// the colours so far are rescaled and merged (their values at the lower
// maxval are what the whole image's samples would give, the halvings
// composing exactly as in the sample table). The histogram's order comes
// from each colour's first pixel, kept through the merges, and counts are
// 64-bit, so images of any size are counted exactly.
#ifndef QUANTIZE_STREAMING_HISTOGRAM_H
#define QUANTIZE_STREAMING_HISTOGRAM_H

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <kestrum/colormap.h>

#include "mediancut.h"
#include "packed_colormap_source.h"

namespace quantize {

class StreamingHistogram {
public:
    // maxval: the image's; every sample handed over lies in 0..maxval.
    // Without halving (a map image's colours), counting stops at the limit
    // instead, and overflowed() tells.
    explicit StreamingHistogram(sample maxval, bool halving = true);
    StreamingHistogram(const StreamingHistogram &) = delete;
    StreamingHistogram &operator=(const StreamingHistogram &) = delete;

    // Takes now all the memory counting can need, so that add (on another
    // thread) never allocates.
    void reserveAll();

    // Counts the next `count` pixels of the image.
    void add(const pixel *span, int count);

    // add for `count` pixels of raw bytes, `channels` samples (3, or 1 for
    // grey) a pixel, of an image of maxval at most 255.
    void addBytes(const unsigned char *bytes, int channels, std::size_t count);

    // The maxval counted at now, and halving down to (at least) another
    // counter's: where one part of an image has too many colours, the whole
    // image has.
    sample maxval() const { return maxval_; }
    void lowerTo(sample maxval) {
        while (maxval_ > maxval)
            halve();
    }

    // For a counter given one part of the image: its first pixel's number
    // in the whole image. Before the first add.
    void startAt(std::uint64_t pixelNumber) { pixels_ = pixelNumber; }

    // Takes in the colours of another part of the same image (counted from
    // the same maxval, on pixels after or before this part's): the result
    // is what one counter would have made of both parts, whatever the
    // order of the parts, as the maxval halvings depend only on the set of
    // colours and each colour keeps its first pixel.
    void merge(const StreamingHistogram &other);

    // Prints the messages computeHistogram prints for the image, and hands
    // back what computeHistogramPacked does: the histogram (in the same
    // order, with counts of any size), the final maxval and the table from
    // the image's samples to it.
    void finish(std::vector<WideColorCount> *histP, sample *newmaxvalP, SampleScale *scaleP);

    // Without halving: whether the image has more colours than the limit,
    // and else its histogram, in that order, without messages.
    bool overflowed() const { return overflowed_; }
    std::vector<WideColorCount> histogram() const;

private:
    void makeSlots();
    std::size_t directIndex(const pixel &c) const {
        return (std::size_t{c.r} << (2 * bits_)) | (std::size_t{c.g} << bits_) | c.b;
    }
    std::uint32_t find(const pixel &c);
    int countKnown(const pixel *span, int count);
    template <int Channels>
    std::size_t countKnownBytes(const unsigned char *bytes, std::size_t count);
    template <int Channels>
    std::size_t countKnownHashedBytes(const unsigned char *bytes, std::size_t count);
    template <int Channels>
    void rememberLast(const unsigned char *last, std::uint32_t id);
    void addOne(const pixel &p);
    std::uint32_t insert(const pixel &c, std::uint64_t count, std::uint64_t first);
    void claimSlot(const pixel &c, std::uint32_t id);
    void halve();

    sample maxval_;  // the current one
    bool halving_;
    bool overflowed_ = false;
    SampleScale scale_;
    std::vector<std::pair<sample, sample>> halvings_;
    // Colour number + 1 (0: empty), indexed by the colour when direct_,
    // else by open addressing on it, which the limit keeps at most half
    // full.
    unsigned bits_ = 0;
    bool direct_ = false;
    std::vector<std::uint16_t> slots_;
    // For addBytes with the direct slots: each sample's part of the slot's
    // index, red, green then blue.
    std::vector<std::uint32_t> byteIndex_;
    std::vector<pixel> colors_;
    std::vector<std::uint64_t> counts_;
    // More counts of each colour, taken by every other pixel counted from
    // raw bytes: two running chains of increments instead of one, where a
    // run of one colour would make each increment wait for the last.
    std::vector<std::uint64_t> spare_;
    std::uint64_t countOf(std::size_t id) const { return counts_[id] + spare_[id]; }
    std::vector<std::uint64_t> first_;  // the number of each colour's first pixel
    std::uint64_t pixels_ = 0;
    // The last pixel as handed over and its colour number: runs of a colour
    // cost a comparison a pixel.
    pixel previous_{0, 0, 0};
    std::uint32_t previousId_ = UINT32_MAX;
};

}  // namespace quantize

#endif
