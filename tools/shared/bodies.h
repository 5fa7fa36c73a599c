// The bodies the module offers, as its "Type" pin lists them, and finding one
// from what a person types.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "abi.h"

namespace velmora::tool {

struct Body {
    int number = 0;    // the Type pin's value
    std::string name;  // as the module spells it
};

// The entries of the first enumeration input among `pins`, with the pass
// filter as 0 when the list does not name it.
std::vector<Body> bodiesFrom(const std::vector<PinProperties>& pins);

// A body by number or by name, matched loosely as velmora::findBody does
// ("cello1", "Cello I", "cor-anglais-2", "contra"). Throws with the choices
// when nothing, or more than one body, fits.
const Body& findBody(const std::vector<Body>& bodies, std::string_view query);

// A name for files: "Cor Anglais II" becomes "cor-anglais-ii".
std::string fileStem(const Body& body);

}  // namespace velmora::tool
