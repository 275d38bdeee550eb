// Floyd-Steinberg error diffusion: integer fixed point, no column treated
// specially (the guard slots take what falls off either end of a row).
#include "floyd.h"

#include <kestrum/common.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace quantize {

namespace {

std::int32_t *allocErrorRow(int slots) {
    return static_cast<std::int32_t *>(pm_allocrow(slots, static_cast<int>(sizeof(std::int32_t))));
}

// The six arrays, and each slot of the current ones given three starting
// errors from draw(), red, green and blue in turn.
template <typename Draw>
void makeFserr(fserr_state *fs, int cols, Draw draw) {
    if (cols < 0 || cols > INT_MAX - 2)
        pm_error("out of memory allocating a row");
    const int slots = cols + 2;
    fs->this_red_err = allocErrorRow(slots);
    fs->next_red_err = allocErrorRow(slots);
    fs->this_green_err = allocErrorRow(slots);
    fs->next_green_err = allocErrorRow(slots);
    fs->this_blue_err = allocErrorRow(slots);
    fs->next_blue_err = allocErrorRow(slots);
    for (int k = 0; k < slots; ++k) {
        fs->this_red_err[k] = draw();
        fs->this_green_err[k] = draw();
        fs->this_blue_err[k] = draw();
    }
    fs->left_to_right = 1;
}

}  // namespace

void initFserr(fserr_state *fs, int cols) {
    srand(static_cast<unsigned int>(time(nullptr) ^ getpid()));
    makeFserr(fs, cols, [] { return rand() % 2048 - 1024; });
}

void initFserrSeeded(fserr_state *fs, int cols, std::uint32_t seed) {
    DitherSeedGenerator generator(seed);
    makeFserr(fs, cols, [&generator] { return generator.startingError(); });
}

void initFserrAsAsked(fserr_state *fs, int cols, bool seeded, std::uint32_t seed) {
    if (seeded)
        initFserrSeeded(fs, cols, seed);
    else
        initFserr(fs, cols);
}

void floydInitRow(fserr_state *fs, int cols) {
    const int slots = cols + 2;
    std::fill(fs->next_red_err, fs->next_red_err + slots, 0);
    std::fill(fs->next_green_err, fs->next_green_err + slots, 0);
    std::fill(fs->next_blue_err, fs->next_blue_err + slots, 0);
}

void floydSwitchDir(fserr_state *fs) {
    std::swap(fs->this_red_err, fs->next_red_err);
    std::swap(fs->this_green_err, fs->next_green_err);
    std::swap(fs->this_blue_err, fs->next_blue_err);
    fs->left_to_right = fs->left_to_right ? 0 : 1;
}

void freeFserr(fserr_state *fs) {
    for (std::int32_t *row : {fs->this_red_err, fs->next_red_err, fs->this_green_err,
                              fs->next_green_err, fs->this_blue_err, fs->next_blue_err})
        pm_freerow(row);
}

}  // namespace quantize
