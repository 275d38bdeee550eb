// The option parser on arbitrary argument vectors with a table that has
// short names and every kind: values stored in variables and handed to
// functions, shared counters, a null target, an unknown kind code, an entry
// without a short name and one without a long name, and a long name longer
// than the display-name buffer. The first byte picks the table's switches,
// the entry point (the current one or either older one) and the fatal hook;
// the rest is split at zero bytes into the arguments.
#include <kestrum/options.h>

#include <cstdarg>
#include <cstdio>

#include "harness.h"

using namespace fuzzharness;

namespace {

struct Values {
    int flag, i;
    const char *text;
    unsigned int u;
    long l;
    unsigned long ul;
    float f;
} values;
unsigned int counters[12];
unsigned int sharedCounter;

const ArgumentVector *currentArgs;

void onString(const char *value) { FUZZ_CHECK(value && currentArgs->pointsIntoTexts(value)); }
template <typename T>
void ignore(T) {}
void ignoreFlag() {}

// A replacement hook: formats the message as the default one would (so that
// its arguments are used) and ends the run.
void formattingHook(const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    exit(98);
}

#define FN(f) reinterpret_cast<void *>(f)
const option_entry kEntries[] = {
    {'f', "flag", kind_flag, &values.flag, &counters[0], 0},
    {'s', "string", kind_string, &values.text, &counters[1], 0},
    {'i', "int", kind_int, &values.i, &counters[2], 0},
    {'u', "uint", kind_uint, &values.u, &counters[3], 0},
    {'l', "long", kind_long, &values.l, &counters[4], 0},
    {'L', "ulong", kind_ulong, &values.ul, &counters[5], 0},
    {'x', "float", kind_float, &values.f, &counters[6], 0},
    {'F', "fflag", kind_flag, FN(ignoreFlag), &counters[7], target_is_function},
    {'S', "fstring", kind_string, FN(onString), &counters[8], target_is_function},
    {'I', "fint", kind_int, FN(ignore<int>), &counters[9], target_is_function},
    {'U', "fuint", kind_uint, FN(ignore<unsigned int>), nullptr, target_is_function},
    {'g', "flong", kind_long, FN(ignore<long>), nullptr, target_is_function},
    {'G', "fulong", kind_ulong, FN(ignore<unsigned long>), nullptr, target_is_function},
    {'X', "ffloat", kind_float, FN(ignore<double>), &counters[10], target_is_function},
    {'n', "nulltarget", kind_int, nullptr, &sharedCounter, 0},
    {'N', "nullstring", kind_string, nullptr, &sharedCounter, 0},
    {'k', "oddkind", static_cast<option_kind>(9), nullptr, &counters[11], 0},
    {0, "noshortname-and-a-name-longer-than-the-display-buffer", kind_int, &values.i, nullptr, 0},
    {'q', nullptr, kind_float, &values.f, nullptr, 0},
    {0, nullptr, kind_end, nullptr, nullptr, 0},
};
#undef FN

std::vector<old_option_entry> olderEntries() {
    std::vector<old_option_entry> older;
    for (const option_entry &e : kEntries)
        older.push_back({e.short_name, e.long_name, e.kind, e.target, e.flags});
    return older;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    ArgumentVector args("prog", data + 1, size - 1);
    currentArgs = &args;
    values = Values{};
    const unsigned char shortOptions = selector & 1;
    const unsigned char negativeNumbers = (selector >> 1) & 1;
    const int entryPoint = (selector >> 2) & 3;
    optSetFatalFunc((selector & 16) ? formattingHook : nullptr);
    const std::vector<old_option_entry> older = olderEntries();

    int status = 0;
    const bool completed = guarded(
        [&] {
            switch (entryPoint) {
            case 0:
            case 3:
                optParseOptions3(args.argcP(), args.argv(),
                                 option_table{shortOptions, negativeNumbers, kEntries},
                                 sizeof(option_table), 0);
                break;
            case 1:
                optParseOptions2(args.argcP(), args.argv(),
                                 old_option_table{shortOptions, negativeNumbers, older.data()}, 0);
                break;
            case 2:
                optParseOptions(args.argcP(), args.argv(), older.data(), negativeNumbers);
                break;
            }
        },
        &status);
    optSetFatalFunc(nullptr);
    if (!completed) {
        FUZZ_CHECK(status == ((selector & 16) ? 98 : 99));
        return 0;
    }
    FUZZ_CHECK(args.isRemainderOfOriginal());
    if (values.text)
        FUZZ_CHECK(args.pointsIntoTexts(values.text));
    return 0;
}
