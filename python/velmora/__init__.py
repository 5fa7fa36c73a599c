"""Velmora's instrument bodies for numpy audio.

A body is a fixed cascade of resonators that gives a signal the resonances
of an instrument's body: violins, violas, viols, cellos, bass, contrabass,
oboes, cors anglais, a "Sympathetic" bank of nine narrow resonances, and a
plain DC-blocking pass filter. The filtering is the same code as the
Velmora module's and gives the same bits.

    >>> import numpy as np
    >>> import velmora
    >>> cello = velmora.Body("cello1")
    >>> audio = np.random.default_rng(1).uniform(-0.5, 0.5, (2, 44000))
    >>> wet = cello(audio, 44000)          # float32, shape (2, 44000)

Each body sounds at any sample rate as it does at 44000 Hz, where it was
tuned: at each call's rate the body plays a design of its own for that rate
(tuning="true", the default). tuning="fixed" plays the module's coefficients
as they are, whose resonances move with the rate.
"""

import math
import numbers
import operator

import numpy as np

from . import _kernels

__all__ = ["Body", "bodies", "TUNED_RATE"]

#: The sample rate, in Hz, at which the bodies' resonances are tuned.
TUNED_RATE = 44000

#: The tunings a Body takes, by name.
_TUNINGS = {"true": 0, "fixed": 1}


def bodies():
    """Every body as a (number, name) pair, in order of number.

    Number 0 is the plain pass filter; 1 to 16 are the instrument bodies, as
    the Velmora module's "Type" input lists them. Either the number or the
    name can be given to Body().
    """
    return _kernels.bodies()


class Body:
    """One instrument body: a filter for numpy audio.

    Body(body, tuning="true") takes the body's number (0 to 16, see bodies()) or its name,
    matched loosely: case, spaces and punctuation do not matter, Roman and
    Arabic numerals are the same and an unambiguous beginning is enough, so
    "cello1", "Cello I" and 8 are the same body, as are "cor-anglais-2" and
    15; "pass" and 0 are the plain pass filter. A name that fits no body, or
    several, is a ValueError that lists the choices.

    Tuning: "true" (the default) plays the body at each call's sample rate
    as it sounds at 44000 Hz, where it was tuned: the same resonances at the
    same frequencies, from 8 to 384 kHz, with no latency (at exactly 44000 Hz
    it is the module's own filter, bit for bit). "fixed" plays the module's
    coefficients as they are at any rate, so every resonance moves with the
    rate (+9 % at 48000 Hz), bit for bit what the module gives.

    Whole signals: body(audio, sample_rate) filters `audio`, of shape
    (frames,) or (channels, frames), each channel from a clear state, and
    returns a new float32 array of the same shape: a batch of equally long
    clips given as rows comes back with each clip filtered on its own. Other
    real dtypes are converted to float32 first (integers by value, not
    rescaled); the input is never written.

    Streams: body.process(chunk, sample_rate) filters a signal that arrives
    in pieces, each channel keeping its history from call to call, so that a
    signal cut anywhere gives the same bits as one call; reset() starts over.
    A stream keeps the rate of its first chunk.
    Setting body.body on a stream plays the new body from the next sample
    on, with each channel's history kept and its first sample softened to
    a quarter, as the module does when its body changes.

    The interpreter lock is released while filtering, so threads filtering
    different arrays run in parallel. A Body is safe to use from one thread
    at a time. Whole-signal calls keep nothing in the Body and may come from
    several threads at once; calls on a stream from several threads are
    taken one after another and never damage it, but its chunks then go in
    whatever order the threads reach it: give each stream its own Body.

    A Body pickles with its body and, mid-stream, its history: a copy
    restored elsewhere (another process, a multiprocessing, Dask or Ray
    worker) continues the stream with the same bits.
    """

    def __init__(self, body, tuning="true"):
        self._number = _number_of(body)
        self._tuning = _tuning_of(tuning)
        self._stream = None  # _kernels.Channels while a stream runs

    @property
    def body(self):
        """The body's number, 0 to 16. Set it to a number or a name.

        Mid-stream, a new body keeps each channel's history and softens its
        next sample; setting the body it already plays changes nothing.
        """
        return self._number

    @body.setter
    def body(self, body):
        number = _number_of(body)
        if number == self._number:
            return
        self._number = number
        if self._stream is not None:
            self._stream.change_body(number)

    @property
    def name(self):
        """The body's name, as the module spells it ("Cello I")."""
        return _NAMES[self._number]

    @property
    def channels(self):
        """How many channels the running stream has, or None between streams."""
        return None if self._stream is None else self._stream.count

    @property
    def tuning(self):
        """How the body is tuned: "true" or "fixed", as given to Body()."""
        return self._tuning

    def __repr__(self):
        tuning = "" if self._tuning == "true" else f", tuning={self._tuning!r}"
        return f"velmora.Body({self.name!r}{tuning})"

    def __call__(self, audio, sample_rate):
        """`audio` filtered as a whole: a new float32 array of its shape.

        audio: an array (or anything numpy turns into one) of real numbers,
        of shape (frames,) or (channels, frames). Each channel goes through
        the body on its own from a clear state. Complex, object and string
        arrays are a TypeError; other shapes a ValueError.

        sample_rate: in Hz. With tuning "true" the body is designed for it.

        The stream that process() carries is not touched.
        """
        signal, shape = _as_signal(audio)
        rate = _rate_of(sample_rate)
        return self._channels(signal.shape[0], rate).process(signal).reshape(shape)

    def process(self, chunk, sample_rate, reset=False):
        """The next chunk of a stream, filtered: a new float32 array of its shape.

        chunk: as for calling the Body, of shape (frames,) or (channels,
        frames). The first chunk sets the number of channels (a 1-D chunk is
        one channel); each channel keeps its history from chunk to chunk, so
        that the chunks together give the same bits as the whole signal
        through body(audio, sample_rate). A chunk with another number of
        channels is a ValueError until the stream is reset, and so is a
        chunk at another sample rate.

        reset: True starts a new stream with this chunk, as reset() does.
        """
        if reset:
            self.reset()
        signal, shape = _as_signal(chunk)
        rate = _rate_of(sample_rate)
        if self._stream is None:
            self._stream = self._channels(signal.shape[0], rate)
        elif self._stream.count != signal.shape[0]:
            raise ValueError(
                f"this stream has {_channel_count(self._stream.count)} and the chunk "
                f"{_channel_count(signal.shape[0])}; reset() starts a new stream"
            )
        elif self._stream.rate != rate:
            raise ValueError(
                f"this stream runs at {self._stream.rate:g} Hz and the chunk comes at "
                f"{rate:g} Hz; reset() starts a new stream"
            )
        return self._stream.process(signal).reshape(shape)

    def reset(self):
        """Ends the stream: the next process() starts afresh, from a clear state."""
        self._stream = None

    def impulse_response(self, frames, sample_rate):
        """The first `frames` samples of the body's response to a unit impulse.

        A float32 array of shape (frames,): the body from a clear state fed
        1.0 and then zeros at `sample_rate`, exactly what calling the Body on
        that signal gives.
        """
        frames = operator.index(frames)
        if frames < 0:
            raise ValueError(f"frames must be 0 or more; got {frames}")
        rate = _rate_of(sample_rate)
        impulse = np.zeros((1, frames), dtype=np.float32)
        impulse[:, :1] = 1.0
        return self._channels(1, rate).process(impulse).reshape(frames)

    def frequency_response(self, frequencies, sample_rate):
        """The body's complex gain at each of `frequencies` (in Hz).

        A complex128 array of the shape of `frequencies`: the gain and phase
        the body gives a steady sine of that frequency at `sample_rate`, with
        the Body's tuning, worked out from the coefficients that play
        (abs() for the magnitude, np.angle() for the phase). Frequencies above
        half the rate alias as sampled sines do.
        """
        rate = _rate_of(sample_rate)
        values = np.asarray(frequencies)
        if values.dtype.kind not in "iuf":
            raise TypeError(f"frequencies must be real numbers in Hz; got {_describe(values)}")
        cycles = np.ascontiguousarray(values, dtype=np.float64) / rate
        return _kernels.frequency_response(self._number, cycles, rate, _TUNINGS[self._tuning])

    def __getstate__(self):
        return {
            "body": self._number,
            "tuning": self._tuning,
            "stream": None if self._stream is None else self._stream.state(),
        }

    def __setstate__(self, state):
        self._number = _number_of(state["body"])
        self._tuning = _tuning_of(state.get("tuning", "fixed"))
        stream = state["stream"]
        self._stream = None if stream is None else _kernels.Channels.from_state(stream)

    def _channels(self, count, rate):
        return _kernels.Channels(self._number, count, rate, _TUNINGS[self._tuning])


_NAMES = dict(_kernels.bodies())


def _number_of(body):
    """The number of the body `body` names: a number or a name."""
    if isinstance(body, str):
        return _kernels.find_body(body)
    if isinstance(body, (bool, np.bool_)):
        raise TypeError(f"body must be a number or a name such as 'Cello I'; got {body!r}")
    try:
        number = operator.index(body)
    except TypeError:
        raise TypeError(
            f"body must be a number or a name such as 'Cello I'; got {type(body).__name__}"
        ) from None
    return _kernels.find_body(str(number))


def _tuning_of(tuning):
    if not isinstance(tuning, str) or tuning not in _TUNINGS:
        raise ValueError(f"tuning must be 'true' or 'fixed'; got {tuning!r}")
    return tuning


def _rate_of(sample_rate):
    """The sample rate as a float."""
    if isinstance(sample_rate, (bool, np.bool_)) or not isinstance(sample_rate, numbers.Real):
        raise TypeError(f"sample_rate must be a number of frames per second; got {sample_rate!r}")
    rate = float(sample_rate)
    if not (math.isfinite(rate) and rate > 0):
        raise ValueError(f"sample_rate must be a positive number of Hz; got {sample_rate!r}")
    return rate


def _as_signal(audio):
    """`audio` as float32 rows of channels, and the shape to give the result."""
    array = np.asarray(audio)
    if array.dtype.kind == "c":
        raise TypeError(
            "audio must be real; got complex samples (filter the real and imaginary "
            "parts one at a time)"
        )
    if array.dtype.kind not in "iuf":
        raise TypeError(
            f"audio must be an array of real numbers (float32, or any float or integer "
            f"type to be converted to float32); got {_describe(array)}"
        )
    if array.ndim not in (1, 2):
        raise ValueError(
            f"audio must have the shape (frames,) or (channels, frames); got the shape "
            f"{array.shape}"
        )
    if array.dtype != np.float32:
        array = array.astype(np.float32)
    return (array if array.ndim == 2 else array[np.newaxis, :]), array.shape


def _describe(array):
    return f"an array of {array.dtype}" if array.dtype.kind != "O" else "an array of objects"


def _channel_count(count):
    return f"{count} channel" + ("" if count == 1 else "s")
