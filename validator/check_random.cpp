// The randomised checks: many instances at once, random automation against
// the module's rules, and the soak.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "automaton.h"
#include "checks.h"
#include "host_buffers.h"
#include "memory.h"
#include "signals.h"
#include "subject.h"

namespace velmora::validate {

namespace {

constexpr int kAutomationSteps = 150;
constexpr int kInstanceSteps = 80;
constexpr int kBurst = 32;

std::string trials(size_t count) {
    return std::to_string(count) + (count == 1 ? " trial" : " trials");
}

// One instance of the stress check and everything done to it, so that a
// lone instance can be put through the same afterwards.
struct Life {
    struct Action {
        enum Kind { Status, Type, Process } kind;
        int32_t value = 0;
        int32_t offset = 0;
        bool inPlace = false;
        std::vector<float> input{};
    };

    int id = 0;
    int16_t type = 0;
    float rate = 44100.0f;
    int32_t blockSize = 512;
    int32_t firstStatus = 2;  // sent after open; -1 for none
    std::vector<Action> actions;
    std::vector<float> output;
    // Its own, because the module may read its output buffer at any event.
    HostBuffers buffers;
    std::unique_ptr<Subject> subject;
};

class InstanceTrial {
  public:
    InstanceTrial(Context& c, Result& r, uint32_t s) : context(c), result(r), seed(s), random(s) {}

    bool run() {
        const size_t most = static_cast<size_t>(random.between(2, 8));
        if (!burst()) return false;
        for (int step = 0; step < kInstanceSteps; ++step) {
            const uint32_t roll = random.below(100);
            if (roll < 20 && alive.size() < most) {
                if (!begin()) return false;
            } else if (roll < 25) {
                // Made and closed at once, opened or not.
                Subject brief(context.library, context.watch);
                std::string error;
                if (!brief.create(error)) return fail(error);
                if (random.chance(50)) brief.open();
            } else if (alive.empty()) {
                if (!begin()) return false;
            } else {
                Life& life = *alive[random.below(static_cast<uint32_t>(alive.size()))];
                if (roll < 70) {
                    if (!process(life)) return false;
                } else if (roll < 78) {
                    act(life, {Life::Action::Status, random.pick({0, 1, 2, 2})});
                } else if (roll < 84) {
                    act(life,
                        {Life::Action::Type, random.between(context.known.layout.lowestType,
                                                            context.known.layout.highestType)});
                    act(life, {Life::Action::Status, 2});
                } else if (!end(life)) {
                    return false;
                }
            }
        }
        while (!alive.empty()) {
            if (!end(*alive[random.below(static_cast<uint32_t>(alive.size()))])) return false;
        }
        return true;
    }

    int made = 0;

  private:
    bool fail(const std::string& problem) {
        result.failTrial(seed, problem);
        return false;
    }

    bool setUp(Subject& subject, const Life& life) {
        const Layout& layout = context.known.layout;
        std::string error;
        if (!subject.create(error)) return fail(error);
        ++made;
        subject.setSampleRate(life.rate);
        subject.setBlockSize(life.blockSize);
        subject.setType(layout.type, life.type);
        subject.open();
        if (life.firstStatus >= 0) subject.pinStatus(layout.input, life.firstStatus);
        return true;
    }

    bool begin() {
        auto life = std::make_unique<Life>();
        life->id = ++lives;
        life->type = static_cast<int16_t>(
            random.between(context.known.layout.lowestType, context.known.layout.highestType));
        life->rate = static_cast<float>(random.pick({44100, 48000, 96000}));
        life->blockSize = random.pick({64, 256, 1024});
        life->firstStatus = random.pick({2, 2, 2, 0, -1});
        life->subject = std::make_unique<Subject>(context.library, context.watch);
        if (!setUp(*life->subject, *life)) return false;
        alive.push_back(std::move(life));
        return true;
    }

    void act(Life& life, Life::Action action) {
        const Layout& layout = context.known.layout;
        if (action.kind == Life::Action::Status)
            life.subject->pinStatus(layout.input, action.value);
        if (action.kind == Life::Action::Type) {
            life.subject->setType(layout.type, static_cast<int16_t>(action.value));
        }
        life.actions.push_back(std::move(action));
    }

    bool process(Life& life) {
        Life::Action action{Life::Action::Process};
        const int32_t frames = random.between(1, 600);
        action.input.resize(static_cast<size_t>(frames));
        fillSignal(random.pick({Signal::Noise, Signal::Square, Signal::Impulses}), random,
                   action.input.data(), frames, static_cast<int32_t>(life.rate));
        action.offset = 2 * random.between(0, 15) + 1;
        action.inPlace = random.chance(10);
        const size_t from = life.output.size();
        life.output.resize(from + static_cast<size_t>(frames));
        const Layout& layout = context.known.layout;
        const std::string problem =
            life.buffers.run(*life.subject, layout.input, layout.output,
                             {action.input.data(), frames, action.offset, action.inPlace},
                             life.output.data() + from);
        if (!problem.empty()) return fail("instance " + std::to_string(life.id) + " " + problem);
        life.actions.push_back(std::move(action));
        return true;
    }

    // Closes the instance, then puts a lone one through the same.
    bool end(Life& life) {
        life.subject.reset();
        const Layout& layout = context.known.layout;
        Subject lone(context.library, context.watch);
        if (!setUp(lone, life)) return false;
        std::vector<float> output;
        for (const Life::Action& action : life.actions) {
            if (action.kind == Life::Action::Status) lone.pinStatus(layout.input, action.value);
            if (action.kind == Life::Action::Type)
                lone.setType(layout.type, static_cast<int16_t>(action.value));
            if (action.kind != Life::Action::Process) continue;
            const size_t from = output.size();
            output.resize(from + action.input.size());
            buffers.run(lone, layout.input, layout.output,
                        {action.input.data(), static_cast<int32_t>(action.input.size()),
                         action.offset, action.inPlace},
                        output.data() + from);
        }
        const Difference d = compareBits(life.output.data(), output.data(), output.size());
        const int id = life.id;
        alive.erase(std::find_if(alive.begin(), alive.end(),
                                 [&](const auto& l) { return l.get() == &life; }));
        if (d.same) return true;
        return fail(
            "instance " + std::to_string(id) +
            ", among others, differs from a lone instance put through the same: " + describe(d));
    }

    // Many alive at once on the same input, closed in random order.
    bool burst() {
        const Layout& layout = context.known.layout;
        Life life;
        life.type = static_cast<int16_t>(random.between(layout.lowestType, layout.highestType));
        std::vector<std::unique_ptr<Subject>> many;
        std::vector<float> input(256), first(256), output(256);
        fillSignal(Signal::Noise, random, input.data(), 256, 44100);
        for (int i = 0; i < kBurst; ++i) {
            many.push_back(std::make_unique<Subject>(context.library, context.watch));
            if (!setUp(*many.back(), life)) return false;
        }
        for (int i = 0; i < kBurst; ++i) {
            buffers.run(*many[static_cast<size_t>(i)], layout.input, layout.output,
                        {input.data(), 256, 1}, i == 0 ? first.data() : output.data());
            const Difference d = compareBits(output.data(), first.data(), 256);
            if (i > 0 && !d.same) {
                return fail("of " + std::to_string(kBurst) + " instances alive at once, number " +
                            std::to_string(i + 1) + " differs from the first: " + describe(d));
            }
        }
        while (!many.empty())
            many.erase(many.begin() + random.below(static_cast<uint32_t>(many.size())));
        return true;
    }

    Context& context;
    Result& result;
    uint32_t seed;
    Random random;
    HostBuffers buffers;
    std::vector<std::unique_ptr<Life>> alive;
    int lives = 0;
};

}  // namespace

void checkInstances(Context& context, Result& result) {
    int made = 0;
    const std::vector<uint32_t> seeds = context.trialSeeds("instances");
    for (const uint32_t seed : seeds) {
        InstanceTrial trial(context, result, seed);
        trial.run();
        made += trial.made;
    }
    result.summary(std::to_string(made) + " instances in " + trials(seeds.size()) + ", up to " +
                   std::to_string(kBurst) + " alive at once: each as a lone instance");
}

void checkAutomation(Context& context, Result& result) {
    const std::vector<uint32_t> seeds = context.trialSeeds("automation");
    const Layout& layout = context.known.layout;
    int replays = 0;
    for (const uint32_t seed : seeds) {
        Automaton automaton(context, result, seed, {});
        Random pick(seed ^ 0xA5A5A5A5u);
        const auto type = static_cast<int16_t>(pick.between(layout.lowestType, layout.highestType));
        if (!automaton.start(type)) continue;
        bool ok = true;
        for (int step = 0; ok && step < kAutomationSteps; ++step)
            ok = automaton.step();
        if (ok) automaton.finish();
        replays += automaton.replays();
    }
    result.summary(trials(seeds.size()) + " of " + std::to_string(kAutomationSteps) +
                   " steps: statuses, ProcessChanged and Idle as the rules say, " +
                   std::to_string(replays) + " stretches of kernel output as fresh instances give");
}

void checkSoak(Context& context, Result& result) {
    const double seconds = context.options.soakSeconds;
    if (seconds <= 0) {
        result.skip("runs with --soak SECONDS");
        return;
    }
    using Clock = std::chrono::steady_clock;
    const Layout& layout = context.known.layout;
    const uint32_t seed = context.trialSeeds("soak").front();
    std::vector<std::unique_ptr<Automaton>> bodies;
    for (int32_t type = layout.lowestType; type <= layout.highestType; ++type) {
        Automaton::Settings settings;
        settings.typeChanges = false;
        settings.replay = false;
        settings.soak = true;
        bodies.push_back(std::make_unique<Automaton>(context, result,
                                                     seed + static_cast<uint32_t>(type), settings));
        if (!bodies.back()->start(static_cast<int16_t>(type))) return;
    }

    // Memory is measured once everything has reached its working size.
    const auto begin = Clock::now();
    const auto settled = begin + std::chrono::duration<double>(std::min(1.0, seconds / 10));
    const auto deadline = begin + std::chrono::duration<double>(seconds);
    int64_t baseline = 0;
    int64_t highest = 0;
    for (int64_t round = 0; round % 64 != 0 || Clock::now() < deadline; ++round) {
        for (auto& body : bodies) {
            if (!body->step()) return;
        }
        if (round % 64 != 0) continue;
        if (baseline == 0 && Clock::now() >= settled) baseline = memoryInUse().bytes;
        if (baseline != 0) highest = std::max(highest, memoryInUse().bytes);
    }
    if (baseline == 0) baseline = memoryInUse().bytes;
    highest = std::max(highest, memoryInUse().bytes);
    int64_t frames = 0;
    for (const auto& body : bodies)
        frames += body->frames();

    // At these block rates a leak of a few bytes per block passes this in seconds.
    const int64_t allowed = 1 << 20;
    char text[160];
    std::snprintf(text, sizeof text, "%zu instances, %.1f M frames in %.0f s, %s %.1f -> %.1f MiB",
                  bodies.size(), static_cast<double>(frames) / 1e6, seconds, memoryInUse().what,
                  static_cast<double>(baseline) / 1048576.0,
                  static_cast<double>(highest) / 1048576.0);
    result.summary(text);
    if (highest - baseline > allowed) result.fail(std::string("memory grew: ") + text);
}

}  // namespace velmora::validate
