#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace velmora::tool {

Progress::Progress(std::string text, int64_t count, int64_t worthShowing)
    : label(std::move(text)), total(count), shown(count >= worthShowing && isatty(STDERR_FILENO)) {}

void Progress::finish() {
    if (shown && lastPercent >= 0) std::fprintf(stderr, "\r\033[K");
    shown = false;
}

void Progress::update(int64_t done) {
    if (!shown || total <= 0) return;
    const int percent = static_cast<int>(100 * done / total);
    if (percent == lastPercent) return;
    lastPercent = percent;
    std::fprintf(stderr, "\r%s %3d%%", label.c_str(), percent);
    std::fflush(stderr);
}

}  // namespace velmora::tool
