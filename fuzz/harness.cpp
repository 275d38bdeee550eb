#include "harness.h"

#include <kestrum/common.h>

#include <csetjmp>
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_FUZZ_ASAN 1
#endif
#endif
#ifdef KESTRUM_FUZZ_ASAN
#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>
#endif
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

extern "C" {
[[noreturn]] void __real_exit(int status);
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fmemopen(void *buffer, size_t size, const char *mode);
int __real_fclose(FILE *file);
void __real_srand(unsigned int seed);
}

namespace {

std::jmp_buf *activeJump = nullptr;
int fatalStatus = 0;

// Blocks and streams obtained while a body runs and not yet given back.
// The containers allocate with operator new, which the link does not wrap.
bool tracking = false;
std::unordered_set<void *> &liveBlocks() {
    static auto *blocks = new std::unordered_set<void *>;
    return *blocks;
}
std::unordered_set<FILE *> &liveStreams() {
    static auto *streams = new std::unordered_set<FILE *>;
    return *streams;
}

#ifdef KESTRUM_FUZZ_ASAN
// Objects that C++ code made with operator new and still held when the
// fatal path fired (a message's temporary text, say) cannot be deleted here
// without knowing their type. The sanitizer's allocation hooks, which see
// every allocation and may not allocate, keep them in this fixed open-
// addressing table, and those left are declared not to be leaks. They are
// few and small; blocks from malloc are really freed.
constexpr size_t kSlots = size_t{1} << 14;
const void *const kGone = reinterpret_cast<const void *>(1);
const void *others[kSlots];
size_t otherUsed[kSlots / 2], otherCount = 0;

size_t slotOf(const volatile void *p) { return (reinterpret_cast<uintptr_t>(p) >> 4) % kSlots; }

void onAllocation(const volatile void *p, size_t) {
    if (!tracking || otherCount >= kSlots / 2)
        return;  // when full, the rest may be reported as leaks
    size_t i = slotOf(p);
    while (others[i] != nullptr && others[i] != kGone)
        i = (i + 1) % kSlots;
    if (others[i] == nullptr)
        otherUsed[otherCount++] = i;
    others[i] = const_cast<const void *>(p);
}
void onRelease(const volatile void *p) {
    if (tracking)
        for (size_t i = slotOf(p); others[i] != nullptr; i = (i + 1) % kSlots)
            if (others[i] == p) {
                others[i] = kGone;
                return;
            }
}
#endif

void startTracking() {
    liveBlocks().clear();
    liveStreams().clear();
#ifdef KESTRUM_FUZZ_ASAN
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease);
    (void)hooked;
    for (size_t i = 0; i < otherCount; ++i)
        others[otherUsed[i]] = nullptr;
    otherCount = 0;
#endif
    tracking = true;
}

void *trackBlock(void *block) {
    if (tracking && block)
        liveBlocks().insert(block);
    return block;
}
FILE *trackStream(FILE *file) {
    if (tracking && file)
        liveStreams().insert(file);
    return file;
}

// After a fatal path: give back what the process would have left to exit.
void releaseLeftovers() {
    for (FILE *f : liveStreams())
        __real_fclose(f);
    for (void *block : liveBlocks())
        __real_free(block);
    liveBlocks().clear();
    liveStreams().clear();
    tracking = false;
#ifdef KESTRUM_FUZZ_ASAN
    for (size_t i = 0; i < otherCount; ++i)
        if (others[otherUsed[i]] != kGone)
            __lsan_ignore_object(others[otherUsed[i]]);
#endif
}

}  // namespace

extern "C" {

[[noreturn]] void __wrap_exit(int status) {
    if (activeJump != nullptr) {
        fatalStatus = status;
        std::longjmp(*activeJump, 1);
    }
    __real_exit(status);
}

void *__wrap_malloc(size_t size) { return trackBlock(__real_malloc(size)); }
void *__wrap_calloc(size_t count, size_t size) { return trackBlock(__real_calloc(count, size)); }
void *__wrap_realloc(void *block, size_t size) {
    void *moved = __real_realloc(block, size);
    if (tracking && moved && block)
        liveBlocks().erase(block);
    return trackBlock(moved);
}
void __wrap_free(void *block) {
    if (tracking)
        liveBlocks().erase(block);
    __real_free(block);
}

FILE *__wrap_fopen(const char *path, const char *mode) { return trackStream(__real_fopen(path, mode)); }
FILE *__wrap_fmemopen(void *buffer, size_t size, const char *mode) {
    return trackStream(__real_fmemopen(buffer, size, mode));
}
int __wrap_fclose(FILE *file) {
    if (tracking)
        liveStreams().erase(file);
    return __real_fclose(file);
}

// Dithering seeds the generator from the clock and the process id; a fixed
// seed keeps every input's run reproducible.
void __wrap_srand(unsigned int seed) { __real_srand(activeJump != nullptr ? 1u : seed); }

}  // extern "C"

namespace fuzzharness {

bool runGuarded(void (*fn)(void *), void *context, int *statusP) {
    std::jmp_buf jump;
    startTracking();
    activeJump = &jump;
    if (setjmp(jump) == 0) {
        fn(context);
        activeJump = nullptr;
        tracking = false;
        return true;
    }
    activeJump = nullptr;
    releaseLeftovers();
    *statusP = fatalStatus;
    return false;
}

FILE *memoryStream(const uint8_t *data, size_t size) {
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE *f = size == 0 ? __real_fopen("/dev/null", "rb")
                        : fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (f == nullptr) {
        perror("memory stream");
        abort();
    }
    return f;
}

const std::string &scratchFile(const char *tag, const uint8_t *data, size_t size) {
    static std::unordered_map<std::string, std::string> paths;
    std::string &path = paths[tag];
    if (path.empty()) {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path = std::string(dir) + "/kestrum-fuzz-" + std::to_string(getpid()) + "-" + tag;
    }
    FILE *f = __real_fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && fwrite(data, 1, size, f) != size) || __real_fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
    return path;
}

void invariantFailed(const char *what) {
    fprintf(stderr, "fuzz invariant failed: %s\n", what);
    abort();
}

void resetLibraryState() {
    pm_init("fuzz", 0);
    pm_plain_output = 0;
}

void expectSameReading(const Reading &a, const Reading &b) {
    FUZZ_CHECK(a.done == b.done);
    FUZZ_CHECK(!a.done || a.values == b.values);
}

ArgumentVector::ArgumentVector(const char *program, const uint8_t *data, size_t size) {
    std::vector<std::string> texts{program};
    std::string current;
    for (size_t i = 0; i < size && texts.size() <= kMaxArguments; ++i) {
        if (data[i] != 0) {
            current.push_back(static_cast<char>(data[i]));
        } else {
            texts.push_back(current);
            current.clear();
        }
    }
    if (texts.size() <= kMaxArguments && (!current.empty() || size == 0 || data[size - 1] != 0))
        texts.push_back(current);
    std::vector<size_t> offsets;
    for (const std::string &t : texts) {
        offsets.push_back(storage_.size());
        storage_.insert(storage_.end(), t.c_str(), t.c_str() + t.size() + 1);
    }
    for (size_t offset : offsets)
        original_.push_back(storage_.data() + offset);
    argv_ = original_;
    argv_.push_back(nullptr);
    argc_ = static_cast<int>(original_.size());
}

bool ArgumentVector::isRemainderOfOriginal() const {
    if (argc_ < 1 || argc_ > static_cast<int>(original_.size()) || argv_[argc_] != nullptr)
        return false;
    size_t next = 1;
    for (int i = 1; i < argc_; ++i, ++next) {
        while (next < original_.size() && original_[next] != argv_[i])
            ++next;
        if (next == original_.size())
            return false;
    }
    return true;
}

}  // namespace fuzzharness

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzharness::resetLibraryState();
    return 0;
}
