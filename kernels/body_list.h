// The bodies by number and name: the plain pass filter at 0, then the sixteen
// bodies with the numbers and names of the module's "Type" list. Everything
// that names the bodies to people (the plugin's description, its presets, the
// tool) takes them from this one table, so the names cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "kernels.h"

namespace velmora {

struct BodyName {
    int number;             // the "Type" value that plays the body
    std::string_view name;  // as the module spells it
};

inline constexpr std::array<BodyName, kTypeCount> kBodyNames{{
    {0, "Pass filter"},
    {1, "Violin I"},
    {2, "Violin II"},
    {3, "Violin III"},
    {4, "Viola I"},
    {5, "Viola II"},
    {6, "Viol I"},
    {7, "Viol II"},
    {8, "Cello I"},
    {9, "Cello II"},
    {10, "Bass"},
    {11, "Contrabass"},
    {12, "Oboe I"},
    {13, "Oboe II"},
    {14, "Cor Anglais I"},
    {15, "Cor Anglais II"},
    {16, "Sympathetic"},
}};

// Each body sits at its own number, so the table can be indexed by it.
static_assert([] {
    for (std::size_t i = 0; i < kBodyNames.size(); ++i) {
        if (kBodyNames[i].number != static_cast<int>(i)) return false;
    }
    return true;
}());

// The body a new instance plays, and the one every value outside 0 to 16 plays.
inline constexpr int kDefaultBody = 1;

}  // namespace velmora
