// Helpers shared by the test binaries: byte streams in memory and on disk,
// and running a built program with exact stdin, stdout, stderr and status.
#ifndef KESTRUM_TEST_SUPPORT_H
#define KESTRUM_TEST_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

// A read-only stream over the bytes (a private copy; closed by the caller).
FILE *memoryStream(const std::string &bytes);

// A fresh temporary file holding the bytes; removed when the test binary ends.
std::string temporaryFile(const std::string &bytes, const std::string &suffix = "");

// Everything a stream wrote: call with a writer that prints to the stream.
template <typename Writer>
std::string captureOutput(Writer writer) {
    FILE *f = tmpfile();
    writer(f);
    fflush(f);
    std::string out;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

struct RunResult {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs program with argv[0] = program path and the given arguments, feeding
// `input` through a pipe on standard input. `stdoutPath`, when not empty,
// names a file that receives standard output instead of the capture.
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &input = "", const std::string &stdoutPath = "");

// Path of a file under the source tree (examples/, tests/data/ ...).
std::string sourcePath(const std::string &relative);

}  // namespace testsupport

#endif
