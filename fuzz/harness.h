// Support shared by the fuzz targets. The library ends the process on bad
// input; in the fuzz programs exit is wrapped at link time so that under
// guarded() it throws instead: the body's C++ objects are destroyed on the
// way out, and what it still held from malloc or fopen is released after, as
// the ending process would have. Nothing the body allocates may outlive it.
#ifndef KESTRUM_FUZZ_HARNESS_H
#define KESTRUM_FUZZ_HARNESS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace fuzzharness {

// True when body returned; false, with the exit status, when a fatal path ended it.
bool guarded(const std::function<void()> &body, int *statusP);
// A read-only stream over the bytes, which must outlive it.
FILE *memoryStream(const uint8_t *data, size_t size);
// The path of a file of this process, one per tag, holding the bytes (rewritten at every call).
std::string scratchFile(const char *tag, const uint8_t *data, size_t size);
[[noreturn]] void invariantFailed(const char *what);

}  // namespace fuzzharness

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzzharness::invariantFailed(#cond))

#endif
