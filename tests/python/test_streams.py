"""Streams: history carried between chunks, reset, and a Body pickled
mid-stream continuing elsewhere with the same bits."""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

import velmora
from conftest import assert_same_bits, noise


def test_a_stream_starts_from_its_first_chunk_and_resets():
    signal = noise((2, 3000), seed=5)
    body = velmora.Body("viola2")
    whole = body(signal, 44000)
    assert body.channels is None
    first = body.process(signal[:, :1000], 44000)
    assert body.channels == 2
    # A whole-signal call in between leaves the stream alone.
    body(noise((2, 500), seed=6), 44000)
    rest = body.process(signal[:, 1000:], 44000)
    assert_same_bits(np.concatenate([first, rest], axis=1), whole)

    assert_same_bits(body.process(signal, 44000, reset=True), whole)
    body.reset()
    assert body.channels is None
    assert_same_bits(body.process(signal[0], 44000), whole[0])
    assert body.process(signal[:1, :0], 44000).shape == (1, 0)


def test_a_chunk_with_other_channels_is_refused_until_reset():
    body = velmora.Body("bass")
    body.process(np.zeros((2, 10), dtype=np.float32), 44000)
    with pytest.raises(ValueError, match="this stream has 2 channels and the chunk 1 channel"):
        body.process(np.zeros(10, dtype=np.float32), 44000)
    assert body.process(np.zeros(10, dtype=np.float32), 44000, reset=True).shape == (10,)


def test_setting_the_body_it_plays_changes_nothing():
    signal = noise(2000, seed=9)
    body = velmora.Body("oboe2")
    first = body.process(signal[:700], 44000)
    body.body = "Oboe II"
    body.body = 13
    rest = body.process(signal[700:], 44000)
    assert_same_bits(np.concatenate([first, rest]), velmora.Body(13)(signal, 44000))


def continue_stream(body, rest):
    """In a worker: the rest of the stream through the Body it was sent."""
    return body.name, body.process(rest, 44000)


def test_a_pickled_stream_continues_in_a_worker_with_the_same_bits():
    signal = noise((2, 6000), seed=13)
    body = velmora.Body("sympathetic")
    head = body.process(signal[:, :2500], 44000)
    body.body = "cor anglais 1"  # a softened first sample still to come
    expected = copy.deepcopy(body).process(signal[:, 2500:], 44000)

    with multiprocessing.get_context("spawn").Pool(1) as pool:
        name, tail = pool.apply(continue_stream, (body, signal[:, 2500:]))
    assert name == "Cor Anglais I"
    assert_same_bits(tail, expected)
    # The original, untouched by the pickling, continues the same way.
    assert_same_bits(body.process(signal[:, 2500:], 44000), expected)
    assert not np.array_equal(head[:, -5:], 0)


def test_copies_and_restored_bodies_stream_on_their_own():
    signal = noise(3000, seed=17)
    body = velmora.Body("viol1")
    body.process(signal[:1000], 44000)
    twin = copy.copy(body)
    again = pickle.loads(pickle.dumps(body))
    first = twin.process(signal[1000:], 44000)
    assert_same_bits(again.process(signal[1000:], 44000), first)
    assert_same_bits(body.process(signal[1000:], 44000), first)
    fresh = pickle.loads(pickle.dumps(velmora.Body(6)))
    assert fresh.channels is None and fresh.body == 6


def crafted_states():
    """States a pickle may carry that no Body gave, each with what is wrong."""
    body = velmora.Body("cello1")
    body.process(noise((2, 100), seed=3), 44000)
    good = body.__getstate__()
    history, flag, seen = good["stream"][1][0]
    channel = lambda **change: ({"history": history, "flag": flag, "seen": seen} | change).values()
    stream = lambda *channels: {"body": 8, "stream": (8, tuple(tuple(c) for c in channels))}
    return {
        "another body's stream": {"body": 1, "stream": good["stream"]},
        "not a dict": [8, None],
        "a key missing": {"body": 8},
        "no such body": {"body": 17, "stream": None},
        "a body by name": {"body": "8", "stream": None},
        "a stream of another shape": {"body": 8, "stream": (8,)},
        "channels not a tuple": {"body": 8, "stream": (8, "channels")},
        "a channel not a triple": stream((history, flag)),
        "a short history": stream(channel(history=history[:19])),
        "a history with a NaN": stream(channel(history=(float("nan"),) + history[1:])),
        "a history of strings": stream(channel(history=("0",) * 20)),
        "a flag that is not a bool": stream(channel(flag=1)),
        "a channel on another body": stream(channel(seen=9)),
    }


@pytest.mark.parametrize("what", list(crafted_states()))
def test_a_crafted_state_is_a_value_error(what):
    state = crafted_states()[what]
    with pytest.raises(ValueError, match="not the state of a pickled velmora.Body"):
        pickle.loads(pickle.dumps(velmora.Body(8))).__setstate__(state)
