#include "harness.h"

#include <kestrum/common.h>

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

struct FatalExit {
    int status;
};
bool active = false;
// What the body got from malloc and fopen and has not given back (the sets
// allocate with operator new, which is not wrapped).
std::unordered_set<void *> blocks;
std::unordered_set<FILE *> streams;

template <typename T>
T *track(std::unordered_set<T *> &set, T *p) {
    if (active && p)
        set.insert(p);
    return p;
}

}  // namespace

extern "C" {
[[noreturn]] void __real_exit(int status);
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
FILE *__real_fopen(const char *path, const char *mode);
int __real_fclose(FILE *file);
void __real_srand(unsigned int seed);

[[noreturn]] void __wrap_exit(int status) {
    active ? throw FatalExit{status} : __real_exit(status);
}
void *__wrap_malloc(size_t size) { return track(blocks, __real_malloc(size)); }
void *__wrap_calloc(size_t count, size_t size) { return track(blocks, __real_calloc(count, size)); }
void *__wrap_realloc(void *block, size_t size) {
    void *moved = __real_realloc(block, size);
    if (moved || size == 0)  // the block was moved or given back
        blocks.erase(block);
    return track(blocks, moved);
}
void __wrap_free(void *block) { blocks.erase(block), __real_free(block); }
FILE *__wrap_fopen(const char *path, const char *mode) { return track(streams, __real_fopen(path, mode)); }
// Standard output stays open for the next run: the program closes it at its end.
int __wrap_fclose(FILE *file) { return file == stdout ? fflush(file) : (streams.erase(file), __real_fclose(file)); }
// Dithering seeds its random start from the clock: a fixed seed makes each
// run reproducible and the two paths comparable.
void __wrap_srand(unsigned int seed) { __real_srand(active ? 1u : seed); }
}

namespace fuzzharness {

bool guarded(const std::function<void()> &body, int *statusP) {
    blocks.clear();
    streams.clear();
    try {
        active = true;
        body();
        active = false;
        return true;
    } catch (const FatalExit &fatal) {
        active = false;
        *statusP = fatal.status;
    }
    for (FILE *f : streams)
        __real_fclose(f);
    for (void *block : blocks)
        __real_free(block);
    return false;
}

FILE *memoryStream(const uint8_t *data, size_t size) {
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE *f = size ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : fopen("/dev/null", "rb");
    return f ? f : (invariantFailed("memory stream"), nullptr);
}

std::string scratchFile(const char *tag, const uint8_t *data, size_t size) {
    static std::unordered_map<std::string, int> files;  // in memory, gone with the process
    auto [at, added] = files.emplace(tag, -1);
    if (added)
        at->second = memfd_create(tag, 0);
    if (at->second < 0 || ftruncate(at->second, 0) != 0 || pwrite(at->second, data, size, 0) != ssize_t(size))
        invariantFailed(tag);
    return "/proc/self/fd/" + std::to_string(at->second);
}

void invariantFailed(const char *what) {
    fprintf(stderr, "fuzz invariant failed: %s\n", what);
    abort();
}

}  // namespace fuzzharness

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pm_init("fuzz", 0);
    return 0;
}
