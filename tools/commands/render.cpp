// velmora render: a sound file through one body, every channel on its own instance.
#include <unistd.h>

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
#include "resampler.h"
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
    std::string normalize;           // the peak's level, "-1" (dBFS) or "-1dBTP", or "" for none
    double loudness = std::nan("");  // the integrated loudness to reach in LUFS, or unset
    bool matchLoudness = false;
    double mix = 1.0;
    std::string tuning;   // true (empty: not given), fixed or resample
    bool retune = false;  // --tuning resample by its older name
    std::string tail;     // seconds, "auto" for until quiet, or "" for none
    bool quiet = false;
    int rate = 0;         // the output's sample rate, or 0 for the input's
    std::string suffix;   // added to a batch's output names, before the extension
    bool mirror = false;  // a batch keeps its inputs' folders under --out-dir
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

// Where a stream holds NaN or infinite samples, which no sound file should.
struct NonFiniteSamples {
    int64_t count = 0;
    int64_t firstFrame = 0;
    int firstChannel = 0;
    int64_t frames = 0;  // scanned so far

    // With `silence`, each is made 0.
    void scan(float* samples, int64_t length, int channels, bool silence) {
        for (int64_t i = 0; i < length * channels; ++i) {
            if (std::isfinite(samples[i])) continue;
            if (count++ == 0) {
                firstFrame = frames + i / channels;
                firstChannel = static_cast<int>(i % channels);
            }
            if (silence) samples[i] = 0.0f;
        }
        frames += length;
    }

    // "2 samples ..., the first at 0.007 s (frame 300, channel 2)"
    std::string where(int rate) const {
        return plural(count, "sample", "samples") + " that are not numbers (NaN) or infinite" +
               ", the first at " + seconds(firstFrame, rate) + " (frame " +
               std::to_string(firstFrame) + ", channel " + std::to_string(firstChannel + 1) + ")";
    }
};

// Where the output ends: the input's length, or, with --tail, the ring-out
// after it, which is held back until its end is known.
int64_t tailFrames(const std::string& tail, int rate) {
    if (tail.empty()) return 0;
    return std::llround((tail == "auto" ? kLongestTail : std::stod(tail)) * rate);
}

class Tail {
  public:
    // `scaledLater`: the level is set once the whole output is known, so the
    // ring-out is heard to its longest and cut at the level as written.
    Tail(const std::string& tail, int rate, int channels, const OutputFormat& format,
         bool scaledLater)
        : channels(channels), scaledLater(scaledLater) {
        if (tail.empty()) return;
        listening = tail == "auto";
        longest = tailFrames(tail, rate);
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
        return held() >= longest || (listening && !scaledLater && held() - loudFrames >= quietRun);
    }

    // Everything heard, before it is cut.
    const std::vector<float>& heard() const { return ring; }

    // The ring-out as it is written at `scale` times its level.
    std::vector<float>& cut(double scale) {
        int64_t end = longest;
        if (listening) {
            end = 0;
            for (size_t i = 0; i < ring.size(); ++i) {
                if (std::fabs(ring[i] * scale) >= quiet)
                    end = static_cast<int64_t>(i) / channels + 1;
            }
        }
        ring.resize(static_cast<size_t>(std::min(end, longest) * channels), 0.0f);
        return ring;
    }

  private:
    int64_t held() const { return static_cast<int64_t>(ring.size()) / channels; }

    int channels;
    bool scaledLater = false;
    bool listening = false;
    int64_t longest = 0;
    int64_t quietRun = 0;
    double quiet = 0.0;
    std::vector<float> ring;
    int64_t loudFrames = 0;  // frames up to the last one not quiet
};

// The output of a render before it is written: straight to the writer,
// or, when the level is set from the whole output, into a float temporary
// file and from there to the writer, scaled, in a second pass. Both passes
// stream, so memory stays the same however long the file.
class LevelStage {
  public:
    LevelStage(AudioWriter& writer, const RenderOptions& options, int channels, int inputRate,
               int outputRate)
        : writer(writer), options(options), channels(channels) {
        const bool toLoudness = !std::isnan(options.loudness);
        truePeak = options.normalize.ends_with("dBTP");
        if (!options.normalize.empty() || options.matchLoudness || toLoudness) {
            const int fd = namelessTemporaryFile("for the second pass");
            spool.reset(fdopen(fd, "w+b"));
            if (spool == nullptr) {
                close(fd);
                throw Error("cannot open the temporary file for the second pass");
            }
        }
        if (options.matchLoudness) inputLoudness.emplace(channels, inputRate);
        if (options.matchLoudness || toLoudness || truePeak) {
            outputLoudness.emplace(channels, outputRate, truePeak);
        }
    }

    // Whether the level is set once the whole output is known.
    bool scalesLater() const { return spool != nullptr; }

    void input(const float* frames, int64_t count) {
        if (inputLoudness) inputLoudness->add(frames, count);
    }

    // The output up to the input's end.
    void write(const float* frames, int64_t count) {
        written += count;
        if (spool == nullptr) {
            writer.write(frames, count);
            return;
        }
        measure(frames, count);
        const size_t samples = static_cast<size_t>(count * channels);
        if (std::fwrite(frames, sizeof(float), samples, spool.get()) != samples) {
            throw Error("cannot write the temporary file: " + std::string(std::strerror(errno)));
        }
    }

    // The ring-out, cut at its level as written, and the second pass when
    // there is one, its progress shown as `label`.
    void finish(Tail& tail, const std::string& label, int64_t worthShowing, bool quiet) {
        if (spool == nullptr) {
            const std::vector<float>& ring = tail.cut(1.0);
            write(ring.data(), static_cast<int64_t>(ring.size()) / channels);
            return;
        }
        measure(tail.heard().data(), static_cast<int64_t>(tail.heard().size()) / channels);
        const double scale = levelScale();
        std::rewind(spool.get());
        Progress progress(label, written, worthShowing, quiet);
        std::vector<float> chunk(static_cast<size_t>(16384 * channels));
        for (int64_t done = 0; done < written;) {
            checkInterrupted();
            const int64_t frames = std::min<int64_t>(written - done, 16384);
            const size_t samples = static_cast<size_t>(frames * channels);
            if (std::fread(chunk.data(), sizeof(float), samples, spool.get()) != samples) {
                throw Error("cannot read the temporary file back");
            }
            scaleAndWrite(chunk.data(), frames, scale);
            done += frames;
            progress.update(done);
        }
        progress.finish();
        std::vector<float>& ring = tail.cut(scale);
        const int64_t ringFrames = static_cast<int64_t>(ring.size()) / channels;
        scaleAndWrite(ring.data(), ringFrames, scale);
        written += ringFrames;
    }

    int64_t frames() const { return written; }

  private:
    void measure(const float* frames, int64_t count) {
        const size_t samples = static_cast<size_t>(count * channels);
        for (size_t i = 0; i < samples; ++i)
            peak = std::max(peak, double{std::fabs(frames[i])});
        if (outputLoudness) outputLoudness->add(frames, count);
    }

    void scaleAndWrite(float* frames, int64_t count, double scale) {
        for (size_t i = 0; i < static_cast<size_t>(count * channels); ++i)
            frames[i] = static_cast<float>(frames[i] * scale);
        writer.write(frames, count);
    }

    double levelScale() const {
        if (!options.normalize.empty()) {
            const double measured = truePeak ? outputLoudness->truePeak() : peak;
            if (measured == 0.0) {
                note("the output is silent, so there is no peak to normalize");
                return 1.0;
            }
            return std::pow(10.0, std::stod(options.normalize) / 20.0) / measured;
        }
        if (!std::isnan(options.loudness)) {
            const double measured = outputLoudness->integrated();
            if (!std::isfinite(measured)) {
                note(
                    "the output is too short or quiet to measure its loudness, so its level "
                    "stays as it is");
                return 1.0;
            }
            return std::pow(10.0, (options.loudness - measured) / 20.0);
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
    bool truePeak = false;  // --normalize in dBTP
    std::optional<LoudnessMeter> inputLoudness, outputLoudness;
};

RenderResult renderFile(const RenderOptions& options, const LoadedModule& module, const Body& body,
                        const RenderJob& job, Progress* shared) {
    const OutputTarget target = findOutput(job.output, true);
    // The same file by any name, standard input's included.
    const std::optional<FileIdentity> inputFile = identityOf(job.input);
    if (target.kind != OutputTarget::Kind::StandardOutput && inputFile &&
        inputFile == identityOf(job.output)) {
        throw Error("the output " + job.output + " is the input" +
                    (job.input == "-" ? " (standard input)" : "") + "; choose another name");
    }
    AudioReader input(job.input, options.quiet || shared != nullptr);
    FormatRequest request = options.format;
    if (!std::isnan(options.quality)) request.quality = options.quality;
    // A batch's --quality is for its lossy outputs; the others keep every sample.
    request.qualityWhereLossy = shared != nullptr;
    if (options.asFloat) {
        if (!request.bits.empty() && request.bits != "float") {
            throw UsageError("--float and --bits " + request.bits + " ask for different samples");
        }
        request.bits = "float";
    }
    const int rate = input.sampleRate();
    const int channelCount = input.channels();
    // The output's rate: --rate's, or the input's where the format holds it.
    const int outputRate = options.rate > 0 ? options.rate : naturalRate(job.output, request, rate);
    if (options.rate == 0 && outputRate != rate) {
        note("Opus holds no " + std::to_string(rate) + " Hz, so the output is resampled to " +
             std::to_string(outputRate) + " Hz (--rate chooses)");
    }
    const double ratio = static_cast<double>(outputRate) / rate;
    SourceFormat source;
    source.format = input.format();
    source.sampleRate = outputRate;
    source.channels = channelCount;
    // What the input holds, not what its header promises, and the longest
    // ring-out: a promise too large would choose RF64 or refuse AIFF for
    // nothing.
    const bool lengthKnown = input.frames() < SF_COUNT_MAX;
    source.frames = lengthKnown ? std::llround(static_cast<double>(input.frames()) * ratio) +
                                      tailFrames(options.tail, outputRate)
                                : INT64_MAX;
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
    AudioWriter writer(output.descriptor(), output.describe(), format, outputRate, channelCount,
                       !options.noDither);
    const AudioMetadata metadata = atRate(input.metadata(), ratio);
    std::vector<std::string> lost = writer.keep(metadata);
    LevelStage level(writer, options, channelCount, rate, outputRate);
    Tail tail(options.tail, outputRate, channelCount, format, level.scalesLater());
    std::optional<Resampler> toOutputRate;
    if (outputRate != rate) toOutputRate.emplace(rate, outputRate, channelCount);

    // Whole blocks per chunk, so that every block the module sees is full
    // until the file's last.
    const int64_t chunk = options.blockFrames * std::max(1, 16384 / options.blockFrames);
    std::vector<float> interleaved(static_cast<size_t>(chunk * channelCount));
    std::vector<float> produced;
    std::optional<Progress> own;
    const std::string shownName =
        job.output == "-" ? target.describe() : fs::path(job.output).filename().string();
    const int64_t worthShowing = int64_t{30} * rate;
    std::vector<float> converted;
    if (shared == nullptr) {
        own.emplace((level.scalesLater() ? "rendering (pass 1 of 2) " : "rendering ") + shownName,
                    lengthKnown ? input.frames() : 0, worthShowing, options.quiet);
    }
    NonFiniteSamples nonFinite, silenced;
    int64_t done = 0;
    bool ended = false;
    // Output up to the input's length is written as it comes; past it, it
    // is the ring-out. Samples that are not finite are silenced before they
    // reach the resampler, which would spread them.
    auto pass = [&](bool last) {
        silenced.scan(produced.data(), static_cast<int64_t>(produced.size()) / channelCount,
                      channelCount, true);
        std::vector<float>* out = &produced;
        if (toOutputRate) {
            toOutputRate->push(produced.data(),
                               static_cast<int64_t>(produced.size()) / channelCount, converted);
            if (last) toOutputRate->finish(converted);
            out = &converted;
        }
        const int64_t frames = static_cast<int64_t>(out->size()) / channelCount;
        const int64_t mainFrames = std::llround(static_cast<double>(done) * ratio);
        const int64_t main =
            ended ? std::clamp(mainFrames - level.frames(), int64_t{0}, frames) : frames;
        level.write(out->data(), main);
        tail.add(out->data() + main * channelCount, frames - main);
        produced.clear();
        converted.clear();
    };
    for (;;) {
        checkInterrupted();
        const int64_t frames = input.read(interleaved.data(), chunk);
        if (frames == 0) break;
        nonFinite.scan(interleaved.data(), frames, channelCount, false);
        level.input(interleaved.data(), frames);
        chain.push(interleaved.data(), frames, produced);
        done += frames;
        pass(false);
        if (own) own->update(done);
        if (shared != nullptr) shared->advance(frames);
    }
    ended = true;
    if (tail.longestFrames() > 0) {
        // In the input's frames, with room for the resampler's delay.
        const int64_t longest = tailFrames(options.tail, rate) + (toOutputRate ? rate / 10 : 0);
        std::fill(interleaved.begin(), interleaved.end(), 0.0f);
        for (int64_t fed = 0; fed < longest && !tail.complete();) {
            checkInterrupted();
            const int64_t frames = std::min(chunk, longest - fed);
            chain.push(interleaved.data(), frames, produced);
            pass(false);
            fed += frames;
        }
    }
    chain.finish(produced);
    pass(true);
    if (own) own->finish();
    level.finish(tail, "scaling (pass 2 of 2) " + shownName, worthShowing,
                 options.quiet || shared != nullptr);
    writer.close();
    // What the file holds decides what was lost, the channel layout aside,
    // which only the writer knows.
    if (const auto found =
            output.readable() ? lostOnTheWay(output.descriptor(), metadata) : std::nullopt) {
        const bool layoutLost =
            std::find(lost.begin(), lost.end(), "the channel layout") != lost.end();
        lost = *found;
        if (layoutLost) lost.insert(lost.begin(), "the channel layout");
    }
    output.commit();

    RenderResult result;
    result.output = target.describe();
    result.toStandardOutput = target.kind == OutputTarget::Kind::StandardOutput;
    result.channels = channelCount;
    result.frames = level.frames();
    result.rate = outputRate;
    result.format = describeFormat(format.format);

    const std::string inputName = job.input == "-" ? "standard input" : job.input;
    // An MP3's length is an estimate unless a read failed.
    const bool estimated = (input.format() & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    // SF_COUNT_MAX is libsndfile's word for a length nobody promised.
    const bool promised = input.declaredFrames() < SF_COUNT_MAX;
    if (promised && done < input.declaredFrames() && (!estimated || !input.problem().empty())) {
        note(inputName + " is cut short: its header promises " +
             plural(input.declaredFrames(), "frame", "frames") + " (" +
             seconds(input.declaredFrames(), rate) + ") but it holds " +
             plural(done, "frame", "frames") + " (" + seconds(done, rate) +
             (input.problem().empty() ? ")" : "; " + input.problem() + ")") +
             ", so the output is as short");
    }
    if (nonFinite.count > 0) note(inputName + " holds " + nonFinite.where(rate));
    if (silenced.count > 0) {
        note("the output has " + silenced.where(rate) + "; they are written as silence");
    }
    if (!lost.empty()) {
        note(containerName(format.format) + " has no place for " + listOf(lost, "and") + " of " +
             inputName + ", so the output goes without");
    }
    if (!input.metadata().uncarried.empty()) {
        note(inputName + " carries " + listOf(input.metadata().uncarried, "and") +
             ", which velmora does not copy, so the output goes without");
    }
    const double peak = writer.peak();
    // Lossy outputs are judged by their true peak, which their decoders reach.
    const std::string unit = format.lossy ? "TP" : "FS";
    const std::string turnDown =
        options.normalize.empty()
            ? (format.lossy ? "--gain or --normalize -1dBTP" : "--gain or --normalize")
            : "--normalize";
    if (writer.clippedSamples() > 0) {
        note(plural(writer.clippedSamples(), "sample", "samples") +
             " went beyond full scale and were clipped (the output peaks at " + decibels(peak) +
             "FS); " +
             (format.holdsFloat ? "--bits float keeps them"
                                : "a .wav output with --bits float keeps them") +
             ", " + turnDown + " turns them down");
    } else if (peak > 1.0 && format.integerBits == 0) {
        note("the output peaks at " + decibels(peak) + unit + ", over full scale by " +
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

// Where under --out-dir an input's output goes: with `mirror`, the input's
// own folder, as a relative path inside it (x/t.wav → x; /a/b/t.wav → a/b;
// ../t.wav → .), so that x/t.wav and y/t.wav do not collide.
fs::path mirroredFolder(const fs::path& input, bool mirror) {
    if (!mirror) return {};
    fs::path inside;
    for (const fs::path& part : input.lexically_normal().parent_path().relative_path()) {
        if (part != "..") inside /= part;
    }
    return inside;
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
        if (input == "-") throw UsageError("a batch reads files; standard input is for one render");
        const fs::path given(input);
        std::string extension = given.extension().string();
        if (!options.batchFormat.empty()) {
            extension = options.batchFormat.front() == '.' ? options.batchFormat
                                                           : "." + options.batchFormat;
        }
        const fs::path name = given.stem().string() + options.suffix + extension;
        Entry entry;
        entry.job = {
            input,
            (fs::path(options.outDir) / mirroredFolder(given, options.mirror) / name).string()};
        for (const Entry& earlier : entries) {
            if (fs::weakly_canonical(earlier.job.output, error) ==
                fs::weakly_canonical(entry.job.output, error)) {
                entry.error = "another input of this batch already writes " + entry.job.output +
                              (options.mirror ? "" : " (--mirror keeps the inputs' folders apart)");
            }
        }
        // Regular files only: a FIFO is read once, when its turn comes.
        SF_INFO info{};
        SNDFILE* file =
            fs::is_regular_file(input, error) ? sf_open(input.c_str(), SFM_READ, &info) : nullptr;
        if (file != nullptr) {
            total += info.frames;
            worthShowing = std::max(worthShowing, info.samplerate);
            sf_close(file);
        }
        entries.push_back(std::move(entry));
    }

    // Before anything is written: no output may be any input of the batch,
    // by whatever name or link it is reached.
    for (Entry& entry : entries) {
        const std::optional<FileIdentity> output = identityOf(entry.job.output);
        if (!output || !entry.error.empty()) continue;
        for (const Entry& other : entries) {
            if (identityOf(other.job.input) != output) continue;
            entry.error = other.job.input == entry.job.input
                              ? "the output " + entry.job.output + " is the input"
                              : entry.job.output + " is " + other.job.input +
                                    ", another input of this batch, so it is not written over";
            entry.error += "; choose another --out-dir";
            break;
        }
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
                std::error_code made;
                fs::create_directories(fs::path(entry.job.output).parent_path(), made);
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
        throw UsageError("render needs --body NAME or NUMBER (velmora info lists the bodies)");
    }
    if (options.retune && !options.tuning.empty() && options.tuning != "resample") {
        throw UsageError("--retune is --tuning resample; leave out --tuning " + options.tuning);
    }
    if (!options.normalize.empty() && (options.matchLoudness || options.gainDb != 0.0)) {
        throw UsageError("--normalize sets the level alone; leave out --gain and --match-loudness");
    }
    if (!std::isnan(options.loudness) &&
        (!options.normalize.empty() || options.matchLoudness || options.gainDb != 0.0)) {
        throw UsageError(
            "--loudness sets the level alone; leave out --gain, --normalize and --match-loudness");
    }
    const bool batch = !options.outDir.empty();
    if (!batch && (!options.suffix.empty() || options.mirror)) {
        throw UsageError("--suffix and --mirror name a batch's outputs; give --out-dir DIR");
    }
    if (batch ? options.files.empty() : options.files.size() != 2) {
        throw UsageError(options.files.size() > 2
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
        if (!single.format.type.empty())
            throw UsageError("--format and --type say the same; give one");
        single.format.type = options.batchFormat;
        single.format.typeOption = "--format";
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
    command
        ->add_option("files", options->files,
                     "IN OUT: the sound file to read (WAV, FLAC, AIFF, MP3, ...; - for standard "
                     "input) and the file to write, its format named by its extension (- for "
                     "standard output); with --out-dir, the inputs")
        ->type_name("IN OUT");
    command
        ->add_option("--out-dir", options->outDir,
                     "Render every input into this folder, under its own name")
        ->type_name("DIR");
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
                     "default: the encoder's. A batch's lossless outputs ignore it")
        ->check(numberBetween(0.0, 10.0));
    command->add_option("--type", options->format.type,
                        "Format for - or a name without extension, as an extension (wav, flac, "
                        "...); default: the input's");
    command->add_option("--block", options->blockFrames, "Frames per processing block (1 to 65536)")
        ->check(wholeNumber(1, 65536))
        ->capture_default_str();
    command->add_option("--gain", options->gainDb, "Gain in dB after the body")
        ->check(numberBetween(-100.0, 60.0))
        ->type_name("DB");
    addOptionalValue(*command, "--normalize", options->normalize, "-1",
                     "Scale the output so that its sample peak sits at DBFS (default -1), or "
                     "with dBTP its true peak (-1dBTP, 4x oversampled)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                std::string number = text;
                for (const std::string unit : {"dBTP", "dBFS"}) {
                    if (number.ends_with(unit)) number.resize(number.size() - unit.size());
                }
                const std::string problem = numberBetween(-100.0, 0.0)(number);
                return problem.empty() ? ""
                                       : "takes a level from -100 to 0 (dBFS, or -1dBTP " +
                                             std::string("for a true peak), not \"") + text + "\"";
            },
            ""))
        ->type_name("[DBFS|DBdBTP]");
    command
        ->add_option("--loudness", options->loudness,
                     "Scale the output to this integrated loudness (EBU R128), as -23")
        ->check(numberBetween(-70.0, 0.0))
        ->type_name("LUFS");
    command->add_flag("--match-loudness", options->matchLoudness,
                      "Make the output's integrated loudness (EBU R128) the input's");
    command->add_option("--mix", options->mix, "Dry/wet: 0 the input, 1 the body alone (default)")
        ->check(numberBetween(0.0, 1.0))
        ->type_name("WET");
    command
        ->add_option("--rate", options->rate,
                     "Resample the output to HZ (libsoxr, very high quality); default: the "
                     "input's rate, or 48000 for an .opus output of a rate Opus lacks")
        ->check(wholeNumber(1000, 768000))
        ->type_name("HZ");
    addTuningOption(*command, options->tuning, true);
    command->add_flag("--retune", options->retune, "The same as --tuning resample");
    addOptionalValue(*command, "--tail", options->tail, "auto",
                     "Add the ring-out after the input: SECONDS, or by default until it falls "
                     "below the output's smallest step (-120 dBFS for float), at most 2 s")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text == "auto") return {};
                return numberBetween(0.0, 60.0)(text);
            },
            ""))
        ->type_name("[SECONDS]");
    command->add_option("--suffix", options->suffix,
                        "Add SUFFIX to each output's name in a batch (take.wav -> take-cello.wav "
                        "with --suffix -cello)");
    command->add_flag("--mirror", options->mirror,
                      "Keep the inputs' folders under --out-dir (x/t.wav -> DIR/x/t.wav), so "
                      "that inputs of the same name do not collide");
    command->add_flag("-q,--quiet", options->quiet, "No progress and no summary, only problems");
    return {command, [options] { render(*options); }};
}

}  // namespace velmora::tool
