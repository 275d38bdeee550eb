// Private to the common unit and its tests.
#ifndef KESTRUM_COMMON_ALLOC_INTERNAL_H
#define KESTRUM_COMMON_ALLOC_INTERNAL_H

#include <cstddef>

namespace kestrum {

// The largest single block pm_allocarray tries for a whole image; larger
// images go row by row. Tests lower it to exercise that layout.
extern std::size_t contiguousArrayLimit;

}  // namespace kestrum

#endif
