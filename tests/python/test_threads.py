"""The interpreter lock is released while filtering, and no rate is warned about."""

import threading
import time
import warnings

import numpy as np

import velmora


def longest_pause_of_another_thread(work):
    """The longest time a spinning Python thread went without running while
    `work` ran, and how long `work` took."""
    stamps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.02)
    start = time.perf_counter()
    work()
    end = time.perf_counter()
    stop.set()
    spinner.join()
    inside = [start] + [t for t in stamps if start < t < end] + [end]
    return float(np.diff(inside).max()), end - start


def test_another_thread_keeps_running_while_a_long_array_is_filtered():
    audio = np.random.default_rng(1).uniform(-1, 1, (4, 2_500_000)).astype(np.float32)
    body = velmora.Body("sympathetic")
    # Held, the lock would stop the other thread for the whole call; a busy
    # machine can stop it for a while too, so the best of three counts.
    results = [longest_pause_of_another_thread(lambda: body(audio, 44000)) for _ in range(3)]
    assert min(pause / duration for pause, duration in results) < 0.5, results


def test_no_rate_is_warned_about():
    signal = np.zeros(16, dtype=np.float32)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        body = velmora.Body("cello1")
        body(signal, 48000)
        velmora.Body("cello1", tuning="fixed").frequency_response([100.0], 96000)
    assert caught == []
