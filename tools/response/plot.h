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

// Magnitude in dB over a log frequency axis, a small plot per family of
// bodies, each body in a colour of its own with its peak named; PNG, SVG or
// PDF as the picture's extension says.
void plotResponses(const std::filesystem::path& gnuplot, const std::filesystem::path& png,
                   const std::vector<Response>& responses);

// Throws unless `picture` names a format the plot is drawn in.
void checkPlotName(const std::filesystem::path& picture);

// The plot when gnuplot is there; otherwise says so and writes the CSV
// beside where the plot would have gone, unless `table` names one already
// written. Answers the file that holds the responses.
std::filesystem::path plotOrTable(const std::filesystem::path& png,
                                  const std::vector<Response>& responses,
                                  const std::filesystem::path& table = {});

}  // namespace velmora::tool
