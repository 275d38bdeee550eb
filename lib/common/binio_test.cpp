#include <kestrum/common.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

namespace {

using testsupport::memoryStream;

// Writes the value and compares with its bytes (given most significant
// first), reads two copies back to back, then each proper prefix: a short
// stream fails, keeping the bytes read so far in their places and the rest
// zero, or the destination untouched when nothing was read.
template <typename T>
void check(int (*write)(FILE *, T), int (*read)(FILE *, T *), bool bigEndian, T value, const char *msbFirst) {
    const std::string msb(msbFirst, sizeof(T));
    const std::string bytes = bigEndian ? msb : std::string(msb.rbegin(), msb.rend());
    int result = -1;
    EXPECT_EQ(testsupport::captureOutput([&](FILE *f) { result = write(f, value); }), bytes) << value;
    EXPECT_EQ(result, 0);
    FILE *in = memoryStream(bytes + bytes);
    T got[2] = {0, 0};
    EXPECT_EQ(read(in, &got[0]), 0);
    EXPECT_EQ(read(in, &got[1]), 0);
    EXPECT_EQ(got[0], value);
    EXPECT_EQ(got[1], value);
    EXPECT_EQ(getc(in), EOF);
    fclose(in);
    for (std::size_t n = 0; n < sizeof(T); ++n) {
        T want = static_cast<T>(0x55555555), partial = want;
        FILE *padded = memoryStream(bytes.substr(0, n) + std::string(sizeof(T) - n, '\0'));
        if (n > 0)
            read(padded, &want);
        fclose(padded);
        FILE *shortStream = memoryStream(bytes.substr(0, n));
        EXPECT_EQ(read(shortStream, &partial), -1);
        EXPECT_EQ(partial, want) << value << " after " << n << " bytes";
        fclose(shortStream);
    }
}

TEST(Binio, BothByteOrdersAndWidths) {
    for (bool big : {true, false}) {
        const auto writeShort = big ? pm_writebigshort : pm_writelittleshort;
        const auto readShort = big ? pm_readbigshort : pm_readlittleshort;
        check<int16_t>(writeShort, readShort, big, 0x1234, "\x12\x34");
        check<int16_t>(writeShort, readShort, big, -2, "\xFF\xFE");
        check<int16_t>(writeShort, readShort, big, INT16_MIN, "\x80\x00");
        const auto writeLong = big ? pm_writebiglong : pm_writelittlelong;
        const auto readLong = big ? pm_readbiglong : pm_readlittlelong;
        check<int32_t>(writeLong, readLong, big, 0x01020304, "\x01\x02\x03\x04");
        check<int32_t>(writeLong, readLong, big, -256, "\xFF\xFF\xFF\x00");
        check<int32_t>(writeLong, readLong, big, INT32_MIN, "\x80\x00\x00\x00");
        check<int32_t>(writeLong, readLong, big, 0x00800080, "\x00\x80\x00\x80");
    }
}

}  // namespace
