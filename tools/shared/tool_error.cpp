#include "tool_error.h"

#include <csignal>
#include <iostream>

namespace velmora::tool {

namespace {

volatile std::sig_atomic_t interrupted = 0;

thread_local std::vector<std::string>* collected = nullptr;

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

NoteCollector::NoteCollector(std::vector<std::string>& notes) : previous(collected) {
    collected = &notes;
}

NoteCollector::~NoteCollector() {
    collected = previous;
}

void note(const std::string& text) {
    if (collected != nullptr) {
        collected->push_back(text);
        return;
    }
    std::cerr << "velmora: " << text << '\n';
}

}  // namespace velmora::tool
