#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &input, const std::string &stdoutPath) {
    // A child that exits before reading all its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe))
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(inPipe[0], 0);
        if (stdoutPath.empty()) {
            dup2(outPipe[1], 1);
        } else {
            const int fd = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0)
                _exit(127);
            dup2(fd, 1);
            close(fd);
        }
        dup2(errPipe[1], 2);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    RunResult result;
    size_t written = 0;
    int inFd = inPipe[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    bool outOpen = true, errOpen = true;
    char buf[65536];
    while (outOpen || errOpen) {
        struct pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outOpen) { fds[n] = {outPipe[0], POLLIN, 0}; outIdx = n++; }
        if (errOpen) { fds[n] = {errPipe[0], POLLIN, 0}; errIdx = n++; }
        if (inFd >= 0) { fds[n] = {inFd, POLLOUT, 0}; inIdx = n++; }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        if (inIdx >= 0 && fds[inIdx].revents) {
            if (fds[inIdx].revents & (POLLERR | POLLHUP)) {
                close(inFd);
                inFd = -1;
            } else {
                const ssize_t w = write(inFd, input.data() + written, input.size() - written);
                if (w > 0)
                    written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) {
                    close(inFd);
                    inFd = -1;
                } else if (written == input.size()) {
                    close(inFd);
                    inFd = -1;
                }
            }
        }
        auto drain = [&](int idx, int fd, std::string &sink, bool &open) {
            if (idx >= 0 && fds[idx].revents) {
                const ssize_t r = read(fd, buf, sizeof buf);
                if (r > 0)
                    sink.append(buf, static_cast<size_t>(r));
                else
                    open = false;
            }
        };
        drain(outIdx, outPipe[0], result.out, outOpen);
        drain(errIdx, errPipe[0], result.err, errOpen);
    }
    if (inFd >= 0)
        close(inFd);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string sourcePath(const std::string &relative) {
    const char *root = getenv("KESTRUM_TEST_DATA");
    return std::string(root ? root : ".") + "/" + relative;
}

}  // namespace testsupport
