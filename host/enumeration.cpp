#include "enumeration.h"

#include <charconv>

namespace velmora::host {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<EnumChoice> parseEnumList(std::string_view text) {
    std::vector<EnumChoice> choices;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);

        const auto equals = item.rfind('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view name = trim(item.substr(0, equals));
        const std::string_view number = trim(item.substr(equals + 1));
        int value = 0;
        const auto [end, status] =
            std::from_chars(number.data(), number.data() + number.size(), value);
        if (name.empty() || status != std::errc{} || end != number.data() + number.size()) continue;
        choices.push_back({std::string(name), value});
    }
    return choices;
}

}  // namespace velmora::host
