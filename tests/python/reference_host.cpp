// The reference host driving the built module library, for the Python
// package's tests: what the package has to agree with to the last bit.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "driver.h"
#include "module_library.h"

namespace py = pybind11;

namespace {

using velmora::host::ModuleLibrary;

std::shared_ptr<ModuleLibrary> load(const std::string& path) {
    std::string error;
    std::shared_ptr<ModuleLibrary> library = ModuleLibrary::load(path, error);
    if (library == nullptr) throw std::runtime_error(error);
    return library;
}

// One channel through an instance of the module, as `velmora render` plays it.
class Channel {
  public:
    Channel(std::shared_ptr<ModuleLibrary> library, int16_t body, int32_t blockFrames)
        : library(std::move(library)) {
        velmora::host::RenderSettings settings;
        settings.type = body;
        settings.blockFrames = blockFrames;
        std::string error;
        channel = velmora::host::Channel::start(*this->library, settings, error);
        if (channel == nullptr) throw std::runtime_error(error);
    }

    py::array_t<float> process(const py::array_t<float, py::array::c_style>& input) {
        if (input.ndim() != 1) throw py::value_error("one channel at a time");
        py::array_t<float> output(input.shape(0));
        channel->process(input.data(), output.mutable_data(), static_cast<int32_t>(input.shape(0)));
        return output;
    }

    // The body pin set to `body`, then a status event for the active input:
    // the module takes a new body at a status change.
    void changeBody(int16_t body) {
        velmora::host::Instance& instance = channel->instance();
        const auto& pins = instance.pins();
        for (size_t pin = 0; pin < pins.size(); ++pin) {
            if (pins[pin].direction == PinDirectionInput && pins[pin].datatype == PinTypeEnum) {
                instance.setEnum(static_cast<int32_t>(pin), body);
            }
        }
        instance.sendPinStatus(0, 2);
    }

  private:
    std::shared_ptr<ModuleLibrary> library;
    std::unique_ptr<velmora::host::Channel> channel;
};

}  // namespace

PYBIND11_MODULE(reference_host, m) {
    py::class_<ModuleLibrary, std::shared_ptr<ModuleLibrary>>(m, "ModuleLibrary");
    m.def("load", &load, py::arg("path"), "The module library at `path`, loaded.");
    py::class_<Channel>(m, "Channel")
        .def(py::init<std::shared_ptr<ModuleLibrary>, int16_t, int32_t>(), py::arg("library"),
             py::arg("body"), py::arg("block_frames") = 512)
        .def("process", &Channel::process, py::arg("samples"))
        .def("change_body", &Channel::changeBody, py::arg("body"));
}
