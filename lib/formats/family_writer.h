// The one writer of the PGM and PPM families: header, the choice between
// raw and plain, rows in raw chunks or plain lines, whole images; and their
// one raster size check. A family
// supplies only its details: the element it writes and its samples, its
// magic digits, its messages and the layout of its plain lines.
//
// A family is a struct with:
//   Element                  sample (PGM) or pixel (PPM)
//   kSamples                 samples per element, in the order written
//   sampleOf(e, k)           sample k of element e
//   kPlainMagic, kRawMagic   the second byte of the magic number
//   kRawFormat               the format code of the raw form
//   kOverallMaxval           the largest maxval of the raw form
//   kInitName, kCheckName    the header writer's and the check's names in
//                            their messages
//   kTooLargeMaxval          the message for a maxval above kOverallMaxval
//                            in raw form (arguments: the maxval and it)
//   checkSmaller(...)        the check of a smaller family's format (true)
//                            or nothing (false)
//   kSeparator               the blanks between two elements of a line
//   kLineWidth               the characters each element counts for on a
//                            line, whatever its digits; a line breaks once
//                            more than 64 are counted
#ifndef KESTRUM_FORMATS_FAMILY_WRITER_H
#define KESTRUM_FORMATS_FAMILY_WRITER_H

#include "checked_size.h"
#include "formats_internal.h"

namespace kestrum::formats {

template <typename Family>
void writeHeader(FILE *file, int cols, int rows, sample maxval, int forceplain) {
    refuseNegative(rows, "number of rows", Family::kInitName);
    refuseNegative(cols, "number of columns", Family::kInitName);
    const bool plain = plainChosen(forceplain);
    if (maxval > Family::kOverallMaxval && !plain)
        pm_error(Family::kTooLargeMaxval, maxval, Family::kOverallMaxval);
    const char digit = plain || maxval > Family::kOverallMaxval ? Family::kPlainMagic : Family::kRawMagic;
    fprintf(file, "%c%c\n%d %d\n%u\n", PM_MAGIC1, digit, cols, rows, maxval);
}

// Raw elements, each sample one byte or two big-endian bytes, written a
// chunk at a time.
template <typename Family, bool TwoBytes>
void writeRawRow(FILE *file, const typename Family::Element *row, std::size_t cols) {
    constexpr std::size_t bytesPerElement = Family::kSamples * (TwoBytes ? 2 : 1);
    unsigned char raw[kChunkBytes];
    for (std::size_t done = 0; done < cols;) {
        const std::size_t n = std::min(cols - done, kChunkBytes / bytesPerElement);
        unsigned char *p = raw;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < Family::kSamples; ++k) {
                const sample s = Family::sampleOf(row[done + i], k);
                if (TwoBytes)
                    *p++ = static_cast<unsigned char>(s >> 8);
                *p++ = static_cast<unsigned char>(s);
            }
        }
        writeExactly(file, raw, n * bytesPerElement, TwoBytes ? kWriteTwoBytes : kWriteOneByte);
        done += n;
    }
}

// Plain lines: the samples of an element one blank apart, the family's
// separator between elements.
template <typename Family>
void writePlainRow(FILE *file, const typename Family::Element *row, std::size_t cols) {
    PlainWriter out(file);
    int charcount = 0;
    for (std::size_t col = 0; col < cols; ++col) {
        out.room();
        if (charcount > 64) {
            out.put('\n');
            charcount = 0;
        } else if (charcount > 0) {
            for (const char *c = Family::kSeparator; *c != '\0'; ++c)
                out.put(*c);
            charcount += static_cast<int>(sizeof Family::kSeparator - 1);
        }
        for (std::size_t k = 0; k < Family::kSamples; ++k) {
            if (k > 0)
                out.put(' ');
            out.putus(Family::sampleOf(row[col], k));
        }
        charcount += Family::kLineWidth;
    }
    if (charcount > 0) {
        out.room();
        out.put('\n');
    }
}

template <typename Family>
void writeRow(FILE *file, const typename Family::Element *row, int cols, sample maxval, int forceplain) {
    if (plainChosen(forceplain) || maxval > Family::kOverallMaxval)
        writePlainRow<Family>(file, row, spanCount(cols));
    else if (isTwoByte(maxval))
        writeRawRow<Family, true>(file, row, spanCount(cols));
    else
        writeRawRow<Family, false>(file, row, spanCount(cols));
}

template <typename Family>
void writeImage(FILE *file, const typename Family::Element *const *rows, int cols, int rowCount,
                sample maxval, int forceplain) {
    writeHeader<Family>(file, cols, rowCount, maxval, forceplain);
    for (int row = 0; row < rowCount; ++row)
        writeRow<Family>(file, rows[row], cols, maxval, forceplain);
}

// The raw raster of the family against the file's length; a smaller
// family's format goes to that family's check.
template <typename Family>
void checkRaster(FILE *file, check_type checkType, format_code format, int cols, int rows,
                 sample maxval, check_result *retvalP) {
    refuseNegative(rows, "number of rows", Family::kCheckName);
    refuseNegative(cols, "number of columns", Family::kCheckName);
    if (checkType != check_basic) {
        storeCheckResult(retvalP, check_not_supported);
        return;
    }
    if (Family::checkSmaller(file, checkType, format, cols, rows, maxval, retvalP))
        return;
    if (format == Family::kRawFormat)
        checkRasterSize(file, static_cast<std::uint64_t>(cols) * Family::kSamples * (isTwoByte(maxval) ? 2 : 1),
                        static_cast<std::uint64_t>(rows), retvalP);
    else
        storeCheckResult(retvalP, check_not_possible);
}

}  // namespace kestrum::formats

#endif
