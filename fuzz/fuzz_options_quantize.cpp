// The quantizer's command line on arbitrary argument vectors: the common
// options of the start-up, then the quantizer's own option table and
// argument checks. Every vector is either refused (status 1 or 99, or 0
// for the version report) or yields a usable record.
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstring>

#include "cmdline.h"
#include "harness.h"

using namespace fuzzharness;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ArgumentVector args("quantize", data, size);
    quantize::command_line_info info{};
    int status = 0;
    const bool completed = guarded(
        [&] {
            ppm_init(args.argcP(), args.argv());
            FUZZ_CHECK(args.isRemainderOfOriginal());
            quantize::parseCommandLine(args.argc(), args.argv(), &info);
        },
        &status);
    resetLibraryState();
    if (!completed) {
        FUZZ_CHECK(status == 0 || status == 1 || status == 99);
        return 0;
    }
    FUZZ_CHECK(info.input_file_spec != nullptr);
    FUZZ_CHECK(strcmp(info.input_file_spec, "-") == 0 || args.pointsIntoTexts(info.input_file_spec));
    if (info.map_file_spec != nullptr)
        FUZZ_CHECK(args.pointsIntoTexts(info.map_file_spec));
    else
        FUZZ_CHECK(info.requested_colors >= 2);
    return 0;
}
