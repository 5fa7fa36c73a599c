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

std::string listOf(const std::vector<std::string>& items, const std::string& conjunction) {
    std::string list;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) list += i + 1 == items.size() ? " " + conjunction + " " : ", ";
        list += items[i];
    }
    return list;
}

}  // namespace velmora::tool
