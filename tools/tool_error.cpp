#include "tool_error.h"

#include <csignal>
#include <iostream>

namespace velmora::tool {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

}  // namespace

void installInterruptHandler() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

void checkInterrupted() {
    if (interrupted != 0) throw Error("interrupted");
}

void note(const std::string& text) {
    std::cerr << "velmora: " << text << '\n';
}

}  // namespace velmora::tool
