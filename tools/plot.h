// The measured responses as a table (CSV) and as a picture drawn by gnuplot.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "response.h"

namespace velmora::tool {

// Frequency in Hz, then each body's magnitude in dB, on a log-spaced grid.
void writeResponseCsv(const std::filesystem::path& path, const std::vector<Response>& responses);

// gnuplot on the PATH, if there is one.
std::optional<std::filesystem::path> findGnuplot();

// Magnitude in dB over a log frequency axis, one curve per body, as a PNG.
void plotResponses(const std::filesystem::path& gnuplot, const std::filesystem::path& png,
                   const std::vector<Response>& responses);

// The plot when gnuplot is there; otherwise says so and writes the CSV
// beside where the plot would have gone, unless `table` names one already
// written. Answers the file that holds the responses.
std::filesystem::path plotOrTable(const std::filesystem::path& png,
                                  const std::vector<Response>& responses,
                                  const std::filesystem::path& table = {});

}  // namespace velmora::tool
