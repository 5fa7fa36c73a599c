// One instance of the built library in a host of the test's own, and the
// kernels run directly beside it as the reference for its output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "body_filter.h"
#include "module_under_test.h"
#include "white_noise.h"

namespace velmora::test {

constexpr int32_t kSignal = 0, kType = 1, kOutput = 2;

// One instance in a host with its own buffers, opened with a type.
struct Hosted {
    velmora::host::Instance host{moduleLibrary()};
    std::vector<float> input = std::vector<float>(4096, 0.0f);
    std::vector<float> output = std::vector<float>(4096, 0.0f);

    explicit Hosted(int16_t type = 1, int32_t pinCount = 3) : host(moduleLibrary(), pinCount) {
        std::string error;
        EXPECT_TRUE(host.create(error)) << error;
        host.open();
        // The host writes the type before open in real life; here it can only
        // do so once open has told it where the variable is, so reopen.
        host.setEnum(kType, type);
        host.dispatch(OpcodeOpen);
        connect();
    }
    void connect() {
        host.setBuffer(kSignal, input.data());
        host.setBuffer(kOutput, output.data());
    }
    ProcessFunction current() const { return host.entry()->process; }
    // The status the module last reported for its output.
    int32_t reportedStatus() const {
        for (auto r = host.requests.rbegin(); r != host.requests.rend(); ++r) {
            if (r->opcode == PinStatus) return r->value;
        }
        return -999;
    }
    std::vector<velmora::host::Request> take() {
        auto r = host.requests;
        host.clearRequests();
        return r;
    }
};

inline int count(const std::vector<velmora::host::Request>& requests, int32_t opcode) {
    int n = 0;
    for (const auto& r : requests)
        n += r.opcode == opcode;
    return n;
}

// The reference: the kernel layer called directly, through a filter of the
// test's own.
struct Direct {
    velmora::BodyFilter filter;
    explicit Direct(int type = 1) { filter.open(type); }
    void run(int type, const float* in, float* out, int32_t frames) {
        filter.process(type, in, out, frames);
    }
};

}  // namespace velmora::test
