#include "driver.h"

namespace velmora::host {

namespace {

int32_t findPin(const std::vector<PinProperties>& pins, int32_t direction, int32_t datatype) {
    for (size_t i = 0; i < pins.size(); ++i) {
        if (pins[i].direction == direction && pins[i].datatype == datatype) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool readPins(const ModuleLibrary& library, std::vector<PinProperties>& pins, std::string& error) {
    Instance instance(library);
    if (!instance.create(error)) return false;
    instance.open();
    pins = instance.pins();
    return true;
}

Channel::Channel(const ModuleLibrary& library, int32_t frames)
    : host(library), blockFrames(frames) {}

std::unique_ptr<Channel> Channel::start(const ModuleLibrary& library,
                                        const RenderSettings& settings, std::string& error) {
    if (settings.blockFrames <= 0) {
        error = "the block size must be at least one frame";
        return nullptr;
    }
    std::unique_ptr<Channel> channel(new Channel(library, settings.blockFrames));
    Instance& host = channel->host;
    if (!host.create(error)) return nullptr;

    // The type goes into its pin's variable before open, so that open takes
    // it as the instance's type from the start: a signal played from its
    // first sample through one body is not a change of body.
    host.readDeclarations();
    const auto& pins = host.pins();
    channel->inputPin = findPin(pins, PinDirectionInput, PinTypeAudio);
    channel->outputPin = findPin(pins, PinDirectionOutput, PinTypeAudio);
    const int32_t typePin = findPin(pins, PinDirectionInput, PinTypeEnum);
    if (channel->inputPin < 0 || channel->outputPin < 0 || typePin < 0) {
        error = library.path() + (pins.empty() ? " declares no pins"
                                               : " lacks an audio input, audio output or "
                                                 "enumeration input pin");
        return nullptr;
    }
    host.setEnum(typePin, settings.type);
    host.setSampleRate(settings.sampleRate);
    host.setBlockSize(settings.blockFrames);
    host.open();

    // A status of 2 marks the input as carrying a signal, so the module runs
    // the chosen type rather than silence.
    host.sendPinStatus(channel->inputPin, 2);
    return channel;
}

void Channel::process(const float* input, float* output, int32_t frames) {
    host.run(input, output, frames, blockFrames, inputPin, outputPin);
}

bool render(const ModuleLibrary& library, const RenderSettings& settings,
            const std::vector<float>& input, std::vector<float>& output, std::string& error) {
    auto channel = Channel::start(library, settings, error);
    if (channel == nullptr) return false;
    output.assign(input.size(), 0.0f);
    channel->process(input.data(), output.data(), static_cast<int32_t>(input.size()));
    return true;
}

bool impulseResponse(const ModuleLibrary& library, const RenderSettings& settings, int32_t frames,
                     std::vector<float>& response, std::string& error) {
    std::vector<float> input(static_cast<size_t>(frames), 0.0f);
    if (frames > 0) input[0] = 1.0f;
    return render(library, settings, input, response, error);
}

}  // namespace velmora::host
