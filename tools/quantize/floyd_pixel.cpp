// Floyd-Steinberg around one pixel, as the straightforward row conversion
// (search.h) does it: the program's fast conversion does the same inline.
#include "floyd.h"

#include <algorithm>

namespace quantize {

namespace {

sample adjustSample(sample s, std::int32_t err, sample maxval) {
    const std::int64_t v = static_cast<std::int64_t>(s) + err / kFserrScale;
    return static_cast<sample>(std::clamp<std::int64_t>(v, 0, maxval));
}

// The four Floyd-Steinberg shares of one channel's error.
void spread(std::int32_t *thisErr, std::int32_t *nextErr, int col, int leftToRight, sample adjusted,
            sample chosen) {
    const std::int32_t err =
        (static_cast<std::int32_t>(adjusted) - static_cast<std::int32_t>(chosen)) * kFserrScale;
    if (err == 0)
        return;
    const int ahead = leftToRight ? col + 2 : col;
    const int behind = leftToRight ? col : col + 2;
    thisErr[ahead] += err * 7 / 16;
    nextErr[behind] += err * 3 / 16;
    nextErr[col + 1] += err * 5 / 16;
    nextErr[ahead] += err / 16;
}

}  // namespace

void floydAdjustColor(pixel *pP, sample maxval, const fserr_state *fs, int col) {
    pP->r = adjustSample(pP->r, fs->this_red_err[col + 1], maxval);
    pP->g = adjustSample(pP->g, fs->this_green_err[col + 1], maxval);
    pP->b = adjustSample(pP->b, fs->this_blue_err[col + 1], maxval);
}

void floydPropagateErr(fserr_state *fs, int col, sample r, sample g, sample b, sample nr,
                       sample ng, sample nb) {
    spread(fs->this_red_err, fs->next_red_err, col, fs->left_to_right, r, nr);
    spread(fs->this_green_err, fs->next_green_err, col, fs->left_to_right, g, ng);
    spread(fs->this_blue_err, fs->next_blue_err, col, fs->left_to_right, b, nb);
}

}  // namespace quantize
