#include "output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

std::string systemError() {
    return std::strerror(errno);
}

// `name` with every symbolic link on its end followed, as opening it would.
// A link to a file that does not exist yet leads to where that file would be.
fs::path followLinks(const fs::path& name) {
    fs::path current = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat link {};
        if (lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return current;
        std::error_code error;
        const fs::path target = fs::read_symlink(current, error);
        if (error) throw Error("cannot follow " + current.string() + ": " + error.message());
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    throw Error("cannot write " + name.string() + ": too many levels of symbolic links");
}

fs::path folderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

void writeAll(int fd, std::string_view bytes, const std::string& where) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                checkInterrupted();
                continue;
            }
            throw Error("cannot write " + where + ": " + systemError());
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
}

// Whether a writer can start at the beginning of `fd`, go back to finish its
// header and find everything where it put it.
bool writableFromTheStart(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    if (!S_ISREG(status.st_mode) && !S_ISCHR(status.st_mode) && !S_ISBLK(status.st_mode)) {
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) == 0 && lseek(fd, 0, SEEK_CUR) == 0;
}

int connectSocket(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

fs::path temporaryFolder() {
    std::error_code error;
    const fs::path folder = fs::temp_directory_path(error);
    return error ? fs::path("/tmp") : folder;
}

int namelessTemporaryFile(const std::string& purpose) {
    std::string pattern = (temporaryFolder() / "velmora.XXXXXX").string();
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        throw Error("cannot make a temporary file in " + temporaryFolder().string() + " (TMPDIR) " +
                    purpose + ": " + systemError());
    }
    unlink(pattern.c_str());
    return fd;
}

std::optional<FileIdentity> identityOf(const std::string& name) {
    struct stat status {};
    const int found = name == "-" ? fstat(STDIN_FILENO, &status) : stat(name.c_str(), &status);
    if (found != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

std::string OutputTarget::describe() const {
    return kind == Kind::StandardOutput ? "standard output" : name.string();
}

OutputTarget findOutput(const std::string& name, bool allowStandardOutput) {
    OutputTarget target;
    target.name = name;
    if (name.empty()) throw Error("the output's name is empty");
    if (name == "-") {
        if (!allowStandardOutput) throw Error("this output cannot go to standard output (-)");
        target.kind = OutputTarget::Kind::StandardOutput;
        return target;
    }
    struct stat status {};
    if (stat(name.c_str(), &status) != 0) {
        if (errno != ENOENT) throw Error("cannot write " + name + ": " + systemError());
        // A new file, or a symbolic link to where one is to be.
        target.file = followLinks(name);
        const fs::path folder = folderOf(target.file);
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            throw Error("cannot write " + name + ": there is no folder " + folder.string());
        }
        return target;
    }
    if (S_ISDIR(status.st_mode)) {
        throw Error(name + " is a folder; name a file to write");
    }
    if (!S_ISREG(status.st_mode)) {
        // Opened by the name given, which also reaches /dev/stdout and the like.
        target.kind = OutputTarget::Kind::Special;
        target.file = name;
        return target;
    }
    // The file is replaced where it is, whatever links lead to it.
    std::error_code error;
    target.file = fs::canonical(name, error);
    if (error) throw Error("cannot write " + name + ": " + error.message());
    // Root may write anything, so for root a file that nobody may write is
    // the sign that it is meant to stay as it is.
    const bool writable = faccessat(AT_FDCWD, target.file.c_str(), W_OK, AT_EACCESS) == 0 &&
                          (geteuid() != 0 || (status.st_mode & 0222) != 0);
    if (!writable) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw Error(name + " is write-protected (mode " + mode +
                    "), so it is not replaced; make it writable or choose another name");
    }
    target.replaced = status;
    return target;
}

StagedFile::StagedFile(OutputTarget output) : target(std::move(output)) {
    const fs::path folderName = folderOf(target.file);
    folder = open(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) throw Error("cannot write in " + folderName.string() + ": " + systemError());
    // ".NAME.velmora-XXXXXX", with NAME shortened so that the whole stays a
    // legal name wherever the target's is.
    const long longest = fpathconf(folder, _PC_NAME_MAX);
    const size_t limit = longest > 0 ? static_cast<size_t>(longest) : 255;
    const std::string marker = ".velmora-";
    constexpr size_t kRandom = 6;
    std::string prefix = "." + target.file.filename().string();
    if (prefix.size() + marker.size() + kRandom > limit) {
        prefix.resize(limit - marker.size() - kRandom);
    }
    prefix += marker;
    removeStale(prefix);

    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = prefix;
        for (size_t i = 0; i < kRandom; ++i)
            temporary += kLetters[random() % (sizeof kLetters - 1)];
        fd = openat(folder, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) {
            const std::string reason = systemError();
            close(folder);
            throw Error("cannot write in " + folderName.string() + ": " + reason);
        }
    }
    // Held until the file is closed: the sign that this run is alive.
    flock(fd, LOCK_EX);
}

void StagedFile::removeStale(const std::string& prefix) {
    const int listing = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0) close(listing);
        return;
    }
    while (const dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) continue;
        const int stale = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (stale < 0) continue;
        struct stat status {};
        // Only this user's regular files that no running render holds.
        if (fstat(stale, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
            flock(stale, LOCK_EX | LOCK_NB) == 0) {
            unlinkat(folder, name.c_str(), 0);
        }
        close(stale);
    }
    closedir(entries);
}

StagedFile::~StagedFile() {
    if (fd >= 0) close(fd);
    if (!committed) unlinkat(folder, temporary.c_str(), 0);
    close(folder);
}

void StagedFile::commit() {
    const std::string name = target.name.string();
    // The file that is replaced keeps its permissions; a new one has those of
    // any new file.
    mode_t mode = 0;
    if (target.replaced) {
        mode = target.replaced->st_mode & 07777;
        if (geteuid() == 0 && fchown(fd, target.replaced->st_uid, target.replaced->st_gid) != 0) {
            // Only root can give a file away; a failure leaves it root's.
        }
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        throw Error("cannot write " + name + ": " + systemError());
    }
    // Renamed while still locked, so no other run takes it for stale; fsync
    // has already reported any failure to store it.
    if (renameat(folder, temporary.c_str(), folder, target.file.filename().c_str()) != 0) {
        throw Error("cannot write " + name + ": " + systemError());
    }
    committed = true;
    close(std::exchange(fd, -1));
}

OutputFile::OutputFile(const OutputTarget& output) : target(output) {
    switch (target.kind) {
        case OutputTarget::Kind::File:
            staged.emplace(target);
            return;
        case OutputTarget::Kind::StandardOutput:
            if (isatty(STDOUT_FILENO)) {
                throw Error("standard output is a terminal; send it to a file or a program");
            }
            destination = STDOUT_FILENO;
            break;
        case OutputTarget::Kind::Special: {
            struct stat status {};
            const bool socketFile =
                stat(target.file.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
            destination = socketFile ? connectSocket(target.file)
                                     : open(target.file.c_str(), O_WRONLY | O_CLOEXEC);
            if (destination < 0) {
                throw Error("cannot write " + target.describe() + ": " + systemError());
            }
            ownsDestination = true;
            break;
        }
    }
    if (writableFromTheStart(destination)) return;

    // A nameless file: nothing is left behind whatever happens.
    spoolName = "the temporary file in " + temporaryFolder().string() + " (TMPDIR) that holds " +
                target.describe() + " until it is complete";
    spool = namelessTemporaryFile("for " + target.describe());
}

std::string OutputFile::describe() const {
    return spool >= 0 ? spoolName : target.describe();
}

OutputFile::~OutputFile() {
    if (spool >= 0) close(spool);
    if (ownsDestination) close(destination);
}

int OutputFile::descriptor() const {
    if (staged) return staged->descriptor();
    return spool >= 0 ? spool : destination;
}

void OutputFile::write(std::string_view bytes) {
    writeAll(descriptor(), bytes, describe());
}

void OutputFile::commit() {
    if (staged) {
        staged->commit();
        return;
    }
    if (spool < 0) return;
    if (lseek(spool, 0, SEEK_SET) != 0) {
        throw Error("cannot read back the temporary file: " + systemError());
    }
    std::string buffer(1 << 16, '\0');
    for (;;) {
        checkInterrupted();
        const ssize_t got = read(spool, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            checkInterrupted();
            continue;
        }
        if (got < 0) throw Error("cannot read back the temporary file: " + systemError());
        if (got == 0) break;
        writeAll(destination, std::string_view(buffer.data(), static_cast<size_t>(got)),
                 target.describe());
    }
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "velmora.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw Error("cannot make a temporary folder: " + systemError());
    }
    folder = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace velmora::tool
