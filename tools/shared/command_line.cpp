// The command line in plain words: what is wrong with it, and the nearest
// name where a command or option is misspelt.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "commands.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

// Edits from one word to the other: insertions, deletions, substitutions
// and swaps of neighbouring letters.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The candidate that `word` is most likely a slip for, if any is close.
std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = 3;  // more edits than this is another word
    for (const std::string& candidate : candidates) {
        const size_t distance = editDistance(word, candidate);
        if (distance < bestDistance && distance * 2 < candidate.size()) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

bool isNumber(const std::string& word) {
    double number = 0.0;
    const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), number);
    return !word.empty() && status == std::errc{} && end == word.data() + word.size();
}

// A level with its unit, as "-1dBTP" or "-3dBFS".
bool isLevel(const std::string& word) {
    for (const std::string unit : {"dBTP", "dBFS"}) {
        if (word.size() > unit.size() &&
            word.compare(word.size() - unit.size(), unit.size(), unit) == 0) {
            return isNumber(word.substr(0, word.size() - unit.size()));
        }
    }
    return false;
}

bool looksLikeOption(const std::string& word) {
    return word.size() >= 2 && word[0] == '-' && !isNumber(word);  // -1 is a value
}

std::vector<std::string> optionNames(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
    }
    return names;
}

// CLI11's account of a mistake, in the tool's words where it has some.
std::string explain(const CLI::ParseError& error) {
    const std::string what = error.what();
    const std::string option = what.substr(0, what.find(':'));
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        if (what.find("At Most") != std::string::npos) {
            return option + " is given more than once; give it once";
        }
        return option + " needs a value";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
        return "a value is not a number: " + what;
    }
    return what;
}

struct OptionalValue {
    std::string name;
    std::string fallback;
};

std::vector<OptionalValue>& optionalValues() {
    static std::vector<OptionalValue> options;
    return options;
}

// The command line with every option of an optional value given one.
std::vector<std::string> withOptionalValues(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    for (size_t i = 1; i < args.size(); ++i) {
        for (const OptionalValue& option : optionalValues()) {
            if (args[i] != option.name) continue;
            if (i + 1 < args.size() && isLevel(args[i + 1])) {
                // Joined, so that "-1dBTP" is not taken for an option.
                args[i] += "=" + args[i + 1];
                args.erase(args.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            } else if (i + 1 == args.size() || !isNumber(args[i + 1])) {
                args[i] += "=" + option.fallback;
            }
        }
    }
    return args;
}

int fail(const std::string& message, const std::string& help) {
    std::cerr << "velmora: " << message << " (see " << help << ")\n";
    return 2;
}

}  // namespace

CLI::Option* addTuningOption(CLI::App& command, std::string& word, bool withResample) {
    std::vector<std::string> words = {"true", "fixed"};
    std::string description =
        "true (the default): each body designed for the rate, sounding as at 44000 Hz; fixed: "
        "the module's coefficients, whose resonances move with the rate";
    if (withResample) {
        words.push_back("resample");
        description += "; resample: the module at 44000 Hz between two resamplings";
    }
    std::string names;
    for (const std::string& w : words)
        names += (names.empty() ? "" : "|") + w;
    return command.add_option("--tuning", word, description)
        ->check(CLI::IsMember(words).description(""))
        ->type_name(names);
}

CLI::Option* addOptionalValue(CLI::App& command, const std::string& name, std::string& target,
                              const std::string& fallback, const std::string& description) {
    optionalValues().push_back({name, fallback});
    return command.add_option(name, target, description);
}

CLI::Validator wholeNumber(int64_t lowest, int64_t highest) {
    const std::string range = std::to_string(lowest) + " to " + std::to_string(highest);
    return CLI::Validator(
        [lowest, highest, range](std::string& text) -> std::string {
            int64_t value = 0;
            const auto [end, status] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            if (status != std::errc{} || end != text.data() + text.size() || value < lowest ||
                value > highest) {
                return "takes a whole number from " + range + ", not \"" + text + "\"";
            }
            return {};
        },
        "");
}

CLI::Validator numberBetween(double lowest, double highest) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lowest, highest);
    return CLI::Validator(
        [lowest, highest, range = std::string(range)](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(value >= lowest && value <= highest)) {
                return "takes a number from " + range + ", not \"" + text + "\"";
            }
            return {};
        },
        "");
}

std::optional<int> parseCommandLine(CLI::App& app, const std::vector<Command>& commands, int argc,
                                    char** argv) {
    app.set_version_flag("--version", "velmora " + std::to_string(kVersion));
    std::vector<std::string> names;
    for (const Command& command : commands) {
        names.push_back(command.subcommand->get_name());
        // Leftovers are reported below, after the command line is read, in
        // the order a person reads it.
        command.subcommand->allow_extras();
        // Help names what a value is (--gain GAIN), not its C++ type.
        for (CLI::Option* option : command.subcommand->get_options()) {
            const std::string type = option->get_type_name();
            if (type != "TEXT" && type != "INT" && type != "FLOAT" && type != "UINT") continue;
            std::string name =
                option->get_lnames().empty() ? option->get_name() : option->get_lnames().front();
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            option->type_name(name);
        }
    }

    // The command comes first; only help and the version may stand before it.
    const std::string first = argc > 1 ? argv[1] : "";
    const bool forProgram = first == "-h" || first == "--help" || first == "--version";
    if (first.empty()) {
        return fail("name a command: " + listOf(names, "or"), "velmora --help");
    }
    if (!forProgram && first[0] == '-') {
        return fail("unknown option " + first +
                        " before the command; options follow it, as in "
                        "velmora COMMAND [OPTIONS]",
                    "velmora --help");
    }
    if (!forProgram && std::find(names.begin(), names.end(), first) == names.end()) {
        const std::string guess = nearest(first, names);
        return fail("unknown command \"" + first + "\"; " +
                        (guess.empty() ? "the commands are " + listOf(names, "or")
                                       : "did you mean " + guess + "?"),
                    "velmora --help");
    }
    const std::string help = forProgram ? "velmora --help" : "velmora " + first + " --help";

    std::vector<std::string> args = withOptionalValues(argc, argv);
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        return fail(explain(e), help);
    }

    for (const Command& command : commands) {
        if (!command.subcommand->parsed()) continue;
        std::vector<std::string> rest = command.subcommand->remaining();
        // "--" ends the options, so that a name may begin with "-".
        rest.erase(std::remove(rest.begin(), rest.end(), "--"), rest.end());
        const auto option = std::find_if(rest.begin(), rest.end(), looksLikeOption);
        if (option != rest.end()) {
            const std::string word = option->substr(0, option->find('='));
            const std::string guess = nearest(word, optionNames(*command.subcommand));
            return fail("unknown option " + word + " for " + first +
                            (guess.empty() ? "" : "; did you mean " + guess + "?"),
                        help);
        }
        if (!rest.empty()) {
            return fail("unexpected \"" + rest.front() + "\": " + first + " takes no more", help);
        }
    }
    return std::nullopt;
}

}  // namespace velmora::tool
