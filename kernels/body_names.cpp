#include "body_names.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <vector>

namespace velmora {

namespace {

// The value of a word made only of Roman numerals, or 0.
int romanValue(std::string_view word) {
    static constexpr std::array<std::string_view, 10> numerals = {"i",  "ii",  "iii",  "iv", "v",
                                                                  "vi", "vii", "viii", "ix", "x"};
    const auto found = std::find(numerals.begin(), numerals.end(), word);
    return found == numerals.end() ? 0 : static_cast<int>(found - numerals.begin()) + 1;
}

// Letters and digits only, lower case, Roman numerals as digits: the form
// in which a query and a name are compared.
std::string matchKey(std::string_view text) {
    std::string key;
    std::string word;
    bool digits = false;
    auto endWord = [&] {
        const int roman = digits ? 0 : romanValue(word);
        key += roman != 0 ? std::to_string(roman) : word;
        word.clear();
    };
    for (const char raw : text) {
        const auto c = static_cast<unsigned char>(raw);
        if (!std::isalnum(c)) {
            endWord();
            continue;
        }
        const bool digit = std::isdigit(c) != 0;
        if (!word.empty() && digit != digits) endWord();
        digits = digit;
        word += static_cast<char>(std::tolower(c));
    }
    endWord();
    return key;
}

std::string nameList(const std::vector<const BodyName*>& bodies) {
    std::string list;
    for (size_t i = 0; i < bodies.size(); ++i) {
        if (i > 0) list += i + 1 == bodies.size() ? " or " : ", ";
        list += bodies[i]->name;
    }
    return list;
}

std::string allNames(std::span<const BodyName> bodies) {
    std::string list;
    for (const BodyName& body : bodies) {
        if (!list.empty()) list += ", ";
        list += std::to_string(body.number) + " ";
        list += body.name;
    }
    return list;
}

}  // namespace

std::ptrdiff_t findBody(std::span<const BodyName> bodies, std::string_view query,
                        std::string& error) {
    if (bodies.empty()) {
        error = "the module lists no bodies";
        return -1;
    }
    auto indexOf = [&](const BodyName& body) { return &body - bodies.data(); };

    int number = 0;
    const auto [end, status] = std::from_chars(query.data(), query.data() + query.size(), number);
    if (status == std::errc{} && end == query.data() + query.size()) {
        for (const BodyName& body : bodies) {
            if (body.number == number) return indexOf(body);
        }
        error = "no body numbered " + std::string(query) + "; the bodies are " + allNames(bodies);
        return -1;
    }

    const std::string key = matchKey(query);
    std::vector<const BodyName*> starting;
    for (const BodyName& body : bodies) {
        const std::string name = matchKey(body.name);
        if (name == key) return indexOf(body);
        if (!key.empty() && name.starts_with(key)) starting.push_back(&body);
    }
    if (starting.size() == 1) return indexOf(*starting.front());
    if (starting.size() > 1) {
        error = "\"" + std::string(query) + "\" could be " + nameList(starting);
    } else {
        error = "no body called \"" + std::string(query) + "\"; the bodies are " + allNames(bodies);
    }
    return -1;
}

}  // namespace velmora
