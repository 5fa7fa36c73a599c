#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace velmora::tool {

Progress::Progress(std::string text, int64_t count, int64_t worthShowing, bool quiet)
    : label(std::move(text)),
      total(count),
      shown(!quiet && count >= worthShowing && isatty(STDERR_FILENO)) {}

void Progress::finish() {
    std::lock_guard<std::mutex> hold(lock);
    if (shown && !last.empty()) std::fprintf(stderr, "\r\033[K");
    shown = false;
}

void Progress::update(int64_t done) {
    std::lock_guard<std::mutex> hold(lock);
    show(done);
}

void Progress::advance(int64_t frames) {
    std::lock_guard<std::mutex> hold(lock);
    sum += frames;
    show(sum);
}

void Progress::show(int64_t done) {
    if (!shown || total == 0) return;
    if (total < 0) {
        char bytes[32];
        std::snprintf(bytes, sizeof bytes, " %.1f MB", static_cast<double>(done) / 1e6);
        if (bytes == last) return;
        last = bytes;
        std::fprintf(stderr, "\r%s%s\033[K", label.c_str(), bytes);
        std::fflush(stderr);
        return;
    }
    const int percent = static_cast<int>(100 * std::min(done, total) / total);
    // The time left, once a second has shown the pace.
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[64];
    if (elapsed >= 1.0 && done > 0) {
        const auto left = static_cast<int64_t>(
            elapsed * static_cast<double>(total - done) / static_cast<double>(done) + 0.5);
        std::snprintf(line, sizeof line, " %3d%%  %d:%02d left", percent,
                      static_cast<int>(left / 60), static_cast<int>(left % 60));
    } else {
        std::snprintf(line, sizeof line, " %3d%%", percent);
    }
    if (line == last) return;
    last = line;
    std::fprintf(stderr, "\r%s%s\033[K", label.c_str(), line);
    std::fflush(stderr);
}

}  // namespace velmora::tool
