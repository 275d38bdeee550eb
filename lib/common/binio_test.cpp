#include <kestrum/common.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

namespace {

using testsupport::captureOutput;
using testsupport::memoryStream;

// One byte order and width: its writer, its reader, and the bytes it
// produces for a value given most significant byte first.
template <typename T>
struct Codec {
    const char *name;
    int (*write)(FILE *, T);
    int (*read)(FILE *, T *);
    bool bigEndian;
    std::string bytesOf(const std::string &msbFirst) const {
        return bigEndian ? msbFirst : std::string(msbFirst.rbegin(), msbFirst.rend());
    }
};

const Codec<int16_t> shorts[] = {{"bigshort", pm_writebigshort, pm_readbigshort, true},
                                 {"littleshort", pm_writelittleshort, pm_readlittleshort, false}};
const Codec<int32_t> longs[] = {{"biglong", pm_writebiglong, pm_readbiglong, true},
                                {"littlelong", pm_writelittlelong, pm_readlittlelong, false}};

template <typename T>
void roundTrip(const Codec<T> &codec, T value, const std::string &msbFirst) {
    int result = -1;
    const std::string bytes = captureOutput([&](FILE *f) { result = codec.write(f, value); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bytes, codec.bytesOf(msbFirst)) << codec.name << " " << value;
    FILE *in = memoryStream(bytes + bytes);  // two in a row: each read takes exactly its width
    T got[2] = {0, 0};
    EXPECT_EQ(codec.read(in, &got[0]), 0);
    EXPECT_EQ(codec.read(in, &got[1]), 0);
    EXPECT_EQ(got[0], value) << codec.name;
    EXPECT_EQ(got[1], value) << codec.name;
    EXPECT_EQ(getc(in), EOF);
    fclose(in);
}

TEST(Binio, ShortsRoundTripInTheirByteOrder) {
    const struct {
        int16_t value;
        const char *msbFirst;
    } cases[] = {{0, "\x00\x00"}, {0x1234, "\x12\x34"}, {-2, "\xFF\xFE"}, {INT16_MIN, "\x80\x00"}, {INT16_MAX, "\x7F\xFF"}};
    for (const auto &codec : shorts)
        for (const auto &c : cases)
            roundTrip(codec, c.value, std::string(c.msbFirst, 2));
}

TEST(Binio, LongsRoundTripInTheirByteOrder) {
    const struct {
        int32_t value;
        const char *msbFirst;
    } cases[] = {{0x01020304, "\x01\x02\x03\x04"}, {-1, "\xFF\xFF\xFF\xFF"}, {-256, "\xFF\xFF\xFF\x00"},
                 {INT32_MIN, "\x80\x00\x00\x00"},  {INT32_MAX, "\x7F\xFF\xFF\xFF"}, {0x00800080, "\x00\x80\x00\x80"}};
    for (const auto &codec : longs)
        for (const auto &c : cases)
            roundTrip(codec, c.value, std::string(c.msbFirst, 4));
}

TEST(Binio, ShortStreamsKeepWhatWasAssembled) {
    // An empty stream leaves the destination alone; a short one leaves the
    // bytes read so far in their places, the rest zero.
    const struct {
        int codec;
        std::string bytes;
        int16_t after;
    } shortCases[] = {{0, "", 0x5555}, {1, "", 0x5555}, {0, "\xAB", static_cast<int16_t>(0xAB00)}, {1, "\xAB", 0x00AB}};
    for (const auto &c : shortCases) {
        FILE *in = memoryStream(c.bytes);
        int16_t value = 0x5555;
        EXPECT_EQ(shorts[c.codec].read(in, &value), -1) << shorts[c.codec].name;
        EXPECT_EQ(value, c.after) << shorts[c.codec].name << " of " << c.bytes.size() << " bytes";
        fclose(in);
    }
    const struct {
        int codec;
        std::string bytes;
        int32_t after;
    } longCases[] = {{0, "", 0x55555555},          {1, "", 0x55555555},          {0, "\x01", 0x01000000},
                     {0, "\x01\x02\x03", 0x01020300}, {1, "\x01\x02\x03", 0x00030201}, {1, "\xFF", 0xFF}};
    for (const auto &c : longCases) {
        FILE *in = memoryStream(c.bytes);
        int32_t value = 0x55555555;
        EXPECT_EQ(longs[c.codec].read(in, &value), -1) << longs[c.codec].name;
        EXPECT_EQ(value, c.after) << longs[c.codec].name << " of " << c.bytes.size() << " bytes";
        fclose(in);
    }
}

}  // namespace
