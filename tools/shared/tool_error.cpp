#include "tool_error.h"

#include <signal.h>

#include <csignal>
#include <iostream>

namespace velmora::tool {

namespace {

volatile std::sig_atomic_t caught = 0;

thread_local std::vector<std::string>* collected = nullptr;

extern "C" void onInterrupt(int signal) {
    caught = signal;
}

}  // namespace

void installInterruptHandler() {
#ifdef _WIN32
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#else
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool interrupted() {
    return caught != 0;
}

int interruptingSignal() {
    return caught;
}

void checkInterrupted() {
    if (interrupted()) throw Error("interrupted");
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
