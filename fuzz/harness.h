// Support shared by the fuzz targets: running library code whose failures
// end the process, feeding it bytes as streams, files and argument vectors,
// and comparing two ways of reading the same bytes.
//
// The library reports bad input by printing a message and calling exit. In
// the fuzz build every call to exit is redirected (the link wraps it) so
// that, while a target body runs under guarded(), it jumps back here
// instead; outside guarded() exit behaves as always. Whatever the body had
// allocated with malloc or opened with fopen when the fatal path fired is
// released, as the ending process would have released it, so that a refused
// input is not reported as a leak and the fuzzer can go on for hours. Locals
// of the body are never destroyed on that path: keep them outside it.
//
// harness.cpp also defines LLVMFuzzerInitialize for every target.
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

inline bool smallEnough(long long cols, long long rows, long long limit = kMaxPixels) {
    return cols <= limit && rows <= limit && cols * rows <= limit;
}

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

// Stops the process with a report when an invariant of the library fails:
// the fuzzer records the input as a crash.
[[noreturn]] void invariantFailed(const char *what);

// Sets the library's process-wide state to what every run starts from.
void resetLibraryState();

// What one way of reading a stream delivered: every value of every image it
// completed (sizes, maxvals, samples), or a refusal.
struct Reading {
    bool done = false;
    int status = 0;
    std::vector<uint32_t> values;
};

// Runs read(file, reading) guarded over a fresh stream of the bytes. The
// library refuses bad input with status 1.
template <typename Read>
Reading readGuarded(const uint8_t *data, size_t size, Read read) {
    Reading reading;
    FILE *file = memoryStream(data, size);
    reading.done = guarded([&] { read(file, reading); }, &reading.status);
    fclose(file);
    if (!reading.done && reading.status != 1)
        invariantFailed("a refusal ends with status 1");
    return reading;
}

// Both refused the input, or both delivered the same values.
void expectSameReading(const Reading &a, const Reading &b);

// An argument vector made from fuzz input: the bytes split at every zero
// byte into at most kMaxArguments texts, after the program name. One block
// holds every text, so that a pointer handed back by the parser can be
// checked to point into it.
class ArgumentVector {
public:
    static constexpr size_t kMaxArguments = 24;

    ArgumentVector(const char *program, const uint8_t *data, size_t size);
    int *argcP() { return &argc_; }
    int argc() const { return argc_; }
    char **argv() { return argv_.data(); }

    // Whether p points into one of the texts (or at its terminating zero).
    bool pointsIntoTexts(const char *p) const {
        return p >= storage_.data() && p < storage_.data() + storage_.size();
    }
    // Whether argv now holds, after the program name, a subsequence of the
    // original texts in their order, ended by a null.
    bool isRemainderOfOriginal() const;

private:
    std::vector<char> storage_;
    std::vector<char *> original_, argv_;
    int argc_ = 0;
};

}  // namespace fuzzharness

#define FUZZ_CHECK(cond)                                     \
    do {                                                     \
        if (!(cond))                                         \
            ::fuzzharness::invariantFailed(#cond);           \
    } while (0)

#endif
