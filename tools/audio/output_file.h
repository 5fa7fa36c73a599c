// Where a command's results go, without harming what is already there.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::tool {

// A file as the system knows it, whatever names, links and ".." lead to it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The file `name` stands for ("-" is standard input), with its links
// followed, or nothing when there is none yet.
std::optional<FileIdentity> identityOf(const std::string& name);

// The system's temporary folder (TMPDIR, or /tmp), for messages and files.
std::filesystem::path temporaryFolder();

// A file without a name in temporaryFolder(), open for reading and writing
// and gone once closed, whatever happens. `purpose` ("for standard input")
// completes the message when it cannot be made.
int namelessTemporaryFile(const std::string& purpose);

// What an output name stands for, found before anything is written.
struct OutputTarget {
    enum class Kind {
        StandardOutput,  // "-"
        Special,         // a device, FIFO or socket that exists: written as it is
        File,            // a regular file, new or replaced whole
    };
    Kind kind = Kind::File;
    std::filesystem::path name;  // as the user gave it, for messages
    std::filesystem::path file;  // what is written: the name with its symbolic links followed
    std::optional<struct stat> replaced;  // the regular file that is there now

    std::string describe() const;  // the name, or "standard output"
};

// Finds what `name` stands for ("-" is standard output when `allowStandardOutput`).
// Throws, in plain words, for a folder, a file the user may not replace (one
// without write permission for them; for root, one without any write
// permission bit), and a name in a folder that does not exist.
OutputTarget findOutput(const std::string& name, bool allowStandardOutput = false);

// A regular file written under a temporary name beside its target
// (".NAME.velmora-XXXXXX", locked while it is written) and renamed over it
// only by commit(), so that a failure at any point leaves the folder as it
// was. Staging files of the same name left by a run that was killed (no
// longer locked) are removed first. The folder is held open and the file
// renamed and removed through it, so a folder renamed meanwhile strands
// nothing. A file it replaces keeps its permissions (and, for root, its
// owner); a symbolic link keeps pointing at the replaced file.
class StagedFile {
  public:
    explicit StagedFile(OutputTarget target);
    ~StagedFile();  // removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    int descriptor() const { return fd; }  // open for reading and writing, at the start
    void commit();

  private:
    void removeStale(const std::string& prefix);

    OutputTarget target;
    int folder = -1;        // the target's folder
    std::string temporary;  // the staging file's name in it
    int fd = -1;
    bool committed = false;
};

// Any OutputTarget: a regular file through a StagedFile; standard output and
// special files directly when they can be written from start to end with
// the header completed at the end (a device such as /dev/null, standard
// output redirected to a file), otherwise through a nameless temporary file
// that commit() copies into them in order (pipes, FIFOs, sockets, terminals).
class OutputFile {
  public:
    explicit OutputFile(const OutputTarget& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Where the writer writes, positioned at its start and seekable.
    int descriptor() const;
    // What descriptor() writes, for messages: the target, or the temporary
    // file that holds it until commit().
    std::string describe() const;
    // Whether descriptor() is a file of the tool's own, which can be read
    // back before commit().
    bool readable() const { return staged.has_value() || spool >= 0; }
    // Writes all of `bytes` at the descriptor's position.
    void write(std::string_view bytes);
    // The output is complete: it appears under its name, or reaches the
    // destination. Until then nothing of it is there.
    void commit();

  private:
    OutputTarget target;
    std::optional<StagedFile> staged;
    int destination = -1;  // standard output or the special file
    bool ownsDestination = false;
    int spool = -1;  // the temporary file, when the destination cannot seek
    std::string spoolName;
};

// A private folder under the system's temporary directory, removed with
// everything in it when it goes out of scope.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return folder; }

  private:
    std::filesystem::path folder;
};

}  // namespace velmora::tool
