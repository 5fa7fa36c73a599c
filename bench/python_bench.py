"""Samples per second of the Python package's Body(...)(audio) on a minute of
stereo at 44000 Hz, against the native kernels doing the same work
(channels_bench), both measured in one run; the difference is what the
binding costs. Then, through the package alone, what a channel-sample costs
when 1, 2, 8 or 32 rows (channels, or clips of a batch) go in one call,
against one channel alone.

    PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py build/native

`./build.sh bench` runs it after the kernel benchmark. Both sides count the
CPU time of the thread that filters, and each figure is the best of several
runs, so that whatever else the machine does disturbs them little.
"""

import json
import subprocess
import sys
import time

import numpy as np

import velmora

FRAMES = 60 * 44000
CHANNELS = 2
PYTHON_RUNS = 12  # as many as channels_bench's repetitions
ROUNDS = 3  # native and Python in turn, so that both meet the machine alike
ROW_FRAMES = 2**18
ROW_COUNTS = (1, 2, 8, 32)


def native_rate(build, number):
    """Samples per CPU second of channels_bench for one body: best repetition."""
    result = subprocess.run(
        [f"{build}/channels_bench", "--benchmark_format=json",
         f"--benchmark_filter=^stereo60s/{number}/"],
        check=True, capture_output=True, text=True,
    )
    runs = json.loads(result.stdout)["benchmarks"]
    return max(run["samples/s"] for run in runs if run.get("run_type") == "iteration")


def best_time(work):
    """CPU seconds of this thread for work(): the best of several calls."""
    best = float("inf")
    for _ in range(PYTHON_RUNS):
        start = time.thread_time()
        work()
        best = min(best, time.thread_time() - start)
    return best


def python_rate(body, audio):
    """Samples per CPU second of body(audio, 44000)."""
    return audio.size / best_time(lambda: body(audio, 44000))


def ns_per_sample(work, audio):
    """CPU nanoseconds per sample of `audio` that work() takes."""
    return 1e9 * best_time(work) / audio.size


def rows_table():
    """Per channel-sample cost with many rows in one call, against one row."""
    audio = np.random.default_rng(2).uniform(-0.5, 0.5, (max(ROW_COUNTS), ROW_FRAMES))
    audio = audio.astype(np.float32)
    print(f"\nRows of {ROW_FRAMES} frames in one call: ns per channel-sample, best runs "
          f"(x: against 1 row)")
    print(f"{'body':<16} " + " ".join(f"{f'{rows} rows':>13}" for rows in ROW_COUNTS))
    for number, name in velmora.bodies():
        body = velmora.Body(number)
        cost = {rows: float("inf") for rows in ROW_COUNTS}
        for _ in range(ROUNDS):
            for rows in ROW_COUNTS:
                clips = audio[:rows]
                cost[rows] = min(cost[rows], ns_per_sample(lambda: body(clips, 44000), clips))
        cells = [f"{cost[rows]:6.2f} {cost[rows] / cost[1]:5.2f}x" for rows in ROW_COUNTS]
        print(f"{number:2} {name:<13} " + " ".join(cells))
    # Part of each figure is the first touch of the new output array, whose
    # pages the system hands over as they are first written.
    print(f"{'first touch':<16} ", end="")
    for rows in ROW_COUNTS:
        clips = audio[:rows]
        print(f"{ns_per_sample(lambda: np.empty_like(clips).fill(1.0), clips):13.2f}", end=" ")
    print()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/native"
    audio = np.random.default_rng(1).uniform(-0.5, 0.5, (CHANNELS, FRAMES)).astype(np.float32)
    print(f"A minute of stereo at 44000 Hz ({audio.size} samples), Msamples/s, best runs")
    print(f"{'body':<16} {'native':>8} {'Python':>8} {'binding cost':>13}")
    costs = []
    for number, name in velmora.bodies():
        theirs = ours = 0.0
        for _ in range(ROUNDS):
            theirs = max(theirs, native_rate(build, number))
            ours = max(ours, python_rate(velmora.Body(number), audio))
        cost = theirs / ours - 1
        costs.append(cost)
        print(f"{number:2} {name:<13} {theirs / 1e6:8.1f} {ours / 1e6:8.1f} {100 * cost:+12.1f}%")
    print(f"binding cost: median {100 * np.median(costs):+.1f}%, largest {100 * max(costs):+.1f}%")
    rows_table()


if __name__ == "__main__":
    main()
