// Support shared by the fuzz targets: running library code whose failures
// end the process, and feeding it bytes as streams and files.
//
// The library reports bad input by printing a message and calling exit. In
// the fuzz build every call to exit is redirected (the link wraps it) so
// that, while a target body runs under guarded(), it jumps back here
// instead; outside guarded() exit behaves as always. Whatever the body had
// allocated with malloc or opened with fopen when the fatal path fired is
// released, as the ending process would have released it, so that a refused
// input is not reported as a leak and the fuzzer can go on for hours.
#ifndef KESTRUM_FUZZ_HARNESS_H
#define KESTRUM_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace fuzzharness {

// The largest image the targets read: its header is refused above this
// many pixels (or rows, or columns) before any raster is read, so that the
// fuzzer explores parsing rather than allocation.
constexpr long long kMaxPixels = 1000000;

// Runs fn(context). True when it returned; false when a fatal path ended
// it, with the exit status in *statusP.
bool runGuarded(void (*fn)(void *), void *context, int *statusP);

template <typename Body>
bool guarded(Body &&body, int *statusP = nullptr) {
    int status = 0;
    const bool completed = runGuarded(
        [](void *context) { (*static_cast<std::remove_reference_t<Body> *>(context))(); },
        &body, &status);
    if (statusP)
        *statusP = status;
    return completed;
}

// A read-only stream over the bytes (which must outlive it); the caller
// closes it.
FILE *memoryStream(const uint8_t *data, size_t size);

// Bytes written into a file that stays for the whole process (one file per
// tag, rewritten at every call); returns its path.
const std::string &scratchFile(const char *tag, const uint8_t *data, size_t size);

// Whether a header with these dimensions is small enough to read.
inline bool smallEnough(long long cols, long long rows, long long limit = kMaxPixels) {
    return cols <= limit && rows <= limit && cols * rows <= limit;
}

// Stops the process with a report when an invariant of the library fails:
// the fuzzer records the input as a crash.
[[noreturn]] void invariantFailed(const char *what);

// Sets the library's process-wide state to what every run starts from.
void resetLibraryState();

}  // namespace fuzzharness

#define FUZZ_CHECK(cond)                                     \
    do {                                                     \
        if (!(cond))                                         \
            ::fuzzharness::invariantFailed(#cond);           \
    } while (0)

#endif
