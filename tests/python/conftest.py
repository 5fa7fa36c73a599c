"""Shared pieces of the Python package's tests.

CTest runs them with the package and the reference host (a small extension
driving the built Module.so) on PYTHONPATH, and names the module library and
the velmora tool in VELMORA_MODULE and VELMORA_TOOL.
"""

import os

import numpy as np
import pytest

import reference_host


def bits(array):
    """The samples' bit patterns, so that comparisons are exact (NaN included)."""
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32)


def assert_same_bits(actual, expected):
    assert actual.dtype == np.float32
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def noise(shape, seed=1, level=0.5):
    """Uniform noise in float32, with a few loud samples among it."""
    rng = np.random.default_rng(seed)
    signal = rng.uniform(-level, level, shape).astype(np.float32)
    flat = signal.reshape(-1)
    flat[rng.integers(0, flat.size, max(1, flat.size // 500))] *= 40
    return signal


@pytest.fixture(scope="session")
def module_library():
    return reference_host.load(os.environ["VELMORA_MODULE"])


@pytest.fixture(scope="session")
def tool():
    return os.environ["VELMORA_TOOL"]


@pytest.fixture(scope="session")
def reference(module_library):
    """reference(body, channels, block_frames=512): `channels` (rows) through
    Module.so, each on an instance of its own, as the reference host plays them."""

    def render(body, channels, block_frames=512):
        rows = np.atleast_2d(channels)
        out = np.stack(
            [reference_host.Channel(module_library, body, block_frames).process(row) for row in rows]
        )
        return out.reshape(np.shape(channels))

    return render
