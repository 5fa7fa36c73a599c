// STAND-IN: replaced by the kernel layer's list of bodies once it lands.
#pragma once

#include <array>

#include "body_names.h"

namespace velmora {

inline constexpr std::array<NamedBody, 17> kBodyNames = {{
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

}  // namespace velmora
