#include "two_pass_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "colormap_rules.h"
#include "image_checks.h"
#include "malloc_product.h"
#include "mediancut.h"
#include "packed_image.h"
#include "threads.h"

namespace quantize {

namespace {

// Pixels in a block of rows: each block is summed on both readings, and
// held (packed) by the second until its sum is found right.
constexpr std::size_t kBlockPixels = std::size_t{1} << 20;

long long fileSize(FILE *file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A checksum of the pixels in order: two running sums of the mixed pixels
// (the second sums the first, so that it depends on where each pixel is),
// cheap beside decoding them.
struct BlockSum {
    std::uint64_t first = 0, second = 0;
    void add(const pixel *span, int count) {
        for (int i = 0; i < count; ++i) {
            const std::uint64_t p = (std::uint64_t{span[i].r} << 42) | (std::uint64_t{span[i].g} << 21) | span[i].b;
            first += p * 0x9E3779B97F4A7C15ull;
            second += first;
        }
    }
    std::uint64_t value() const { return first ^ (second * 0xC2B2AE3D27D4EB4Full); }
};

// The largest sample of a span: one comparison with maxval for all of it.
sample largestSample(const pixel *span, int count) {
    sample largest = 0;
    for (int i = 0; i < count; ++i)
        largest = std::max({largest, span[i].r, span[i].g, span[i].b});
    return largest;
}

// A checksum of a band's bytes: two running sums of its 8-byte words (the
// second sums the first, so that it depends on where each word is), far
// cheaper than reading the band.
std::uint64_t bytesSum(const unsigned char *bytes, std::size_t n) {
    std::uint64_t first = 0, second = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        first += word;
        second += first;
    }
    for (; i < n; ++i) {
        first += bytes[i];
        second += first;
    }
    return first ^ (second * 0xC2B2AE3D27D4EB4Full);
}

unsigned char largestByte(const unsigned char *bytes, std::size_t n) {
    unsigned char largest = 0;
    for (std::size_t i = 0; i < n; ++i)
        largest = std::max(largest, bytes[i]);
    return largest;
}

// Reads n bytes at offset; false when the file ends first or cannot be read.
bool readAt(int fd, unsigned char *buffer, std::size_t n, std::uint64_t offset) {
    while (n > 0) {
        const ssize_t got = pread(fd, buffer, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

// The pixels of n raw bytes (`channels` a pixel), a pixel a word.
void packBytes(const unsigned char *bytes, std::size_t pixels, int channels, std::uint32_t *out) {
    if (channels == 3)
        for (std::size_t i = 0; i < pixels; ++i)
            out[i] = Packing<std::uint32_t>::pack(bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]);
    else
        for (std::size_t i = 0; i < pixels; ++i)
            out[i] = bytes[i] * 0x010101u;
}

// Thrown by a worker that finds the file changed; reported by the thread
// that prints.
struct FileChanged {};

[[noreturn]] void fileChanged(const char *fileSpec) {
    pm_error("the image in %s changed between its first and second reading", describeFile(fileSpec).c_str());
}

}  // namespace

bool canReadTwice(FILE *file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && ftell(file) >= 0;
}

// Reads rows firstRow .. firstRow + blockRows - 1 a span at a time, each
// into room(count), handing each span to visit(span, row, col, count).
template <typename Room, typename Visit>
void TwoPassInput::readBlock(int firstRow, int blockRows, Room room, Visit visit) {
    const int spanCols = std::min(cols_, kReadSpanPixels);
    for (int r = firstRow; r < firstRow + blockRows; ++r) {
        for (int col = 0; col < cols_; col += spanCols) {
            const int count = std::min(spanCols, cols_ - col);
            pixel *span = room(count);
            ppm_readppmrow(file_, span, count, maxval_, format_);
            visit(span, r, col, count);
        }
    }
}

void computeColorMapFromMapFile(sample inputMaxval, const char *mapSpec, color_histogram *colormapP,
                                int *colorsP, sample *mapMaxvalP, SampleScale *scaleP) {
    FILE *file = pm_openr(mapSpec);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    // Counting stops at the limit, but the rest is read and checked, as
    // when the map was read whole before it was counted.
    StreamingHistogram counter(maxval, false);
    if (cols > 0 && rows > 0) {
        const int spanCols = std::min(cols, kReadSpanPixels);
        pixel *span = static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel))));
        for (int r = 0; r < rows; ++r) {
            for (int col = 0; col < cols; col += spanCols) {
                const int count = std::min(spanCols, cols - col);
                ppm_readppmrow(file, span, count, maxval, format);
                checkSpanSamples(span, count, r, col, maxval, mapSpec);
                counter.add(span, count);
            }
        }
        pm_freerow(span);
    }
    pm_close(file);
    if (cols == 0 || rows == 0)
        pm_error("colormap in file '%s' contains no pixels", mapSpec);
    if (maxval != inputMaxval)
        pm_message("rescaling input image to match colormap maxval");
    *scaleP = rescaleTable(inputMaxval, maxval);
    if (counter.overflowed())
        pm_error("too many colors in colormap!");
    const std::vector<WideColorCount> hist = counter.histogram();
    const int colors = static_cast<int>(hist.size());
    pm_message("%d colors found in colormap", colors);
    // Room for the limit, as the histogram of the whole map has.
    void *block = nullptr;
    kestrum::mallocProduct(&block, kMaxHistogramColors, sizeof(color_count));
    if (block == nullptr)
        pm_error("out of memory generating histogram");
    auto *colormap = static_cast<color_histogram>(block);
    for (int i = 0; i < colors; ++i) {
        const WideColorCount &e = hist[static_cast<std::size_t>(i)];
        colormap[i] = color_count{e.color, static_cast<int>(std::min<std::uint64_t>(e.value, INT32_MAX))};
    }
    *colormapP = colormap;
    *colorsP = colors;
    *mapMaxvalP = maxval;
}

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, bool countColors) : file_(file), fileSpec_(fileSpec) {
    ppm_readppminit(file, &cols_, &rows_, &maxval_, &format_);
    readFirst(countColors, 1);
}

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                           format_code format, bool countColors, unsigned threads)
    : file_(file), fileSpec_(fileSpec), cols_(cols), rows_(rows), maxval_(maxval), format_(format) {
    readFirst(countColors, threads);
}

// No limit on the number of pixels: nothing held grows with it, and counts
// are 64-bit.
void TwoPassInput::readFirst(bool countColors, unsigned threads) {
    size_ = fileSize(file_);
    rasterStart_ = ftell(file_);
    // Rows without columns hold no bytes: nothing to read, on either pass.
    // Reading by position leaves the stream where it was.
    if (cols_ != 0 && rows_ != 0 && readFirstInBands(countColors, threads))
        return;
    if (countColors)
        counter_ = std::make_unique<StreamingHistogram>(maxval_);
    if (cols_ == 0 || rows_ == 0)
        return;
    blockRows_ = static_cast<int>(std::max<std::size_t>(1, kBlockPixels / static_cast<std::size_t>(cols_)));
    // Counted on another thread when there is one, else span by span here.
    const bool alongside = counter_ && threads > 1;
    const auto readAll = [&](const SpanRoom &room) {
        for (int first = 0; first < rows_; first += blockRows_) {
            BlockSum sum;
            readBlock(first, std::min(blockRows_, rows_ - first), room,
                      [&](const pixel *s, int row, int col, int count) {
                          if (largestSample(s, count) > maxval_)
                              checkSpanSamples(s, count, row, col, maxval_, fileSpec_);
                          sum.add(s, count);
                          if (counter_ && !alongside)
                              counter_->add(s, count);
                      });
            blockSums_.push_back(sum.value());
        }
    };
    const int spanCols = std::min(cols_, kReadSpanPixels);
    if (alongside) {
        counter_->reserveAll();
        consumeAlongside(spanCols, readAll, [&](const pixel *p, int count) { counter_->add(p, count); });
        return;
    }
    pixel *span = static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel))));
    readAll([span](int) { return span; });
    pm_freerow(span);
}

// The n raster bytes from `offset` on: where they are held, or read into
// scratch. Null when the file ends first or cannot be read.
const unsigned char *TwoPassInput::fetch(ByteBuffer &scratch, std::size_t n,
                                         std::uint64_t offset) const {
    if (held_)
        return offset + n <= heldBytes_ ? held_ + offset : nullptr;
    unsigned char *room = scratch.room(n);
    return readAt(fileno(file_), room, n, static_cast<std::uint64_t>(rasterStart_) + offset) ? room : nullptr;
}

std::unique_ptr<TwoPassInput> TwoPassInput::holdingRaster(FILE *file, const char *fileSpec, int cols, int rows,
                                                          sample maxval, format_code format, bool countColors,
                                                          unsigned threads) {
    checkImageSize(fileSpec, cols, rows);
    const std::uint64_t claimed = static_cast<std::uint64_t>(cols) * static_cast<std::uint64_t>(rows) *
                                  (format == RPPM_FORMAT ? 3u : 1u);
    if (claimed > SIZE_MAX / 2)
        return nullptr;
    const auto bytes = static_cast<std::size_t>(claimed);
    void *area = nullptr;
    if (bytes > 0) {
        // Address space for the claim, of which only the pages the bytes
        // fill are ever made; huge ones where the system offers them.
        area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (area == MAP_FAILED)
            return nullptr;
#ifdef MADV_HUGEPAGE
        madvise(area, bytes, MADV_HUGEPAGE);
#endif
    }
#ifdef F_SETPIPE_SZ
    // A pipe of a few pages would hand the bytes over a few pages at a
    // time, each a switch between the writer and this reader.
    if (bytes > 0)
        fcntl(fileno(file), F_SETPIPE_SZ, 1 << 20);
#endif
    std::unique_ptr<TwoPassInput> input(new TwoPassInput(file, fileSpec, cols, rows, maxval, format));
    input->heldArea_ = static_cast<unsigned char *>(area);
    input->heldMapped_ = bytes;
    input->held_ = input->heldArea_;
    while (input->heldBytes_ < bytes) {
        const std::size_t got = std::fread(input->heldArea_ + input->heldBytes_, 1,
                                           std::min<std::size_t>(bytes - input->heldBytes_, std::size_t{1} << 20), file);
        if (got == 0)
            break;
        input->heldBytes_ += got;
    }
    input->size_ = static_cast<long long>(input->heldBytes_);
    input->rasterStart_ = 0;
    if (bytes == 0) {
        input->readFirst(countColors, 1);  // no raster: only the counter to make
        return input;
    }
    if (input->readFirstInBands(countColors, threads))
        return input;
    // A short raster, or a sample above maxval: read again from the bytes
    // that came, as any input, for the first fault's message.
    FILE *arrived = fmemopen(input->heldArea_, std::max<std::size_t>(input->heldBytes_, 1), "rb");
    if (arrived == nullptr)
        throw std::bad_alloc();
    input->replayed_ = arrived;
    input->original_ = input->file_;
    input->file_ = arrived;
    if (input->heldBytes_ == 0)
        std::fgetc(arrived);  // an empty buffer cannot be opened; read it to its end
    input->held_ = nullptr;
    input->readFirst(countColors, 1);
    return input;
}

// The first reading by bands, each thread taking the next free band. False
// (and nothing kept) when the raster is not read so: not raw bytes, not all
// in the file, or with a sample above its maxval.
bool TwoPassInput::readFirstInBands(bool countColors, unsigned threads) {
    const int channels = format_ == RPPM_FORMAT ? 3 : 1;
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(cols_) * static_cast<std::uint64_t>(channels);
    if (!readsInBands(format_, maxval_) || size_ < rasterStart_ || rasterStart_ < 0 ||
        static_cast<std::uint64_t>(size_ - rasterStart_) / rowBytes < static_cast<std::uint64_t>(rows_))
        return false;
    const int bandRows = bandRowsOf(cols_);
    const int bands = rows_ / bandRows + (rows_ % bandRows != 0);
    const unsigned parts = std::max(1u, std::min(threads, static_cast<unsigned>(bands)));
    blockSums_.assign(static_cast<std::size_t>(bands), 0);
    // Everything each part needs is made here, so that a part never
    // allocates (and a lack of memory is met on this thread).
    struct Part {
        std::unique_ptr<StreamingHistogram> counter;
        ByteBuffer bytes;
        std::exception_ptr failure;
    };
    std::vector<Part> partsOf(parts);
    const std::size_t bandPixels = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(cols_);
    for (unsigned p = 0; p < parts; ++p) {
        Part &part = partsOf[p];
        if (!held_)
            part.bytes.room(bandPixels * static_cast<std::size_t>(channels));
        if (countColors) {
            part.counter = std::make_unique<StreamingHistogram>(maxval_);
            part.counter->reserveAll();
        }
    }
    // Bands go to whichever part is free next, so that the parts finish
    // together; each colour's first pixel is its number in the whole image.
    std::atomic<int> nextBand{0};
    std::atomic<bool> unsound{false};
    // The lowest maxval any part has come down to, which every part then
    // takes: the colours one part found too many at a maxval, the others
    // need not count at it too.
    std::atomic<sample> lowest{maxval_};
    const auto read = [&](unsigned p) {
        Part &part = partsOf[p];
        for (int band; !unsound && (band = nextBand++) < bands;) {
            const int firstRow = band * bandRows, count = std::min(bandRows, rows_ - firstRow);
            const std::size_t pixels = static_cast<std::size_t>(count) * static_cast<std::size_t>(cols_);
            const std::size_t n = pixels * static_cast<std::size_t>(channels);
            const unsigned char *bytes = fetch(part.bytes, n, static_cast<std::uint64_t>(firstRow) * rowBytes);
            if (bytes == nullptr || (maxval_ < 255 && largestByte(bytes, n) > maxval_)) {
                unsound = true;
                break;
            }
            if (!held_)
                blockSums_[static_cast<std::size_t>(band)] = bytesSum(bytes, n);
            if (part.counter) {
                part.counter->lowerTo(lowest);
                part.counter->startAt(static_cast<std::uint64_t>(band) * bandPixels);
                part.counter->addBytes(bytes, channels, pixels);
                for (sample seen = lowest; part.counter->maxval() < seen;)
                    lowest.compare_exchange_weak(seen, part.counter->maxval());
            }
        }
    };
    // A failure is kept with its part, so that every thread is joined first.
    const auto readPart = [&](unsigned p) {
        try {
            read(p);
        } catch (...) {
            partsOf[p].failure = std::current_exception();
        }
    };
    std::vector<Task> running;
    for (unsigned p = 1; p < parts; ++p) {
        try {
            // Converting the image comes next, on the same threads.
            running.emplace_back([&readPart, p] { readPart(p); }, Task::Then::stayAwake);
        } catch (const std::exception &) {
            break;  // no thread to be had: the rest is read here
        }
    }
    readPart(0);
    for (unsigned p = static_cast<unsigned>(running.size()) + 1; p < parts; ++p)
        readPart(p);
    for (Task &t : running)
        t.join();
    for (Part &part : partsOf)
        if (part.failure)
            std::rethrow_exception(part.failure);
    if (unsound) {
        blockSums_.clear();
        return false;
    }
    if (countColors) {
        counter_ = std::move(partsOf[0].counter);
        for (unsigned p = 1; p < parts; ++p) {
            counter_->merge(*partsOf[p].counter);
            spent_.push_back(std::move(partsOf[p].counter));
        }
        aside_ = !running.empty();
    }
    blockRows_ = bandRows;
    channels_ = channels;
    return true;
}

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, int cols, int rows, sample maxval, format_code format)
    : file_(file), fileSpec_(fileSpec), cols_(cols), rows_(rows), maxval_(maxval), format_(format) {}

TwoPassInput::~TwoPassInput() {
    if (replayed_ != nullptr) {
        std::fclose(replayed_);
        file_ = original_;
    }
    if (heldMapped_ != 0)
        munmap(heldArea_, heldMapped_);
    pm_close(file_);
}

void TwoPassInput::chooseColorMap(int newcolors, bool dithered, color_histogram *colormapP,
                                  int *mapColorsP, sample *newmaxvalP, SampleScale *scaleP) {
    std::vector<WideColorCount> hist;
    counter_->finish(&hist, newmaxvalP, scaleP);
    spent_.push_back(std::move(counter_));
    if (aside_) {
        try {
            auto spent = std::make_shared<decltype(spent_)>(std::move(spent_));
            freeing_ = Task([spent = std::move(spent)]() mutable { spent.reset(); }, Task::Then::stayAwake);
        } catch (const std::exception &) {
            // no thread for it: the job, never run, frees them here
        }
    }
    spent_.clear();
    quantize::chooseColorMap(std::move(hist), static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(cols_),
                             *newmaxvalP, newcolors, dithered, colormapP, mapColorsP);
}

// Reads the band of `count` rows from firstRow into its slot's buffer,
// checked against the first reading, and packs it into words unless it is
// to be converted straight from its bytes.
void TwoPassInput::readBand(int firstRow, int count, std::size_t slot, bool packed) {
    BandBuffer &band = buffers_[slot];
    const std::size_t pixels = static_cast<std::size_t>(count) * static_cast<std::size_t>(cols_);
    const std::size_t n = pixels * static_cast<std::size_t>(channels_);
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(cols_) * static_cast<std::uint64_t>(channels_);
    band.data = fetch(band.bytes, n, static_cast<std::uint64_t>(firstRow) * rowBytes);
    // A sample above maxval now: the file changed after the first reading
    // refused none (checked whatever the sum says, as the search relies on it).
    if (!held_ && (band.data == nullptr ||
                   bytesSum(band.data, n) != blockSums_[static_cast<std::size_t>(firstRow / blockRows_)] ||
                   (maxval_ < 255 && largestByte(band.data, n) > maxval_)))
        throw FileChanged{};
    band.words.clear();
    if (packed) {
        band.words.resize(pixels);
        packBytes(band.data, pixels, channels_, band.words.data());
    }
}

void TwoPassInput::convertBand(FastConverter &converter, int count, BandOut &out, fserr_state *fs) {
    BandBuffer &band = buffers_[out.slot];
    const std::size_t pixels = static_cast<std::size_t>(count) * static_cast<std::size_t>(cols_);
    if (fs == nullptr && out.bytes != nullptr && band.words.empty() &&
        converter.convertBytes(band.data, channels_, pixels, out.bytes)) {
        out.bytesMade = true;
        return;
    }
    if (band.words.empty()) {
        band.words.resize(pixels);
        packBytes(band.data, pixels, channels_, band.words.data());
    }
    if (fs != nullptr && out.bytes != nullptr) {
        for (int r = 0; r < count; ++r) {
            const std::size_t first = static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_);
            converter.convertDitheredBytes(band.words.data() + first, cols_, out.bytes + 3 * first, fs);
        }
        out.bytesMade = true;
        return;
    }
    for (int r = 0; r < count; ++r)
        converter.convert(band.words.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_), cols_,
                          out.pixels + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_), fs);
}

void TwoPassInput::convertBands(unsigned workers, fserr_state *fs, sample newmaxval,
                                const std::function<FastConverter &(unsigned worker)> &converterOf) {
    if (cols_ == 0 || rows_ == 0)
        return;
    // Its helper is free for converting.
    freeing_.join();
    if (!held_ && fileSize(file_) != size_)
        fileChanged(fileSpec_);
    buffers_.resize(kMostBandsInFlight);
    try {
        convertAndWriteRows(
            cols_, rows_, newmaxval, workers, fs != nullptr,
            [&](unsigned worker, int, int count, BandOut &out) {
                FastConverter &converter = converterOf(worker);
                convertBand(converter, count, out, fs);
                return converter.takeMessage();
            },
            [&](int firstRow, int count, std::size_t slot) { readBand(firstRow, count, slot, fs != nullptr); });
    } catch (const FileChanged &) {
        fileChanged(fileSpec_);
    }
}

void TwoPassInput::convertRows(FastConverter &converter, fserr_state *fs, sample newmaxval) {
    if (inBands()) {
        convertBands(1, fs, newmaxval, [&](unsigned) -> FastConverter & { return converter; });
        return;
    }
    if (cols_ == 0 || rows_ == 0)
        return;
    if (fileSize(file_) != size_ || fseek(file_, rasterStart_, SEEK_SET) != 0)
        fileChanged(fileSpec_);
    pixel *span = static_cast<pixel *>(
        pm_allocrow(std::min(cols_, kReadSpanPixels), static_cast<int>(sizeof(pixel))));
    std::vector<pixel> out(static_cast<std::size_t>(cols_));
    for (int first = 0, block = 0; first < rows_; first += blockRows_, ++block) {
        PackedImage rows;
        rows.cols = cols_;
        rows.rows = std::min(blockRows_, rows_ - first);
        rows.maxval = maxval_;
        BlockSum sum;
        readBlock(first, rows.rows, [span](int) { return span; }, [&](const pixel *s, int, int col, int count) {
            // A sample above maxval now: the file changed after the first
            // reading refused none.
            if (largestSample(s, count) > maxval_)
                fileChanged(fileSpec_);
            sum.add(s, count);
            rows.appendSpan(s, col, count);
        });
        if (sum.value() != blockSums_[static_cast<std::size_t>(block)])
            fileChanged(fileSpec_);
        for (int r = 0; r < rows.rows; ++r) {
            rows.dispatch([&](auto word) {
                converter.convert(rows.row<decltype(word)>(r), cols_, out.data(), fs);
            });
            ppm_writeppmrow(stdout, out.data(), cols_, newmaxval, 0);
        }
    }
    pm_freerow(span);
}

}  // namespace quantize
