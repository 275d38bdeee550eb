// Private to the format unit: the tokenizer on a stream the caller has
// locked, bulk byte buffers, the raster span decoders shared by the three
// families, and the builder of whole-image arrays.
//
// The row readers lock the stream once per call and then read byte by byte
// with getc_unlocked, so a plain raster costs one stdio buffer access per
// character, and raw rasters go through fread in chunks, never byte by byte.
#ifndef KESTRUM_FORMATS_INTERNAL_H
#define KESTRUM_FORMATS_INTERNAL_H

#include <kestrum/format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrum::formats {

// Messages the tokenizer, the span decoders and the family readers share.
inline constexpr const char *kEofReadingByte = "EOF / read error reading a byte";
inline constexpr const char *kEofOneByteSample = "EOF / read error reading a one-byte sample";
inline constexpr const char *kEofLongSample = "EOF /read error while reading a long sample";
inline constexpr const char *kCantHappen = "can't happen";

// Spans of at most this many pixels are decoded at a time: a whole-image
// reader grows its array by no more than this past the data it has seen. A
// multiple of 8, so a raw PBM span that does not end its row ends on a byte
// boundary.
inline constexpr std::size_t kSpanPixels = 16384;

// Holds the stream's lock for a scope, so that the unlocked reads below are
// safe and cost no lock each.
class StreamLock {
public:
    explicit StreamLock(FILE *file) : file_(file) { flockfile(file_); }
    ~StreamLock() { funlockfile(file_); }
    StreamLock(const StreamLock &) = delete;
    StreamLock &operator=(const StreamLock &) = delete;

private:
    FILE *file_;
};

inline bool isSeparator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// pm_getc on a locked stream: a '#' comment reads as the line end closing it.
inline int getcLocked(FILE *file) {
    int c = getc_unlocked(file);
    if (c == EOF)
        pm_error("%s", kEofReadingByte);
    if (c == '#') {
        do {
            c = getc_unlocked(file);
            if (c == EOF)
                pm_error("%s", kEofReadingByte);
        } while (c != '\n' && c != '\r');
    }
    return c;
}

// pm_getuint on a locked stream. The limit test is deliberately
// value > 214748364 - digit, not a test against INT_MAX: the largest value
// accepted is 2147483640, and some smaller ones (2147483632) are refused.
inline unsigned int getUintLocked(FILE *file) {
    int c;
    do
        c = getcLocked(file);
    while (isSeparator(c));
    if (c < '0' || c > '9')
        pm_error("junk in file where an unsigned integer should be");
    unsigned int value = 0;
    do {
        const unsigned int digit = static_cast<unsigned int>(c - '0');
        if (value > 214748364u - digit)
            pm_error("ASCII decimal integer in file is too large to be processed.  ");
        value = value * 10 + digit;
        c = getcLocked(file);
    } while (c >= '0' && c <= '9');
    return value;
}

// One pixel of a plain PBM raster: separators and comments skipped, then '0'
// (white) or '1' (black).
inline pbm_bit getBitLocked(FILE *file) {
    int c;
    do
        c = getcLocked(file);
    while (isSeparator(c));
    if (c != '0' && c != '1')
        pm_error("junk in file where bits should be");
    return static_cast<pbm_bit>(c - '0');
}

// Raw bytes pass through a buffer of this size on the stack, a chunk at a
// time: a row costs no allocation, and no allocation can fail. Divisible by
// 6, 3 and 2, so that a chunk holds whole pixels and samples of each width.
inline constexpr std::size_t kChunkBytes = 12288;

// Reads exactly `bytes` bytes or fails with `shortMessage`.
inline void readExactly(FILE *file, unsigned char *dst, std::size_t bytes,
                        const char *shortMessage) {
    if (bytes != 0 && fread(dst, 1, bytes, file) != bytes)
        pm_error("%s", shortMessage);
}

// Writes exactly `bytes` bytes or fails with `failMessage`.
inline void writeExactly(FILE *file, const unsigned char *src, std::size_t bytes,
                         const char *failMessage) {
    if (bytes != 0 && fwrite(src, 1, bytes, file) != bytes)
        pm_error("%s", failMessage);
}

inline bool isTwoByte(sample maxval) { return maxval > PM_ONE_BYTE_MAXVAL; }

// Span decoders: `count` consecutive pixels of the current row, by format
// code, any other code failing with "can't happen". A raw PBM span that does
// not end its row must hold a multiple of 8 pixels.
void readBitSpan(FILE *file, pbm_bit *dst, std::size_t count, format_code format);
void readGraySpan(FILE *file, sample *dst, std::size_t count, sample maxval, format_code format);
void readPixelSpan(FILE *file, pixel *dst, std::size_t count, sample maxval, format_code format);

inline void readSpan(FILE *file, pbm_bit *dst, std::size_t count, sample, format_code format) {
    readBitSpan(file, dst, count, format);
}
inline void readSpan(FILE *file, sample *dst, std::size_t count, sample maxval, format_code format) {
    readGraySpan(file, dst, count, maxval, format);
}
inline void readSpan(FILE *file, pixel *dst, std::size_t count, sample maxval, format_code format) {
    readPixelSpan(file, dst, count, maxval, format);
}

// Builds the image array of a whole-image reader in the layout pm_allocarray
// gives (rows + 1 row pointers, the last one the single block holding every
// row), but grows the block and the row index as the raster arrives instead
// of taking them whole up front. A header that claims a huge image therefore costs memory only as
// far as the file bears the claim out, and a short file fails at its first
// missing byte with the reader's own message. If the block cannot grow, the
// rows move to blocks of their own (pm_allocarray's row-by-row layout).
class ImageBuilder {
public:
    ImageBuilder(int cols, int rows, std::size_t elementSize);
    ~ImageBuilder();
    ImageBuilder(const ImageBuilder &) = delete;
    ImageBuilder &operator=(const ImageBuilder &) = delete;

    // Room for `count` elements of row `row` from column `col`, requested in
    // raster order.
    void *span(int row, int col, std::size_t count);
    // The finished array; the caller releases it with pm_freearray.
    void **finish();

private:
    void moveToRowByRow(int row, int col);
    void reserveIndex(std::size_t entries);
    [[noreturn]] void indexFailure() const;

    int cols_, rows_;
    std::size_t elementSize_;
    void **index_ = nullptr;  // grows with the rows that arrive
    std::size_t indexRoom_ = 0;
    std::size_t rowBytes_ = 0, totalBytes_ = 0;
    bool rowByRow_ = false;
    unsigned char *block_ = nullptr;
    std::size_t capacity_ = 0;
    int rowsAllocated_ = 0;  // row-by-row layout: rows 0 .. rowsAllocated_-1 exist
};

// A claim up to imageInitialBlock bytes is taken in one allocation; past it
// the block doubles as the raster arrives. Untouched memory costs nothing,
// so this only bounds the address space a lying header can reserve.
extern std::size_t imageInitialBlock;
// The largest block an ImageBuilder grows to before it moves to the
// row-by-row layout. Tests lower both to exercise the growth and the move.
extern std::size_t imageBlockLimit;

// The number of elements a row call covers: a negative width covers none.
inline std::size_t spanCount(int cols) { return cols > 0 ? static_cast<std::size_t>(cols) : 0; }

// Reads a whole raster (after its header) into a new image array.
template <typename Element>
Element **readImage(FILE *file, int cols, int rows, sample maxval, format_code format) {
    ImageBuilder builder(cols, rows, sizeof(Element));
    for (int row = 0; row < rows; ++row) {
        for (int col = 0; col < cols;) {
            const std::size_t count =
                std::min<std::size_t>(kSpanPixels, static_cast<std::size_t>(cols - col));
            readSpan(file, static_cast<Element *>(builder.span(row, col, count)), count, maxval,
                     format);
            col += static_cast<int>(count);
        }
    }
    return reinterpret_cast<Element **>(builder.finish());
}

// Builds plain raster text in the write buffer and hands it to the stream in
// large writes. Write errors of plain text are not reported here: the
// stream's error state is reported when it is closed (pm_close).
class PlainWriter {
public:
    // Every item appended between two calls of room() must fit in this.
    static constexpr std::size_t kItemLimit = 64;

    explicit PlainWriter(FILE *file) : file_(file) {}
    ~PlainWriter() { flush(); }
    PlainWriter(const PlainWriter &) = delete;
    PlainWriter &operator=(const PlainWriter &) = delete;

    // Makes room for one more item of at most kItemLimit characters.
    void room() {
        if (length_ + kItemLimit > kCapacity)
            flush();
    }
    void put(char c) { text_[length_++] = static_cast<unsigned char>(c); }
    // The value in decimal, without sign or leading zeros.
    void putus(sample value) {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0)
            put(digits[--n]);
    }

private:
    static constexpr std::size_t kCapacity = std::size_t{1} << 14;

    void flush() {
        if (length_ != 0 && fwrite(text_, 1, length_, file_) != length_) {
            // Left in the stream's error state for pm_close to report.
        }
        length_ = 0;
    }

    FILE *file_;
    unsigned char text_[kCapacity];
    std::size_t length_ = 0;
};

inline bool plainChosen(int forceplain) { return forceplain != 0 || pm_plain_output != 0; }

inline constexpr const char *kWriteOneByte = "Error writing single byte sample to file";
inline constexpr const char *kWriteTwoBytes = "Error writing double byte sample to file";

// --- Raster size checks ------------------------------------------------

// pm_check with the raster size bytesPerRow x rows. The product of two
// 31-bit counts and a small factor may pass 64 bits: such a raster is
// larger than any file, and the message still gives its exact size.
void checkRasterSize(FILE *file, std::uint64_t bytesPerRow, std::uint64_t rows,
                     check_result *resultP);

inline void storeCheckResult(check_result *resultP, check_result result) {
    if (resultP != nullptr)
        *resultP = result;
}

}  // namespace kestrum::formats

#endif
