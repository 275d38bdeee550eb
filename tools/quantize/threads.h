// The program's worker threads: how many, and rows converted by them in
// bands while the main thread writes the finished bands in order.
//
// Workers never report anything: an exception in a worker (memory running
// out) is carried back and rethrown by the main thread at the point where
// a single thread would have met it, after the rows before it are written.
// Only the main thread prints messages and ends the process, so that the
// output, the messages and their order do not depend on the number of
// threads.
#ifndef QUANTIZE_THREADS_H
#define QUANTIZE_THREADS_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include <kestrum/types.h>

namespace quantize {

// The number of worker threads: the machine's processors, or fewer (never
// fewer than 1) as QUANTIZE_THREADS asks. A value that is not a whole
// number from 1 up is ignored.
unsigned threadCount();

// A job run on a thread kept for the whole run, joined like a std::thread.
// A new thread, or one woken from sleep, can wait milliseconds for a
// processor the system has let go idle (a virtual machine's most of all);
// a kept thread that is still awake takes a job at once. So the helpers
// are started early (keepHelpers), and one done with a job that another
// will follow stays awake for a few milliseconds, ready, before it sleeps.
class Task {
public:
    // What the thread does once the job is done: sleep, or stay awake for
    // a little while, when another job is to come soon.
    enum class Then { sleep, stayAwake };
    Task() = default;
    // Runs job, which must not throw, on a kept thread that is free, or on
    // a new one; std::system_error (or std::bad_alloc) when none can be had.
    explicit Task(std::function<void()> job, Then then = Then::sleep);
    Task(Task &&other) noexcept : helper_(other.helper_) { other.helper_ = nullptr; }
    Task &operator=(Task &&other) noexcept;
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() { join(); }

    bool joinable() const { return helper_ != nullptr; }
    // Waits for the job to end (nothing when there is none).
    void join();

private:
    struct Helper *helper_ = nullptr;
};

// Starts up to `count` kept threads now, where there are fewer, so that
// they are awake when the first jobs come. Without threads to be had,
// nothing.
void keepHelpers(unsigned count);

// Bytes left as they are when made: a vector would clear them first,
// faulting every page in on the thread that makes it rather than on the one
// that fills it, and writing it twice.
class ByteBuffer {
public:
    // At least n bytes (those before kept only when it does not grow).
    unsigned char *room(std::size_t n) {
        if (n > size_) {
            data_.reset(new unsigned char[n]);
            size_ = n;
        }
        return data_.get();
    }
    unsigned char *data() const { return data_.get(); }
    bool empty() const { return size_ == 0; }

private:
    std::unique_ptr<unsigned char[]> data_;
    std::size_t size_ = 0;
};

// Pixels converted between two hand-overs to the writer: a band of rows
// this large costs the synchronisation little. Images of no more than one
// band are converted by the main thread alone.
constexpr std::uint64_t kBandPixels = std::uint64_t{1} << 16;

// The rows of each band of convertAndWriteRows (cols > 0): band b starts at
// row b * bandRowsOf(cols).
int bandRowsOf(int cols);

// Where a converted band goes: its pixels, or, when bytes is not null (the
// band being written raw, one byte a sample), straight its raw bytes, which
// the converter then says it has made with bytesMade.
struct BandOut {
    pixel *pixels;
    unsigned char *bytes;
    bool bytesMade;
    std::size_t slot;  // where its preparer put what it made ready
};

// At most this many bands are in flight at once, each in a slot of its own.
constexpr std::size_t kMostBandsInFlight = 18;

// Makes ready what the band of `count` rows from firstRow needs (reads it,
// say) in slot `slot` (0 .. kMostBandsInFlight - 1), for the converter to
// find by out.slot. With `ordered`, the main thread prepares a few bands
// ahead of the worker, so that the worker only converts; else the converting
// thread prepares each band just before converting it. An exception from it
// counts as one from the band's conversion.
using BandPreparer = std::function<void(int firstRow, int count, std::size_t slot)>;

// Converts rows 0 .. rows - 1 of cols pixels and writes them to standard
// output at maxval newmaxval, in order. convert(worker, firstRow, count,
// out) converts `count` rows from firstRow into out (count * cols pixels);
// worker numbers 0 .. threads - 1, and each band goes to one worker. With
// `ordered`, one worker converts every band, in order (dithering carries
// its errors from row to row); else `threads` workers convert bands at
// once. Unless inParallel(cols, rows, threads), everything happens on the
// calling thread, as worker 0. convert returns a message to print before
// the band is written, or null. An exception from convert is rethrown here
// once the bands before its band are written.
using BandConverter = std::function<const char *(unsigned worker, int firstRow, int count, BandOut &out)>;
void convertAndWriteRows(int cols, int rows, sample newmaxval, unsigned threads, bool ordered,
                         const BandConverter &convert, const BandPreparer &prepare = nullptr);

// Whether convertAndWriteRows hands the rows to worker threads.
bool inParallel(int cols, int rows, unsigned threads);

// Runs consume(slot) on a worker thread for each slot the calling thread
// fills, in order: a ring of `slots` buffers between the two. produce(fill)
// runs on the calling thread and calls fill() for the index of the next
// free slot, which it then fills before calling fill() again or returning.
// An exception from consume is rethrown by the next fill() or at the end;
// without a thread to be had, consume runs on the calling thread. Returns
// once every slot filled has been consumed.
using SlotConsumer = std::function<void(std::size_t slot)>;
using SlotProducer = std::function<void(const std::function<std::size_t()> &nextSlot)>;
void produceAndConsume(std::size_t slots, const SlotProducer &produce, const SlotConsumer &consume);

// produceAndConsume for spans of pixels: produce(room) runs here, and each
// room(count) gives where to put the next count (at most maxSpan) pixels,
// those of the rooms before it being complete; consume(pixels, count) sees
// them all in order on a worker, in chunks.
using SpanRoom = std::function<pixel *(int count)>;
void consumeAlongside(int maxSpan, const std::function<void(const SpanRoom &room)> &produce,
                      const std::function<void(const pixel *pixels, int count)> &consume);

}  // namespace quantize

#endif
