// Channels in lanes: nanoseconds per channel-sample of every body through
// BodyFilter::processChannels, as the plugin, the tool and the Python package
// call it, at 1, 2, 6, 8, 16 and 32 channels (or clips as rows), each call
// 2^18 frames of every channel on a steady body; beside one channel and the
// floor (one two-pole recurrence alone). The tables and the targets follow
// Google Benchmark's own output, from the least processor time of each case
// over its repetitions.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "body_filter.h"
#include "body_list.h"
#include "floor.h"
#include "kernel_paths.h"
#include "least_time.h"
#include "noise.h"

namespace {

constexpr int32_t kFrames = 1 << 18;
constexpr int kCounts[] = {1, 2, 6, 8, 16, 32};

void channelsCase(benchmark::State& state, int type, int count) {
    const std::vector<float> input = noise(static_cast<std::size_t>(count) * kFrames);
    std::vector<float> output(input.size());
    std::vector<velmora::BodyFilter> filters(static_cast<std::size_t>(count));
    std::vector<const float*> in;
    std::vector<float*> out;
    for (int c = 0; c < count; ++c) {
        filters[static_cast<std::size_t>(c)].open(type);
        in.push_back(input.data() + static_cast<std::size_t>(c) * kFrames);
        out.push_back(output.data() + static_cast<std::size_t>(c) * kFrames);
    }
    for (auto _ : state) {
        velmora::BodyFilter::processChannels(filters, type, in.data(), out.data(), kFrames);
        benchmark::ClobberMemory();
    }
    state.counters["channels"] = count;
}

void floorCase(benchmark::State& state) {
    const std::vector<float> input = noise(kFrames);
    std::vector<float> output(input.size());
    double history[2] = {0, 0};
    for (auto _ : state) {
        oneResonator(input.data(), output.data(), kFrames, history);
        benchmark::ClobberMemory();
    }
    state.counters["channels"] = 1;
}

std::string caseName(int type, int count) {
    return "channels/" + std::to_string(type) + "/" + std::to_string(count);
}

// A case's least time per channel-sample, or NAN where it did not run.
double at(const LeastTimeReporter& r, const std::string& name) {
    const auto it = r.nsPerSample.find(name);
    return it == r.nsPerSample.end() ? NAN : it->second;
}

void printTables(const LeastTimeReporter& r) {
    const double floor = at(r, "floor");
    std::printf(
        "\nChannels in lanes on the %s path, %d frames a call: ns per channel-sample with one "
        "channel (on the %s path, as the module runs it), then x one channel at each count. The "
        "floor is %.3f ns.\n\n| body | 1 channel | x the floor |",
        velmora::chosenChannelPath().name, kFrames, velmora::chosenKernelPath().name, floor);
    for (int count : kCounts)
        if (count > 1) std::printf(" %d |", count);
    std::printf(" 8, x the floor |\n|---|---:|---:|");
    for (int count : kCounts)
        if (count > 1) std::printf("---:|");
    std::printf("---:|\n");
    for (int type = 0; type < velmora::kTypeCount; ++type) {
        const double one = at(r, caseName(type, 1));
        const std::string name(velmora::kBodyNames[static_cast<std::size_t>(type)].name);
        std::printf("| %s | %.3f | %.2f |", name.c_str(), one, one / floor);
        for (int count : kCounts)
            if (count > 1) std::printf(" %.2f |", at(r, caseName(type, count)) / one);
        std::printf(" %.2f |\n", at(r, caseName(type, 8)) / floor);
    }

    struct Target {
        int count;
        double most;
    };
    std::printf("\nTargets, x one channel (Violin I, Contrabass, Oboe II, Sympathetic):\n");
    for (const Target t : {Target{2, 0.85}, Target{8, 0.45}, Target{32, 0.45}}) {
        double worst = 0;  // NAN where a case did not run: not judged
        for (int type : {1, 11, 13, 16}) {
            const double ratio = at(r, caseName(type, t.count)) / at(r, caseName(type, 1));
            worst = std::isnan(ratio) || std::isnan(worst) ? NAN : std::max(worst, ratio);
        }
        if (std::isnan(worst)) {
            std::printf("  %2d channels at most %.2fx: not measured\n", t.count, t.most);
        } else {
            std::printf("  %2d channels at most %.2fx: worst %.2fx, %s\n", t.count, t.most, worst,
                        worst <= t.most ? "met" : "MISSED");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto least = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    benchmark::RegisterBenchmark("floor", floorCase)
        ->Unit(benchmark::kMillisecond)
        ->ComputeStatistics("min", least);
    for (int type = 0; type < velmora::kTypeCount; ++type) {
        for (int count : kCounts) {
            benchmark::RegisterBenchmark(caseName(type, count).c_str(), channelsCase, type, count)
                ->Unit(benchmark::kMillisecond)
                ->ComputeStatistics("min", least);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    LeastTimeReporter reporter(
        [](const auto& run) { return run.counters.at("channels") * double{kFrames}; });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTables(reporter);
    benchmark::Shutdown();
    return 0;
}
