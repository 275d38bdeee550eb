// File streams: "-" for the standard streams, seekable copies of pipes,
// closing with error reports, whole-stream reads and checked positions.
#include <kestrum/common.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool isDash(const char *name) { return strcmp(name, "-") == 0; }

}  // namespace

FILE *pm_openr(const char *name) {
    if (isDash(name))
        return stdin;
    FILE *f = fopen(name, "rb");
    if (f == nullptr) {
        const int err = errno;
        pm_error("Unable to open file '%s' for reading.  fopen() returns errno %d (%s)",
                 name, err, strerror(err));
    }
    return f;
}

FILE *pm_openw(const char *name) {
    if (isDash(name))
        return stdout;
    FILE *f = fopen(name, "wb");
    if (f == nullptr) {
        const int err = errno;
        pm_error("Unable to open file '%s' for writing.  fopen() returns errno %d (%s)",
                 name, err, strerror(err));
    }
    return f;
}

FILE *pm_openr_seekable(const char *name) {
    FILE *in = pm_openr(name);
    struct stat st;
    if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode))
        return in;

    FILE *copy = tmpfile();
    if (copy == nullptr) {
        const int err = errno;
        pm_error("Unable to create a temporary file.  Errno = %s (%d)", strerror(err), err);
    }
    char buffer[4096];
    while (!feof(in) && !ferror(in) && !ferror(copy)) {
        const size_t got = fread(buffer, 1, sizeof buffer, in);
        fwrite(buffer, 1, got, copy);
    }
    if (ferror(in)) {
        const int err = errno;
        pm_error("Error reading input file into temporary file.  Errno = %s (%d)", strerror(err), err);
    }
    if (ferror(copy)) {
        const int err = errno;
        pm_error("Error writing input into temporary file.  Errno = %s (%d)", strerror(err), err);
    }
    pm_close(in);
    if (fseek(copy, 0, SEEK_SET) != 0) {
        const int err = errno;
        pm_error("fseek() failed to rewind temporary file.  Errno = %s (%d)", strerror(err), err);
    }
    return copy;
}

void pm_close(FILE *f) {
    fflush(f);
    if (ferror(f))
        pm_message("A file read or write error occurred at some point");
    if (f == stdin)
        return;
    if (fclose(f) != 0) {
        const int err = errno;
        pm_error("close of file failed with errno %d (%s)", err, strerror(err));
    }
}

void pm_closer(FILE *f) { pm_close(f); }
void pm_closew(FILE *f) { pm_close(f); }

unsigned char *pm_read_unknown_size(FILE *f, int32_t *nread) {
    long size = 16384;
    *nread = 0;
    unsigned char *buf = static_cast<unsigned char *>(malloc(size));
    if (buf == nullptr)
        pm_error("Cannot allocate memory");
    for (;;) {
        if (*nread == size) {
            // A count that would pass the 32-bit byte count cannot be reported
            // to the caller, so it is as fatal as the memory running out.
            size = size <= 65536 ? size * 2 : size + 65536;
            unsigned char *grown = size <= INT32_MAX ? static_cast<unsigned char *>(realloc(buf, size)) : nullptr;
            if (grown == nullptr)
                pm_error("Cannot allocate %ld bytes of memory", size);
            buf = grown;
        }
        const int c = getc(f);
        if (c == EOF)
            return buf;
        buf[(*nread)++] = static_cast<unsigned char>(c);
    }
}

// Positions are 4 bytes (int32_t) or 8 bytes (int64_t); a position that a
// 4-byte place cannot hold is refused rather than silently cut.
void pm_tell2(FILE *f, void *posP, unsigned int posSize) {
    const off_t pos = ftello(f);
    if (pos < 0) {
        const int err = errno;
        pm_error("ftello() to get current file position failed.  Errno = %s (%d)\n", strerror(err), err);
    }
    if (posSize == sizeof(int32_t)) {
        if (pos > INT32_MAX)
            pm_error("File position %lld does not fit in a %u-byte file position", static_cast<long long>(pos), posSize);
        *static_cast<int32_t *>(posP) = static_cast<int32_t>(pos);
    } else if (posSize == sizeof(int64_t)) {
        *static_cast<int64_t *>(posP) = static_cast<int64_t>(pos);
    } else {
        pm_error("File position size passed to pm_tell() is invalid: %u.  Valid sizes are %u and %u",
                 posSize, 4u, 8u);
    }
}

int32_t pm_tell(FILE *f) {
    int32_t pos;
    pm_tell2(f, &pos, sizeof pos);
    return pos;
}

void pm_seek2(FILE *f, const void *posP, unsigned int posSize) {
    if (posSize == sizeof(int32_t))
        fseeko(f, static_cast<off_t>(*static_cast<const int32_t *>(posP)), SEEK_SET);
    else if (posSize == sizeof(int64_t))
        fseeko(f, static_cast<off_t>(*static_cast<const int64_t *>(posP)), SEEK_SET);
    else
        pm_error("File position size passed to pm_seek() is invalid: %u.  Valid sizes are %u and %u",
                 posSize, 4u, 8u);
}

void pm_seek(FILE *f, int32_t pos) { pm_seek2(f, &pos, sizeof pos); }
