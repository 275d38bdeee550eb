#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

void need(bool ok, const char *what) {
    if (!ok)
        throw std::runtime_error(std::string(what) + " failed");
}

void writeAll(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)  // a reader that stops early (a child may refuse its input)
            break;
        done += static_cast<size_t>(n);
    }
}

// Files are removed by the process that made them: a death-test child that
// exits must not take its parent's files away.
struct TempFiles {
    pid_t owner = getpid();
    std::vector<std::string> paths;
    ~TempFiles() {
        for (const auto &p : paths)
            if (getpid() == owner)
                unlink(p.c_str());
    }
};

// An unnamed file for a child's output, read back once the child has gone,
// so that the child never waits on the test to drain a pipe.
int anonymousFile() {
    char name[] = "/tmp/kestrum-test-XXXXXX";
    const int fd = mkstemp(name);
    need(fd >= 0, "mkstemp");
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

FILE *memoryStream(const std::string &bytes) {
    FILE *f = tmpfile();
    need(f != nullptr, "tmpfile");
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

std::string temporaryFile(const std::string &bytes, const std::string &suffix) {
    static TempFiles files;
    std::string name = "/tmp/kestrum-test-XXXXXX" + suffix;
    const int fd = mkstemps(&name[0], static_cast<int>(suffix.size()));
    need(fd >= 0, "mkstemps");
    const size_t before = bytes.size();
    writeAll(fd, bytes);
    need(lseek(fd, 0, SEEK_END) == static_cast<off_t>(before), "write");
    close(fd);
    files.paths.push_back(name);
    return name;
}

RunResult run(const std::string &program, const std::vector<std::string> &args, const std::string &input,
              const std::string &stdoutPath) {
    signal(SIGPIPE, SIG_IGN);  // a child that exits before reading all its input must not kill the test
    const int outFd = anonymousFile(), errFd = anonymousFile();
    int in[2];
    need(pipe(in) == 0, "pipe");
    const pid_t pid = fork();
    need(pid >= 0, "fork");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int out = stdoutPath.empty() ? outFd : open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    writeAll(in[1], input);
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
    // CTest names the tree; a test binary run by hand falls back on the tree it was built from.
    const char *root = getenv("KESTRUM_TEST_DATA");
    return std::string(root ? root : KESTRUM_SOURCE_DIR) + "/" + relative;
}

}  // namespace testsupport
