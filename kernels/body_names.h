// Finding a body from what a person types: by number, or by name, loosely.
// The command-line tool and the Python package both find bodies through this,
// so that a name one accepts the other accepts too.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "body_list.h"

namespace velmora {

// The body `query` names among `bodies`: by number ("8"), or by name with
// case, spacing and punctuation ignored and Roman and Arabic numerals the same
// ("cello1", "Cello I", "cor-anglais-2"), an unambiguous beginning being
// enough ("contra"). Answers its index, or -1 with `error` saying which bodies
// could be meant or, when none fits, listing them all.
std::ptrdiff_t findBody(std::span<const BodyName> bodies, std::string_view query,
                        std::string& error);

}  // namespace velmora
