#include "nearest.h"

#include <algorithm>
#include <unordered_map>

namespace quantize {

namespace {

// Cells stop dividing at this many candidates: scanning a few entries beats
// another level of descent.
constexpr std::uint32_t kLeafCandidates = 12;
// The flat grid: 32 cells a side at most (32768 cells), and cells of more
// candidates than this go down the tree instead.
constexpr unsigned kFlatBits = 5;
constexpr std::uint32_t kFlatCandidates = 32;
// Pairs are compared for dominance in lists up to this long only.
constexpr std::size_t kDominanceCandidates = 24;

// One channel's share of the distance for a difference d >= 0: its square,
// divided by 16 (truncating) in the scaled form used above maxval 255. A
// square of a difference below 65536 fits 32 bits unsigned, and so does the
// scaled sum of three.
template <bool Scaled>
inline std::uint32_t term(std::uint32_t d) {
    const std::uint32_t sq = d * d;
    return Scaled ? sq / 16 : sq;
}

inline std::uint32_t absDiff(sample a, sample b) { return a > b ? a - b : b - a; }

template <bool Scaled>
inline std::uint32_t distance(const sample a[3], const sample b[3]) {
    return term<Scaled>(absDiff(a[0], b[0])) + term<Scaled>(absDiff(a[1], b[1])) +
           term<Scaled>(absDiff(a[2], b[2]));
}

}  // namespace

NearestColorIndex::NearestColorIndex(const color_count *colormap, int ncolors, sample maxval,
                                     std::size_t poolLimit)
    : maxval_(maxval), poolLimit_(poolLimit), scaled_(maxval > 255) {
    // First entries of distinct colours; runs of one colour (the surplus
    // black of a median cut) cost one comparison an entry.
    std::unordered_map<std::uint64_t, int> seen;
    for (int i = 0; i < ncolors; ++i) {
        const pixel &c = colormap[i].color;
        if (i > 0 && c.r == colormap[i - 1].color.r && c.g == colormap[i - 1].color.g &&
            c.b == colormap[i - 1].color.b)
            continue;
        const std::uint64_t key = (std::uint64_t{c.r} << 32) | (std::uint64_t{c.g} << 16) | c.b;
        if (seen.emplace(key, i).second)
            entries_.push_back(Entry{{c.r, c.g, c.b}, i});
    }
    rootShift_ = 0;
    while (rootShift_ < 16 && (sample{1} << rootShift_) <= maxval)
        ++rootShift_;
    Node root{0, static_cast<std::uint32_t>(entries_.size()), kNone};
    for (std::uint32_t i = 0; i < entries_.size(); ++i)
        pool_.push_back(i);
    if (root.count <= kLeafCandidates || rootShift_ == 0)
        root.children = kLeaf;
    nodes_.push_back(root);
    flatBits_ = std::min(rootShift_, kFlatBits);
    flatShift_ = rootShift_ - flatBits_;
    flat_.assign(std::size_t{1} << (3 * flatBits_), FlatCell{0, kUnbuilt});
    // The root as the last leaf: right when it is one, never matched otherwise.
    lastShift_ = root.children == kLeaf ? rootShift_ : 0;
    if (root.children != kLeaf)
        lastLo_[0] = maxval + 1;
}

std::uint32_t NearestColorIndex::nearestDistinct(sample r, sample g, sample b) {
    const sample c[3] = {r, g, b};
    return scaled_ ? search<true>(c) : search<false>(c);
}

template <bool Scaled>
std::uint32_t NearestColorIndex::search(const sample c[3]) {
    const std::uint32_t cell = ((c[0] >> flatShift_) << (2 * flatBits_)) |
                               ((c[1] >> flatShift_) << flatBits_) | (c[2] >> flatShift_);
    FlatCell &flat = flat_[cell];
    if (flat.count == kUnbuilt) {
        // The cell's node of the tree (or the leaf above it), copied flat.
        sample lo[3] = {0, 0, 0};
        unsigned shift;
        const Node &node = nodes_[descend<Scaled>(c, flatShift_, lo, &shift)];
        flat.first = static_cast<std::uint32_t>(flatPool_.size());
        flat.count = node.count <= kFlatCandidates ? node.count : 0;
        for (std::uint32_t k = 0; k < flat.count; ++k) {
            const std::uint32_t id = pool_[node.first + k];
            flatPool_.push_back(Candidate{{entries_[id].rgb[0], entries_[id].rgb[1], entries_[id].rgb[2]}, id});
        }
    }
    if (flat.count != 0)
        return scanFlat<Scaled>(cell, c);
    if (((c[0] - lastLo_[0]) >> lastShift_) == 0 && ((c[1] - lastLo_[1]) >> lastShift_) == 0 &&
        ((c[2] - lastLo_[2]) >> lastShift_) == 0)
        return scanLeaf<Scaled>(nodes_[lastLeaf_], c);
    sample lo[3] = {0, 0, 0};
    unsigned shift;
    const std::uint32_t node = descend<Scaled>(c, 0, lo, &shift);
    lastLeaf_ = node;
    lastShift_ = shift;
    std::copy(lo, lo + 3, lastLo_);
    return scanLeaf<Scaled>(nodes_[node], c);
}

// The lowest-numbered candidate of least distance in a flat cell.
template <bool Scaled>
std::uint32_t NearestColorIndex::scanFlat(std::uint32_t cell, const sample c[3]) const {
    const Candidate *cand = flatPool_.data() + flat_[cell].first;
    const std::uint32_t count = flat_[cell].count;
    std::uint32_t best = cand[0].id;
    std::uint32_t bestDistance = distance<Scaled>(c, cand[0].rgb);
    for (std::uint32_t k = 1; k < count; ++k) {
        // Without branches: which candidate wins is data, not pattern.
        const std::uint32_t d = distance<Scaled>(c, cand[k].rgb);
        const bool nearer = d < bestDistance;
        best = nearer ? cand[k].id : best;
        bestDistance = nearer ? d : bestDistance;
    }
    return best;
}

// Walks down from the root to the leaf holding c, or to the node of cells
// 2^stopShift wide on the way, making the nodes it needs. lo receives the
// low corner of the node's cell and *shiftP its width as a power of two.
template <bool Scaled>
std::uint32_t NearestColorIndex::descend(const sample c[3], unsigned stopShift, sample lo[3],
                                         unsigned *shiftP) {
    std::uint32_t node = 0;
    unsigned shift = rootShift_;  // the current cell is 2^shift wide
    while (shift > stopShift && nodes_[node].children != kLeaf) {
        const unsigned childShift = shift - 1;
        if (nodes_[node].children == kNone) {
            buildChildren<Scaled>(node, lo, childShift);
            if (nodes_[node].children == kLeaf)
                break;  // no room for the children's lists
        }
        unsigned octant = 0;
        for (int k = 0; k < 3; ++k) {
            const unsigned bit = (c[k] >> childShift) & 1u;
            octant = octant * 2 + bit;
            lo[k] += bit << childShift;
        }
        node = static_cast<std::uint32_t>(nodes_[node].children) + octant;
        shift = childShift;
    }
    *shiftP = shift;
    return node;
}

// The lowest-numbered candidate of least distance.
template <bool Scaled>
std::uint32_t NearestColorIndex::scanLeaf(const Node &node, const sample c[3]) const {
    const std::uint32_t *ids = pool_.data() + node.first;
    std::uint32_t best = ids[0];
    std::uint32_t bestDistance = distance<Scaled>(c, entries_[best].rgb);
    for (std::uint32_t k = 1; k < node.count; ++k) {
        const std::uint32_t d = distance<Scaled>(c, entries_[ids[k]].rgb);
        if (d < bestDistance) {
            bestDistance = d;
            best = ids[k];
        }
    }
    return best;
}

// Makes the eight children of a cell whose low corner is lo, each
// 2^childShift samples wide (clipped to maxval), with their candidates:
// for each child what filterCandidates keeps of the parent's list, in one
// pass over it. Each child's range in a channel is one of the parent's two
// halves, and both distance forms are sums of per-channel terms, so a
// candidate's near and far terms for the two halves of each channel (twelve
// in all) give its least and greatest distance to all eight children by
// additions, where filtering child by child would load the candidate and
// compute its terms eight times over.
template <bool Scaled>
void NearestColorIndex::buildChildren(std::uint32_t node, const sample lo[3], unsigned childShift) {
    const std::uint32_t parentFirst = nodes_[node].first;
    const std::uint32_t parentCount = nodes_[node].count;
    const std::int32_t firstChild = static_cast<std::int32_t>(nodes_.size());
    const sample width = sample{1} << childShift;
    if (pool_.size() + std::size_t{8} * parentCount > poolLimit_) {
        // No room for more lists: this cell stays a leaf.
        nodes_[node].children = kLeaf;
        return;
    }
    // Per channel, the two halves' ranges; the upper one is empty (lo > hi)
    // when it lies past maxval, and so is every child in it (its terms are
    // computed with the others but never used).
    sample halfLo[3][2], halfHi[3][2];
    for (int ch = 0; ch < 3; ++ch) {
        for (unsigned bit = 0; bit < 2; ++bit) {
            halfLo[ch][bit] = lo[ch] + bit * width;
            halfHi[ch][bit] = std::min(halfLo[ch][bit] + width - 1, maxval_);
        }
    }
    // bound[octant]: the least, over the candidates, of the greatest
    // distance to the child; scratch_[octant * parentCount + k]: candidate
    // k's least.
    std::uint32_t bound[8];
    std::fill(bound, bound + 8, UINT32_MAX);
    scratch_.resize(std::size_t{8} * parentCount);
    for (std::uint32_t k = 0; k < parentCount; ++k) {
        const sample *e = entries_[pool_[parentFirst + k]].rgb;
        std::uint32_t nearTerm[3][2], farTerm[3][2];
        for (int ch = 0; ch < 3; ++ch) {
            for (int bit = 0; bit < 2; ++bit) {
                const sample a = halfLo[ch][bit], b = halfHi[ch][bit];
                nearTerm[ch][bit] = term<Scaled>(e[ch] < a ? a - e[ch] : e[ch] > b ? e[ch] - b : 0);
                farTerm[ch][bit] = term<Scaled>(std::max(absDiff(e[ch], a), absDiff(e[ch], b)));
            }
        }
        for (unsigned octant = 0; octant < 8; ++octant) {
            const unsigned br = octant >> 2, bg = (octant >> 1) & 1u, bb = octant & 1u;
            scratch_[octant * std::size_t{parentCount} + k] = nearTerm[0][br] + nearTerm[1][bg] + nearTerm[2][bb];
            bound[octant] = std::min(bound[octant], farTerm[0][br] + farTerm[1][bg] + farTerm[2][bb]);
        }
    }
    for (unsigned octant = 0; octant < 8; ++octant) {
        const bool empty = halfLo[0][octant >> 2] > maxval_ || halfLo[1][(octant >> 1) & 1u] > maxval_ ||
                           halfLo[2][octant & 1u] > maxval_;
        Node child{static_cast<std::uint32_t>(pool_.size()), 0, kLeaf};
        if (!empty) {
            // Room for the whole parent list (within the limit checked
            // above), then each candidate is written and kept or not without
            // a branch: which ones pass is data, not pattern.
            pool_.resize(child.first + std::size_t{parentCount});
            const std::uint32_t *from = pool_.data() + parentFirst;
            std::uint32_t *to = pool_.data() + child.first;
            const std::uint32_t *nearDist = scratch_.data() + octant * std::size_t{parentCount};
            std::uint32_t kept = 0;
            for (std::uint32_t k = 0; k < parentCount; ++k) {
                to[kept] = from[k];
                kept += nearDist[k] <= bound[octant] ? 1 : 0;
            }
            pool_.resize(child.first + std::size_t{kept});
            child.count = kept;
            if (child.count > kLeafCandidates && childShift > 0)
                child.children = kNone;
        }
        nodes_.push_back(child);
    }
    nodes_[node].children = firstChild;
}

// Appends to *out the candidates pool_[first .. first + count) that can be
// nearest to a colour of the box lo..hi: those whose least distance to the
// box is at most the least, over all of them, of the greatest. Reads pool_
// by position, so out may be &pool_.
template <bool Scaled>
void NearestColorIndex::filterCandidates(std::uint32_t first, std::uint32_t count, const sample lo[3],
                                         const sample hi[3], std::vector<std::uint32_t> *out) {
    scratch_.resize(count);
    std::uint32_t bound = UINT32_MAX;
    for (std::uint32_t k = 0; k < count; ++k) {
        const sample *e = entries_[pool_[first + k]].rgb;
        std::uint32_t nearDist = 0, farDist = 0;
        for (int ch = 0; ch < 3; ++ch) {
            const std::uint32_t nearGap =
                e[ch] < lo[ch] ? lo[ch] - e[ch] : e[ch] > hi[ch] ? e[ch] - hi[ch] : 0;
            const std::uint32_t farGap = std::max(absDiff(e[ch], lo[ch]), absDiff(e[ch], hi[ch]));
            nearDist += term<Scaled>(nearGap);
            farDist += term<Scaled>(farGap);
        }
        scratch_[k] = nearDist;
        bound = std::min(bound, farDist);
    }
    for (std::uint32_t k = 0; k < count; ++k)
        if (scratch_[k] <= bound)
            out->push_back(pool_[first + k]);
}

bool NearestColorIndex::cellCandidates(const sample lo[3], unsigned shift, std::size_t limit,
                                       std::vector<std::uint32_t> *out) {
    return scaled_ ? cellCandidatesOf<true>(lo, shift, limit, out) : cellCandidatesOf<false>(lo, shift, limit, out);
}

template <bool Scaled>
bool NearestColorIndex::cellCandidatesOf(const sample lo[3], unsigned shift, std::size_t limit,
                                         std::vector<std::uint32_t> *out) {
    // The node of the cell, or the leaf above it.
    sample nodeLo[3] = {0, 0, 0};
    unsigned nodeShift;
    const Node &node = nodes_[descend<Scaled>(lo, shift, nodeLo, &nodeShift)];
    if (node.count > limit)
        return false;
    sample hi[3];
    for (int k = 0; k < 3; ++k)
        hi[k] = std::min(lo[k] + ((sample{1} << shift) - 1), maxval_);
    const std::size_t start = out->size();
    if (nodeShift == shift && shift < rootShift_)
        // A node of the cell's own size: its list was filtered for this box.
        out->insert(out->end(), pool_.begin() + node.first, pool_.begin() + node.first + node.count);
    else
        filterCandidates<Scaled>(node.first, node.count, lo, hi, out);
    if (!Scaled && out->size() - start <= kDominanceCandidates)
        dropDominated(out, start, lo, hi);
    return true;
}

// Drops from (*ids)[start ..] each entry e for which another, f, is as near
// as e to every colour of the box lo..hi, or nearer everywhere when f comes
// after e; e then never wins in the box, whatever else is dropped. Plain
// squared distances only: d(p, e) - d(p, f) is linear in p.
void NearestColorIndex::dropDominated(std::vector<std::uint32_t> *ids, std::size_t start, const sample lo[3],
                                      const sample hi[3]) const {
    std::vector<std::uint32_t> &v = *ids;
    const std::size_t n = v.size() - start;
    std::size_t kept = start;
    for (std::size_t i = 0; i < n; ++i) {
        const sample *e = entries_[v[start + i]].rgb;
        bool dominated = false;
        for (std::size_t j = 0; j < n && !dominated; ++j) {
            if (j == i)
                continue;
            const sample *f = entries_[v[start + j]].rgb;
            // The least of d(p, e) - d(p, f) over the box, channel by channel.
            std::int64_t least = 0;
            for (int ch = 0; ch < 3; ++ch) {
                const std::int64_t el = std::int64_t{e[ch]} - lo[ch], fl = std::int64_t{f[ch]} - lo[ch];
                const std::int64_t eh = std::int64_t{e[ch]} - hi[ch], fh = std::int64_t{f[ch]} - hi[ch];
                least += std::min(el * el - fl * fl, eh * eh - fh * fh);
            }
            dominated = j < i ? least >= 0 : least > 0;
        }
        if (!dominated)
            v[kept++] = v[start + i];
    }
    v.resize(kept);
}

}  // namespace quantize
