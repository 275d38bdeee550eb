// Exact nearest-colour search for large images: the answer of the linear
// scan of searchColormap (least distance, lowest index among equals) for
// every colour, without scanning the whole map.
//
// Only the first entry of each distinct colour can win (a later duplicate
// ties it at a higher index), so the surplus black entries of a median cut
// and duplicate map colours are dropped up front. The colour cube is then
// divided like an octree, lazily, as colours arrive: each cell keeps the
// candidates that can be nearest to some colour inside it. A cell's
// candidates are filtered from its parent's: with maxDist(e, C) the largest
// and minDist(e, C) the least distance from entry e to a colour of cell C,
// and bound = min over candidates e of maxDist(e, C), only entries with
// minDist(e, C) <= bound are kept. The winner w for a colour p in C always
// stays, because minDist(w, C) <= d(p, w) <= d(p, e) <= maxDist(e, C) for
// every e. Both distance forms are sums of a non-decreasing function of each
// channel's difference, so minDist and maxDist of a box are the sums of the
// per-channel extremes, exact for the scaled form too. Candidates keep
// ascending index order, so a strict comparison in a scan of them gives the
// lowest index among equals, as the linear scan does.
#ifndef QUANTIZE_NEAREST_H
#define QUANTIZE_NEAREST_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <kestrum/colormap.h>

namespace quantize {

class NearestColorIndex {
public:
    // Candidate lists stop growing at this many entries in all (4 bytes
    // each, 64 MiB); cells then stay undivided and their longer lists are
    // scanned. Dithering a 16-megapixel photograph to a map of 32767 of its
    // colours takes most of it; with half as much, the cells of a sixth of
    // its colours stay undivided and each scans hundreds of candidates.
    static constexpr std::size_t kPoolLimit = std::size_t{1} << 24;

    // colormap: ncolors > 0 entries whose samples lie in 0..maxval.
    NearestColorIndex(const color_count *colormap, int ncolors, sample maxval,
                      std::size_t poolLimit = kPoolLimit);

    // The number of the nearest distinct colour to (r, g, b), samples in
    // 0..maxval; distinct colours are numbered 0 up in map order.
    std::uint32_t nearestDistinct(sample r, sample g, sample b);

    // The same as a colour-map index: what searchColormap gives.
    int nearest(sample r, sample g, sample b) { return indexOf(nearestDistinct(r, g, b)); }

    std::uint32_t distinctCount() const { return static_cast<std::uint32_t>(entries_.size()); }
    // The colour-map index of distinct colour `id`: its first entry.
    int indexOf(std::uint32_t id) const { return entries_[id].index; }
    pixel colorOf(std::uint32_t id) const {
        const Entry &e = entries_[id];
        return pixel{e.rgb[0], e.rgb[1], e.rgb[2]};
    }

    // Appends to *out, in ascending order, distinct colour numbers that
    // include the nearest of every colour in the cell 2^shift samples a side
    // (clipped to maxval) whose low corner is lo, each coordinate a multiple
    // of 2^shift. In the plain distance form an entry is also dropped when
    // another is at least as near to every colour of the cell (strictly
    // nearer if it comes later): the difference of two squared distances is
    // linear in the colour, so its least value over the cell is at a corner,
    // and it can never win there. Gives up, appending nothing and returning
    // false, when the search keeps more than `limit` candidates for the cell
    // or for a larger cell around it.
    bool cellCandidates(const sample lo[3], unsigned shift, std::size_t limit, std::vector<std::uint32_t> *out);

private:
    struct Entry {
        sample rgb[3];
        int index;
    };
    struct Node {
        std::uint32_t first;  // candidates: pool_[first .. first + count)
        std::uint32_t count;
        std::int32_t children;  // first of 8 in nodes_; kNone, or kLeaf
    };
    static constexpr std::int32_t kNone = -1;
    static constexpr std::int32_t kLeaf = -2;

    template <bool Scaled>
    std::uint32_t search(const sample c[3]);
    template <bool Scaled>
    std::uint32_t descend(const sample c[3], unsigned stopShift, sample lo[3], unsigned *shiftP);
    template <bool Scaled>
    std::uint32_t scanFlat(std::uint32_t cell, const sample c[3]) const;
    template <bool Scaled>
    void buildChildren(std::uint32_t node, const sample lo[3], unsigned childShift);
    template <bool Scaled>
    std::uint32_t scanLeaf(const Node &node, const sample c[3]) const;
    template <bool Scaled>
    void filterCandidates(std::uint32_t first, std::uint32_t count, const sample lo[3],
                          const sample hi[3], std::vector<std::uint32_t> *out);
    template <bool Scaled>
    bool cellCandidatesOf(const sample lo[3], unsigned shift, std::size_t limit, std::vector<std::uint32_t> *out);
    void dropDominated(std::vector<std::uint32_t> *ids, std::size_t start, const sample lo[3],
                       const sample hi[3]) const;

    // A flat grid over the cube, 2^flatShift_ samples a cell, each cell
    // holding a copy of its candidates' colours: one load and a scan of
    // adjacent memory for a colour, where the descent walks a node a level.
    // Cells are filled on first use; one with too many candidates sends its
    // colours down the tree.
    struct Candidate {
        sample rgb[3];
        std::uint32_t id;
    };
    struct FlatCell {
        std::uint32_t first;  // flatPool_[first .. first + count)
        std::uint32_t count;  // kUnbuilt until filled
    };
    static constexpr std::uint32_t kUnbuilt = UINT32_MAX;
    std::vector<FlatCell> flat_;
    std::vector<Candidate> flatPool_;
    unsigned flatBits_;   // cells a side: 2^flatBits_
    unsigned flatShift_;

    std::vector<Entry> entries_;       // distinct colours in map order
    std::vector<Node> nodes_;          // nodes_[0]: the whole cube
    std::vector<std::uint32_t> pool_;  // candidate lists, as entry numbers
    std::vector<std::uint32_t> scratch_;
    // The leaf of the last search: successive colours (neighbouring pixels,
    // more so with dithering) often fall in the same cell.
    std::uint32_t lastLeaf_ = 0;
    sample lastLo_[3] = {0, 0, 0};
    unsigned lastShift_;
    sample maxval_;
    std::size_t poolLimit_;
    unsigned rootShift_;  // the root cell is 2^rootShift_ samples wide
    bool scaled_;
};

}  // namespace quantize

#endif
