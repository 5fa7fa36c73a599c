#include "staged_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "output_file.h"
#include "progress.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int release() { return std::exchange(fd, -1); }
    int fd;
};

std::string systemError() {
    return std::strerror(errno);
}

}  // namespace

int openStream(const std::string& name, bool quiet) {
    const bool standardInput = name == "-";
    const std::string described = standardInput ? "standard input" : name;
    if (standardInput) {
        if (isatty(STDIN_FILENO)) {
            throw Error("standard input is a terminal; give a file, or send one with < or a pipe");
        }
    } else {
        struct stat status {};
        if (stat(name.c_str(), &status) != 0 || S_ISREG(status.st_mode) ||
            S_ISDIR(status.st_mode)) {
            return -1;
        }
    }
    // A FIFO's open waits for a writer; an interrupt ends the wait.
    Descriptor source(-1);
    for (;;) {
        source.fd = standardInput ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)
                                  : open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (source.fd >= 0) break;
        if (errno != EINTR) throw Error("cannot read " + described + ": " + systemError());
        checkInterrupted();
    }
    struct stat status {};
    if (fstat(source.fd, &status) == 0 && S_ISREG(status.st_mode)) return source.release();

    const std::string staging =
        "a temporary file in " + temporaryFolder().string() + " (TMPDIR) for " + described;
    Descriptor copy(namelessTemporaryFile("for " + described));

    Progress progress("reading " + described, -1, -1, quiet);
    std::vector<char> buffer(1 << 16);
    int64_t total = 0;
    for (;;) {
        const ssize_t got = read(source.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            checkInterrupted();
            continue;
        }
        if (got < 0) throw Error("cannot read " + described + ": " + systemError());
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put =
                write(copy.fd, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                checkInterrupted();
                continue;
            }
            if (put < 0) throw Error("cannot write " + staging + ": " + systemError());
            done += put;
        }
        total += got;
        progress.update(total);
    }
    progress.finish();
    if (lseek(copy.fd, 0, SEEK_SET) != 0) {
        throw Error("cannot read back " + staging + ": " + systemError());
    }
    return copy.release();
}

}  // namespace velmora::tool
