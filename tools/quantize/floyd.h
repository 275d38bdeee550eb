// Floyd-Steinberg error diffusion in serpentine order: the error rows and
// the operations that row conversion calls around every pixel and row.
#ifndef QUANTIZE_FLOYD_H
#define QUANTIZE_FLOYD_H

#include <cstdint>

#include <kestrum/types.h>

namespace quantize {

// Errors are fixed point, 1024 to one sample step. Each array has cols + 2
// slots: slot x + 1 belongs to column x, and slots 0 and cols + 1 are guards
// that catch the shares pushed past either end of a row (never read back).
struct fserr_state {
    std::int32_t *this_red_err;
    std::int32_t *next_red_err;
    std::int32_t *this_green_err;
    std::int32_t *next_green_err;
    std::int32_t *this_blue_err;
    std::int32_t *next_blue_err;
    int left_to_right;  // 1: the row goes from column 0 up; 0: downwards
};

constexpr std::int32_t kFserrScale = 1024;

// The Floyd-Steinberg shares of an error of one sample step: 7/16 ahead in
// this row, 3/16 behind, 5/16 straight and 1/16 ahead in the next. While the
// scale is a multiple of 16 a share of the error diff * kFserrScale is
// exactly diff times the share of one step, with nothing lost to rounding.
static_assert(kFserrScale % 16 == 0, "the shares of one step must be whole");
constexpr std::int32_t kShareAhead = kFserrScale * 7 / 16;
constexpr std::int32_t kShareBehindBelow = kFserrScale * 3 / 16;
constexpr std::int32_t kShareBelow = kFserrScale * 5 / 16;
constexpr std::int32_t kShareAheadBelow = kFserrScale * 1 / 16;

// Allocates the six arrays and gives the current ones random starting errors
// in -1024..1023 from the platform's rand, seeded with time ^ pid.
void initFserr(fserr_state *fs, int cols);

// The same with the starting errors drawn from DitherSeedGenerator(seed),
// red, green and blue of each slot in turn: the same on every platform.
void initFserrSeeded(fserr_state *fs, int cols, std::uint32_t seed);

// The starting errors a command line asks for: from its seed when it gave
// one, else as initFserr.
void initFserrAsAsked(fserr_state *fs, int cols, bool seeded, std::uint32_t seed);

// A small generator of the program's own (SplitMix64), so that a seeded
// dithering does not depend on the C library's rand.
class DitherSeedGenerator {
public:
    explicit DitherSeedGenerator(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A starting error in -1024..1023, from the top 11 bits.
    std::int32_t startingError() { return static_cast<std::int32_t>(next() >> 53) - kFserrScale; }

private:
    std::uint64_t state_;
};

// Clears the error arrays of the following row.
void floydInitRow(fserr_state *fs, int cols);

// The two steps around one pixel, defined beside the straightforward row
// conversion (floyd_pixel.cpp, in the oracle library): the program's fast
// conversion does them inline.
//
// Adds the error gathered for column col to the pixel, clamped to 0..maxval.
void floydAdjustColor(pixel *pP, sample maxval, const fserr_state *fs, int col);

// Spreads the difference between the adjusted pixel (r, g, b) and the chosen
// colour (nr, ng, nb) over the unconverted neighbours: 7/16 ahead in this
// row, 3/16 behind, 5/16 straight and 1/16 ahead in the next.
void floydPropagateErr(fserr_state *fs, int col, sample r, sample g, sample b, sample nr,
                       sample ng, sample nb);

// Ends a row: the next row's errors become the current ones and the
// direction turns.
void floydSwitchDir(fserr_state *fs);

// Releases the six arrays.
void freeFserr(fserr_state *fs);

}  // namespace quantize

#endif
