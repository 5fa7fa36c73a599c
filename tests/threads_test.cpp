// Instances on many threads at once, as a host with several audio threads
// runs them: each thread drives instances of its own through their whole
// life, opcode 13 among the rest, and every one must play what it plays
// alone on one thread. Run natively, under Wine and under ThreadSanitizer
// (the tsan preset), which reports any data the threads share unguarded.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hosted_module.h"

namespace {

using namespace velmora::test;
using velmora::host::Instance;

constexpr int kThreads = 8;
constexpr int kLivesPerThread = 6;
constexpr int kAliveAtOnce = 3;  // instances a thread drives in turns
constexpr int32_t kBlock = 256;
constexpr int kBlocks = 48;

uint32_t nextRandom(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
}

// One instance's life, fixed by its seed: made and opened on a body, then
// blocks of noise with now and then a change of body, a silent stretch or a
// question for the process record, then closed. Step by step, so that a
// thread can take several lives in turns.
class Life {
  public:
    explicit Life(uint32_t lifeSeed) : seed(lifeSeed), input(noise(kBlock * kBlocks, lifeSeed)) {
        output.resize(input.size());
    }

    bool start() {
        std::string error;
        if (!host.create(error)) return false;
        host.setSampleRate(44100.0f + static_cast<float>(nextRandom(seed) % 4) * 4000.0f);
        host.setBlockSize(kBlock);
        host.readDeclarations();
        host.setEnum(kType, static_cast<int16_t>(nextRandom(seed) % 17));
        host.open();
        host.sendPinStatus(kSignal, 2);
        return true;
    }

    // One block and what the host does after it; false once the life is over.
    bool step() {
        host.run(input.data() + block * kBlock, output.data() + block * kBlock, kBlock, kBlock);
        const uint32_t roll = nextRandom(seed) % 16;
        if (roll == 0) {
            host.setEnum(kType, static_cast<int16_t>(nextRandom(seed) % 17));
            host.sendPinStatus(kSignal, 2);
        } else if (roll == 1) {
            host.sendPinStatus(kSignal, host.entry()->process == silence() ? 2 : 0);
        } else if (roll < 5) {
            // The answer is this instance's record, naming its function.
            const ProcessRecordInfo* info = host.processRecordInfo();
            if (recordInfo == nullptr) recordInfo = info;
            recordsRight = recordsRight && info == recordInfo &&
                           info->record->function == host.entry()->process;
        }
        host.clearRequests();
        if (++block < kBlocks) return true;
        host.close();
        return false;
    }

    std::vector<float> output;
    bool recordsRight = true;

  private:
    // The silence process, as the first silent status installs it.
    ProcessFunction silence() {
        if (silenceFunction == nullptr) {
            Instance probe(moduleLibrary());
            std::string error;
            probe.create(error);
            probe.open();
            probe.sendPinStatus(kSignal, 0);
            silenceFunction = probe.entry()->process;
        }
        return silenceFunction;
    }

    uint32_t seed;
    std::vector<float> input;
    Instance host{moduleLibrary()};
    int block = 0;
    const ProcessRecordInfo* recordInfo = nullptr;
    ProcessFunction silenceFunction = nullptr;
};

uint32_t lifeSeed(int thread, int life) {
    return 1000u * static_cast<uint32_t>(thread) + static_cast<uint32_t>(life) + 1u;
}

// A thread's lives, kAliveAtOnce at a time, each taking one step in turn;
// answered in the order of their seeds.
std::vector<std::unique_ptr<Life>> liveTogether(int thread) {
    std::vector<std::unique_ptr<Life>> lives;
    std::vector<Life*> alive;
    for (int next = 0; next < kLivesPerThread || !alive.empty();) {
        while (next < kLivesPerThread && static_cast<int>(alive.size()) < kAliveAtOnce) {
            lives.push_back(std::make_unique<Life>(lifeSeed(thread, next++)));
            if (!lives.back()->start()) return {};
            alive.push_back(lives.back().get());
        }
        std::erase_if(alive, [](Life* life) { return !life->step(); });
    }
    return lives;
}

TEST(Threads, InstancesOnManyThreadsPlayAsEachDoesAlone) {
    // Alone: one life at a time, on this thread.
    std::vector<std::vector<float>> alone(kThreads * kLivesPerThread);
    for (int t = 0; t < kThreads; ++t) {
        for (int l = 0; l < kLivesPerThread; ++l) {
            Life life(lifeSeed(t, l));
            ASSERT_TRUE(life.start());
            while (life.step()) {
            }
            alone[t * kLivesPerThread + l] = life.output;
        }
    }

    std::vector<std::vector<std::unique_ptr<Life>>> lived(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&lived, t] { lived[t] = liveTogether(t); });
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(static_cast<int>(lived[t].size()), kLivesPerThread) << "thread " << t;
        for (const auto& life : lived[t])
            EXPECT_TRUE(life->recordsRight) << "thread " << t << ": opcode 13 answered wrongly";
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int l = 0; l < kLivesPerThread; ++l) {
            const std::vector<float>& got = lived[t][static_cast<size_t>(l)]->output;
            const std::vector<float>& expected = alone[t * kLivesPerThread + l];
            size_t differ = 0;
            while (differ < got.size() && std::bit_cast<uint32_t>(got[differ]) ==
                                              std::bit_cast<uint32_t>(expected[differ]))
                ++differ;
            EXPECT_EQ(differ, expected.size()) << "thread " << t << ", life " << l;
        }
    }
}

}  // namespace
