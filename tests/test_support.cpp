#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testsupport {

FILE *memoryStream(const std::string &bytes) {
    FILE *f = tmpfile();
    if (f == nullptr)
        throw std::runtime_error("tmpfile failed");
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

namespace {
// Files are removed by the process that made them: a death-test child that
// exits must not take its parent's files away.
struct TempFiles {
    pid_t owner = getpid();
    std::vector<std::string> paths;
    ~TempFiles() {
        if (getpid() != owner)
            return;
        for (const auto &p : paths)
            unlink(p.c_str());
    }
};
TempFiles &tempFiles() {
    static TempFiles files;
    return files;
}
}  // namespace

std::string temporaryFile(const std::string &bytes, const std::string &suffix) {
    std::string pattern = "/tmp/kestrum-test-XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0)
        throw std::runtime_error("mkstemps failed");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write failed");
        done += static_cast<size_t>(n);
    }
    close(fd);
    tempFiles().paths.emplace_back(name.data());
    return name.data();
}

namespace {
// An unnamed file for a child's output: read back from the start once the
// child has gone, so the child never waits on the test to drain a pipe.
int anonymousFile() {
    char name[] = "/tmp/kestrum-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    return fd;
}

std::string readAll(int fd) {
    std::string bytes;
    char buf[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    close(fd);
    return bytes;
}
}  // namespace

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &input, const std::string &stdoutPath) {
    // A child that exits before reading all its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    const int outFd = anonymousFile(), errFd = anonymousFile();
    int in[2];
    if (pipe(in) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int out = stdoutPath.empty()
                            ? outFd
                            : open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(in[0], 0) < 0 || dup2(out, 1) < 0 || dup2(errFd, 2) < 0)
            _exit(127);
        for (int fd : {in[0], in[1], out, outFd, errFd})
            close(fd);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    // Fed until the child stops reading (it may refuse early).
    for (size_t done = 0; done < input.size();) {
        const ssize_t n = write(in[1], input.data() + done, input.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(in[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readAll(outFd);
    result.err = readAll(errFd);
    return result;
}

std::string sourcePath(const std::string &relative) {
    // CTest names the tree; a test binary run by hand falls back on the tree
    // it was built from.
    const char *root = getenv("KESTRUM_TEST_DATA");
    return std::string(root ? root : KESTRUM_SOURCE_DIR) + "/" + relative;
}

}  // namespace testsupport
