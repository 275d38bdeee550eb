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
    fseek(f, 0, SEEK_END);
    std::string out(static_cast<size_t>(ftell(f)), '\0');
    rewind(f);
    out.resize(fread(&out[0], 1, out.size(), f));
    fclose(f);
    return out;
}

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out, err;
};

// Runs program (argv[0] its path) with the arguments, feeding `input` through
// a pipe on standard input; standard output goes to `stdoutPath` if named.
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &input = "", const std::string &stdoutPath = "");

// Path of a file under the source tree (examples/, tests/data/ ...).
std::string sourcePath(const std::string &relative);

}  // namespace testsupport

#endif
