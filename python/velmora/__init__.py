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

import concurrent.futures
import math
import numbers
import operator
import os

import numpy as np

from . import _kernels

__all__ = ["Body", "bodies", "process_file", "process_files", "TUNED_RATE"]

#: The sample rate, in Hz, at which the bodies' resonances are tuned.
TUNED_RATE = 44000

#: The tunings a Body takes, by name.
_TUNINGS = {"true": 0, "fixed": 1}

# Frames that process_file() reads, filters and writes at a time.
_FILE_BLOCK_FRAMES = 65536


def bodies():
    """Every body as a (number, name) pair, in order of number.

    Number 0 is the plain pass filter; 1 to 16 are the instrument bodies, as
    the Velmora module's "Type" input lists them. Either the number or the
    name can be given to Body().
    """
    return _kernels.bodies()


def process_file(src, dst, body, *, tuning="true", subtype=None):
    """Plays the sound file `src` through `body` into `dst`; returns `dst`.

    The file streams through in blocks, so one of any length takes little
    memory. Every channel plays through the body from a clear state: the
    bits of calling a Body on the whole file at once, and for a float file
    those of `velmora render --float`. Reading and writing go through
    soundfile (Debian's python3-soundfile).

    src, dst: paths. The extension of `dst` names its format (.wav, .flac,
    .ogg, ...; none: the format of `src`).
    body: a number, a name or a Body; of a Body only its number is used,
    its stream is not touched.
    tuning: "true" (the default), the body designed for the file's rate, or
    "fixed", the module's coefficients, as for Body().
    subtype: soundfile's name of the sample type to write ("PCM_16",
    "FLOAT", ...). By default the input's, where the format holds it, else
    the format's default. Integer samples clip at full scale.

    The output keeps the input's sample rate and channels.
    """
    import soundfile

    tuning = _tuning_of(tuning)
    number = body.body if isinstance(body, Body) else _number_of(body)
    with soundfile.SoundFile(src) as source:
        extension = os.path.splitext(os.fspath(dst))[1][1:].upper()
        file_format = {"AIF": "AIFF", "": source.format}.get(extension, extension)
        if file_format not in soundfile.available_formats():
            raise ValueError(
                f"{os.fspath(dst)}: no sound file format goes by the extension "
                f".{extension.lower()}; these do: "
                + ", ".join(f".{name.lower()}" for name in sorted(soundfile.available_formats()))
            )
        if subtype is None:
            subtype = (
                source.subtype
                if soundfile.check_format(file_format, source.subtype)
                else soundfile.default_subtype(file_format)
            )
        clips = subtype.startswith(("PCM", "ULAW", "ALAW", "ALAC"))
        stream = Body(number, tuning=tuning)
        with soundfile.SoundFile(
            dst,
            "w",
            samplerate=source.samplerate,
            channels=source.channels,
            format=file_format,
            subtype=subtype,
        ) as target:
            blocks = source.blocks(blocksize=_FILE_BLOCK_FRAMES, dtype="float32", always_2d=True)
            for block in blocks:
                out = stream.process(block, source.samplerate, channels_last=True)
                target.write(np.clip(out, -1.0, 1.0, out=out) if clips else out)
    return dst


def process_files(pairs, body, *, tuning="true", workers=None):
    """process_file() for every (src, dst) of `pairs`, several at a time.

    The files run on a pool of `workers` threads (by default Python's
    choice for the machine), which share the cores: filtering, reading and
    writing all release the interpreter lock. Answers the list of `dst`
    in the order of `pairs`; the first file that fails raises its error
    once the others are done.
    """
    pairs = [tuple(pair) for pair in pairs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(process_file, src, dst, body, tuning=tuning) for src, dst in pairs]
    return [future.result() for future in futures]


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
    rescaled); the input is never written. Audio as soundfile reads it,
    (frames, channels), takes channels_last=True and comes back the same
    way; a 2-D array with more channels than frames is refused unless
    channels_last says which way it lies.

    Streams: body.process(chunk, sample_rate) filters a signal that arrives
    in pieces, each channel keeping its history from call to call, so that a
    signal cut anywhere gives the same bits as one call; reset() starts over.
    A stream keeps the rate of its first chunk. Setting body.body on a stream crossfades each channel from the old body
    to the new one over the next 1024 frames, the new one starting from a
    clear state, as the module does when its body changes: afterwards the
    stream is the new body's alone, and no change, however fast, is louder
    than the two bodies' own output.

    The interpreter lock is released while filtering, so threads filtering
    different arrays run in parallel, and taken back every few milliseconds
    to look for signals: Ctrl-C interrupts a long call at once (a stream so
    interrupted is left partway; reset() it). A Body is safe to use from one thread
    at a time. Whole-signal calls keep nothing in the Body and may come from
    several threads at once; calls on a stream from several threads are
    taken one after another and never damage it, but its chunks then go in
    whatever order the threads reach it: give each stream its own Body.

    A Body pickles with its body and, mid-stream, its history (a change of
    body's crossfade in progress included): a copy
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

        Mid-stream, a new body crossfades in over the next 1024 frames from a
        clear state; setting the body it already plays changes nothing.
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

    def __call__(self, audio, sample_rate, *, channels_last=None):
        """`audio` filtered as a whole: a new float32 array of its shape.

        audio: an array (or anything numpy turns into one) of real numbers,
        of shape (frames,) or (channels, frames). Each channel goes through
        the body on its own from a clear state. Complex, object and string
        arrays are a TypeError; other shapes a ValueError.

        channels_last: None (the default) takes a 2-D array as (channels,
        frames) but refuses one with more channels than frames, which is
        far more likely (frames, channels) as soundfile gives it; True takes
        (frames, channels) and returns that shape; False takes (channels,
        frames) without asking.

        sample_rate: in Hz. With tuning "true" the body is designed for it.

        The stream that process() carries is not touched.
        """
        signal, shape, transposed = _as_signal(audio, channels_last)
        rate = _rate_of(sample_rate)
        out = self._channels(signal.shape[0], rate).process(signal)
        return out.T if transposed else out.reshape(shape)

    def process(self, chunk, sample_rate, reset=False, *, channels_last=None):
        """The next chunk of a stream, filtered: a new float32 array of its shape.

        chunk: as for calling the Body, of shape (frames,) or (channels,
        frames). The first chunk sets the number of channels (a 1-D chunk is
        one channel); each channel keeps its history from chunk to chunk, so
        that the chunks together give the same bits as the whole signal
        through body(audio, sample_rate). A chunk with another number of
        channels is a ValueError until the stream is reset, and so is a
        chunk at another sample rate.

        reset: True starts a new stream with this chunk, as reset() does.

        channels_last: as for calling the Body; a chunk with as many rows
        as the running stream has channels is taken as (channels, frames)
        however short.
        """
        if reset:
            self.reset()
        running = None if self._stream is None else self._stream.count
        signal, shape, transposed = _as_signal(chunk, channels_last, running)
        rate = _rate_of(sample_rate)
        if self._stream is None:
            self._stream = self._channels(signal.shape[0], rate)
        elif self._stream.count != signal.shape[0]:
            raise ValueError(
                f"this stream has {_channel_count(self._stream.count)} and the chunk "
                f"{_channel_count(signal.shape[0])}; reset() starts a new stream"
            )
        elif self._stream.rate != rate and self._stream.rate != 0:
            # 0: a stream pickled before streams kept their rate.
            raise ValueError(
                f"this stream runs at {self._stream.rate:g} Hz and the chunk comes at "
                f"{rate:g} Hz; reset() starts a new stream"
            )
        out = self._stream.process(signal)
        return out.T if transposed else out.reshape(shape)

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

        A complex128 array of the shape of `frequencies` (a single
        frequency gives a 0-d array): the gain and phase
        the body gives a steady sine of that frequency at `sample_rate`, with
        the Body's tuning, worked out from the coefficients that play (abs()
        for the magnitude, np.angle() for the phase). Frequencies above half
        the rate alias as sampled sines do.
        """
        rate = _rate_of(sample_rate)
        values = np.asarray(frequencies)
        if values.dtype.kind not in "iuf":
            raise TypeError(f"frequencies must be real numbers in Hz; got {_describe(values)}")
        cycles = np.ascontiguousarray(values, dtype=np.float64).reshape(-1) / rate
        tuning = _TUNINGS[self._tuning]
        return _kernels.frequency_response(self._number, cycles, rate, tuning).reshape(values.shape)

    def __getstate__(self):
        return {
            "body": self._number,
            "tuning": self._tuning,
            "stream": None if self._stream is None else self._stream.state(),
        }

    def __setstate__(self, state):
        number, tuning, stream = _checked_state(state)
        self._number = number
        self._tuning = tuning
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
    try:
        rate = float(sample_rate)
    except OverflowError:
        rate = math.inf
    if not (math.isfinite(rate) and rate > 0):
        raise ValueError(f"sample_rate must be a positive number of Hz; got {sample_rate!r}")
    return rate


def _as_signal(audio, channels_last, running_channels=None):
    """`audio` as float32 rows of channels, the shape to give the result, and
    whether the result is to be turned back to (frames, channels)."""
    if channels_last not in (None, False, True):
        raise TypeError(f"channels_last must be None, True or False; got {channels_last!r}")
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
    transposed = channels_last is True and array.ndim == 2
    if transposed:
        array = array.T
    elif (
        channels_last is None
        and array.ndim == 2
        and array.size > 0
        and array.shape[0] > array.shape[1]
        and array.shape[0] != running_channels
    ):
        raise ValueError(
            f"audio of shape {array.shape} would be {array.shape[0]} channels of "
            f"{array.shape[1]} frames each; audio laid out as (frames, channels), as "
            f"soundfile reads it, takes channels_last=True (or pass audio.T), and "
            f"channels_last=False takes it as channels after all"
        )
    if array.dtype != np.float32:
        array = array.astype(np.float32)
    return (array if array.ndim == 2 else array[np.newaxis, :]), array.shape, transposed


def _checked_state(state):
    """The body number, tuning and stream of a pickled Body's state, if it is
    one that __getstate__ gives (or gave before Bodies had a tuning: those
    played the fixed one); a ValueError says what is wrong otherwise."""

    def refused(why):
        return ValueError(f"not the state of a pickled velmora.Body: {why}")

    if not isinstance(state, dict) or set(state) not in (
        {"body", "stream"},
        {"body", "tuning", "stream"},
    ):
        raise refused("expected a dict of 'body', 'tuning' and 'stream'")
    number, stream = state["body"], state["stream"]
    tuning = state.get("tuning", "fixed")
    if type(number) is not int or number not in _NAMES:
        raise refused(f"{number!r} is not a body's number")
    if tuning not in _TUNINGS:
        raise refused(f"{tuning!r} is not a tuning")
    if stream is None:
        return number, tuning, None
    # (body, channels), and since streams keep their rate and tuning,
    # (body, channels, rate, tuning).
    if not (
        isinstance(stream, tuple) and len(stream) in (2, 4) and isinstance(stream[1], tuple)
    ):
        raise refused("its stream is not a (body, channels, rate, tuning) tuple")
    if len(stream) == 4:
        rate, stream_tuning = stream[2], stream[3]
        if type(rate) is not float or not (math.isfinite(rate) and rate > 0):
            raise refused(f"its stream's rate {rate!r} is not a positive number of Hz")
        if stream_tuning != _TUNINGS[tuning]:
            raise refused("its stream's tuning is not the Body's")
    elif tuning != "fixed":
        raise refused("a stream without a rate played the fixed tuning")
    if type(stream[0]) is not int or stream[0] != number:
        raise refused(f"its stream plays body {stream[0]!r}, not the Body's {number}")
    def check_history(history):
        if not (
            isinstance(history, tuple)
            and len(history) == 20
            and all(type(v) is float and math.isfinite(v) for v in history)
        ):
            raise refused("a channel's history is not 20 finite floats")

    def check_body(seen):
        if type(seen) is not int or seen not in _NAMES:
            raise refused(f"a channel plays {seen!r}, which is not a body's number")

    for channel in stream[1]:
        # (history, body, fading history, fading body, frames of fade left,
        # played); a stream pickled before changes of body faded has
        # (history, flag, body).
        if not (isinstance(channel, tuple) and len(channel) in (3, 6)):
            raise refused("a channel of its stream is not a channel's state")
        if len(channel) == 3:
            history, flag, seen = channel
            check_history(history)
            check_body(seen)
            if type(flag) is not bool:
                raise refused("a channel's first-sample flag is not a bool")
            continue
        history, seen, fading_history, fading, remaining, played = channel
        check_history(history)
        check_history(fading_history)
        check_body(seen)
        check_body(fading)
        if type(remaining) is not int or not 0 <= remaining <= 1024:
            raise refused("a channel's fade is not 0 to 1024 frames")
        if type(played) is not bool:
            raise refused("a channel's played mark is not a bool")
    return number, tuning, stream


def _describe(array):
    return f"an array of {array.dtype}" if array.dtype.kind != "O" else "an array of objects"


def _channel_count(count):
    return f"{count} channel" + ("" if count == 1 else "s")
