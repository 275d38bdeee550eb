// The option parsers on argument vectors: the bytes after the first, split at
// zero bytes. First byte, bit 0 clear: the start-up's common options, then the
// quantizer's command line, which refuses (status 0, 1 or 99) or leaves a
// usable record. Bit 0 set: a table of every kind and target, parsed with short
// options (bit 1), negative numbers (bit 2), by the current or an older entry
// point (bits 3-4), with a replacement fatal hook (bit 5); it refuses with the
// hook's status or leaves what remains of the vector, in order.
#include <kestrum/common.h>
#include <kestrum/options.h>
#include <kestrum/ppm.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmdline.h"
#include "harness.h"

using namespace fuzzharness;

namespace {

std::vector<char *> original;
bool inTexts(const char *p) {
    for (char *text : original)
        if (p >= text && p <= text + strlen(text))
            return true;
    return false;
}
// argv[1..argc) is a subsequence of the original arguments, ended by a null.
bool isRemainder(int argc, char **argv) {
    size_t next = 1;
    for (int i = 1; i < argc; ++i, ++next)
        while (next < original.size() && original[next] != argv[i])
            ++next;
    return argc >= 1 && next <= original.size() && argv[argc] == nullptr;
}

int i;
long l;
unsigned long ul;
unsigned int counters[4];
float f;
const char *text;
void hook(const char *, ...) { exit(98); }  // a replacement must not return

#define FN(f) reinterpret_cast<void *>(+[] f {})
const option_entry kEntries[] = {
    {'f', "flag", kind_flag, &i, &counters[0], 0},
    {'s', "string", kind_string, &text, &counters[1], 0},
    {'i', "int", kind_int, &i, &counters[2], 0},
    {'u', "uint", kind_uint, &i, &counters[2], 0},
    {'l', "long", kind_long, &l, nullptr, 0},
    {'L', "ulong", kind_ulong, &ul, &counters[3], 0},
    {'x', "float", kind_float, &f, nullptr, 0},
    {'F', "fflag", kind_flag, FN(()), nullptr, target_is_function},
    {'S', "fstring", kind_string, reinterpret_cast<void *>(+[](const char *v) { FUZZ_CHECK(inTexts(v)); }),
     nullptr, target_is_function},
    {'I', "fint", kind_int, FN((int)), nullptr, target_is_function},
    {'U', "fuint", kind_uint, FN((unsigned)), &counters[0], target_is_function},
    {'g', "flong", kind_long, FN((long)), nullptr, target_is_function},
    {'G', "fulong", kind_ulong, FN((unsigned long)), nullptr, target_is_function},
    {'X', "ffloat", kind_float, FN((double)), nullptr, target_is_function},
    {'n', "nulltarget", kind_string, nullptr, &counters[1], 0},
    {'k', "oddkind", option_kind(9), nullptr, nullptr, 0},
    {0, "noshortname-and-a-name-longer-than-any-display-buffer", kind_int, &i, nullptr, 0},
    {'q', nullptr, kind_float, &f, nullptr, 0},
    {0, nullptr, kind_end, nullptr, nullptr, 0},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    std::vector<std::string> texts(size > 1 ? 2 : 1);
    texts[0] = "prog";
    for (size_t at = 1; at < size && texts.size() <= 24; ++at)
        data[at] ? texts.back().push_back(char(data[at])) : texts.push_back({});
    original.clear();
    for (std::string &t : texts)
        original.push_back(t.data());
    std::vector<char *> argv = original;
    argv.push_back(nullptr);
    int argc = int(original.size()), status = 0;
    text = nullptr;
    std::vector<old_option_entry> older;
    for (const option_entry &e : kEntries)
        older.push_back({e.short_name, e.long_name, e.kind, e.target, e.flags});
    const unsigned char shortOptions = (selector >> 1) & 1, negatives = (selector >> 2) & 1;
    const bool table = selector & 1, hooked = (selector & 33) == 33;
    optSetFatalFunc(hooked ? hook : nullptr);
    quantize::command_line_info info{};
    const bool done = guarded(
        [&] {
            if (!table) {
                ppm_init(&argc, argv.data());
                FUZZ_CHECK(isRemainder(argc, argv.data()));
                quantize::parseCommandLine(argc, argv.data(), &info);
            } else if ((selector & 24) == 8) {
                optParseOptions2(&argc, argv.data(), {shortOptions, negatives, older.data()}, 0);
            } else if ((selector & 24) == 16) {
                optParseOptions(&argc, argv.data(), older.data(), negatives);
            } else {
                optParseOptions3(&argc, argv.data(), {shortOptions, negatives, kEntries}, 0, 0);
            }
        },
        &status);
    optSetFatalFunc(nullptr);
    pm_init("fuzz", 0);
    pm_plain_output = 0;
    if (!table)  // 0 after the version report
        FUZZ_CHECK(done ? (!strcmp(info.input_file_spec, "-") || inTexts(info.input_file_spec)) &&
                              (info.map_file_spec ? inTexts(info.map_file_spec) : info.requested_colors >= 2)
                        : status == 0 || status == 1 || status == 99);
    else
        FUZZ_CHECK(done ? isRemainder(argc, argv.data()) && (!text || inTexts(text)) : status == (hooked ? 98 : 99));
    return 0;
}
