#include "threads.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

namespace quantize {

// A kept thread: idle, then given a job (running), then done until the
// job is joined, idle again.
struct Helper {
    enum State { kIdle, kRunning, kDone };
    std::atomic<int> state{kIdle};
    std::function<void()> job;
    bool awakeAfter = false;  // whether the next job is expected soon
    // Whether waiting awake takes no processor another thread needs: one
    // of the first helpers, fewer than the processors beside the main thread.
    bool mayStayAwake = false;
    std::mutex mutex;
    std::condition_variable changed;
    bool taken = false;  // by a Task, from the job given to the join; under the pool's lock

    void set(State to) {
        state.store(to, std::memory_order_release);
        // Taken and let go, so that a thread that found the old state
        // under the lock is already waiting for this notice.
        { std::lock_guard<std::mutex> lock(mutex); }
        changed.notify_all();
    }
    // Waits until the state is `until`: awake for a while (when `awake`),
    // then asleep.
    void await(State until, bool awake) {
        constexpr auto kAwake = std::chrono::milliseconds(8);
        const auto reached = [&] { return state.load(std::memory_order_acquire) == until; };
        const auto deadline = std::chrono::steady_clock::now() + kAwake;
        for (unsigned spins = 1; !reached(); ++spins) {
            if (!awake || (spins % 256 == 0 && std::chrono::steady_clock::now() > deadline)) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, reached);
                return;
            }
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#else
            std::this_thread::yield();
#endif
        }
    }
    void serve() {
        for (bool awake = mayStayAwake;;) {
            await(kRunning, awake);
            job();
            job = nullptr;
            awake = awakeAfter && mayStayAwake;  // read before the next job may be given
            set(kDone);
        }
    }
};

namespace {

// The kept threads, never ended: they sleep once out of work, and go with
// the process.
class Helpers {
public:
    // A free helper, taken, or a new one; null when none can be made.
    Helper *take() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::unique_ptr<Helper> &h : helpers_)
            if (!h->taken) {
                h->taken = true;
                return h.get();
            }
        Helper *h = startLocked();
        if (h != nullptr)
            h->taken = true;
        return h;
    }
    void give(Helper *h) {
        std::lock_guard<std::mutex> lock(mutex_);
        h->taken = false;
    }
    void keep(unsigned count) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (helpers_.size() < count && startLocked() != nullptr) {
        }
    }
    Helpers *before = nullptr;  // the parent's pool, in a child of fork: kept, never used

private:
    Helper *startLocked() {
        try {
            helpers_.reserve(helpers_.size() + 1);
            auto h = std::make_unique<Helper>();
            h->mayStayAwake = helpers_.size() + 1 < std::max(2u, std::thread::hardware_concurrency());
            std::thread(&Helper::serve, h.get()).detach();
            helpers_.push_back(std::move(h));
            return helpers_.back().get();
        } catch (const std::exception &) {
            return nullptr;
        }
    }
    std::mutex mutex_;
    std::vector<std::unique_ptr<Helper>> helpers_;
};

// The pool, made on first use and never destroyed, as its threads may
// outlive main; null without the memory for it (then every job runs on the
// thread that gives it). A child of fork, which has none of the threads,
// starts a pool of its own.
Helpers *helpers() {
    static Helpers *current = [] {
        pthread_atfork(nullptr, nullptr, [] {
            Helpers *fresh = new (std::nothrow) Helpers;
            if (fresh != nullptr)
                fresh->before = current;
            current = fresh;
        });
        return new (std::nothrow) Helpers;
    }();
    return current;
}

}  // namespace

Task::Task(std::function<void()> job, Then then) {
    Helpers *pool = helpers();
    Helper *h = pool != nullptr ? pool->take() : nullptr;
    if (h == nullptr)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    h->job = std::move(job);
    h->awakeAfter = then == Then::stayAwake;
    h->set(Helper::kRunning);
    helper_ = h;
}

Task &Task::operator=(Task &&other) noexcept {
    if (this != &other) {
        join();
        helper_ = other.helper_;
        other.helper_ = nullptr;
    }
    return *this;
}

void Task::join() {
    if (helper_ == nullptr)
        return;
    helper_->await(Helper::kDone, helper_->mayStayAwake);
    helper_->state.store(Helper::kIdle, std::memory_order_relaxed);
    helpers()->give(helper_);
    helper_ = nullptr;
}

void keepHelpers(unsigned count) {
    if (Helpers *pool = helpers())
        pool->keep(count);
}

namespace {

// More threads than this only add their stacks and converters.
constexpr unsigned kMostThreads = 64;

struct Slot {
    // Left uninitialised: a band converted straight to bytes never touches
    // its pixels, and their pages are then never made.
    std::unique_ptr<pixel[]> out;
    ByteBuffer bytes;  // the raw rows, when written raw
    bool bytesMade = false;
    const char *message = nullptr;
    bool done = false;
    std::exception_ptr failure;
    std::exception_ptr prepareFailure;  // met preparing the band, on the main thread
};

// The bands in flight between the workers and the writer: at most
// slots.size() converted and not yet written, so memory stays a few bands
// whatever the image.
class BandQueue {
public:
    // gated: a band may be claimed only once preparedUpTo has passed it.
    BandQueue(int bands, std::size_t slots, std::size_t slotPixels, bool raw, bool gated)
        : bands_(bands), prepared_(gated ? 0 : bands), slots_(slots) {
        for (Slot &s : slots_) {
            s.out.reset(new pixel[slotPixels]);
            if (raw)
                s.bytes.room(3 * slotPixels);
        }
    }

    // The next band to convert and its slot, or -1 when there is none left
    // (or the writer has stopped).
    int claim() {
        std::unique_lock<std::mutex> lock(mutex_);
        roomFreed_.wait(lock, [&] {
            return stop_ || next_ >= bands_ || (next_ < written_ + window() && next_ < prepared_);
        });
        return stop_ || next_ >= bands_ ? -1 : next_++;
    }
    void preparedUpTo(int band) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            prepared_ = band;
        }
        roomFreed_.notify_all();
    }
    // claim() without waiting: -1 also when no band may be started now.
    int tryClaim() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_ || next_ >= bands_ || next_ >= written_ + window() || next_ >= prepared_ ? -1 : next_++;
    }
    bool isDone(int band) {
        std::lock_guard<std::mutex> lock(mutex_);
        return slot(band).done;
    }
    Slot &slot(int band) { return slots_[slotIndex(band)]; }
    std::size_t slotIndex(int band) const { return static_cast<std::size_t>(band) % slots_.size(); }

    void finished(int band, const char *message, std::exception_ptr failure) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot(band).done = true;
            slot(band).message = message;
            slot(band).failure = std::move(failure);
        }
        bandDone_.notify_all();
    }

    // Waits for the band; its failure, if any, is the caller's to rethrow.
    Slot &await(int band) {
        std::unique_lock<std::mutex> lock(mutex_);
        bandDone_.wait(lock, [&] { return slot(band).done; });
        return slot(band);
    }

    void written(int band) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot(band).done = false;
            written_ = band + 1;
        }
        roomFreed_.notify_all();
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        roomFreed_.notify_all();
    }

    // Bands in flight at most: one a slot.
    int window() const { return static_cast<int>(slots_.size()); }

private:
    std::mutex mutex_;
    std::condition_variable roomFreed_, bandDone_;
    const int bands_;
    int next_ = 0, written_ = 0, prepared_;
    bool stop_ = false;
    std::vector<Slot> slots_;
};

// Stops and joins the workers however the writer leaves.
class Workers {
public:
    explicit Workers(BandQueue &queue) : queue_(queue) {}
    ~Workers() {
        queue_.stop();
        for (Task &t : threads_)
            t.join();
    }
    // Starts a worker; false when the system has no thread to give.
    template <typename F>
    bool start(F &&f) {
        try {
            threads_.emplace_back(std::function<void()>(std::forward<F>(f)));
            return true;
        } catch (const std::system_error &) {
            return false;
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    std::size_t size() const { return threads_.size(); }

private:
    BandQueue &queue_;
    std::vector<Task> threads_;
};

// Output of one byte a sample in the raw form is made ready for writing by
// the thread that converts, and written by the main thread in one piece: the
// bytes of ppm_writeppmrow, and its message when the stream refuses them.
bool writtenRaw(sample newmaxval) { return pm_plain_output == 0 && newmaxval <= 255; }

// The raw bytes of the slot's pixels.
void makeBytes(Slot *slot, std::size_t pixels) {
    unsigned char *b = slot->bytes.data();
    for (std::size_t i = 0; i < pixels; ++i) {
        b[3 * i] = static_cast<unsigned char>(slot->out[i].r);
        b[3 * i + 1] = static_cast<unsigned char>(slot->out[i].g);
        b[3 * i + 2] = static_cast<unsigned char>(slot->out[i].b);
    }
    slot->bytesMade = true;
}

// Converts the band into the slot (number slotIndex), straight into its
// bytes when written raw and the converter can; else makes them from the
// pixels here when withBytes, or leaves that to the writer.
const char *convertBand(const BandConverter &convert, unsigned worker, int firstRow, int count, int cols,
                        bool withBytes, Slot *slot, std::size_t slotIndex) {
    BandOut out{slot->out.get(), slot->bytes.empty() ? nullptr : slot->bytes.data(), false, slotIndex};
    const char *message = convert(worker, firstRow, count, out);
    slot->bytesMade = out.bytesMade;
    if (withBytes && out.bytes != nullptr && !out.bytesMade)
        makeBytes(slot, static_cast<std::size_t>(count) * static_cast<std::size_t>(cols));
    return message;
}

void writeBand(const char *message, Slot &slot, int cols, int count, sample newmaxval) {
    if (message != nullptr)
        pm_message("%s", message);
    const std::size_t pixels = static_cast<std::size_t>(count) * static_cast<std::size_t>(cols);
    if (!slot.bytes.empty()) {
        if (!slot.bytesMade)
            makeBytes(&slot, pixels);
        if (fwrite(slot.bytes.data(), 1, 3 * pixels, stdout) != 3 * pixels)
            pm_error("Error writing single byte sample to file");
        return;
    }
    for (int r = 0; r < count; ++r)
        ppm_writeppmrow(stdout, slot.out.get() + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols),
                        cols, newmaxval, 0);
}

}  // namespace

int bandRowsOf(int cols) {
    return static_cast<int>(std::max<std::uint64_t>(1, kBandPixels / static_cast<std::uint64_t>(cols)));
}

unsigned threadCount() {
    unsigned count = std::max(1u, std::min(std::thread::hardware_concurrency(), kMostThreads));
    const char *asked = std::getenv("QUANTIZE_THREADS");
    if (asked != nullptr && *asked != '\0') {
        unsigned long value = 0;
        const char *p = asked;
        for (; *p >= '0' && *p <= '9' && value <= kMostThreads; ++p)
            value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (*p == '\0' && value >= 1)
            count = static_cast<unsigned>(std::min<unsigned long>(value, kMostThreads));
    }
    return count;
}

// Rows wider than this are converted on one thread: the bands in flight
// would hold too much (a band is a row at least).
constexpr int kWidestParallelRow = 1 << 18;

bool inParallel(int cols, int rows, unsigned threads) {
    return threads > 1 && cols > 0 && cols <= kWidestParallelRow && rows > bandRowsOf(cols);
}

void convertAndWriteRows(int cols, int rows, sample newmaxval, unsigned threads, bool ordered,
                         const BandConverter &convert, const BandPreparer &prepare) {
    if (cols <= 0 || rows <= 0)
        return;
    const int bandRows = bandRowsOf(cols);
    const int bands = rows / bandRows + (rows % bandRows != 0);
    const std::size_t bandPixels = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(cols);
    const auto firstRow = [bandRows](int band) { return band * bandRows; };
    const auto rowsOf = [&](int band) { return std::min(bandRows, rows - firstRow(band)); };
    const bool raw = writtenRaw(newmaxval);
    const auto alone = [&](Slot *slot) {
        for (int band = 0; band < bands; ++band) {
            if (prepare)
                prepare(firstRow(band), rowsOf(band), 0);
            const char *message = convertBand(convert, 0, firstRow(band), rowsOf(band), cols, true, slot, 0);
            writeBand(message, *slot, cols, rowsOf(band), newmaxval);
        }
    };
    if (!inParallel(cols, rows, threads)) {
        Slot slot;
        slot.out.reset(new pixel[bandPixels]);
        if (raw)
            slot.bytes.room(3 * bandPixels);
        alone(&slot);
        return;
    }
    // Dithering goes on in one worker while the main thread makes the bytes
    // and writes them. Else the main thread is worker 0 beside threads - 1
    // others: it writes each band once it is done, and converts the next
    // free band meanwhile.
    const unsigned started = ordered ? 1 : threads - 1;
    const bool gated = ordered && prepare;
    BandQueue queue(bands, std::min<std::size_t>(2 * threads + 2, kMostBandsInFlight), bandPixels, raw, gated);
    const auto work = [&](unsigned w, int band) {
        const char *message = nullptr;
        Slot &slot = queue.slot(band);
        std::exception_ptr failure = std::move(slot.prepareFailure);
        slot.prepareFailure = nullptr;
        try {
            if (!failure && prepare && !gated)
                prepare(firstRow(band), rowsOf(band), queue.slotIndex(band));
            if (!failure)
                message = convertBand(convert, w, firstRow(band), rowsOf(band), cols, !ordered, &slot,
                                      queue.slotIndex(band));
        } catch (...) {
            failure = std::current_exception();
        }
        queue.finished(band, message, std::move(failure));
    };
    Workers running(queue);
    for (unsigned w = 0; w < started; ++w) {
        const unsigned worker = ordered ? 0 : w + 1;
        if (!running.start([&, worker] {
                for (int band; (band = queue.claim()) >= 0;)
                    work(worker, band);
            }))
            break;
    }
    if (ordered && running.size() == 0) {
        // No thread to be had: all of it here, as with one thread.
        alone(&queue.slot(0));
        return;
    }
    int prepared = 0;
    for (int band = 0; band < bands; ++band) {
        // Gated, the bands whose slots are free are prepared here.
        for (; gated && prepared < std::min(bands, band + queue.window()); ++prepared) {
            try {
                prepare(firstRow(prepared), rowsOf(prepared), queue.slotIndex(prepared));
            } catch (...) {
                queue.slot(prepared).prepareFailure = std::current_exception();
            }
            queue.preparedUpTo(prepared + 1);
        }
        for (int mine; !ordered && !queue.isDone(band) && (mine = queue.tryClaim()) >= 0;)
            work(0, mine);
        Slot &slot = queue.await(band);
        if (slot.failure)
            std::rethrow_exception(slot.failure);
        writeBand(slot.message, slot, cols, rowsOf(band), newmaxval);
        queue.written(band);
    }
}

namespace {

// The ring of produceAndConsume: filled counts the slots handed over,
// consumed those done with.
class Ring {
public:
    explicit Ring(std::size_t slots) : slots_(slots) {}

    // The next slot to fill, once the consumer has finished with it.
    std::size_t next() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (filled_ > 0) {
            ++handed_;
            changed_.notify_all();
        }
        ++filled_;
        changed_.wait(lock, [&] { return failure_ || filled_ - consumed_ <= slots_; });
        if (failure_)
            std::rethrow_exception(failure_);
        return (filled_ - 1) % slots_;
    }

    // The consumer's next slot; false when no more will come.
    bool take(std::size_t *slot) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return done_ || consumed_ < handed_; });
        if (consumed_ == handed_)
            return false;
        *slot = consumed_ % slots_;
        return true;
    }
    void release(std::exception_ptr failure) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++consumed_;
            if (failure)
                failure_ = failure;
        }
        changed_.notify_all();
    }

    // The producer is done: the slot it holds is handed over when `last`.
    void finish(bool last) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (last && filled_ > handed_)
                ++handed_;
            done_ = true;
        }
        changed_.notify_all();
    }
    std::exception_ptr failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::size_t slots_;
    std::size_t filled_ = 0, handed_ = 0, consumed_ = 0;
    bool done_ = false;
    std::exception_ptr failure_;
};

}  // namespace

void produceAndConsume(std::size_t slots, const SlotProducer &produce, const SlotConsumer &consume) {
    Ring ring(slots);
    Task worker;
    try {
        worker = Task([&] {
            for (std::size_t slot; ring.take(&slot);) {
                std::exception_ptr failure;
                try {
                    consume(slot);
                } catch (...) {
                    failure = std::current_exception();
                }
                ring.release(failure);
                if (failure)
                    return;
            }
        });
    } catch (const std::exception &) {
        // No thread: each slot consumed as soon as it is filled.
        bool holding = false;
        std::size_t held = 0;
        produce([&] {
            if (holding)
                consume(held);
            holding = true;
            return held = 0;
        });
        if (holding)
            consume(held);
        return;
    }
    // The worker is stopped and joined however the producer leaves.
    struct Join {
        Ring &ring;
        Task &worker;
        ~Join() {
            ring.finish(false);
            if (worker.joinable())
                worker.join();
        }
    } join{ring, worker};
    produce([&] { return ring.next(); });
    ring.finish(true);
    worker.join();
    if (std::exception_ptr failure = ring.failure())
        std::rethrow_exception(failure);
}

void consumeAlongside(int maxSpan, const std::function<void(const SpanRoom &room)> &produce,
                      const std::function<void(const pixel *pixels, int count)> &consume) {
    // Chunks that stay in the processor's cache between the two threads.
    constexpr std::size_t kChunkPixels = std::size_t{1} << 15;
    constexpr std::size_t kChunks = 4;
    struct Chunk {
        std::vector<pixel> pixels;
        std::size_t used = 0;
    };
    const std::size_t capacity = std::max(kChunkPixels, static_cast<std::size_t>(std::max(maxSpan, 0)));
    std::vector<Chunk> chunks(kChunks);
    for (Chunk &c : chunks)
        c.pixels.resize(capacity);
    produceAndConsume(
        kChunks,
        [&](const std::function<std::size_t()> &nextSlot) {
            Chunk *chunk = nullptr;
            produce([&](int count) {
                if (chunk == nullptr || chunk->used + static_cast<std::size_t>(count) > capacity) {
                    chunk = &chunks[nextSlot()];
                    chunk->used = 0;
                }
                pixel *room = chunk->pixels.data() + chunk->used;
                chunk->used += static_cast<std::size_t>(count);
                return room;
            });
        },
        [&](std::size_t slot) { consume(chunks[slot].pixels.data(), static_cast<int>(chunks[slot].used)); });
}

}  // namespace quantize
