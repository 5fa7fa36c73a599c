// Files that appear complete or not at all.
#pragma once

#include <filesystem>

namespace velmora::tool {

// A file written under a temporary name in its final folder and renamed over
// the target only by commit(), so that a failure at any point leaves the
// folder as it was. Writers open path() by name.
class StagedFile {
  public:
    explicit StagedFile(std::filesystem::path target);
    ~StagedFile();  // removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::filesystem::path& path() const { return temporary; }
    void commit();

  private:
    std::filesystem::path destination;
    std::filesystem::path temporary;
    bool committed = false;
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
