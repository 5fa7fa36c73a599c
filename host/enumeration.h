// The value list of an enumeration pin, as its declaration's extra text gives it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::host {

struct EnumChoice {
    std::string name;
    int value = 0;
};

// Parses "Name=1, Other Name = 2, ..." into its entries in order. Spaces
// around names and values are not significant; an entry without a number
// after its last '=' is skipped rather than guessed at.
std::vector<EnumChoice> parseEnumList(std::string_view text);

}  // namespace velmora::host
