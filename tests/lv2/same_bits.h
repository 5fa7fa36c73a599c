// Two runs of samples compared bit for bit, NaNs included, naming the first
// sample that differs.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <iomanip>
#include <vector>

namespace velmora::test {

inline testing::AssertionResult sameBits(const std::vector<float>& actual,
                                         const std::vector<float>& expected) {
    if (actual.size() != expected.size()) {
        return testing::AssertionFailure()
               << actual.size() << " samples where " << expected.size() << " were expected";
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        if (std::bit_cast<uint32_t>(actual[i]) != std::bit_cast<uint32_t>(expected[i])) {
            return testing::AssertionFailure()
                   << std::setprecision(9) << "sample " << i << " is " << actual[i] << " where "
                   << expected[i] << " was expected";
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace velmora::test
