// The header tokenizer on arbitrary bytes, checked against a plain model of
// the header grammar. The first byte picks a sequence of operations; the
// rest is the stream, read until the tokenizer fails at its end (or
// earlier, on junk or an integer too large). Library and model must return
// the same values and fail at the same operation.
#include <kestrum/format.h>

#include "harness.h"

using namespace fuzzharness;

namespace {

enum Op { kGetc, kRawByte, kUint, kMagic };

// The operation number `step` of the sequence that `selector` picks.
Op opAt(uint8_t selector, size_t step) {
    switch (selector & 3) {
    case 0:
        return step == 0 ? kMagic : kUint;
    case 1:
        return kGetc;
    case 2:
        return kRawByte;
    default: {
        // Six bits, three two-bit choices, repeated.
        const unsigned choice = (selector >> (2 + 2 * (step % 3))) & 3;
        return choice == 3 ? kUint : static_cast<Op>(choice);
    }
    }
}

// The grammar, written out plainly over the bytes.
struct Model {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    struct Fail {};

    int byte() {
        if (pos >= size)
            throw Fail{};
        return data[pos++];
    }
    int getc() {
        int c = byte();
        if (c == '#')
            do
                c = byte();
            while (c != '\n' && c != '\r');
        return c;
    }
    uint32_t getuint() {
        int c;
        do
            c = getc();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
        if (c < '0' || c > '9')
            throw Fail{};
        uint32_t value = 0;
        while (c >= '0' && c <= '9') {
            const uint32_t d = static_cast<uint32_t>(c - '0');
            if (value > 214748364u - d)
                throw Fail{};
            value = value * 10 + d;
            c = getc();
        }
        return value;
    }
    uint32_t run(Op op) {
        switch (op) {
        case kGetc:
            return static_cast<uint8_t>(getc());
        case kRawByte:
            return static_cast<uint32_t>(byte());
        case kUint:
            return getuint();
        case kMagic: {
            if (size - pos < 2) {
                pos = size;
                throw Fail{};
            }
            const uint32_t first = byte();
            return first * 256 + static_cast<uint32_t>(byte());
        }
        }
        return 0;
    }
};

uint32_t libraryOp(FILE *file, Op op) {
    switch (op) {
    case kGetc:
        return static_cast<uint8_t>(pm_getc(file));
    case kRawByte:
        return pm_getrawbyte(file);
    case kUint:
        return pm_getuint(file);
    case kMagic:
        return static_cast<uint32_t>(pm_readmagicnumber(file));
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;

    std::vector<uint32_t> expected;
    Model model{data, size};
    try {
        // Every operation consumes at least one byte, so the model fails by
        // the end of the bytes at the latest.
        for (size_t step = 0;; ++step)
            expected.push_back(model.run(opAt(selector, step)));
    } catch (Model::Fail &) {
    }

    std::vector<uint32_t> got;
    FILE *file = memoryStream(data, size);
    int status = 0;
    const bool completed = guarded(
        [&] {
            for (size_t step = 0; step <= size; ++step)
                got.push_back(libraryOp(file, opAt(selector, step)));
        },
        &status);
    fclose(file);
    FUZZ_CHECK(!completed);  // it cannot read more operations than bytes
    FUZZ_CHECK(status == 1);
    FUZZ_CHECK(got == expected);
    return 0;
}
