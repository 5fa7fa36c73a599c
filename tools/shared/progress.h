// A percentage and the time left on the terminal while a long job runs;
// nothing when stderr is not a terminal, so logs and pipes stay clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace velmora::tool {

class Progress {
  public:
    // Shown only when `total` reaches `worthShowing`, stderr is a terminal
    // and `quiet` is not set. A negative `total` counts the bytes of a
    // stream whose length is not known.
    Progress(std::string label, int64_t total, int64_t worthShowing, bool quiet = false);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(int64_t done);
    // `frames` more are done; several threads may report to one line.
    void advance(int64_t frames);
    void finish();  // clears the line, before anything else is printed

  private:
    void show(int64_t done);

    std::mutex lock;
    std::string label;
    int64_t total;
    int64_t sum = 0;
    bool shown;
    std::string last;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

}  // namespace velmora::tool
