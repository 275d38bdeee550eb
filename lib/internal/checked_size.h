// Sizes as the library's callers pass them: the one refusal of a count
// below zero, shared by every unit of the library.
#ifndef KESTRUM_INTERNAL_CHECKED_SIZE_H
#define KESTRUM_INTERNAL_CHECKED_SIZE_H

#include <kestrum/common.h>

namespace kestrum {

// Fatal "Invalid <what> passed to <function>(): <value>" for a negative
// value. A negative size is a caller's mistake, not a lack of memory, and
// read as unsigned it would claim a huge image or row.
inline void refuseNegative(int value, const char *what, const char *function) {
    if (value < 0)
        pm_error("Invalid %s passed to %s(): %d", what, function, value);
}

}  // namespace kestrum

#endif
