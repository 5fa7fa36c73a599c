// velmora._kernels: the kernel layer over numpy arrays. The package's Python
// side (velmora/__init__.py) checks and converts what people pass and keeps
// the objects they hold; this side filters, with the interpreter lock
// released, and carries the streams' state.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "body_filter.h"
#include "body_list.h"
#include "body_names.h"
#include "kernels.h"
#include "tuned_design.h"

namespace py = pybind11;

namespace velmora::python {

namespace {

// Native float32 arrays of any layout; the Python side converts the rest.
using FloatArray = py::array_t<float, 0>;

// On the main thread, where Python handles signals, filtering goes in
// slices of about this many samples (a few milliseconds), with the
// interpreter lock taken back between them to look for signals, so that
// Ctrl-C interrupts a long call at once. Other threads filter without
// taking it back: signals are not theirs to handle.
constexpr py::ssize_t kSliceSamples = py::ssize_t{1} << 20;

// The interpreter's main thread, as threading names it; set at import.
unsigned long mainThread = 0;

// Rows go to the kernels this many at a time, every row of most signals (a
// stereo or surround file, a batch of clips) in one call, so that they share
// SIMD lanes; a call of many more rows would only be cut shorter in frames.
constexpr py::ssize_t kRowsAtOnce = 4 * static_cast<py::ssize_t>(BodyFilter::kGroupChannels);
// Samples of those rows handed over per call: what a gathered input (below)
// holds at once, small enough to be filtered while it is still in cache.
constexpr py::ssize_t kPieceSamples = py::ssize_t{1} << 16;
constexpr py::ssize_t kSampleBytes = sizeof(float);

// A float32 array's rows, read in pieces of all rows at the same frames.
struct Rows {
    const char* data;
    py::ssize_t rowStride;
    py::ssize_t frameStride;
    // Whether each row's samples lie side by side, aligned, apart from every
    // other row's, as the kernels take them; otherwise they are gathered.
    bool sideBySide;

    Rows(const FloatArray& array, py::ssize_t frames)
        : data(reinterpret_cast<const char*>(array.data())),
          rowStride(array.strides(0)),
          frameStride(array.strides(1)),
          sideBySide(frameStride == kSampleBytes && rowStride % kSampleBytes == 0 &&
                     reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0 &&
                     (array.shape(0) == 1 || std::abs(rowStride) >= frames * kSampleBytes)) {}

    // Points inputs[r] and outputs[r] at `frames` frames from `at` of row
    // `first + r`, for each of `count` rows; `out` holds the output rows one
    // after another, `outFrames` long. A row that is not side by side is
    // first copied into its output, which the kernels then filter in place.
    void piece(py::ssize_t first, py::ssize_t count, py::ssize_t at, py::ssize_t frames, float* out,
               py::ssize_t outFrames, const float** inputs, float** outputs) const {
        for (py::ssize_t r = 0; r < count; ++r) {
            const char* row = data + (first + r) * rowStride + at * frameStride;
            float* rowOut = out + (first + r) * outFrames + at;
            if (!sideBySide) {
                for (py::ssize_t i = 0; i < frames; ++i)
                    std::memcpy(&rowOut[i], row + i * frameStride, sizeof(float));
            }
            inputs[r] = sideBySide ? reinterpret_cast<const float*>(row) : rowOut;
            outputs[r] = rowOut;
        }
    }
};

Tuning tuningOf(int32_t tuning) {
    if (tuning != static_cast<int32_t>(Tuning::True) &&
        tuning != static_cast<int32_t>(Tuning::Fixed)) {
        throw py::value_error("tuning is 0 (true) or 1 (fixed)");
    }
    return static_cast<Tuning>(tuning);
}

// Every channel of a signal through a BodyFilter of its own, carried from
// call to call, all at one sample rate and tuning. Calls from several
// threads are taken one at a time; the lock that orders them is only ever
// waited for with the interpreter lock released, so a thread waiting for a
// stream never stops the others.
class Channels {
  public:
    Channels(int32_t type, py::ssize_t count, double rate, int32_t tuning)
        : type(type),
          channelCount(count),
          sampleRate(rate),
          tuningNumber(tuning),
          bodies(std::make_unique<TunedBodies>(rate, tuningOf(tuning))) {
        if (count < 0) throw py::value_error("a signal cannot have fewer than 0 channels");
    }

    py::ssize_t count() const { return channelCount; }
    int32_t body() const { return type; }
    double rate() const { return sampleRate; }
    int32_t tuning() const { return tuningNumber; }

    // The next frames of every channel, one row each, as a new C-ordered
    // float32 array of the same shape.
    FloatArray process(const FloatArray& input) {
        if (input.ndim() != 2 || input.shape(0) != count()) {
            throw py::value_error("expected " + std::to_string(count()) +
                                  " channels as the rows of a 2-D array");
        }
        const py::ssize_t frames = input.shape(1);
        FloatArray output({count(), frames});
        if (frames == 0 || count() == 0) return output;  // nothing to filter, nothing to keep
        float* out = output.mutable_data();
        const Rows rows(input, frames);
        const bool hearsSignals = PyThread_get_thread_ident() == mainThread;
        const py::ssize_t rowsAtOnce = std::min(count(), kRowsAtOnce);
        const py::ssize_t framesAtOnce = kPieceSamples / rowsAtOnce;
        std::vector<const float*> inputs(static_cast<size_t>(rowsAtOnce));
        std::vector<float*> outputs(static_cast<size_t>(rowsAtOnce));

        py::gil_scoped_release unlocked;
        const std::lock_guard one(inUse);
        makeFilters();
        py::ssize_t sinceLook = 0;
        for (py::ssize_t first = 0; first < count(); first += rowsAtOnce) {
            const py::ssize_t n = std::min(rowsAtOnce, count() - first);
            for (py::ssize_t at = 0; at < frames; at += framesAtOnce) {
                const py::ssize_t length = std::min(framesAtOnce, frames - at);
                rows.piece(first, n, at, length, out, frames, inputs.data(), outputs.data());
                const auto these =
                    std::span(filters).subspan(static_cast<size_t>(first), static_cast<size_t>(n));
                BodyFilter::processChannels(these, type, inputs.data(), outputs.data(),
                                            static_cast<int32_t>(length));
                sinceLook += n * length;
                const bool more = at + length < frames || first + n < count();
                if (sinceLook >= kSliceSamples && more) {
                    sinceLook = 0;
                    if (hearsSignals) {
                        const py::gil_scoped_acquire held;
                        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                    }
                }
            }
        }
        return output;
    }

    // The kernel layer's rule for a change of body: from the next frame on,
    // each channel crossfades from the old body to the new one.
    void changeBody(int32_t newType) {
        const py::gil_scoped_release unlocked;
        const std::lock_guard one(inUse);
        type = newType;
    }

    // Per channel, as a pickle keeps it: the playing body's history and
    // number, the fading body's history and number, the frames of the fade
    // still to come and whether anything has played since the history was
    // cleared.
    py::tuple state() {
        std::vector<BodyFilter> channels;
        int32_t body = 0;
        {
            const py::gil_scoped_release unlocked;
            const std::lock_guard one(inUse);
            body = type;
            channels = filters.empty()
                           ? std::vector<BodyFilter>(static_cast<size_t>(count()), freshFilter())
                           : filters;
        }
        py::list saved;
        for (const BodyFilter& filter : channels) {
            saved.append(py::make_tuple(historyOf(filter.playing), filter.playing.body,
                                        historyOf(filter.fading), filter.fading.body,
                                        filter.fadeRemaining, filter.played));
        }
        return py::make_tuple(body, py::tuple(saved), sampleRate, tuningNumber);
    }

    // The caller has checked that the state is one state() gives. Also takes
    // the state pickled before changes of body crossfaded: the history, a
    // flag no longer used and the body, with no fade running; and the state
    // pickled before the bodies were designed for a rate, which played the
    // module's tables (the fixed tuning) at a rate it did not record (0).
    static std::unique_ptr<Channels> fromState(const py::tuple& saved) {
        try {
            if (saved.size() != 2 && saved.size() != 4) {
                throw py::value_error("not the state of a velmora stream");
            }
            const auto channelStates = saved[1].cast<py::tuple>();
            const bool rated = saved.size() == 4;
            auto channels = std::make_unique<Channels>(
                saved[0].cast<int32_t>(), static_cast<py::ssize_t>(channelStates.size()),
                rated ? saved[2].cast<double>() : 0.0,
                rated ? saved[3].cast<int32_t>() : static_cast<int32_t>(Tuning::Fixed));
            for (const py::handle item : channelStates) {
                const auto values = item.cast<py::tuple>();
                BodyFilter filter;
                if (values.size() == 6) {
                    restore(filter.playing, values[0], values[1]);
                    restore(filter.fading, values[2], values[3]);
                    filter.fadeRemaining = values[4].cast<int32_t>();
                    filter.played = values[5].cast<bool>();
                    if (filter.fadeRemaining < 0 ||
                        filter.fadeRemaining > BodyFilter::kFadeFrames) {
                        throw py::value_error("not the state of a velmora stream");
                    }
                } else if (values.size() == 3) {
                    restore(filter.playing, values[0], values[2]);
                    filter.played = true;
                } else {
                    throw py::value_error("not the state of a velmora stream");
                }
                filter.tuning = channels->bodies.get();
                channels->filters.push_back(filter);
            }
            return channels;
        } catch (const py::cast_error&) {
            throw py::value_error("not the state of a velmora stream");
        }
    }

  private:
    // What every channel of a stream that has filtered nothing yet holds:
    // nothing has played, so its first frames play the current body.
    BodyFilter freshFilter() const {
        BodyFilter filter;
        filter.open(type);
        filter.tuning = bodies.get();
        return filter;
    }

    // The channels' filters are made when the first frames arrive, so that
    // a signal without frames costs nothing, however many channels it has.
    void makeFilters() {
        if (filters.empty()) filters.assign(static_cast<size_t>(count()), freshFilter());
    }

    static py::tuple historyOf(const BodyFilter::Voice& voice) {
        const auto& values = voice.state.filterState;
        py::tuple history(std::size(values));
        for (size_t i = 0; i < std::size(values); ++i)
            history[i] = values[i];
        return history;
    }

    static void restore(BodyFilter::Voice& voice, const py::handle& history,
                        const py::handle& body) {
        const auto values = history.cast<py::tuple>();
        if (values.size() != std::size(voice.state.filterState)) {
            throw py::value_error("not the state of a velmora stream");
        }
        for (size_t i = 0; i < values.size(); ++i)
            voice.state.filterState[i] = values[i].cast<double>();
        voice.body = bodyOfType(body.cast<int32_t>());
    }

    int32_t type;
    py::ssize_t channelCount;
    double sampleRate;
    int32_t tuningNumber;
    std::unique_ptr<const TunedBodies> bodies;  // prepared once, read by every channel
    std::vector<BodyFilter> filters;            // one per channel, once frames have come
    std::mutex inUse;
};

int32_t findBodyNumber(const std::string& query) {
    std::string error;
    const std::ptrdiff_t found = findBody(kBodyNames, query, error);
    if (found < 0) throw py::value_error(error);
    return kBodyNames[static_cast<size_t>(found)].number;
}

py::list bodyList() {
    py::list list;
    for (const BodyName& body : kBodyNames)
        list.append(py::make_tuple(body.number, py::str(body.name.data(), body.name.size())));
    return list;
}

// H at each frequency, given in cycles per sample, of what plays at `rate`
// with `tuning`.
py::array_t<std::complex<double>> frequencyResponses(
    int32_t type, const py::array_t<double, py::array::c_style>& cyclesPerSample, double rate,
    int32_t tuning) {
    const TunedBodies bodies(rate, tuningOf(tuning));
    py::array_t<std::complex<double>> responses(std::vector<py::ssize_t>(
        cyclesPerSample.shape(), cyclesPerSample.shape() + cyclesPerSample.ndim()));
    const double* f = cyclesPerSample.data();
    std::complex<double>* h = responses.mutable_data();
    const py::ssize_t count = cyclesPerSample.size();
    py::gil_scoped_release unlocked;
    for (py::ssize_t i = 0; i < count; ++i)
        h[i] = bodies.response(type, f[i]);
    return responses;
}

}  // namespace

}  // namespace velmora::python

PYBIND11_MODULE(_kernels, m) {
    using namespace velmora::python;

    m.doc() = "The bodies' kernels over numpy arrays; use the velmora package, not this.";
    mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    m.def("bodies", &bodyList, "Every body as a (number, name) pair, in order of number.");
    m.def("find_body", &findBodyNumber, py::arg("query"),
          "The number of the body a name or number names, loosely; ValueError if none or "
          "several fit.");
    m.def("frequency_response", &frequencyResponses, py::arg("body"),
          py::arg("cycles_per_sample").noconvert(), py::arg("rate"), py::arg("tuning"),
          "The complex gain at each frequency, given in cycles per sample, of the body as it "
          "plays at `rate` with `tuning` (0 true, 1 fixed).");

    py::class_<Channels>(m, "Channels",
                         "Channels of a signal, each through the same body with a history of "
                         "its own.")
        .def(py::init<int32_t, py::ssize_t, double, int32_t>(), py::arg("body"), py::arg("count"),
             py::arg("rate"), py::arg("tuning"))
        .def_property_readonly("count", &Channels::count, "How many channels.")
        .def_property_readonly("body", &Channels::body, "The body's number.")
        .def_property_readonly("rate", &Channels::rate,
                               "The sample rate, in Hz (0 for a stream pickled without one).")
        .def_property_readonly("tuning", &Channels::tuning, "0 true, 1 fixed.")
        .def("process", &Channels::process, py::arg("signal").noconvert(),
             "The next frames of every channel (a float32 array of shape (channels, frames)) "
             "filtered, as a new array.")
        .def("change_body", &Channels::changeBody, py::arg("body"),
             "Plays another body: each channel crossfades to it, from a clear history, over "
             "the next 1024 frames.")
        .def("state", &Channels::state, "Everything the channels carry, as plain values.")
        .def_static("from_state", &Channels::fromState, py::arg("state"),
                    "Channels that continue from what state() gave.");
}
