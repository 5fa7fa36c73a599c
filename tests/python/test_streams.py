"""Streams: history carried between chunks, reset, and a Body pickled
mid-stream continuing elsewhere with the same bits."""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

import velmora
from conftest import assert_same_bits, noise

BODIES = range(17)


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
    body.process(signal[:, :2000], 44000)
    body.body = "cor anglais 1"
    head = body.process(signal[:, 2000:2500], 44000)  # halfway through the fade
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
    history, seen, fading_history, fading, remaining, played = good["stream"][1][0]
    fields = dict(history=history, seen=seen, fading_history=fading_history, fading=fading,
                  remaining=remaining, played=played)
    channel = lambda **change: (fields | change).values()
    stream = lambda *channels: {"body": 8, "stream": (8, tuple(tuple(c) for c in channels))}
    return {
        "another body's stream": {"body": 1, "stream": good["stream"]},
        "not a dict": [8, None],
        "a key missing": {"body": 8},
        "no such body": {"body": 17, "stream": None},
        "a body by name": {"body": "8", "stream": None},
        "a stream of another shape": {"body": 8, "stream": (8,)},
        "channels not a tuple": {"body": 8, "stream": (8, "channels")},
        "a channel of another length": stream((history, seen)),
        "a short history": stream(channel(history=history[:19])),
        "a history with a NaN": stream(channel(history=(float("nan"),) + history[1:])),
        "a history of strings": stream(channel(history=("0",) * 20)),
        "a played mark that is not a bool": stream(channel(played=1)),
        "a channel on no body": stream(channel(seen=99)),
        "a fading history with an infinity": stream(channel(fading_history=(float("inf"),) * 20)),
        "a fade longer than a fade": stream(channel(remaining=1025)),
    }


@pytest.mark.parametrize("what", list(crafted_states()))
def test_a_crafted_state_is_a_value_error(what):
    state = crafted_states()[what]
    with pytest.raises(ValueError, match="not the state of a pickled velmora.Body"):
        pickle.loads(pickle.dumps(velmora.Body(8))).__setstate__(state)


def test_a_stream_pickled_before_changes_of_body_faded_still_loads():
    # Then a channel's state was its history, a flag and its body.
    signal = noise(3000, seed=19)
    body = velmora.Body("cello2")
    body.process(signal[:1000], 44000)
    state = body.__getstate__()
    number, channels = state["stream"][:2]
    history, playing, _, _, fade_remaining, _ = channels[0]
    assert fade_remaining == 0
    old = velmora.Body(1)
    old.__setstate__({"body": 9, "stream": (number, ((history, False, playing),))})
    assert_same_bits(old.process(signal[1000:], 44000), body.process(signal[1000:], 44000))


FADE = 1024


def play_with_changes(bodies, every, signal, start=0):
    """`signal` as a stream on bodies[0], then each next body `every` frames
    from `start` on."""
    stream = velmora.Body(bodies[0])
    cuts = [0] + [start + every * k for k in range(len(bodies) - 1)] + [signal.shape[-1]]
    out = []
    for body, (a, b) in zip(bodies, zip(cuts, cuts[1:])):
        stream.body = body
        out.append(stream.process(signal[..., a:b], 44000))
    return np.concatenate(out, axis=-1)


def test_a_change_of_body_fades_within_the_two_bodies_own_levels():
    # Every ordered pair after a stretch of noise: during the fade each sample
    # lies between the old body's own and the new body's own from a clear
    # state at the change; afterwards it is the new body's, bit for bit.
    change = 4096
    signal = noise(change + 2 * FADE, seed=23)
    whole = [velmora.Body(b)(signal, 44000) for b in BODIES]
    fresh = [velmora.Body(b)(signal[change:], 44000) for b in BODIES]
    for old in BODIES:
        for new in BODIES:
            if old == new:
                continue
            out = play_with_changes([old, new], 0, signal, start=change)
            fade = slice(change, change + FADE)
            bound = np.maximum(np.abs(whole[old][fade]), np.abs(fresh[new][:FADE]))
            assert np.all(np.abs(out[fade]) <= bound), (old, new)
            assert_same_bits(out[change + FADE :], fresh[new][FADE:])


def test_a_new_body_every_64_frames_stays_within_the_bodies_levels():
    signal = noise((2, 4096 + 64 * 150 + 2 * FADE), seed=29)
    bodies = [k * 7 % 17 for k in range(151)]
    loudest = max(np.abs(velmora.Body(b)(signal, 44000)).max() for b in BODIES)
    out = play_with_changes(bodies, 64, signal, start=4096)
    assert np.abs(out).max() <= loudest
    last_change = 4096 + 64 * 149
    fresh = velmora.Body(bodies[-1])(signal[:, last_change:], 44000)
    assert_same_bits(out[:, last_change + FADE :], fresh[:, FADE:])


def test_a_fade_in_chunks_gives_the_bits_of_one_call():
    # A fade, and a change in the middle of it, in chunks of 333 frames.
    signal = noise(5000, seed=31)
    whole = play_with_changes([16, 0, 12], 700, signal, start=2000)
    cuts = sorted(set(range(0, 5000, 333)) | {2000, 2700, 5000})
    stream = velmora.Body(16)
    chunks = []
    for a, b in zip(cuts, cuts[1:]):
        stream.body = 16 if a < 2000 else 0 if a < 2700 else 12
        chunks.append(stream.process(signal[a:b], 44000))
    assert_same_bits(np.concatenate(chunks), whole)


def play_in_chunks(rows, chunks):
    """`rows` (frames,) or (channels, frames) at 48000 Hz as a stream through
    each (body, start) of `chunks` from its start on."""
    stream = velmora.Body(chunks[0][0])
    out = []
    for (body, start), (_, end) in zip(chunks, chunks[1:] + [(None, rows.shape[-1])]):
        stream.body = body
        out.append(stream.process(rows[..., start:end], 48000, channels_last=False))
    return np.concatenate(out, axis=-1)


@pytest.mark.parametrize("rows", [1, 2, 3, 8, 33, 65])
def test_every_row_of_a_batch_gives_the_bits_of_that_row_alone(rows):
    # Rows are filtered side by side; no row's samples, fade or odd length
    # may reach another. Changes at odd frames, the last in the middle of
    # the fade before it; layouts that are gathered first go the same way.
    signal = noise((rows, 3001), seed=40 + rows)
    chunks = [(11, 0), (16, 37), (13, 1100), (1, 1801)]
    batch = play_in_chunks(signal, chunks)
    assert_same_bits(play_in_chunks(np.asfortranarray(signal), chunks), batch)
    whole = velmora.Body(11)(np.asfortranarray(signal), 48000, channels_last=False)
    for row in range(rows):
        assert_same_bits(batch[row], play_in_chunks(signal[row], chunks))
        assert_same_bits(whole[row], velmora.Body(11)(signal[row], 48000))


def test_channels_restored_from_different_moments_each_continue_alone():
    # A stream whose channels were pickled at different points of a fade.
    signal = noise((2, 4000), seed=51)
    early, late = velmora.Body(3), velmora.Body(3)
    for body, cut in ((early, 500), (late, 900)):
        body.process(signal[:, :300], 44000)
        body.body = 12
        body.process(signal[:, 300:cut], 44000)
    state = early.__getstate__()
    channels = (state["stream"][1][0], late.__getstate__()["stream"][1][1])
    mixed = velmora.Body(12)
    mixed.__setstate__(state | {"stream": state["stream"][:1] + (channels,) + state["stream"][2:]})
    out = mixed.process(signal[:, 2000:], 44000)
    assert_same_bits(out[0], early.process(signal[:, 2000:], 44000)[0])
    assert_same_bits(out[1], late.process(signal[:, 2000:], 44000)[1])
