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
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
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

// The kernels count frames in 32 bits; a longer channel goes in pieces,
// which give the same bits as one call.
constexpr py::ssize_t kLargestCall = py::ssize_t{1} << 30;
// Input whose samples are not side by side is gathered this many at a time.
constexpr py::ssize_t kGatherFrames = 4096;

// One channel: `frames` samples `stride` bytes apart from `in`, through
// `filter`, into the contiguous `out`.
void filterChannel(BodyFilter& filter, int32_t type, const char* in, py::ssize_t stride, float* out,
                   py::ssize_t frames) {
    const bool contiguous =
        stride == sizeof(float) && reinterpret_cast<std::uintptr_t>(in) % alignof(float) == 0;
    if (contiguous) {
        const auto* samples = reinterpret_cast<const float*>(in);
        for (py::ssize_t done = 0; done < frames;) {
            const py::ssize_t n = std::min(frames - done, kLargestCall);
            filter.process(type, samples + done, out + done, static_cast<int32_t>(n));
            done += n;
        }
        return;
    }
    float block[kGatherFrames];
    for (py::ssize_t done = 0; done < frames;) {
        const py::ssize_t n = std::min(frames - done, kGatherFrames);
        for (py::ssize_t i = 0; i < n; ++i)
            std::memcpy(&block[i], in + (done + i) * stride, sizeof(float));
        filter.process(type, block, out + done, static_cast<int32_t>(n));
        done += n;
    }
}

Tuning tuningOf(int32_t tuning) {
    if (tuning != static_cast<int32_t>(Tuning::True) &&
        tuning != static_cast<int32_t>(Tuning::Fixed))
        throw py::value_error("tuning is 0 (true) or 1 (fixed)");
    return static_cast<Tuning>(tuning);
}

// Every channel of a signal through a BodyFilter of its own, carried from
// call to call, all at one sample rate and tuning. Calls from several
// threads are taken one at a time.
class Channels {
  public:
    // The state of one channel as Python keeps it in a pickle: the 20
    // history values, the first-sample flag and the body last seen.
    using ChannelState = std::tuple<py::tuple, bool, int32_t>;

    Channels(int32_t type, py::ssize_t count, double rate, int32_t tuning)
        : type(type),
          sampleRate(rate),
          tuningNumber(tuning),
          bodies(std::make_unique<TunedBodies>(rate, tuningOf(tuning))) {
        if (count < 0) throw py::value_error("a signal cannot have fewer than 0 channels");
        filters.resize(static_cast<size_t>(count));
        for (BodyFilter& filter : filters) {
            filter.open(type);
            filter.tuning = bodies.get();
        }
    }

    py::ssize_t count() const { return static_cast<py::ssize_t>(filters.size()); }
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
        const auto* in = reinterpret_cast<const char*>(input.data());
        float* out = output.mutable_data();
        const py::ssize_t rowStride = input.strides(0);
        const py::ssize_t frameStride = input.strides(1);
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard one(inUse);
            for (py::ssize_t c = 0; c < count(); ++c) {
                filterChannel(filters[static_cast<size_t>(c)], type, in + c * rowStride,
                              frameStride, out + c * frames, frames);
            }
        }
        return output;
    }

    // The module's rule for a change of body: each channel keeps its
    // history, and its first sample from now on is softened.
    void changeBody(int32_t newType) {
        const std::lock_guard one(inUse);
        type = newType;
        for (BodyFilter& filter : filters)
            filter.reconsider(newType);
    }

    py::tuple state() {
        const std::lock_guard one(inUse);
        py::list channels;
        for (const BodyFilter& filter : filters) {
            py::tuple history(std::size(filter.state.filterState));
            for (size_t i = 0; i < std::size(filter.state.filterState); ++i)
                history[i] = filter.state.filterState[i];
            channels.append(
                py::make_tuple(history, filter.state.firstSampleFlag, filter.previousType));
        }
        return py::make_tuple(type, py::tuple(channels), sampleRate, tuningNumber);
    }

    static std::unique_ptr<Channels> fromState(const py::tuple& saved) {
        if (saved.size() != 4) throw py::value_error("not the state of a velmora stream");
        auto channels = std::make_unique<Channels>(
            saved[0].cast<int32_t>(), 0, saved[2].cast<double>(), saved[3].cast<int32_t>());
        for (const py::handle item : saved[1].cast<py::tuple>()) {
            const auto [history, flag, previousType] = item.cast<ChannelState>();
            BodyFilter filter;
            if (history.size() != std::size(filter.state.filterState)) {
                throw py::value_error("not the state of a velmora stream");
            }
            for (size_t i = 0; i < history.size(); ++i)
                filter.state.filterState[i] = history[i].cast<double>();
            filter.state.firstSampleFlag = flag;
            filter.previousType = previousType;
            filter.tuning = channels->bodies.get();
            channels->filters.push_back(filter);
        }
        return channels;
    }

  private:
    int32_t type;
    double sampleRate;
    int32_t tuningNumber;
    std::unique_ptr<const TunedBodies> bodies;  // prepared once, read by every channel
    std::vector<BodyFilter> filters;
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
        .def_property_readonly("rate", &Channels::rate, "The sample rate, in Hz.")
        .def_property_readonly("tuning", &Channels::tuning, "0 true, 1 fixed.")
        .def("process", &Channels::process, py::arg("signal").noconvert(),
             "The next frames of every channel (a float32 array of shape (channels, frames)) "
             "filtered, as a new array.")
        .def("change_body", &Channels::changeBody, py::arg("body"),
             "Plays another body: each channel keeps its history and softens its next sample.")
        .def("state", &Channels::state, "Everything the channels carry, as plain values.")
        .def_static("from_state", &Channels::fromState, py::arg("state"),
                    "Channels that continue from what state() gave.");
}
