// velmora render: a sound file through one body, every channel on its own instance.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "audio_file.h"
#include "body_chain.h"
#include "commands.h"
#include "driver.h"
#include "loaded_module.h"
#include "loudness.h"
#include "output_file.h"
#include "output_format.h"
#include "progress.h"
#include "tool_error.h"

namespace velmora::tool {

namespace fs = std::filesystem;

namespace {

struct RenderOptions {
    std::string modulePath;
    std::string body;
    std::vector<std::string> files;  // IN OUT, or with --out-dir the inputs
    std::string outDir;
    std::string batchFormat;  // --format: the outputs' extension
    bool asFloat = false;
    bool noDither = false;
    double quality = std::nan("");  // unset
    FormatRequest format;
    int blockFrames = 512;
    double gainDb = 0.0;
    std::string normalize;  // the peak's level in dBFS, or "" for none
    bool matchLoudness = false;
    double mix = 1.0;
    std::string tuning = "true";  // true, fixed or resample
    bool retune = false;          // --tuning resample by its older name
    std::string tail;             // seconds, "auto" for until quiet, or "" for none
    bool quiet = false;
};

// One input and where its output goes.
struct RenderJob {
    std::string input;
    std::string output;
};

// What a finished render tells the user.
struct RenderResult {
    std::string output;  // the output's name, or "standard output"
    bool toStandardOutput = false;
    int channels = 0;
    int64_t frames = 0;
    int rate = 0;
    std::string format;
};

// The longest ring-out --tail adds when it finds the end by listening.
constexpr double kLongestTail = 2.0;
// The ring-out has ended once the output stays below the quietest level
// for this long.
constexpr double kQuietRun = 0.1;

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

std::string seconds(int64_t frames, int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frames) / rate);
    return text;
}

std::string decibels(double gain) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f dB", 20.0 * std::log10(gain));
    return text;
}

std::string plural(int64_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Where the input holds NaN or infinite samples, which no sound file should.
struct NonFiniteInput {
    int64_t count = 0;
    int64_t firstFrame = 0;
    int firstChannel = 0;

    void scan(const float* samples, int64_t frames, int channels, int64_t startFrame) {
        for (int64_t i = 0; i < frames * channels; ++i) {
            if (std::isfinite(samples[i])) continue;
            if (count++ == 0) {
                firstFrame = startFrame + i / channels;
                firstChannel = static_cast<int>(i % channels);
            }
        }
    }
};

// The output of a render before it is written: straight to the writer,
// or, when the level is set from the whole output, into a float temporary
// file and from there to the writer, scaled, in a second pass. Both passes
// stream, so memory stays the same however long the file.
class LevelStage {
  public:
    LevelStage(AudioWriter& writer, const RenderOptions& options, int channels, int rate)
        : writer(writer), options(options), channels(channels) {
        if (!options.normalize.empty() || options.matchLoudness) {
            spool.reset(std::tmpfile());
            if (spool == nullptr) throw Error("cannot make a temporary file for the second pass");
        }
        if (options.matchLoudness) {
            inputLoudness.emplace(channels, rate);
            outputLoudness.emplace(channels, rate);
        }
    }

    void input(const float* frames, int64_t count) {
        if (inputLoudness) inputLoudness->add(frames, count);
    }

    void write(const float* frames, int64_t count) {
        written += count;
        if (spool == nullptr) {
            writer.write(frames, count);
            return;
        }
        const size_t samples = static_cast<size_t>(count * channels);
        for (size_t i = 0; i < samples; ++i) {
            if (std::isfinite(frames[i])) peak = std::max(peak, double{std::fabs(frames[i])});
        }
        if (outputLoudness) outputLoudness->add(frames, count);
        if (std::fwrite(frames, sizeof(float), samples, spool.get()) != samples) {
            throw Error("cannot write the temporary file: " + std::string(std::strerror(errno)));
        }
    }

    // The second pass, when there is one.
    void finish() {
        if (spool == nullptr) return;
        const double scale = levelScale();
        std::rewind(spool.get());
        std::vector<float> chunk(static_cast<size_t>(16384 * channels));
        for (int64_t left = written; left > 0;) {
            checkInterrupted();
            const int64_t frames = std::min<int64_t>(left, 16384);
            const size_t samples = static_cast<size_t>(frames * channels);
            if (std::fread(chunk.data(), sizeof(float), samples, spool.get()) != samples) {
                throw Error("cannot read the temporary file back");
            }
            for (float& x : chunk)
                x = static_cast<float>(x * scale);
            writer.write(chunk.data(), frames);
            left -= frames;
        }
    }

    int64_t frames() const { return written; }

  private:
    double levelScale() const {
        if (!options.normalize.empty()) {
            if (peak == 0.0) {
                note("the output is silent, so there is no peak to normalize");
                return 1.0;
            }
            return std::pow(10.0, std::stod(options.normalize) / 20.0) / peak;
        }
        const double before = inputLoudness->integrated();
        const double after = outputLoudness->integrated();
        const double gain = std::pow(10.0, options.gainDb / 20.0);
        if (!std::isfinite(before) || !std::isfinite(after)) {
            note(
                "the input or the output is too short or quiet to measure its loudness, so "
                "the loudness is not matched");
            return gain;
        }
        return std::pow(10.0, (before - after) / 20.0) * gain;
    }

    struct CloseFile {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    AudioWriter& writer;
    const RenderOptions& options;
    int channels;
    std::unique_ptr<std::FILE, CloseFile> spool;
    int64_t written = 0;
    double peak = 0.0;
    std::optional<LoudnessMeter> inputLoudness, outputLoudness;
};

// Where the output ends: the input's length, or, with --tail, the ring-out
// after it, which is held back until its end is known.
class Tail {
  public:
    Tail(const std::string& tail, int rate, int channels, const OutputFormat& format)
        : channels(channels) {
        if (tail.empty()) return;
        listening = tail == "auto";
        longest =
            static_cast<int64_t>(std::llround((listening ? kLongestTail : std::stod(tail)) * rate));
        quietRun = static_cast<int64_t>(kQuietRun * rate);
        // Below the smallest step the output format keeps, or -120 dBFS.
        quiet = format.integerBits > 0 ? std::ldexp(1.0, 1 - format.integerBits) : 1e-6;
    }

    int64_t longestFrames() const { return longest; }

    // Output frames past the input's end.
    void add(const float* frames, int64_t count) {
        for (int64_t i = 0; i < count * channels; ++i) {
            if (std::fabs(frames[i]) >= quiet) loudFrames = held() + i / channels + 1;
        }
        ring.insert(ring.end(), frames, frames + count * channels);
    }

    // Whether enough has been heard to know where the ring-out ends.
    bool complete() const {
        return held() >= longest || (listening && held() - loudFrames >= quietRun);
    }

    // The ring-out as it is written.
    std::vector<float>& cut() {
        ring.resize(
            static_cast<size_t>(std::min(listening ? loudFrames : longest, longest) * channels),
            0.0f);
        return ring;
    }

  private:
    int64_t held() const { return static_cast<int64_t>(ring.size()) / channels; }

    int channels;
    bool listening = false;
    int64_t longest = 0;
    int64_t quietRun = 0;
    double quiet = 0.0;
    std::vector<float> ring;
    int64_t loudFrames = 0;  // frames up to the last one not quiet
};

RenderResult renderFile(const RenderOptions& options, const LoadedModule& module, const Body& body,
                        const RenderJob& job, Progress* shared) {
    AudioReader input(job.input);
    const OutputTarget target = findOutput(job.output, true);
    if (target.kind != OutputTarget::Kind::StandardOutput && job.input != "-" &&
        sameFile(job.input, target.file)) {
        throw Error("the output " + job.output + " is the input; choose another name");
    }
    FormatRequest request = options.format;
    if (!std::isnan(options.quality)) request.quality = options.quality;
    if (options.asFloat) {
        if (!request.bits.empty() && request.bits != "float") {
            throw Error("--float and --bits " + request.bits + " ask for different samples");
        }
        request.bits = "float";
    }
    const int rate = input.sampleRate();
    const int channelCount = input.channels();
    SourceFormat source;
    source.format = input.format();
    source.sampleRate = rate;
    source.channels = channelCount;
    source.frames = input.declaredFrames();
    source.hasLayout = input.metadata().layoutMatters();
    const OutputFormat format = chooseOutputFormat(job.output, source, request);

    ChainSettings settings;
    settings.sampleRate = rate;
    settings.channels = channelCount;
    settings.blockFrames = options.blockFrames;
    settings.tuning = options.retune ? ToolTuning::Resample : tuningFromWord(options.tuning);
    settings.mix = options.mix;
    // A loudness match sets the level from the whole output; the gain goes on top.
    settings.gain = options.matchLoudness ? 1.0 : std::pow(10.0, options.gainDb / 20.0);
    BodyChain chain(*module.library, body, settings);
    if (settings.tuning == ToolTuning::Fixed) {
        noteTuning(rate, "--tuning true plays them where they were tuned");
    }
    if (!format.note.empty()) note(format.note);

    OutputFile output(target);
    AudioWriter writer(output.descriptor(), target.describe(), format, rate, channelCount,
                       !options.noDither);
    const std::vector<std::string> lost = writer.keep(input.metadata());
    LevelStage level(writer, options, channelCount, rate);
    Tail tail(options.tail, rate, channelCount, format);

    // Whole blocks per chunk, so that every block the module sees is full
    // until the file's last.
    const int64_t chunk = options.blockFrames * std::max(1, 16384 / options.blockFrames);
    std::vector<float> interleaved(static_cast<size_t>(chunk * channelCount));
    std::vector<float> produced;
    std::optional<Progress> own;
    if (shared == nullptr) {
        own.emplace("rendering " + (job.output == "-" ? target.describe()
                                                      : fs::path(job.output).filename().string()),
                    job.input == "-" ? 0 : input.frames(), int64_t{30} * rate, options.quiet);
    }
    NonFiniteInput nonFinite;
    int64_t done = 0;
    bool ended = false;
    // Output up to the input's length is written as it comes; past it, it
    // is the ring-out.
    auto pass = [&] {
        const int64_t frames = static_cast<int64_t>(produced.size()) / channelCount;
        const int64_t main = ended ? std::min(frames, done - level.frames()) : frames;
        level.write(produced.data(), main);
        tail.add(produced.data() + main * channelCount, frames - main);
        produced.clear();
    };
    for (;;) {
        checkInterrupted();
        const int64_t frames = input.read(interleaved.data(), chunk);
        if (frames == 0) break;
        nonFinite.scan(interleaved.data(), frames, channelCount, done);
        level.input(interleaved.data(), frames);
        chain.push(interleaved.data(), frames, produced);
        pass();
        done += frames;
        if (own) own->update(done);
        if (shared != nullptr) shared->advance(frames);
    }
    ended = true;
    if (tail.longestFrames() > 0) {
        std::fill(interleaved.begin(), interleaved.end(), 0.0f);
        for (int64_t fed = 0; fed < tail.longestFrames() && !tail.complete();) {
            checkInterrupted();
            const int64_t frames = std::min(chunk, tail.longestFrames() - fed);
            chain.push(interleaved.data(), frames, produced);
            pass();
            fed += frames;
        }
    }
    chain.finish(produced);
    pass();
    const std::vector<float>& ring = tail.cut();
    level.write(ring.data(), static_cast<int64_t>(ring.size()) / channelCount);
    if (own) own->finish();
    level.finish();
    writer.close();
    output.commit();

    RenderResult result;
    result.output = target.describe();
    result.toStandardOutput = target.kind == OutputTarget::Kind::StandardOutput;
    result.channels = channelCount;
    result.frames = level.frames();
    result.rate = rate;
    result.format = describeFormat(format.format);

    const std::string inputName = job.input == "-" ? "standard input" : job.input;
    // An MP3's length is an estimate unless a read failed.
    const bool estimated = (input.format() & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    if (done < input.declaredFrames() && (!estimated || !input.problem().empty())) {
        note(inputName + " is cut short: its header promises " +
             plural(input.declaredFrames(), "frame", "frames") + " (" +
             seconds(input.declaredFrames(), rate) + ") but it holds " +
             plural(done, "frame", "frames") + " (" + seconds(done, rate) +
             (input.problem().empty() ? ")" : "; " + input.problem() + ")") +
             ", so the output is as short");
    }
    if (nonFinite.count > 0) {
        note(inputName + " holds " + plural(nonFinite.count, "sample", "samples") +
             " that are not numbers (NaN) or infinite, the first at " +
             seconds(nonFinite.firstFrame, rate) + " (frame " +
             std::to_string(nonFinite.firstFrame) + ", channel " +
             std::to_string(nonFinite.firstChannel + 1) + ")");
    }
    if (writer.nonFiniteSamples() > 0) {
        note(plural(writer.nonFiniteSamples(), "sample", "samples") +
             " of the output are not numbers or infinite" +
             (format.integerBits > 0 ? "; they are written as 0 or full scale" : ""));
    }
    if (!lost.empty()) {
        note(containerName(format.format) + " has no place for " + listOf(lost, "and") + " of " +
             inputName + ", so the output goes without");
    }
    const double peak = writer.peak();
    const std::string turnDown =
        options.normalize.empty() ? "--gain or --normalize" : "--normalize";
    if (writer.clippedSamples() > 0) {
        note(plural(writer.clippedSamples(), "sample", "samples") +
             " went beyond full scale and were clipped (the output peaks at " + decibels(peak) +
             "FS); " +
             (format.holdsFloat ? "--bits float keeps them"
                                : "a .wav output with --bits float keeps them") +
             ", " + turnDown + " turns them down");
    } else if (peak > 1.0 && format.integerBits == 0) {
        note("the output peaks at " + decibels(peak) + "FS, over full scale by " +
             decibels(peak).substr(1) +
             (format.lossy ? ": players will clip it"
                           : ": the float samples keep it, but players "
                             "and integer formats will clip it") +
             " unless it is turned down by that much (" + turnDown + ")");
    }
    return result;
}

void printResult(const RenderResult& result, const Body& body) {
    // The summary goes with the other messages when the sound takes standard output.
    std::FILE* summary = result.toStandardOutput ? stderr : stdout;
    std::fprintf(summary, "%s: %s, %s, %.2f s at %d Hz, %s\n", result.output.c_str(),
                 body.name.c_str(), plural(result.channels, "channel", "channels").c_str(),
                 static_cast<double>(result.frames) / result.rate, result.rate,
                 result.format.c_str());
    std::fflush(summary);
}

// Several inputs into a folder, one file per worker on up to two cores; a
// failure is reported and the other files still run.
void renderBatch(const RenderOptions& options, const LoadedModule& module, const Body& body) {
    struct Entry {
        RenderJob job;
        std::optional<RenderResult> result;
        std::string error;
        std::vector<std::string> notes;
    };
    std::error_code error;
    fs::create_directories(options.outDir, error);
    if (!fs::is_directory(options.outDir)) {
        throw Error("cannot make the folder " + options.outDir +
                    (error ? ": " + error.message() : ""));
    }
    std::vector<Entry> entries;
    int64_t total = 0;
    int worthShowing = 0;
    for (const std::string& input : options.files) {
        if (input == "-") throw Error("a batch reads files; standard input is for one render");
        fs::path name = fs::path(input).filename();
        if (!options.batchFormat.empty()) {
            const std::string ext = options.batchFormat;
            name.replace_extension(ext.front() == '.' ? ext : "." + ext);
        }
        Entry entry;
        entry.job = {input, (fs::path(options.outDir) / name).string()};
        for (const Entry& earlier : entries) {
            if (earlier.job.output == entry.job.output) {
                entry.error = "another input of this batch already writes " + entry.job.output;
            }
        }
        SF_INFO info{};
        if (SNDFILE* file = sf_open(input.c_str(), SFM_READ, &info)) {
            total += info.frames;
            worthShowing = std::max(worthShowing, info.samplerate);
            sf_close(file);
        }
        entries.push_back(std::move(entry));
    }

    Progress progress("rendering " + plural(static_cast<int64_t>(entries.size()), "file", "files"),
                      total, int64_t{30} * worthShowing, options.quiet);
    std::atomic<size_t> next = 0;
    auto work = [&] {
        for (size_t i = next++; i < entries.size(); i = next++) {
            Entry& entry = entries[i];
            if (!entry.error.empty()) continue;
            NoteCollector collector(entry.notes);
            try {
                entry.result = renderFile(options, module, body, entry.job, &progress);
            } catch (const std::exception& e) {
                entry.error = e.what();
            }
        }
    };
    {
        std::vector<std::jthread> workers;
        const size_t count = std::min<size_t>(2, entries.size());
        for (size_t i = 1; i < count; ++i)
            workers.emplace_back(work);
        work();
    }
    progress.finish();

    size_t width = 5;
    for (const Entry& entry : entries)
        width = std::max(width, entry.job.input.size());
    int failed = 0;
    if (!options.quiet) std::printf("%-*s  result\n", static_cast<int>(width), "input");
    for (const Entry& entry : entries) {
        if (entry.result) {
            if (options.quiet) continue;
            const RenderResult& r = *entry.result;
            std::printf("%-*s  %s: %s, %.2f s at %d Hz, %s\n", static_cast<int>(width),
                        entry.job.input.c_str(), r.output.c_str(), body.name.c_str(),
                        static_cast<double>(r.frames) / r.rate, r.rate, r.format.c_str());
        } else {
            ++failed;
            if (!options.quiet) {
                std::printf("%-*s  failed: %s\n", static_cast<int>(width), entry.job.input.c_str(),
                            entry.error.c_str());
            }
        }
    }
    std::fflush(stdout);
    for (const Entry& entry : entries) {
        for (const std::string& text : entry.notes)
            note(entry.job.input + ": " + text);
        if (!entry.result) note(entry.job.input + ": " + entry.error);
    }
    if (failed > 0) {
        note(std::to_string(entries.size() - failed) + " of " +
             plural(static_cast<int64_t>(entries.size()), "file", "files") + " rendered, " +
             std::to_string(failed) + " failed");
        throw ExitStatus{1};
    }
}

void render(const RenderOptions& options) {
    if (options.body.empty()) {
        throw Error("render needs --body NAME or NUMBER (velmora info lists the bodies)");
    }
    if (!options.normalize.empty() && (options.matchLoudness || options.gainDb != 0.0)) {
        throw Error("--normalize sets the level alone; leave out --gain and --match-loudness");
    }
    const bool batch = !options.outDir.empty();
    if (batch ? options.files.empty() : options.files.size() != 2) {
        throw Error(options.files.size() > 2
                        ? "unexpected \"" + options.files[2] +
                              "\": render takes IN OUT, or several inputs with --out-dir DIR"
                        : "render needs an input and an output: velmora render --body NAME IN "
                          "OUT");
    }
    const LoadedModule module = loadModule(options.modulePath);
    const Body& body = findBody(module.bodies, options.body);
    if (batch) {
        renderBatch(options, module, body);
        return;
    }
    RenderOptions single = options;
    if (!options.batchFormat.empty()) {
        if (!single.format.type.empty()) throw Error("--format and --type say the same; give one");
        single.format.type = options.batchFormat;
    }
    const RenderResult result =
        renderFile(single, module, body, {options.files[0], options.files[1]}, nullptr);
    if (!options.quiet) printResult(result, body);
}

}  // namespace

Command addRenderCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand("render", "Play sound files through one body");
    auto options = std::make_shared<RenderOptions>();
    addModuleOption(*command, options->modulePath);
    command->add_option("--body", options->body, "Body by name or number (see velmora info)");
    command->add_option("files", options->files,
                        "IN OUT: the sound file to read (WAV, FLAC, AIFF, MP3, ...; - for standard "
                        "input) and the file to write, its format named by its extension (- for "
                        "standard output); with --out-dir, the inputs");
    command->add_option("--out-dir", options->outDir,
                        "Render every input into this folder, under its own name");
    command->add_option("--format", options->batchFormat,
                        "The outputs' format as an extension (wav, flac, ...); default: each "
                        "input's");
    command->add_option("--bits", options->format.bits,
                        "Sample depth of a lossless output: 16, 24, 32 or float "
                        "(default: the input's)");
    command->add_flag("--float", options->asFloat, "The same as --bits float");
    command->add_flag("--no-dither", options->noDither,
                      "Round 16-bit and smaller samples without dither");
    command
        ->add_option("--quality", options->quality,
                     "Quality of an .ogg, .opus or .mp3 output, 0 (smallest) to 10 (best); "
                     "default: the encoder's")
        ->check(numberBetween(0.0, 10.0));
    command->add_option("--type", options->format.type,
                        "Format for - or a name without extension, as an extension (wav, flac, "
                        "...); default: the input's");
    command->add_option("--block", options->blockFrames, "Frames per processing block (1 to 65536)")
        ->check(wholeNumber(1, 65536))
        ->capture_default_str();
    command->add_option("--gain", options->gainDb, "Gain in dB after the body")
        ->check(numberBetween(-100.0, 60.0));
    addOptionalValue(*command, "--normalize", options->normalize, "-1",
                     "Scale the output so that its peak sits at DBFS (default -1)")
        ->check(numberBetween(-100.0, 0.0));
    command->add_flag("--match-loudness", options->matchLoudness,
                      "Make the output's integrated loudness (EBU R128) the input's");
    command->add_option("--mix", options->mix, "Dry/wet: 0 the input, 1 the body alone (default)")
        ->check(numberBetween(0.0, 1.0));
    CLI::Option* tuning = addTuningOption(*command, options->tuning, true);
    command->add_flag("--retune", options->retune, "The same as --tuning resample")
        ->excludes(tuning);
    addOptionalValue(*command, "--tail", options->tail, "auto",
                     "Add the ring-out after the input: SECONDS, or by default until it falls "
                     "below the output's smallest step (-120 dBFS for float), at most 2 s")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text == "auto") return {};
                return numberBetween(0.0, 60.0)(text);
            },
            "SECONDS"));
    command->add_flag("-q,--quiet", options->quiet, "No progress and no summary, only problems");
    return {command, [options] { render(*options); }};
}

}  // namespace velmora::tool
