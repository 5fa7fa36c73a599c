#include "plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
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

namespace {

// The families the bodies are drawn in, one small plot each, by "Type" value.
struct Family {
    const char* title;
    std::vector<int> bodies;
};

const std::vector<Family>& families() {
    static const std::vector<Family> all = {
        {"Violins", {1, 2, 3}},
        {"Violas and viols", {4, 5, 6, 7}},
        {"Cellos and basses", {8, 9, 10, 11}},
        {"Oboes and cors anglais", {12, 13, 14, 15}},
        {"Sympathetic and the pass filter", {16, 0}},
    };
    return all;
}

// A colour of its own for each of the seventeen bodies, by "Type" value.
constexpr const char* kColours[] = {"#000000", "#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                    "#ff7f0e", "#8c564b", "#e377c2", "#17becf", "#bcbd22",
                                    "#7f7f7f", "#393b79", "#e6550d", "#31a354", "#843c39",
                                    "#6b6ecf", "#d6616b"};

const char* colourOf(int body) {
    constexpr int count = static_cast<int>(std::size(kColours));
    return kColours[((body % count) + count) % count];
}

// gnuplot's terminal for the picture's extension.
std::string terminalFor(const fs::path& picture) {
    std::string extension = picture.extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".png") return "pngcairo size 1500,1000 font ',10'";
    if (extension == ".svg") return "svg size 1500,1000 font 'Sans,10' background '#ffffff'";
    if (extension == ".pdf") return "pdfcairo size 15in,10in font ',10'";
    throw Error("a plot is drawn as .png, .svg or .pdf, not " +
                (extension.empty() ? picture.string() : extension));
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

}  // namespace

void plotResponses(const fs::path& gnuplot, const fs::path& picture,
                   const std::vector<Response>& responses) {
    const std::string terminal = terminalFor(picture);
    // gnuplot works in a private folder, so that no path it is given needs
    // quoting; the finished picture is then written to its target.
    OutputFile output(findOutput(picture.string()));
    TemporaryFolder work;
    writeText(work.path() / "data.csv", csvText(responses));

    // The panels: each family with a body measured, then any body no family
    // holds; one body alone gets one panel named after it.
    struct Panel {
        std::string title;
        std::vector<size_t> columns;  // indices into responses
    };
    std::vector<Panel> panels;
    std::vector<bool> placed(responses.size(), false);
    if (responses.size() > 1) {
        for (const Family& family : families()) {
            Panel panel{family.title, {}};
            for (const int number : family.bodies) {
                for (size_t i = 0; i < responses.size(); ++i) {
                    if (responses[i].body.number == number && !placed[i]) {
                        panel.columns.push_back(i);
                        placed[i] = true;
                    }
                }
            }
            if (!panel.columns.empty()) panels.push_back(panel);
        }
    }
    Panel rest{responses.size() == 1 ? responses.front().body.name : "Other bodies", {}};
    for (size_t i = 0; i < responses.size(); ++i) {
        if (!placed[i]) rest.columns.push_back(i);
    }
    if (!rest.columns.empty()) panels.push_back(rest);

    const double rate = responses.front().sampleRate;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%g Hz", rate);
    const int columns = panels.size() > 1 ? 2 : 1;
    const int rows = static_cast<int>((panels.size() + columns - 1) / columns);

    std::ofstream script(work.path() / "plot.gp");
    script << "set terminal " << terminal << "\n"
           << "set output 'plot" << picture.extension().string() << "'\n"
           << "set datafile separator ','\n"
              "set logscale x\n"
              "set xrange [20:"
           << 0.499 * rate
           << "]\n"
              "set yrange [-40:30]\n"
              "set xlabel 'Frequency (Hz)'\n"
              "set ylabel 'Magnitude (dB)'\n"
              "set grid xtics ytics mxtics lc rgb '#dddddd'\n"
              "set key top left reverse Left samplen 2\n"
           << "set multiplot layout " << rows << "," << columns << " title "
           << quoted("Magnitude responses at " + std::string(rateText) +
                     (responses.size() == 1 ? ": " + responses.front().body.name : ""))
           << " font ',13'\n";
    for (const Panel& panel : panels) {
        std::string names;
        for (size_t k = 0; k < panel.columns.size(); ++k) {
            names += (k == 0 ? "" : ", ") + responses[panel.columns[k]].body.name;
        }
        script << "set title " << quoted(panel.title + (panel.title == names ? "" : ": " + names))
               << "\nunset label\n";
        // Each peak marked on its curve and named in the legend by its
        // frequency, which stays legible where peaks crowd together.
        std::vector<std::string> titles;
        for (const size_t i : panel.columns) {
            const Response& r = responses[i];
            titles.push_back(r.body.name);
            if (r.body.number == 0) continue;  // flat: its largest gain is no resonance
            char peak[64];
            std::snprintf(peak, sizeof peak, ", peak %.0f Hz", r.peak.frequency);
            titles.back() += peak;
            script << "set label '' at " << r.peak.frequency << ","
                   << 20.0 * std::log10(std::max(r.peak.gain, 1e-15))
                   << " point pt 7 ps 0.8 lc rgb '" << colourOf(r.body.number) << "' front\n";
        }
        script << "plot 0 notitle with lines dt 2 lw 1 lc rgb '#555555'";
        for (size_t k = 0; k < panel.columns.size(); ++k) {
            const size_t i = panel.columns[k];
            script << ", 'data.csv' using 1:" << i + 2 << " title " << quoted(titles[k])
                   << " with lines lw 1.5 lc rgb '" << colourOf(responses[i].body.number) << "'";
        }
        script << "\n";
    }
    script << "unset multiplot\n";
    script.close();

    const std::string produced = "plot" + picture.extension().string();
    const fs::path log = work.path() / "gnuplot.log";
    const int status = runProgram(gnuplot, work.path() / "plot.gp", log, work.path());
    checkInterrupted();
    if (status != 0 || !fs::exists(work.path() / produced)) {
        const std::string why = firstLine(log);
        throw Error("gnuplot could not draw " + picture.string() + (why.empty() ? "" : ": " + why));
    }
    output.write(readBytes(work.path() / produced));
    output.commit();
}

void checkPlotName(const fs::path& picture) {
    terminalFor(picture);
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
