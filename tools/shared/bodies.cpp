#include "bodies.h"

#include <algorithm>
#include <cctype>

#include "body_list.h"
#include "body_names.h"
#include "enumeration.h"
#include "tool_error.h"

namespace velmora::tool {

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
        if (!bodies.empty() && !listsZero) {
            bodies.insert(bodies.begin(), {0, std::string(kBodyNames[0].name)});
        }
        return bodies;
    }
    return {};
}

const Body& findBody(const std::vector<Body>& bodies, std::string_view query) {
    std::vector<BodyName> names;
    for (const Body& body : bodies)
        names.push_back({body.number, body.name});
    std::string error;
    const std::ptrdiff_t found = velmora::findBody(names, query, error);
    if (found < 0) throw Error(error);
    return bodies[static_cast<size_t>(found)];
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
