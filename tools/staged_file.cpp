#include "staged_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

StagedFile::StagedFile(fs::path target) : destination(std::move(target)) {
    const fs::path folder = destination.has_parent_path() ? destination.parent_path() : ".";
    std::string pattern = (folder / ("." + destination.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        throw Error("cannot write in " + folder.string() + ": " + std::strerror(errno));
    }
    // mkstemp makes the file private; the result should carry the usual
    // permissions of a new file instead.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    temporary = pattern;
}

StagedFile::~StagedFile() {
    if (!committed) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
    }
}

void StagedFile::commit() {
    std::error_code error;
    fs::rename(temporary, destination, error);
    if (error) throw Error("cannot write " + destination.string() + ": " + error.message());
    committed = true;
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "velmora.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw Error(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    folder = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace velmora::tool
