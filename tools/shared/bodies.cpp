#include "bodies.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "enumeration.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

// The value of a word made only of Roman numerals, or 0.
int romanValue(const std::string& word) {
    static const std::vector<std::string> numerals = {"i",  "ii",  "iii",  "iv", "v",
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

std::string nameList(const std::vector<const Body*>& bodies) {
    std::string list;
    for (size_t i = 0; i < bodies.size(); ++i) {
        if (i > 0) list += i + 1 == bodies.size() ? " or " : ", ";
        list += bodies[i]->name;
    }
    return list;
}

std::string allNames(const std::vector<Body>& bodies) {
    std::string list;
    for (const Body& body : bodies) {
        list += (list.empty() ? "" : ", ") + std::to_string(body.number) + " " + body.name;
    }
    return list;
}

}  // namespace

std::vector<Body> bodiesFrom(const std::vector<PinProperties>& pins) {
    for (const PinProperties& pin : pins) {
        if (pin.direction != PinDirectionInput || pin.datatype != PinTypeEnum) continue;
        std::vector<Body> bodies;
        if (pin.extraText == nullptr) return bodies;
        for (auto& choice : host::parseEnumList(pin.extraText)) {
            bodies.push_back({choice.value, std::move(choice.name)});
        }
        // The module plays the plain pass filter at 0 without listing it.
        const bool listsZero = std::any_of(bodies.begin(), bodies.end(),
                                           [](const Body& body) { return body.number == 0; });
        if (!bodies.empty() && !listsZero) bodies.insert(bodies.begin(), {0, kPassFilterName});
        return bodies;
    }
    return {};
}

const Body& findBody(const std::vector<Body>& bodies, std::string_view query) {
    if (bodies.empty()) throw Error("the module lists no bodies");

    int number = 0;
    const auto [end, status] = std::from_chars(query.data(), query.data() + query.size(), number);
    if (status == std::errc{} && end == query.data() + query.size()) {
        for (const Body& body : bodies) {
            if (body.number == number) return body;
        }
        throw Error("no body numbered " + std::string(query) + "; the bodies are " +
                    allNames(bodies));
    }

    const std::string key = matchKey(query);
    std::vector<const Body*> starting;
    for (const Body& body : bodies) {
        const std::string name = matchKey(body.name);
        if (name == key) return body;
        if (!key.empty() && name.rfind(key, 0) == 0) starting.push_back(&body);
    }
    if (starting.size() == 1) return *starting.front();
    if (starting.size() > 1) {
        throw Error("\"" + std::string(query) + "\" could be " + nameList(starting));
    }
    throw Error("no body called \"" + std::string(query) + "\"; the bodies are " +
                allNames(bodies));
}

std::string fileStem(const Body& body) {
    std::string stem;
    for (const char raw : body.name) {
        const auto c = static_cast<unsigned char>(raw);
        if (std::isalnum(c)) {
            stem += static_cast<char>(std::tolower(c));
        } else if (!stem.empty() && stem.back() != '-') {
            stem += '-';
        }
    }
    while (!stem.empty() && stem.back() == '-')
        stem.pop_back();
    return stem;
}

}  // namespace velmora::tool
