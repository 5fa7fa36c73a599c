// A percentage on the terminal while a long job runs; nothing when stderr is
// not a terminal, so logs and pipes stay clean.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::tool {

class Progress {
  public:
    // Shown only when `total` reaches `worthShowing` and stderr is a terminal.
    Progress(std::string label, int64_t total, int64_t worthShowing);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(int64_t done);
    void finish();  // clears the line, before anything else is printed

  private:
    std::string label;
    int64_t total;
    bool shown;
    int lastPercent = -1;
};

}  // namespace velmora::tool
