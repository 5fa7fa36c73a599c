#include "plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "output_file.h"
#include "tool_error.h"

extern char** environ;

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

constexpr int kPlotPoints = 1500;

std::string csvText(const std::vector<Response>& responses) {
    std::ostringstream out;
    out << "frequency_hz";
    for (const Response& r : responses)
        out << ",\"" << r.body.name << "\"";
    out << '\n';

    const auto frequencies = plotFrequencies(responses.front().sampleRate, kPlotPoints);
    std::vector<std::vector<double>> columns;
    for (const Response& r : responses)
        columns.push_back(magnitudeAt(r, frequencies));
    char cell[32];
    for (size_t i = 0; i < frequencies.size(); ++i) {
        std::snprintf(cell, sizeof cell, "%.3f", frequencies[i]);
        out << cell;
        for (const auto& column : columns) {
            std::snprintf(cell, sizeof cell, ",%.3f",
                          20.0 * std::log10(std::max(column[i], 1e-15)));
            out << cell;
        }
        out << '\n';
    }
    return out.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw Error("cannot write " + path.string());
}

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `program script` in `folder`, its output into `log`; answers its exit status.
int runProgram(const fs::path& program, const fs::path& script, const fs::path& log,
               const fs::path& folder) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string programText = program.string();
    std::string scriptText = script.string();
    char* argv[] = {programText.data(), scriptText.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string firstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line) && line.find_first_not_of(" \t") == std::string::npos) {
    }
    return line;
}

}  // namespace

void writeResponseCsv(const fs::path& path, const std::vector<Response>& responses) {
    OutputFile output(findOutput(path.string()));
    output.write(csvText(responses));
    output.commit();
}

std::optional<fs::path> findGnuplot() {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const fs::path candidate = fs::path(folder.empty() ? "." : folder) / "gnuplot";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

void plotResponses(const fs::path& gnuplot, const fs::path& png,
                   const std::vector<Response>& responses) {
    // gnuplot works in a private folder, so that no path it is given needs
    // quoting; the finished picture is then written to its target.
    OutputFile output(findOutput(png.string()));
    TemporaryFolder work;
    writeText(work.path() / "data.csv", csvText(responses));

    const double rate = responses.front().sampleRate;
    const size_t curves = responses.size();
    std::ofstream script(work.path() / "plot.gp");
    script << "set terminal pngcairo size 960,540 font ',10'\n"
              "set output 'plot.png'\n"
              "set datafile separator ','\n"
              "set logscale x\n"
              "set xrange [20:"
           << 0.499 * rate
           << "]\n"
              "set yrange [-40:*]\n"
              "set xlabel 'Frequency (Hz)'\n"
              "set ylabel 'Magnitude (dB)'\n"
              "set grid xtics ytics mxtics\n"
              "set key outside right top\n"
              "set title 'Body responses at "
           << rate
           << " Hz'\n"
              // Eight colours, then the same eight dashed, keep every curve apart.
              "array colours[8] = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', "
              "'#ff7f0e', '#8c564b', '#17becf', '#000000']\n"
              "colour(i) = colours[(i - 2) % 8 + 1]\n"
              "dashes(i) = (i - 2) / 8 + 1\n"
              "plot for [i=2:"
           << curves + 1
           << "] 'data.csv' using 1:i title columnheader(i)"
              " with lines lw 1.3 lc rgb colour(i) dt dashes(i)\n";
    script.close();

    const fs::path log = work.path() / "gnuplot.log";
    const int status = runProgram(gnuplot, work.path() / "plot.gp", log, work.path());
    checkInterrupted();
    if (status != 0 || !fs::exists(work.path() / "plot.png")) {
        const std::string why = firstLine(log);
        throw Error("gnuplot could not draw " + png.string() + (why.empty() ? "" : ": " + why));
    }
    output.write(readBytes(work.path() / "plot.png"));
    output.commit();
}

fs::path plotOrTable(const fs::path& png, const std::vector<Response>& responses,
                     const fs::path& table) {
    if (const auto gnuplot = findGnuplot()) {
        plotResponses(*gnuplot, png, responses);
        return png;
    }
    const std::string missing = "gnuplot not found (Debian package gnuplot-nox), so no plot; ";
    if (!table.empty()) {
        note(missing + "the responses are in " + table.string());
        return table;
    }
    fs::path csv = png;
    csv.replace_extension(".csv");
    note(missing + "writing " + csv.string() + " instead");
    writeResponseCsv(csv, responses);
    return csv;
}

}  // namespace velmora::tool
